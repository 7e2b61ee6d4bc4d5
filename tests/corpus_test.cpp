// Configuration files made by real FPGA tools, from the shared corpus beside
// the checkout (skipped when it is absent): each .BIT file and the PROM image
// reach DONE on the simulated card with their header report; the other
// images are refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <iterator>
#include <string>

#include "common/bit_reverse.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"
#include "tests/support/run_checks.h"

#ifdef VELTCFG_WITH_JSON
#include <nlohmann/json.hpp>
#endif

using namespace std::string_literals;

namespace {

struct CorpusFile {
    const char* file;
    const char* kind;  // "bit", "prom" or "other"
    const char* design;
    const char* part;
    const char* date;
    const char* time;
    uint32_t length;
    bitstream::FamilyGroup group;  // what the card finds the stream written for
    int crc_checks;          // CRC comparisons in the stream, AutoCRC included
    uint32_t idcode;         // what the stream writes (0: none)
    const char* device;      // the device it names
};

using G = bitstream::FamilyGroup;

const CorpusFile CORPUS[] = {
    {"01_s3a_xc3s50a_picoblaze3_top.bit", "bit", "top.ncd;UserID=0xFFFFFFFF", "3s50atq144",
     "2019/08/04", "19:33:09", 54664, G::Spartan3A, 2, 0x02210093, "xc3s50a"},
    {"02_s3e_xc3s1200e_te0300_TE0300_1200.bit", "bit", "system.ncd;HW_TIMEOUT=FALSE",
     "3s1200efg320", "2012/11/22", "16:27:10", 480148, G::VirtexII, 2, 0x01C2E093, "xc3s1200e"},
    {"03_s3e_xc3s1200e_te0300_TE0300-1200.bin", "prom", "", "", "", "", 480148, G::VirtexII, 2, 0x01C2E093, "xc3s1200e"},
    {"04_s6_xc6slx9_adc_top.bit", "bit", "top.ncd;UserID=0xFFFFFFFF", "6slx9tqg144",
     "2017/12/03", "02:23:37", 340604, G::Spartan6, 2, 0x04001093, "xc6slx9"},
    {"05_s6_dslogic_DSLogic33.bin", "other", "", "", "", "", 0, G::Unknown, 0, 0, ""},
    {"06_v5_xc5vlx110t_xupv5_system.bit", "bit",
     "system.ncd;HW_TIMEOUT=FALSE;UserID=0xFFFFFFFF", "5vlx110tff1136", "2013/07/12", "14:20:57",
     3889856, G::Virtex4On, 2, 0x02AD6093, "xc5vlx110t"},
    {"07_v6_xc6vlx130t_spiOverJtag.bit", "bit", "spiOverJtag.ncd;UserID=0xFFFFFFFF",
     "6vlx130tff784", "2024/02/27", "19:06:36", 5464972, G::Virtex4On, 2, 0x0424A093, "xc6vlx130t"},
    {"08_a7_xc7a35t_arty_top.bit", "bit", "top;UserID=0XFFFFFFFF;Version=2018.2", "7a35tcsg324",
     "2018/10/04", "22:02:24", 2192012, G::Virtex4On, 2, 0x0362D093, "xc7a35t"},
    {"09_a7_xc7a35t_arty_top_spix4.bin", "other", "", "", "", "", 0, G::Unknown, 0, 0, ""},
    {"10_a7_xc7a100t_f4pga_top.bit", "bit", "/tmp/tmpjla8aaue;Generator=xc7frames2bit",
     "xc7a100tcsg324-1", "2021/12/03", "22:26:37", 3825788, G::Virtex4On, 0, 0x03631093, "xc7a100t"},
    {"11_z7_xc7z020_pynqz2_design_1_wrapper.bit", "bit",
     "design_1_wrapper;UserID=0XFFFFFFFF;Version=2020.1", "7z020clg400", "2020/10/04",
     "18:40:48", 4045564, G::Virtex4On, 2, 0x03727093, "xc7z020"},
    {"12_z7_xc7z020_xdevcfg_empty.bin", "other", "", "", "", "", 0, G::Unknown, 0, 0, ""},
    {"13_k7_xc7k70t_spiOverJtag.bit", "bit", "spiOverJtag;UserID=0XFFFFFFFF;Version=2019.2",
     "7k70tfbg484", "2022/08/23", "15:14:59", 3011324, G::Virtex4On, 2, 0x03647093, "xc7k70t"},
    {"14_ku_xcku040_spiOverJtag.bit", "bit",
     "spiOverJtag;COMPRESS=TRUE;UserID=0XFFFFFFFF;Version=2021.1_AR76780",
     "xcku040-ffva1156-2-e", "2024/09/22", "12:38:30", 2190784, G::Virtex4On, 2, 0x03822093, "xcku040"},
    {"15_aup_xcau10p_spiOverJtag.bit", "bit",
     "spiOverJtag;UniqueID=8def22be;ParentID=00000000;COMPRESS=TRUE;UserID=0XFFFFFFFF;"
     "Version=2025.1;SW_CRC=1a2df9f5",
     "xcau10p-ffvb676-1-e", "2025/12/16", "19:44:27", 1410152, G::Virtex4On, 2, 0x04AC4093, "xcau10p"},
    {"16_v4_xc4vfx20_ml405_download.bit", "bit", "system.ncd", "4vfx20ff672", "2010/06/23",
     "12:52:45", 905328, G::Virtex4On, 2, 0x01E64093, "xc4vfx20"},
    {"17_v2p_xc2vp30_spreadspectrumtx.bit", "bit", "spreadspectrumtx.ncd", "2vp30ff896",
     "2016/12/19", "19:57:52", 1448740, G::VirtexII, 2, 0x0127E093, "xc2vp30"},
    {"18_s3_xc3s200_lab09_top.bit", "bit", "top.ncd;UserID=0xFFFFFFFF", "3s200pq208", "2014/11/10",
     "16:11:05", 130952, G::VirtexII, 2, 0x01414093, "xc3s200"},
    {"19_s2_xc2s200_nf2_cpci.bit", "bit", "cpci_top_par.ncd;HW_TIMEOUT=FALSE", "2s200fg456",
     "2011/11/17", "17:12: 5", 166980, G::Virtex, 2, 0, ""},
};

std::string hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Another device of the file's family (Virtex, Spartan-II: of another group).
uint32_t another_device(const CorpusFile& c)
{
    const bitstream::FpgaDevice* own = bitstream::device_of_idcode(c.idcode);
    for (const bitstream::FpgaDevice& device : bitstream::all_devices()) {
        if (own != nullptr && device.family == own->family && !idcode_matches(device, c.idcode)) {
            return device.idcode;
        }
    }
    return 0x0362D093;  // a Virtex stream writes none: a device of another group
}

class CorpusTest : public ::testing::TestWithParam<CorpusFile> {};

void PrintTo(const CorpusFile& file, std::ostream* os)
{
    *os << file.file;
}

TEST_P(CorpusTest, BehavesAsOnACard)
{
    const CorpusFile& c = GetParam();
    const std::string dir = corpus_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no corpus folder at " << VELTCFG_CORPUS_DIR;
    }
    const std::string path = dir + "/" + c.file;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        GTEST_SKIP() << path << " is absent";
    }
    const ProgramRun run = run_program({path, "0"}, [](sim::Host&, recording::Recorder& recorder) {
        recorder.record_data_bytes = false;  // megabytes of them
    });
    const std::string kind = c.kind;
    // The checker agrees, and shows each CRC comparison.
    const ProgramRun check = run_executable(VELTCFG_CHECK_PATH, {path});
    EXPECT_EQ(check.exit_status, kind == "other" ? 1 : 0) << check.out;
    size_t compares = 0;
    for (size_t at = 0; (at = check.out.find(", match\n", at)) != std::string::npos; ++at) {
        ++compares;
    }
    EXPECT_EQ(compares, static_cast<size_t>(c.crc_checks)) << check.out;
    // Its group from the header's part, but for a PROM image: inferred from
    // the stream.
    EXPECT_EQ(check.out.find("(inferred from the stream") != std::string::npos, kind == "prom");
    if (kind == "other") {
        EXPECT_EQ(run.exit_status, 103);
        EXPECT_EQ(run.err, error_report(UNKNOWN_TYPE));
        EXPECT_EQ(run.cards[0].fpga_bytes, 0u);
        return;
    }
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // A card's FPGA takes a stream written for its own IDCODE, silicon
    // revision aside; one of another device of the group stops it in its ID
    // error, and the checker names both devices. (A Virtex or Spartan-II
    // stream writes none: any card takes it but one of another group.)
    const std::string idcode = hex32(c.idcode);
    const std::string other = hex32(another_device(c));
    EXPECT_NE(check.out.find(c.idcode == 0 ? "IDCODE:               none written\n"
                                           : idcode + " (" + c.device + ","),
              std::string::npos)
        << check.out;
    for (const auto& [card, status] : {std::make_pair(idcode, 0),
                                       std::make_pair(hex32(c.idcode | 0x10000000), 0),
                                       std::make_pair(other, 102)}) {
        const ProgramRun on_card = run_executable(
            "/usr/bin/env", {"VELTCFG_SIM_HOST=bus=4 slot=0 idcode=" + card, VELTCFG_SIM_PATH, path, "0"});
        EXPECT_EQ(on_card.exit_status, status) << card << on_card.err;
    }
    const ProgramRun wrong = run_executable(VELTCFG_CHECK_PATH, {"--idcode", other, path});
    EXPECT_EQ(wrong.exit_status, 1);
    if (c.idcode != 0) {
        EXPECT_NE(wrong.out.find("stream is written for IDCODE " + idcode + " (" + c.device +
                                 ", "),
                  std::string::npos)
            << wrong.out;
        EXPECT_NE(wrong.out.find("card's FPGA has IDCODE " + other + " ("), std::string::npos);
    }
    const std::string length = std::to_string(c.length);
    const std::string report = kind == "bit"
                                   ? bit_file({c.design, c.part, c.date, c.time}, c.length, "")
                                         .report()
                                   : prom_report(c.length);
    EXPECT_NE(run.out.find(report + "\nProgramming...\n" + length), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0     \nSuccessfully programmed " + length + " bytes.\n\nFunction complete.\n"),
              std::string::npos);
    // Every byte went through, and the stream's own end of configuration
    // completed it: after it come only words of padding (NOOPs; zeros after
    // the CRC check that follows a Virtex START).
    const CardOutcome& card = run.cards[0];
    EXPECT_EQ(card.fpga_state, sim::Fpga::State::Done);
    EXPECT_EQ(card.group, c.group);
    EXPECT_EQ(card.fpga_bytes, uint64_t{c.length} + 24);
    ASSERT_LE(card.done_at_byte, c.length);
    const std::string file = read_file(path);
    ASSERT_GE(file.size(), c.length);
    std::string padding = file.substr(file.size() - c.length + card.done_at_byte);
    if (kind == "prom") {
        for (char& byte : padding) {
            byte = static_cast<char>(bit_reverse_table[static_cast<uint8_t>(byte)]);
        }
    }
    const bool words16 = c.group == G::Spartan3A || c.group == G::Spartan6;
    const std::string noop = c.group == G::Virtex ? std::string(4, '\0')
                             : words16            ? std::string("\x20\0", 2)
                                                  : std::string("\x20\0\0\0", 4);
    EXPECT_EQ(padding.size() % noop.size(), 0u);
    for (size_t at = 0; at < padding.size(); at += noop.size()) {
        ASSERT_EQ(padding.substr(at, noop.size()), noop) << "at " << at << " after DESYNC";
    }

    // Cut before its end of configuration, the file does not configure a
    // card, and the checker names the missing command. With one bit of its
    // frame data flipped, a file that carries a CRC does not either, and the
    // checker names the CRC.
    TempDir temp;
    const std::string cut = temp.write("cut", file.substr(0, file.size() - c.length / 4));
    const ProgramRun cut_check = run_executable(VELTCFG_CHECK_PATH, {cut});
    EXPECT_EQ(cut_check.exit_status, 1);
    EXPECT_NE(cut_check.out.find(c.group == G::Virtex ? "no START" : "no DESYNC"),
              std::string::npos)
        << cut_check.out;
    EXPECT_NE(cut_check.out.find(words16 ? "16-bit words" : "32-bit words"), std::string::npos);
    EXPECT_EQ(cut_check.out.find("before the length its header announces") != std::string::npos,
              kind == "bit");
    if (c.crc_checks == 0) {
        return;
    }
    std::string flipped = file;
    flipped[file.size() / 2] ^= 0x10;
    const std::string flipped_path = temp.write("flipped", flipped);
    const ProgramRun flipped_run = run_program({flipped_path, "0"}, [](sim::Host&, recording::Recorder& recorder) {
        recorder.record_data_bytes = false;
    });
    EXPECT_EQ(flipped_run.exit_status, 102);
    EXPECT_EQ(flipped_run.err, error_report(NOT_DONE));
    EXPECT_EQ(flipped_run.cards.at(0).fpga_state, sim::Fpga::State::CrcError);
    const ProgramRun flipped_check = run_executable(VELTCFG_CHECK_PATH, {flipped_path});
    EXPECT_EQ(flipped_check.exit_status, 1);
    EXPECT_NE(flipped_check.out.find("the CRC written at byte"), std::string::npos)
        << flipped_check.out;
}

INSTANTIATE_TEST_SUITE_P(RealFiles, CorpusTest, ::testing::ValuesIn(CORPUS),
                         [](const ::testing::TestParamInfo<CorpusFile>& info) {
                             return std::string(info.param.file).substr(0, 2);
                         });

// Edits of real files, each judged on a card of the file's own device as
// that device judges it: commands are CMD[4:0]; start-up begins at START
// and then DESYNC, and needs clocks after it; Spartan-6 needs the whole sync
// word; a CRC is checked before the group is known; a stream that shuts the
// device down again after start-up leaves it unconfigured; Virtex-5 and
// later need the bus width detected; a CRC check is bypassed as the family
// does; with no device known, both packet formats are read until one is
// ruled out; IPROG clears the device for as many bytes every time.
TEST(CorpusEdits, EachIsJudgedAsTheDeviceJudgesIt)
{
    if (corpus_dir().empty()) {
        GTEST_SKIP() << "no corpus folder at " << VELTCFG_CORPUS_DIR;
    }
    const std::string resync = "\xAA\x99\x55\x66\x30\x00\x80\x01"s;
    const std::string shutdown =
        resync + "\x00\x00\x00\x0B\x30\x00\x80\x01\x00\x00\x00\x07"s + std::string(16, '\0');
    const std::string desync = "\x30\x00\x80\x01\x00\x00\x00\x0D"s, start = "\x30\x00\x80\x01\x00\x00\x00\x05"s;
    struct Change {
        size_t at;
        uint8_t value;  // set to this, or (xor) with its bits flipped
        bool xor_bits = false;
    };
    const struct {
        const char* file;  // its number
        std::vector<Change> changes;
        std::string cut_after;  // the last of these bytes, then `left` bytes
        size_t left;
        std::string appended;
        int status;
    } edits[] = {
        {"08", {{258, 0x0D}}, "", 0, "", 102},          // SWITCH becomes DESYNC, before START
        {"01", {{54700, 0x0D}}, "", 0, "", 102},        // START becomes DESYNC
        {"02", {{101, 0x80, true}}, "", 0, "", 102},    // a CRC write of 7 before the IDCODE
        {"01", {{147, 0x01, true}}, "", 0, "", 102},    // the IDCODE damaged
        {"08", {{209, 0x01, true}}, "", 0, "", 0},      // RCRC written 00000107
        {"04", {{106, 0x10, true}}, "", 0, "", 102},    // Spartan-6 sync word AA 99 45 66
        {"17", {}, desync, 0, "", 102},
        {"17", {}, desync, 13, "", 0},
        {"01", {}, "\x30\xA1\x00\x0D"s, 13, "", 0},   // Spartan-3A's DONE phase is COR2's field
        {"19", {}, start, 4, "", 102},                  // 4 clocks after START, of 5
        {"08", {}, "", 0, shutdown, 102},
        {"08", {{134, 0xBA}}, "", 0, "", 102},          // the bus width pattern damaged
        {"19", {{104, 0x04, true}}, "", 0, "", 0},      // a reserved bit of the first header
        // COR bit 28 and the CRC words 0x0000DEFC (Virtex-5), 0x9876DEFC (Artix-7)
        {"06", {{223, 0x10}, {3889119, 0}, {3889120, 0}, {3889121, 0xDE}, {3889122, 0xFC},
                {3889711, 0}, {3889712, 0}, {3889713, 0xDE}, {3889714, 0xFC}}, "", 0, "", 0},
        {"08", {{231, 0x12}, {2190039, 0x98}, {2190040, 0x76}, {2190041, 0xDE}, {2190042, 0xFC},
                {2190511, 0x98}, {2190512, 0x76}, {2190513, 0xDE}, {2190514, 0xFC}}, "", 0, "", 102},
        {"08", {{231, 0x12}, {2190039, 0}, {2190040, 0}, {2190041, 0xDE}, {2190042, 0xFC},
                {2190511, 0}, {2190512, 0}, {2190513, 0xDE}, {2190514, 0xFC}}, "", 0, "", 102},
    };
    TempDir temp;
    for (const auto& e : edits) {
        const CorpusFile& c = *std::find_if(std::begin(CORPUS), std::end(CORPUS), [&e](const CorpusFile& f) {
            return std::string(f.file).compare(0, 2, e.file) == 0;
        });
        SCOPED_TRACE(std::string(c.file) + " at " + (e.changes.empty() ? "" : std::to_string(e.changes[0].at)));
        std::string file = read_file(corpus_dir() + "/" + c.file);
        ASSERT_FALSE(file.empty());
        for (const Change& change : e.changes) {
            file.at(change.at) = static_cast<char>(change.xor_bits ? file[change.at] ^ change.value : change.value);
        }
        if (!e.cut_after.empty()) {
            file.resize(file.rfind(e.cut_after) + e.cut_after.size() + e.left);
        }
        const ProgramRun run = run_executable(
            "/usr/bin/env", {"VELTCFG_SIM_HOST=bus=4 slot=0 idcode=" + hex32(c.idcode),
                             VELTCFG_SIM_PATH, temp.write("edited", file + e.appended), "0"});
        EXPECT_EQ(run.exit_status, e.status) << run.err;
    }
    // A configuration, IPROG, padding and the configuration again: the same
    // status in every run, whatever the speed of the run.
    const std::string file = read_file(corpus_dir() + "/08_a7_xc7a35t_arty_top.bit");
    const std::string again = temp.write(
        "again", file + resync + "\x00\x00\x00\x0F"s + std::string(28672, '\xFF') + file.substr(99));
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(run_executable(VELTCFG_SIM_PATH, {again, "0"}).exit_status, 0);
    }
}

#ifdef VELTCFG_WITH_JSON
// What veltcfg-check names every file of the corpus, and how it judges the
// files veltcfg does not take as veltcfg-convert would make them: the kind,
// veltcfg's status, the kinds of stream, and the status after conversion
// (-1: none) with its kinds of stream.
TEST(CorpusKinds, EachFileIsNamedAndTheOthersJudgedAsConverted)
{
    if (corpus_dir().empty()) {
        GTEST_SKIP() << "no corpus folder at " << VELTCFG_CORPUS_DIR;
    }
    const std::map<std::string, std::string> expected = {
        {"05", "stream_bit_reversed 103 [] 0 []"},
        {"09", "stream 103 [] 0 []"},
        {"12", "stream_byte_swapped 103 [] 0 []"},
        {"14", "bit 0 [compressed] -1"},
        {"15", "bit 0 [compressed] -1"},
        {"20", "stream 103 [] 102 [encrypted]"},
        {"21", "bit 0 [partial] -1"},
        {"22", "bit 102 [debug] -1"},
        {"23", "bit 0 [per_frame_crc] -1"},
        {"24", "bit 102 [compressed multiboot] -1"},
        {"25", "stream 103 [] 0 [compressed]"},
        {"26", "intel_hex 103 [] 0 []"},
    };
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(corpus_dir())) {
        if (entry.path().extension() != ".md") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    files.insert(files.begin(), "--json");
    const nlohmann::json document = nlohmann::json::parse(run_executable(VELTCFG_CHECK_PATH, files).out);
    auto codes = [](const nlohmann::json& list) {
        std::string text;
        for (const auto& code : list) {
            text += (text.empty() ? "" : " ") + code.get<std::string>();
        }
        return "[" + text + "]";
    };
    for (const auto& file : document.at("files")) {
        const std::string number = std::filesystem::path(file.at("name").get<std::string>()).filename().string().substr(0, 2);
        const auto& converted = file.at("after_conversion");
        std::string seen = file.at("kind").get<std::string>() + " " + std::to_string(file.at("status").get<int>()) +
                           " " + codes(file.at("features")) + " " +
                           (converted.is_null() ? "-1" : std::to_string(converted.at("status").get<int>()) + " " +
                                                             codes(converted.at("features")));
        const auto row = expected.find(number);
        const bool plain = number == "03" ? seen == "prom 0 [] -1" : seen == "bit 0 [] -1";
        EXPECT_TRUE(row != expected.end() ? seen == row->second : plain) << number << ": " << seen;
    }
}
#endif

}  // namespace
