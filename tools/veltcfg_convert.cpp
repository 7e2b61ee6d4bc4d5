// veltcfg-convert [--image N] [--part NAME] [--] IN OUT
//
// Writes OUT as a .BIT file that veltcfg takes, from a configuration in
// any file kind file_kind.h tells: the stream as the device needs it, in
// the byte order of a .BIT file, under a header that names the design, the
// part, the date and time, and the length.
//
// OUT is written beside its final name and renamed to it when complete, so
// that a failed run leaves no OUT and never a half file; an OUT that exists
// but is not a regular file, or is IN itself, is refused. OUT "-" is
// standard output.
//
// Exit status: 0 written; 1 IN holds no configuration, or no image N;
// 2 wrong arguments, IN unreadable or malformed, OUT not writable.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/platform.h"
#include "common/hex_text.h"
#include "common/terminal_text.h"
#include "tools/command_line.h"
#include "tools/file_kind.h"

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif

namespace {

namespace fs = std::filesystem;

enum ExitStatus { WRITTEN = 0, NO_CONFIGURATION = 1, CANNOT_CONVERT = 2 };

const char* const USAGE = "usage: veltcfg-convert [--image N] [--part NAME] [--] IN OUT\n";

void print_help()
{
    std::printf(
        "%s"
        "Writes OUT as a .BIT file that veltcfg takes, from the configuration in IN:\n"
        "a .BIT file, a PROM image, a configuration stream in any byte order (natural,\n"
        "bit-reversed, 32-bit byte-swapped, both), Intel HEX (.mcs, .hex) or a text of\n"
        "0 and 1 characters (.rbt). OUT - writes it to standard output.\n"
        "\n"
        "  --image N     of the configurations in an Intel HEX file, the Nth in address\n"
        "                order (default 1)\n"
        "  --part NAME   the part the header names when IN names none (default: the\n"
        "                device of the IDCODE the stream writes)\n"
        "  --help        this text\n"
        "  --version     the version\n"
        "\n"
        "Exit status: 0 written; 1 IN holds no configuration, or no image N; 2 wrong\n"
        "arguments, IN unreadable or malformed, OUT not writable.\n"
        "See man veltcfg-convert.\n",
        USAGE);
}

struct Options {
    unsigned long image = 1;
    bool image_given = false;
    std::string part;
    std::vector<const char*> files;
};

// A message on standard error: "veltcfg-convert: " and `parts`, the names
// from the command line or the file shown so that they cannot act on the
// terminal.
void say(std::initializer_list<std::string> parts)
{
    std::fputs("veltcfg-convert: ", stderr);
    for (const std::string& part : parts) {
        put_terminal_text(stderr, part.c_str());
    }
    std::fputs("\n", stderr);
}

[[noreturn]] void fail(int status, std::initializer_list<std::string> parts)
{
    say(parts);
    std::exit(status);
}

[[noreturn]] void wrong_arguments(const std::string& message)
{
    say({message});
    std::fputs(USAGE, stderr);
    std::exit(CANNOT_CONVERT);
}

bool take_image(const char* text, unsigned long* image)
{
    char* end = nullptr;
    errno = 0;
    *image = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *image >= 1 && text[0] != '-';
}

Options read_options(int argc, char** argv)
{
    Options options;
    const auto takes_value = [](const std::string& name) { return name == "--image" || name == "--part"; };
    for (const tools::Argument& arg : tools::split_arguments(argc, argv, takes_value)) {
        tools::answer_help_or_version(arg, "veltcfg-convert", print_help);
        if (arg.option.empty()) {
            options.files.push_back(arg.value);
        } else if (arg.value_missing) {
            wrong_arguments(arg.option + " needs a value");
        } else if (arg.option == "--part") {
            options.part = arg.value;
        } else if (arg.option == "--image") {
            if (!take_image(arg.value, &options.image)) {
                wrong_arguments("--image takes a number from 1: " + std::string(arg.value));
            }
            options.image_given = true;
        } else {
            wrong_arguments("unknown option " + arg.option);
        }
    }
    if (options.files.size() != 2) {
        wrong_arguments("give IN and OUT");
    }
    return options;
}

// OUT as written so far, beside its final name; removed when the run ends
// before it is renamed, also by an interrupt.
std::string partial_out;

bool remove_partial_out(int)
{
    if (!partial_out.empty()) {
        std::remove(partial_out.c_str());
    }
    return false;  // ends the program as the request would
}

// Refuses an OUT that is IN, or that exists and is not a regular file.
void refuse_unsafe_out(const std::string& in, const std::string& out)
{
    std::error_code error;
    const fs::file_status status = fs::status(fs::u8path(out), error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        fail(CANNOT_CONVERT, {out, " exists and is not a regular file: left alone"});
    }
    if (fs::equivalent(fs::u8path(in), fs::u8path(out), error)) {
        fail(CANNOT_CONVERT, {in, " and ", out, " are the same file: IN is never overwritten"});
    }
}

// A new file beside `out`, opened for writing, that no other file was.
FILE* create_partial_out(const std::string& out)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        partial_out = out + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".part";
        const int fd = open(partial_out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
        if (fd >= 0) {
            return fdopen(fd, "wb");
        }
        if (errno != EEXIST) {
            break;
        }
    }
    partial_out.clear();
    return nullptr;
}

// Writes `bytes` to OUT (standard output for "-"), renamed into place once
// complete.
void write_out(const std::string& out, const std::vector<uint8_t>& bytes)
{
    if (out == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
            fail(CANNOT_CONVERT, {"cannot write standard output: ", std::strerror(errno)});
        }
        return;
    }
    FILE* file = create_partial_out(out);
    if (file == nullptr) {
        fail(CANNOT_CONVERT, {"cannot create a file beside ", out, ": ", std::strerror(errno)});
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = std::fflush(file) == 0 && written;
    const int write_error = errno;
    written = std::fclose(file) == 0 && written;
    std::error_code error;
    if (written) {
        fs::rename(fs::u8path(partial_out), fs::u8path(out), error);
    }
    if (!written || error) {
        std::remove(partial_out.c_str());
        fail(CANNOT_CONVERT, {"cannot write ", out, ": ",
                              error ? error.message() : std::strerror(write_error)});
    }
    partial_out.clear();
}

// The image asked for, with a note when IN holds more than one and none
// was asked for.
filekind::Image& chosen_image(filekind::FileContents& contents, const Options& options, const std::string& in)
{
    const size_t count = contents.images.size();
    if (count == 0) {
        fail(NO_CONFIGURATION, {in, " holds no configuration: ", contents.description});
    }
    if (options.image > count) {
        fail(NO_CONFIGURATION, {in, " holds ", std::to_string(count), count == 1 ? " configuration" : " configurations",
                                ": no image ", std::to_string(options.image)});
    }
    if (count > 1 && !options.image_given) {
        say({in, " holds ", std::to_string(count), " configurations: image 1 is converted (--image N for another)"});
    }
    return contents.images[options.image - 1];
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = read_options(argc, argv);
    const std::string in = options.files[0], out = options.files[1];
    if (out != "-") {
        refuse_unsafe_out(in, out);
    }
    catch_interrupts(remove_partial_out);

    FILE* file = std::fopen(in.c_str(), "rb");
    if (file == nullptr) {
        fail(CANNOT_CONVERT, {"cannot open ", in, ": ", std::strerror(errno)});
    }
    filekind::FileContents contents = filekind::read_contents(file);
    std::fclose(file);
    if (!contents.error.empty()) {
        fail(CANNOT_CONVERT, {in, ": ", contents.error});
    }
    filekind::Image& image = chosen_image(contents, options, in);
    if (image.stream.size() > filekind::MAX_STREAM_BYTES) {
        fail(CANNOT_CONVERT, {in, ": its configuration is longer than a .BIT file can announce (4 GiB)"});
    }
    const filekind::BitFields fields = filekind::converted_fields(
        contents, image, {fs::u8path(in).filename().u8string(), options.part, std::time(nullptr)});
    if (fields.part.empty()) {
        say({"no part named: ", in, " names none, and its stream writes no IDCODE of a device in the table "
                                    "(an encrypted one writes it encrypted); the header's part is left empty "
                                    "(--part NAME names one)"});
    }
    const uint64_t address = image.address, length = image.stream.size();
    write_out(out, filekind::bit_file(fields, std::move(image.stream)));

    FILE* report = out == "-" ? stderr : stdout;
    const std::string which = contents.kind == filekind::Kind::IntelHex
                                  ? "image " + std::to_string(options.image) + ", at " + hex_text(address, 6) + ", "
                                  : "";
    std::fputs("IN:  ", report);
    put_terminal_text(report, (in + ": " + contents.description).c_str());
    std::fputs("\nOUT: ", report);
    put_terminal_text(report, (out + ": a .BIT file of " + std::to_string(length) + " bytes of configuration (" +
                               which + "design " + fields.design + ", part " +
                               (fields.part.empty() ? "(none)" : fields.part) + ", " + fields.date + " " +
                               fields.time + ")")
                                  .c_str());
    std::fputs("\n", report);
    return WRITTEN;
}
