// Configuration files made by real FPGA tools, from the shared corpus beside
// the checkout (skipped when it is absent): each .BIT file and the PROM image
// reach DONE on the simulated card with their header report; the other
// images are refused.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "support/bitstream.h"
#include "support/program_run.h"
#include "support/run_checks.h"

namespace {

struct CorpusFile {
    const char* file;
    const char* kind;  // "bit", "prom" or "other"
    const char* design;
    const char* part;
    const char* date;
    const char* time;
    uint32_t length;
    int packet_format;  // which packet format's DESYNC completes it
    int crc_checks;     // CRC comparisons in the stream that the card checks
};

const CorpusFile CORPUS[] = {
    {"01_s3a_xc3s50a_picoblaze3_top.bit", "bit", "top.ncd;UserID=0xFFFFFFFF", "3s50atq144",
     "2019/08/04", "19:33:09", 54664, 16, 0},
    {"02_s3e_xc3s1200e_te0300_TE0300_1200.bit", "bit", "system.ncd;HW_TIMEOUT=FALSE",
     "3s1200efg320", "2012/11/22", "16:27:10", 480148, 32, 0},
    {"03_s3e_xc3s1200e_te0300_TE0300-1200.bin", "prom", "", "", "", "", 480148, 32, 0},
    {"04_s6_xc6slx9_adc_top.bit", "bit", "top.ncd;UserID=0xFFFFFFFF", "6slx9tqg144",
     "2017/12/03", "02:23:37", 340604, 16, 0},
    {"05_s6_dslogic_DSLogic33.bin", "other", "", "", "", "", 0, 0, 0},
    {"06_v5_xc5vlx110t_xupv5_system.bit", "bit",
     "system.ncd;HW_TIMEOUT=FALSE;UserID=0xFFFFFFFF", "5vlx110tff1136", "2013/07/12", "14:20:57",
     3889856, 32, 2},
    {"07_v6_xc6vlx130t_spiOverJtag.bit", "bit", "spiOverJtag.ncd;UserID=0xFFFFFFFF",
     "6vlx130tff784", "2024/02/27", "19:06:36", 5464972, 32, 2},
    {"08_a7_xc7a35t_arty_top.bit", "bit", "top;UserID=0XFFFFFFFF;Version=2018.2", "7a35tcsg324",
     "2018/10/04", "22:02:24", 2192012, 32, 2},
    {"09_a7_xc7a35t_arty_top_spix4.bin", "other", "", "", "", "", 0, 0, 0},
    {"10_a7_xc7a100t_f4pga_top.bit", "bit", "/tmp/tmpjla8aaue;Generator=xc7frames2bit",
     "xc7a100tcsg324-1", "2021/12/03", "22:26:37", 3825788, 32, 0},
    {"11_z7_xc7z020_pynqz2_design_1_wrapper.bit", "bit",
     "design_1_wrapper;UserID=0XFFFFFFFF;Version=2020.1", "7z020clg400", "2020/10/04",
     "18:40:48", 4045564, 32, 2},
    {"12_z7_xc7z020_xdevcfg_empty.bin", "other", "", "", "", "", 0, 0, 0},
    {"13_k7_xc7k70t_spiOverJtag.bit", "bit", "spiOverJtag;UserID=0XFFFFFFFF;Version=2019.2",
     "7k70tfbg484", "2022/08/23", "15:14:59", 3011324, 32, 2},
    {"14_ku_xcku040_spiOverJtag.bit", "bit",
     "spiOverJtag;COMPRESS=TRUE;UserID=0XFFFFFFFF;Version=2021.1_AR76780",
     "xcku040-ffva1156-2-e", "2024/09/22", "12:38:30", 2190784, 32, 2},
    {"15_aup_xcau10p_spiOverJtag.bit", "bit",
     "spiOverJtag;UniqueID=8def22be;ParentID=00000000;COMPRESS=TRUE;UserID=0XFFFFFFFF;"
     "Version=2025.1;SW_CRC=1a2df9f5",
     "xcau10p-ffvb676-1-e", "2025/12/16", "19:44:27", 1410152, 32, 2},
};

std::string read_file(const std::string& path)
{
    std::string bytes;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.append(buffer, n);
    }
    std::fclose(in);
    return bytes;
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
    const ProgramRun run = run_program({path, "0"}, [](sim::Host&, rec::Recorder& recorder) {
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
    if (kind == "other") {
        EXPECT_EQ(run.exit_status, 103);
        EXPECT_EQ(run.err, error_report(UNKNOWN_TYPE));
        EXPECT_EQ(run.cards[0].fpga_bytes, 0u);
        return;
    }
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string length = std::to_string(c.length);
    const std::string report = kind == "bit"
                                   ? bit_file({c.design, c.part, c.date, c.time}, c.length, "")
                                         .report()
                                   : prom_report(c.length);
    EXPECT_NE(run.out.find(report + "\nProgramming...\n" + length), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0     \nSuccessfully programmed " + length + " bytes.\n\nFunction complete.\n"),
              std::string::npos);
    // Every byte went through, and the stream's own final DESYNC completed
    // the configuration: after it come only NOOP words of padding.
    const CardOutcome& card = run.cards[0];
    EXPECT_EQ(card.fpga_state, sim::Fpga::State::Done);
    EXPECT_EQ(card.completed_by, c.packet_format);
    EXPECT_EQ(card.fpga_bytes, uint64_t{c.length} + 24);
    ASSERT_LE(card.done_at_byte, c.length);
    const std::string file = read_file(path);
    ASSERT_GE(file.size(), c.length);
    std::string padding = file.substr(file.size() - c.length + card.done_at_byte);
    if (kind == "prom") {
        for (char& byte : padding) {
            byte = static_cast<char>(sample::reverse_bits(static_cast<uint8_t>(byte)));
        }
    }
    const std::string noop = c.packet_format == 32 ? std::string("\x20\0\0\0", 4)
                                                   : std::string("\x20\0", 2);
    EXPECT_EQ(padding.size() % noop.size(), 0u);
    for (size_t at = 0; at < padding.size(); at += noop.size()) {
        ASSERT_EQ(padding.substr(at, noop.size()), noop) << "at " << at << " after DESYNC";
    }

    // Cut before its DESYNC, the file does not configure a card, and the
    // checker names DESYNC. With one bit of its frame data flipped, a file
    // whose CRC the card checks does not either, and the checker names the
    // CRC.
    TempDir temp;
    const std::string cut = temp.write("cut", file.substr(0, file.size() - c.length / 4));
    const ProgramRun cut_check = run_executable(VELTCFG_CHECK_PATH, {cut});
    EXPECT_EQ(cut_check.exit_status, 1);
    EXPECT_NE(cut_check.out.find("no DESYNC"), std::string::npos) << cut_check.out;
    if (c.crc_checks == 0) {
        return;
    }
    std::string flipped = file;
    flipped[file.size() / 2] ^= 0x10;
    const std::string flipped_path = temp.write("flipped", flipped);
    const ProgramRun flipped_run = run_program({flipped_path, "0"}, [](sim::Host&, rec::Recorder& recorder) {
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

}  // namespace
