// How the tools read their arguments: options in any order, before the
// operands or among them, until "--"; an option that takes a value has it
// as the next argument or after "=" (--part xc7a35t, --part=xc7a35t).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tools {

struct Argument {
    std::string option;         // "--part", "--help"; "" for an operand
    const char* value = nullptr;  // the operand, or the option's value
    bool value_missing = false;   // an option that takes one came last
};

// The arguments after the program's name; `takes_value(name)` says which
// options take a value. An option that takes none is named as given, so
// that "--help=x" is no "--help".
template <typename TakesValue>
std::vector<Argument> split_arguments(int argc, char** argv, TakesValue takes_value)
{
    std::vector<Argument> arguments;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!options_end && arg == "--") {
            options_end = true;
        } else if (options_end || arg.size() < 2 || arg[0] != '-') {
            arguments.push_back({"", argv[i]});
        } else if (const std::string name = arg.substr(0, arg.find('=')); takes_value(name)) {
            const bool inline_value = name.size() != arg.size();
            const bool missing = !inline_value && i + 1 == argc;
            arguments.push_back({name, missing ? nullptr : inline_value ? argv[i] + name.size() + 1 : argv[++i],
                                 missing});
        } else {
            arguments.push_back({arg});
        }
    }
    return arguments;
}

// Answers --help (with `help`) and --version as every tool does, on
// standard output, and ends the program with status 0; returns for any other
// argument. `program` names the tool in the version line.
inline void answer_help_or_version(const Argument& arg, const char* program, void (*help)())
{
    if (arg.option == "--help") {
        help();
        std::exit(0);
    }
    if (arg.option == "--version") {
        std::printf("%s %s\n", program, VELTCFG_VERSION);
        std::exit(0);
    }
}

}  // namespace tools
