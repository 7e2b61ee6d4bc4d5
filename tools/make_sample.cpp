// veltcfg-sample: writes a synthetic .BIT file and, if asked, the matching
// PROM image, for demos, tests and benchmarks.
//
//   veltcfg-sample [--size BYTES] [--family 32|16] [--seed N] [--] OUT.bit [OUT.prom]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bitstream/family_rules.h"
#include "tools/command_line.h"
#include "tools/sample_bitstream.h"

namespace {

const char* const USAGE =
    "usage: veltcfg-sample [--size BYTES] [--family 32|16] [--seed N] [--] OUT.bit [OUT.prom]\n";

int usage()
{
    std::fputs(USAGE, stderr);
    return 2;
}

void print_help()
{
    std::printf("%s"
                "Writes a synthetic, well-formed .BIT file and, if named, the matching PROM\n"
                "image, for a device whose IDCODE the stream writes and whose part the header\n"
                "names (the 32-bit PROM image is for a Virtex-4, as a PROM image has no\n"
                "room for the bus width detection Virtex-5 and later need).\n"
                "\n"
                "  --size BYTES   about how many configuration bytes (default 100000)\n"
                "  --family 32    32-bit packets, for an xc7a35t (the default)\n"
                "  --family 16    16-bit packets, for an xc6slx9\n"
                "  --seed N       of the frame data's pattern (default 1)\n"
                "  --help         this text\n"
                "  --version      the version\n",
                USAGE);
}

bool parse_number(const char* text, unsigned long long* value)
{
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

bool write_file(const char* path, const sample::Design& design, bool prom)
{
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "veltcfg-sample: cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    bool ok = prom ? sample::write_prom_image(out, design) : sample::write_bit_file(out, design);
    ok = (std::fclose(out) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "veltcfg-sample: cannot write %s\n", path);
    }
    return ok;
}

// What the command line asks for.
struct Request {
    sample::Design design;
    unsigned long long size = 100000;
    const char* outputs[2] = {nullptr, nullptr};
};

// Takes one option with its value; false when the value is wrong.
bool take_option(const std::string& name, const char* text, Request* request)
{
    unsigned long long value = 0;
    if (!parse_number(text, &value)) {
        return false;
    }
    sample::Design& design = request->design;
    if (name == "--size") {
        request->size = value;
    } else if (name == "--seed") {
        design.seed = static_cast<uint32_t>(value);
    } else if (value == 32 || value == 16) {
        const sample::Design chosen = sample::design_for(
            value == 32 ? bitstream::FamilyGroup::Virtex4On : bitstream::FamilyGroup::Spartan6);
        design.group = chosen.group;
        design.idcode = chosen.idcode;
        design.part = chosen.part;
    } else {
        return false;
    }
    return true;
}

// Frame data makes up all but the few words of packets around it; false when
// `size` is too large for one configuration.
bool size_frames(unsigned long long size, sample::Design* design)
{
    design->frame_words = 0;
    const uint64_t overhead = sample::ConfigStream(*design).size();
    const unsigned word_size = bitstream::rules_of(design->group)->format->word_bytes;
    const uint64_t words = size > overhead ? (size - overhead) / word_size : 0;
    const uint64_t limit = word_size == 4 ? bitstream::PacketFormat::TYPE2_COUNT_MASK : 0xFFFFFFFF;
    if (words > limit || words * word_size + overhead > 0xFFFFFFFFull) {
        return false;
    }
    design->frame_words = static_cast<uint32_t>(words);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Request request;
    int output_count = 0;
    const auto takes_value = [](const std::string& name) {
        return name == "--size" || name == "--family" || name == "--seed";
    };
    for (const tools::Argument& arg : tools::split_arguments(argc, argv, takes_value)) {
        tools::answer_help_or_version(arg, "veltcfg-sample", print_help);
        if (arg.option.empty()) {
            if (output_count == 2) {
                return usage();
            }
            request.outputs[output_count++] = arg.value;
        } else if (!takes_value(arg.option) || arg.value_missing || !take_option(arg.option, arg.value, &request)) {
            return usage();
        }
    }
    if (output_count == 0) {
        return usage();
    }
    if (!size_frames(request.size, &request.design)) {
        std::fprintf(stderr, "veltcfg-sample: --size too large for one configuration\n");
        return 2;
    }
    if (!write_file(request.outputs[0], request.design, false)) {
        return 1;
    }
    if (request.outputs[1] != nullptr && !write_file(request.outputs[1], request.design, true)) {
        return 1;
    }
    return 0;
}
