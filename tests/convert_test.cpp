// veltcfg-convert and the file kinds it reads: each kind of file made from a
// sample stream becomes a .BIT file that a card of the stream's device takes
// (while veltcfg refuses the file as given); real files of the corpus do the
// same; bad input leaves no OUT behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "common/bit_reverse.h"
#include "configfile/config_file.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"
#include "tools/file_kind.h"

namespace {

using G = bitstream::FamilyGroup;

std::string reversed_bits(std::string bytes)
{
    for (char& byte : bytes) {
        byte = static_cast<char>(bit_reverse_table[static_cast<uint8_t>(byte)]);
    }
    return bytes;
}

std::string swapped_words(std::string bytes)
{
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        std::reverse(bytes.begin() + at, bytes.begin() + at + 4);
    }
    return bytes;
}

std::string hex_record(int type, uint32_t address, const std::string& data)
{
    std::string bytes = std::string{static_cast<char>(data.size()), static_cast<char>(address >> 8),
                                    static_cast<char>(address), static_cast<char>(type)} + data;
    int sum = 0;
    for (const char byte : bytes) {
        sum += static_cast<uint8_t>(byte);
    }
    bytes += static_cast<char>(-sum);
    std::string line = ":";
    for (const char byte : bytes) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", static_cast<uint8_t>(byte));
        line += text;
    }
    return line + "\r\n";
}

// Intel HEX of images at their addresses, 16 data bytes to a record, the
// upper address bits in segment address records below 1 MiB and in linear
// address records above; then a start address.
std::string intel_hex(const std::vector<std::pair<uint32_t, std::string>>& images)
{
    std::string text;
    for (const auto& [base, data] : images) {
        for (size_t at = 0; at < data.size(); at += 16) {
            const uint32_t address = base + static_cast<uint32_t>(at);
            const bool segment = base < 0x100000;
            const uint32_t upper = segment ? address >> 4 & 0xF000 : address >> 16;
            if (at == 0 || address % 0x10000 == 0) {
                text += hex_record(segment ? 2 : 4, 0,
                                   {static_cast<char>(upper >> 8), static_cast<char>(upper)});
            }
            text += hex_record(0, address & 0xFFFF, data.substr(at, 16));
        }
    }
    return text + hex_record(5, 0, std::string(4, '\0')) + ":00000001FF\r\n";
}

std::string ascii_bits(const std::string& header, const std::string& bytes)
{
    std::string text = header;
    for (size_t at = 0; at < bytes.size(); ++at) {
        for (int bit = 7; bit >= 0; --bit) {
            text += (bytes[at] >> bit & 1) ? '1' : '0';
        }
        text += at % 4 == 3 ? "\n" : "";
    }
    return text;
}

// A design's stream with the erased flash after it, and before it (its sync
// word across the first 64 KiB of the file).
std::string bare(const sample::Design& design)
{
    return to_string(sample::ConfigStream(design).bytes()) + std::string(5000, '\xFF');
}
std::string flash(const sample::Design& design)
{
    return std::string(65518, '\xFF') + bare(design);
}

// What a .BIT file made of `natural` holds: from 64 bytes before the sync
// word to 1024 bytes of padding after the last byte that is not.
std::string kept(const std::string& natural, bool half_sync = false)
{
    const size_t sync = natural.find(half_sync ? "\xAA\x99" : "\xAA\x99\x55\x66");
    const size_t start = sync > filekind::LEAD_KEPT ? sync - filekind::LEAD_KEPT : 0;
    return natural.substr(start, natural.find_last_not_of('\xFF') + 1 + filekind::TRAILING_PADDING_KEPT - start);
}

ProgramRun on_card(uint32_t idcode, const std::string& file)
{
    char host[64];
    std::snprintf(host, sizeof host, "VELTCFG_SIM_HOST=bus=4 slot=0 idcode=0x%08X", idcode);
    return run_executable("/usr/bin/env", {host, VELTCFG_SIM_PATH, file, "0"});
}

std::string header_field(const std::string& path, int index)
{
    char text[256] = "";
    FILE* file = std::fopen(path.c_str(), "rb");
    const bool read = file != nullptr && read_bit_header_field(file, index, text, sizeof text);
    if (file != nullptr) {
        std::fclose(file);
    }
    return read ? text : "(unreadable)";
}

sample::Design spartan3a = sample::design_for(G::Spartan3A), spartan6 = sample::design_for(G::Spartan6);
sample::Design second = [] {
    sample::Design design;
    design.seed = 2;
    return design;
}();

TEST(Convert, EachKindBecomesABitFileThatConfigures)
{
    const sample::Design design;
    const std::string natural = flash(design), aligned = std::string(65520, '\xFF') + bare(design);
    const std::string hex = intel_hex({{0x100000, natural}, {0x1000, reversed_bits(flash(second))}});
    const std::string rbt_header = "Maker ASCII Bitstream\nDesign name:\ttop.ncd\nPart:\t7a35tcpg236\n"
                                   "Date:\tSun Dec  3 02:23:37 2017\nBits:\t1234\n";
    const struct {
        const char* kind;
        std::string file;
        std::vector<std::string> options;
        std::string stream;  // what OUT holds after its header
        std::vector<std::string> fields;  // "" where the conversion gives it
        uint32_t idcode;
    } rows[] = {
        {"stream", natural, {}, kept(natural), {"", "xc7a35t"}, design.idcode},
        {"stream_bit_reversed", reversed_bits(flash(spartan3a)), {}, kept(flash(spartan3a), true),
         {"", "xc3s50a"}, spartan3a.idcode},
        {"stream_byte_swapped", "\xFF\xFF" + swapped_words(bare(design)), {"--part", "my-part"},
         kept(bare(design)), {"", "my-part"}, design.idcode},
        {"stream_smapx32", reversed_bits(swapped_words(aligned)), {}, kept(aligned), {"", "xc7a35t"}, design.idcode},
        {"intel_hex", hex, {}, kept(flash(second)), {"", "xc7a35t"}, second.idcode},
        {"intel_hex", hex, {"--image=2"}, kept(natural), {"", "xc7a35t"}, design.idcode},
        {"ascii_bits", ascii_bits(rbt_header, natural), {"--part", "other"}, kept(natural),
         {"top.ncd", "7a35tcpg236", "2017/12/03", "02:23:37"}, design.idcode},
        {"bit", to_string(sample::bit_file(design)), {}, to_string(sample::ConfigStream(design).bytes()),
         {design.name, design.part, design.date, design.time}, design.idcode},
        {"prom", to_string(sample::prom_image(spartan6)), {},
         reversed_bits(to_string(sample::prom_image(spartan6))), {"", "xc6slx9"}, spartan6.idcode},
        {"null", std::string(3000, '\0') + "\n00110011\n\xAA\x99\x55", {}, "", {}, 0},
    };
    TempDir temp;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        const std::string in = temp.write(std::string(row.kind) + ".in", row.file);
        const std::string out = temp.path() + "/" + row.kind + ".bit";
        FILE* file = std::fopen(in.c_str(), "rb");
        EXPECT_STREQ(filekind::kind_name(filekind::read_contents(file).kind), row.kind);
        std::fclose(file);
        std::vector<std::string> args = row.options;
        args.insert(args.end(), {in, out});
        const ProgramRun convert = run_executable(VELTCFG_CONVERT_PATH, args);
        EXPECT_EQ(convert.exit_status, row.stream.empty() ? 1 : 0) << convert.err;
        const bool note = row.kind == std::string("intel_hex") && row.options.empty();
        EXPECT_EQ(convert.err.find(" holds 2 configurations: image 1 is converted") != std::string::npos, note);
        const bool taken = row.kind == std::string("bit") || row.kind == std::string("prom");
        EXPECT_EQ(on_card(row.idcode, in).exit_status, taken ? 0 : 103);
        if (row.stream.empty()) {
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        const std::string written = read_file(out);
        EXPECT_TRUE(written.substr(written.size() - row.stream.size()) == row.stream);
        EXPECT_EQ(written.substr(written.size() - row.stream.size() - 4, 4), be32(row.stream.size()));
        EXPECT_EQ(header_field(out, 0), row.fields[0].empty() ? std::string(row.kind) + ".in" : row.fields[0]);
        EXPECT_EQ(header_field(out, 1), row.fields[1]);
        const std::string when = header_field(out, 2) + " " + header_field(out, 3);
        EXPECT_TRUE(row.fields.size() == 4 ? when == row.fields[2] + " " + row.fields[3]
                                           : std::regex_match(when, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")))
            << when;
        EXPECT_EQ(on_card(row.idcode, out).exit_status, 0);
        args.back() = "-";
        const std::string piped = run_executable(VELTCFG_CONVERT_PATH, args).out;
        EXPECT_TRUE(piped.size() == written.size() && piped.substr(piped.size() - row.stream.size()) == row.stream);
    }
}

// Real files that veltcfg refuses, converted and loaded on a card of their
// device.
TEST(Convert, RealFilesConfigureOnceConverted)
{
    if (corpus_dir().empty()) {
        GTEST_SKIP() << "no corpus folder at " << VELTCFG_CORPUS_DIR;
    }
    const struct {
        const char* file;
        const char* kind;
        const char* image;
        uint32_t idcode;
        int status;
    } files[] = {
        {"05_s6_dslogic_DSLogic33.bin", "stream_bit_reversed", "1", 0x04001093, 0},
        {"09_a7_xc7a35t_arty_top_spix4.bin", "stream", "1", 0x0362D093, 0},
        {"12_z7_xc7z020_xdevcfg_empty.bin", "stream_byte_swapped", "1", 0x03727093, 0},
        {"20_enc_xc7s50_soc_csr.bin", "stream", "1", 0x0362F093, 102},  // encrypted
        {"25_bin_xc7a200t_operational_spix4.bin", "stream", "1", 0x03636093, 0},
        {"26_mcs_xc6slx9_two_images.mcs", "intel_hex", "1", 0x04001093, 0},
        {"26_mcs_xc6slx9_two_images.mcs", "intel_hex", "2", 0x04001093, 0},
    };
    TempDir temp;
    const std::string out = temp.path() + "/out.bit";
    for (const auto& f : files) {
        SCOPED_TRACE(std::string(f.file) + " image " + f.image);
        const std::string in = corpus_dir() + "/" + f.file;
        FILE* file = std::fopen(in.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        EXPECT_STREQ(filekind::kind_name(filekind::read_contents(file).kind), f.kind);
        std::fclose(file);
        const ProgramRun convert = run_executable(VELTCFG_CONVERT_PATH, {"--image", f.image, in, out});
        EXPECT_EQ(convert.exit_status, 0) << convert.err;
        EXPECT_EQ(on_card(f.idcode, out).exit_status, f.status);
        if (f.file[1] == '9') {
            // The flash image of the design of 08, as 08 holds it.
            const std::string bit = read_file(corpus_dir() + "/08_a7_xc7a35t_arty_top.bit");
            EXPECT_TRUE(read_file(out).substr(91) == bit.substr(bit.size() - 2192012));
        }
    }
}


// Each leaves no OUT, nor any file beside it, and IN as it was.
TEST(Convert, BadInputLeavesNoOut)
{
    TempDir temp;
    const std::string in = temp.path() + "/in", out = temp.path() + "/out.bit", fifo = temp.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string stream = flash(sample::Design());
    const std::string data = hex_record(0, 0, "\x01\x02\x03\x04"), end = ":00000001FF\n";
    const std::string bits = "Design name: x\n" + std::string(32, '1') + "\n";
    sample::Design large;
    large.frame_words = 300000;
    const struct {
        std::string in;  // "": none
        std::vector<std::string> args;
        int status;
        std::string message;
    } rows[] = {
        {"", {in}, 2, "give IN and OUT"},
        {"", {"--fast", in, out}, 2, "unknown option --fast"},
        {stream, {"--image", "0", in, out}, 2, "--image takes a number from 1: 0"},
        {"", {in, out}, 2, "cannot open"},
        {stream, {in, in}, 2, "are the same file"},
        {stream, {in, fifo}, 2, "fifo exists and is not a regular file"},
        {stream, {in, temp.path() + "/none/out.bit"}, 2, "cannot create a file beside"},
        {":0400000001020304F3\n" + end, {in, out}, 2, "line 1: checksum error"},
        {data + ":0102\n" + end, {in, out}, 2, "line 2: not an Intel HEX record"},
        {data + hex_record(6, 0, "") + end, {in, out}, 2, "line 2: record type 6"},
        {data + hex_record(2, 0, "\x10") + end, {in, out}, 2, "line 2: an address record"},
        {data + data + end, {in, out}, 2, "data for address 0x0 is given twice"},
        {data, {in, out}, 2, "no end-of-file record"},
        {bits + "0101\n", {in, out}, 2, "its bits do not make whole bytes"},
        {bits + "0101x\n", {in, out}, 2, "line 3: not a line of 0 and 1"},
        {to_string(sample::bit_file(sample::Design())).substr(0, 40), {in, out}, 2, "header is cut short"},
        {to_string(sample::bit_file(sample::Design())).substr(0, 4000), {in, out}, 2, "data is cut short"},
        {std::string(5000, '\0'), {in, out}, 1, "holds no configuration"},
        {data + end, {in, out}, 1, "holds no configuration: Intel HEX records holding no"},
        {stream, {"--image", "2", in, out}, 1, "holds 1 configuration: no image 2"},
        {bare(large), {in, out}, 2, "cannot write " + out + ": File too large"},  // over the 1 MiB limit
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        std::filesystem::remove(in);
        if (!row.in.empty()) {
            temp.write("in", row.in);
        }
        std::vector<std::string> command = {"-c", "ulimit -f 2048 && trap '' XFSZ && exec \"$0\" \"$@\"",
                                            VELTCFG_CONVERT_PATH};
        command.insert(command.end(), row.args.begin(), row.args.end());
        const ProgramRun run = run_executable("/bin/sh", command);
        EXPECT_EQ(run.exit_status, row.status);
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
        std::string left;
        for (const auto& entry : std::filesystem::directory_iterator(temp.path())) {
            left += entry.path().filename().string() == "in" ? "" : entry.path().filename().string();
        }
        EXPECT_EQ(left, "fifo");
        EXPECT_TRUE(read_file(in) == row.in);
    }
}

}  // namespace
