// Recognition of .BIT files and PROM images, through the whole program on
// the simulated host: exact report, exact error, exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/bitstream.h"
#include "support/program_run.h"

using namespace std::string_literals;
using sim::Op;

namespace {

const std::string END_OF_FILE = "File I/O error.  Unexpected end of file?";

// Configuration data the simulated FPGA accepts, so that recognised files
// run on to success.
std::string valid_data()
{
    sample::Design design;
    design.frame_words = 32;
    return to_string(sample::ConfigStream(design).bytes());
}

std::string valid_prom()
{
    sample::Design design;
    design.frame_words = 32;
    return to_string(sample::prom_image(design));
}

struct Recognition {
    const char* name;
    std::string file;
    int status;
    std::string report;  // standard output after the card report
    std::string error;   // the message on standard error, "" for none
};

std::string bit_with(const std::vector<std::string>& fields, uint32_t length = 0,
                     std::string data = "")
{
    return bit_file(fields, length, data);
}

std::string report_of(const std::string& name, const std::string& part, const std::string& date,
                      const std::string& time, uint32_t length)
{
    return "\nLooks like a .BIT file:\n  Design name:          " + name +
           "\n  Part I.D.:            " + part + "\n  Design date:          " + date +
           "\n  Design time:          " + time + "\n  Configuration length: " +
           std::to_string(length) + " bytes\n";
}

std::vector<Recognition> recognition_cases()
{
    const std::string data = valid_data();
    const uint32_t size = static_cast<uint32_t>(data.size());
    const std::string prom = valid_prom();
    std::string prom_gap = prom;
    prom_gap[1] = prom_gap[2] = prom_gap[3] = '\0';
    const std::string fields_only = bit_signature() + be16(8) + "top.ncd\0"s + "b" +
                                    be16(4) + "abc\0"s + "c" + be16(2) + "d\0"s + "d" +
                                    be16(2) + "t\0"s + "e";

    return {
        {"four_fields", bit_with(standard_fields(), size, data), 0, standard_bit_report(size), ""},
        {"empty_field",
         bit_with({""s, "7a35t\0"s, "2026/12/08\0"s, "09:30:00\0"s}, size, data), 0,
         report_of("", "7a35t", "2026/12/08", "09:30:00", size), ""},
        {"field_without_nul",
         bit_with({"top.ncd"s, "7a35t"s, "2026/12/08\0"s, "09:30:00"s}, size, data), 0,
         report_of("top.ncd", "7a35t", "2026/12/08", "09:30:00", size), ""},
        {"field_runs_past_end", bit_signature() + be16(100) + "abcdefghij", 103,
         "\nLooks like a .BIT file:\n  Design name:          abcdefghij", END_OF_FILE},
        {"nul_before_last_byte", bit_signature() + be16(8) + "top\0.ncd"s + "b" + be16(2) + "x\0"s,
         103, "\nLooks like a .BIT file:\n  Design name:          top", END_OF_FILE},
        {"field_length_cut_short", bit_signature() + be16(8) + "top.ncd\0"s + "b" + "\x00"s, 103,
         "\nLooks like a .BIT file:\n  Design name:          top.ncd\n  Part I.D.:            ",
         END_OF_FILE},
        {"config_length_cut_short", fields_only + "\x00\x01"s, 103,
         "\nLooks like a .BIT file:\n  Design name:          top.ncd\n  Part I.D.:            abc"
         "\n  Design date:          d\n  Design time:          t",
         END_OF_FILE},
        {"length_with_top_bit", bit_with(standard_fields(), 0x80000001u, data), 0,
         standard_bit_report(2147483649u), ""},
        {"length_all_ones", bit_with(standard_fields(), 0xFFFFFFFFu, data), 0,
         standard_bit_report(4294967295u), ""},
        {"key_letters_are_not_read",
         [&] {
             std::string file = bit_with(standard_fields(), size, data);
             size_t at = 14;
             for (const std::string& field : standard_fields()) {
                 at += 2 + field.size();
                 file[at++] = '?';  // the key letter after the field
             }
             return file;
         }(),
         0, standard_bit_report(size), ""},
        {"thirteen_bytes", bit_signature().substr(0, 13), 103, "", END_OF_FILE},
        {"empty_file", "", 103, "", END_OF_FILE},
        {"fourteen_zeros", std::string(14, '\0'), 103, "", "Unknown file type."},
        {"bit_signature_with_one_byte_wrong", "\x00\x09"s + std::string(9, 'x') + "\x00\x01" "b"s,
         103, "", "Unknown file type."},
        {"prom", prom, 0,
         "\nLooks like a PROM file:\n  Configuration length: " + std::to_string(prom.size()) +
             " bytes\n",
         ""},
        {"prom_bytes_1_to_3_untested", prom_gap, 0,
         "\nLooks like a PROM file:\n  Configuration length: " + std::to_string(prom.size()) +
             " bytes\n",
         ""},
    };
}

void PrintTo(const Recognition& c, std::ostream* os)
{
    *os << c.name;
}

class RecognitionTest : public ::testing::TestWithParam<Recognition> {
protected:
    TempDir dir;
};

TEST_P(RecognitionTest, ReportsExactly)
{
    const Recognition& c = GetParam();
    const std::string path = dir.write("config", c.file);
    const ProgramRun run = run_program({path, "0"});
    EXPECT_EQ(run.exit_status, c.status) << run.err;
    const std::string out = mask_memory_base(run.out);
    const std::string head = banner() + card_report(0);
    ASSERT_EQ(out.substr(0, head.size()), head);
    if (c.error.empty()) {
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(out.substr(head.size(), c.report.size() + 16), c.report + "\nProgramming...\n");
    } else {
        EXPECT_EQ(out.substr(head.size()), c.report);
        EXPECT_EQ(run.err, error_report(c.error));
        // Nothing reaches the card on a refused file.
        EXPECT_TRUE(run.data_bytes().empty());
        EXPECT_TRUE(run.register_writes().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RecognitionTest, ::testing::ValuesIn(recognition_cases()),
                         [](const ::testing::TestParamInfo<Recognition>& info) {
                             return info.param.name;
                         });

TEST(RecognitionShortFiles, PromLikeStartsShorterThanTheProbeAreEndOfFile)
{
    TempDir dir;
    const std::string start = "\xFF\xFF\xFF\xFF\x55\x99\xAA\x66\xFF\xFF\xFF\xFF\xFF"s;
    for (size_t length = 8; length <= 13; ++length) {
        SCOPED_TRACE(length);
        const ProgramRun run = run_program({dir.write("short", start.substr(0, length)), "0"});
        EXPECT_EQ(run.exit_status, 103);
        EXPECT_EQ(run.err, error_report(END_OF_FILE));
    }
}

TEST(RecognitionLargeFiles, PromOfTwoGigabytesOrMoreIsRefusedNotWrapped)
{
    TempDir dir;
    const std::string path = dir.write("huge.prom", valid_prom());
    for (off_t size : {off_t{1} << 31, (off_t{1} << 32) + 100}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(truncate(path.c_str(), size), 0);  // sparse: costs no disk
        const ProgramRun run = run_program({path, "0"});
        EXPECT_EQ(run.exit_status, 104);
        EXPECT_EQ(run.err, error_report("File seek error."));
        const std::string out = mask_memory_base(run.out);
        EXPECT_EQ(out, banner() + card_report(0) + "\nLooks like a PROM file:");
        EXPECT_TRUE(run.data_bytes().empty());
    }
}

TEST(RecognitionTerminal, HeaderTextCannotSendControlSequences)
{
    TempDir dir;
    const std::string hostile_name = "\x1B[2J\x1B]0;owned\a\rok\tgo\x7F\x01\x1F caf\xC3\xA9 \x80\0"s;
    const std::string data = valid_data();
    const std::string path = dir.write(
        "hostile.bit",
        bit_file({hostile_name, "7a35t\0"s, "\x1B[1A\0"s, "\b\b\b\0"s},
                 static_cast<uint32_t>(data.size()), data));
    const ProgramRun run = run_program({path, "0"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find(
                  "\n  Design name:          \\x1B[2J\\x1B]0;owned\\x07\\x0Dok\tgo\\x7F\\x01\\x1F"
                  " caf\xC3\xA9 \x80\n  Part I.D.:            7a35t"
                  "\n  Design date:          \\x1B[1A"
                  "\n  Design time:          \\x08\\x08\\x08\n"),
              std::string::npos)
        << run.out;
    // The only control characters left are the program's own line ends,
    // carriage returns of the countdown, and tab.
    for (char c : run.out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            EXPECT_TRUE(c == '\n' || c == '\r' || c == '\t') << "raw control byte " << int(u);
        }
    }
}

TEST(RecognitionRelease, RefusedFileUnmapsAndClosesBeforeTheReport)
{
    TempDir dir;
    const ProgramRun run = run_program({dir.write("zeros", std::string(14, '\0')), "1"});
    EXPECT_EQ(run.exit_status, 103);
    ASSERT_GE(run.log.size(), 3u);
    const auto& log = run.log;
    const size_t n = log.size();
    EXPECT_EQ(log[n - 3].op, Op::PciBarUnmap);
    EXPECT_EQ(log[n - 2].op, Op::DeviceClose);
    EXPECT_EQ(log[n - 1].kind, sim::Event::Kind::Output);
    EXPECT_EQ(log[n - 1].card, 2);  // standard error
    EXPECT_EQ(log[n - 1].args, error_report("Unknown file type."));
    EXPECT_EQ(run.cards.at(1).open, false);
}

TEST(RecognitionStream, NonSeekableOrUnreadableFilesEndWithAReport)
{
    TempDir dir;
    const std::string bit = dir.write("x.bit", bit_file(standard_fields(), 100, valid_data()));
    // A directory opens but does not read; a pipe does not seek.
    const ProgramRun directory = run_executable(VELTCFG_SIM_PATH, {dir.path(), "0"}, 30);
    EXPECT_EQ(directory.exit_status, 103);
    EXPECT_EQ(directory.err, error_report(END_OF_FILE));

    const ProgramRun pipe = run_executable(
        "/bin/bash", {"-c", std::string(VELTCFG_SIM_PATH) + " <(cat '" + bit + "') 0"}, 30);
    EXPECT_FALSE(pipe.timed_out);
    EXPECT_EQ(pipe.exit_status, 103);
    EXPECT_EQ(pipe.err, error_report(END_OF_FILE));
}

}  // namespace
