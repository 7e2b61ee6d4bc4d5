// veltcfg-check [--idcode ID | --part NAME] [--json | --quiet] [--] FILE...
// veltcfg-check --list-devices [--json]
//
// Says whether a card would configure from each FILE, and why not, without a
// card: for each file in turn it runs the program itself, as veltcfg-sim
// runs it, on card 0 of a fresh simulated host, and listens to what the
// card's FPGA meets in the stream (check_report.h says what it learns and
// how it reports it). All offsets are bytes of the file.
//
// The card's FPGA is the device --idcode or --part names; without them, the
// device the .BIT header's part names, when the device table knows it (its
// family group then, as no IDCODE is there to compare); else the stream
// tells the group. --list-devices prints the table of devices instead.
//
// Exit status: 0 when a card would configure from every file, 1 when not
// from one or more, 2 for wrong arguments or a file that cannot be read
// (the other files are still checked and reported).
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/platform.h"
#include "card/plx/sim/host_description.h"
#include "common/terminal_text.h"
#include "tools/check_report.h"
#include "tools/check_run.h"
#include "tools/command_line.h"

namespace {

using check::FileVerdict;

enum ExitStatus { CONFIGURES = 0, DOES_NOT_CONFIGURE = 1, CANNOT_CHECK = 2 };

const char* const USAGE =
    "usage: veltcfg-check [--idcode ID | --part NAME] [--json | --quiet] [--] FILE...\n"
    "       veltcfg-check --list-devices [--json]\n";

void print_help()
{
    std::printf(
        "%s"
        "Says whether a card would configure from each FILE (a .BIT file or a PROM\n"
        "image), and why not, by running veltcfg on a simulated card.\n"
        "\n"
        "  --idcode ID       the card's FPGA is the device with this IDCODE (decimal or 0x-hex)\n"
        "  --part NAME       the card's FPGA is this device (xc7a35t, XC7A35T-1CPG236C, 7a35tcpg236)\n"
        "  --json            one JSON document for the run, instead of the reports\n"
        "  --quiet           only each file's verdict line\n"
        "  --list-devices    the devices --part and --idcode know, one a line (or JSON)\n"
        "  --help            this text\n"
        "  --version         the version\n"
        "\n"
        "Exit status: 0 when a card would configure from every file, 1 when not from\n"
        "one or more, 2 for wrong arguments or a file that cannot be read.\n"
        "See man veltcfg-check.\n",
        USAGE);
}

struct Options {
    std::optional<uint32_t> idcode;  // given, or the IDCODE of --part's device
    bool json = false;
    bool quiet = false;
    bool list_devices = false;
    std::vector<const char*> files;
};

[[noreturn]] void wrong_arguments(const std::string& message)
{
    std::fputs(("veltcfg-check: " + message + "\n").c_str(), stderr);
    std::fputs(USAGE, stderr);
    std::exit(CANNOT_CHECK);
}

void take_part(const char* name, Options* options)
{
    const bitstream::FpgaDevice* device = bitstream::device_of_part(name);
    if (device == nullptr) {
        std::fputs("veltcfg-check: no device in the table is named ", stderr);
        put_terminal_text(stderr, name);
        const char* separator = "; the nearest known: ";
        for (const bitstream::FpgaDevice* near : bitstream::devices_near(name, 3)) {
            std::fprintf(stderr, "%s%s", separator, near->name);
            separator = ", ";
        }
        std::fputs("\n", stderr);
        std::exit(CANNOT_CHECK);
    }
    options->idcode = device->idcode;
}

void take_idcode(const char* text, Options* options)
{
    uint32_t idcode = 0;
    if (!sim::read_number(text, 0xFFFFFFFF, &idcode)) {
        std::fputs("veltcfg-check: not an IDCODE: ", stderr);
        put_terminal_text(stderr, text);
        std::fputs(" (a 32-bit number, decimal or 0x-hex)\n", stderr);
        std::exit(CANNOT_CHECK);
    }
    options->idcode = idcode;
}

// Options in any order, each before the files or among them, until "--";
// --idcode and --part take a value, as the next argument or after "=".
Options read_options(int argc, char** argv)
{
    Options options;
    bool device_given = false;
    for (const tools::Argument& arg : tools::split_arguments(
             argc, argv, [](const std::string& name) { return name == "--idcode" || name == "--part"; })) {
        tools::answer_help_or_version(arg, "veltcfg-check", print_help);
        if (arg.option.empty()) {
            options.files.push_back(arg.value);
        } else if (arg.value_missing) {
            wrong_arguments(arg.option + " needs a value");
        } else if (arg.option == "--idcode" || arg.option == "--part") {
            if (device_given) {
                wrong_arguments("give the card's device once, with --idcode or --part");
            }
            (arg.option == "--idcode" ? take_idcode : take_part)(arg.value, &options);
            device_given = true;
        } else if (arg.option == "--json") {
            options.json = true;
        } else if (arg.option == "--quiet") {
            options.quiet = true;
        } else if (arg.option == "--list-devices") {
            options.list_devices = true;
        } else {
            std::fputs("veltcfg-check: unknown option ", stderr);
            put_terminal_text(stderr, arg.option.c_str());
            std::fputs("\n", stderr);
            std::fputs(USAGE, stderr);
            std::exit(CANNOT_CHECK);
        }
    }
    if (options.list_devices && (device_given || options.quiet || !options.files.empty())) {
        wrong_arguments("--list-devices takes --json alone, and no file");
    }
    if (options.files.empty() && !options.list_devices) {
        wrong_arguments("no file to check");
    }
    if (options.json && options.quiet) {
        wrong_arguments("give --json or --quiet, not both");
    }
    if (options.json && !check::json_available()) {
        wrong_arguments("this build has no JSON output (it was built without nlohmann-json)");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that stops reading (veltcfg-check FILE | head) must not
    // change the verdict into a signal.
    ignore_broken_pipes();
    const Options options = read_options(argc, argv);
    std::vector<FileVerdict> verdicts;
    int status = CONFIGURES;
    int output_error = 0;  // the first error writing the output, but a reader gone
    auto note_output = [&output_error] {
        if (std::fflush(stdout) != 0 && errno != EPIPE && output_error == 0) {
            output_error = errno;
        }
    };
    for (const char* name : options.files) {
        verdicts.push_back(check::check_file(argv[0], name, options.idcode, options.json || options.quiet));
        const FileVerdict& v = verdicts.back();
        if (!options.json) {
            options.quiet                                ? check::print_quiet_line(v)
            : v.outcome == check::Outcome::CannotCheck ? check::print_verdict_line(v)
                                                       : check::print_report(v);
            note_output();
        }
        const int file_status = v.outcome == check::Outcome::Configures         ? CONFIGURES
                                : v.outcome == check::Outcome::DoesNotConfigure ? DOES_NOT_CONFIGURE
                                                                                : CANNOT_CHECK;
        status = std::max(status, file_status);
    }
    if (options.list_devices) {
        options.json ? check::print_devices_json() : check::print_devices();
        note_output();
    } else if (options.json) {
        check::print_json(verdicts);
        note_output();
    }
    if (output_error != 0) {
        std::fprintf(stderr, "veltcfg-check: the report could not be written: %s\n",
                     std::strerror(output_error));
        return CANNOT_CHECK;
    }
    return status;
}
