// Recognition of .BIT files and PROM images, through the whole program on
// the simulated host: exact report, exact error, exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"
#include "tests/support/run_checks.h"

using namespace std::string_literals;
using recording::Op;

namespace {

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
    std::string name;
    std::string file;
    int status;
    std::string report;  // standard output after the card report
    std::string error;   // the message on standard error, "" for none
};

std::vector<Recognition> recognition_cases()
{
    const std::string data = valid_data();
    const uint32_t size = static_cast<uint32_t>(data.size());
    const std::string prom = valid_prom();
    const auto recognised = [](const BitFile& file) {
        return Recognition{"", file.file(), 0, file.report(), ""};
    };
    // A header read as far as field `last`, then cut short.
    const auto cut_after = [](const BitFile& file, const std::string& bytes, int last) {
        return Recognition{"", bytes, 103, file.report_through(last), END_OF_FILE};
    };
    const BitFile standard = standard_bit_file(size, data);

    std::vector<std::pair<std::string, Recognition>> cases;
    cases.emplace_back("four_fields", recognised(standard));
    {
        BitFile file = standard;
        file.fields[0] = "";
        cases.emplace_back("empty_field", recognised(file));
        file.fields[0] = "top.ncd";
        file.fields[3] = "09:30:00";
        cases.emplace_back("fields_without_nul", recognised(file));
    }
    {
        BitFile file = standard;
        file.fields[0] = "abcdefghij";
        file.declared[0] = 100;
        cases.emplace_back("field_runs_past_end",
                           cut_after(file, file.header().substr(0, 26), 0));
    }
    {
        BitFile file = standard;
        file.fields[0] = "top\0.ncd"s;
        cases.emplace_back("nul_before_last_byte", cut_after(file, file.file(), 0));
    }
    {
        // A length one byte short of the field's text: the field is shown
        // without its last byte, and the header is read out of step after it.
        BitFile file = standard;
        file.fields[0] = "top.ncd";
        file.declared[0] = 6;
        BitFile as_read = file;
        as_read.fields[0] = "top.nc";
        Recognition c = cut_after(as_read, file.file(), 0);
        // The key letter and the high byte of the next length make a length
        // of 0x6200; the text after them ends at its NUL.
        c.report += "\n  Part I.D.:            \\x0C7a35tcpg236";
        cases.emplace_back("field_length_one_short", c);
    }
    {
        BitFile file = standard;
        const std::string header = file.header();
        // The second field's label is printed before its length is read.
        Recognition c = cut_after(file, header.substr(0, file.field_offset(1) + 1), 0);
        c.report += "\n  Part I.D.:            ";
        cases.emplace_back("field_length_cut_short", c);
        cases.emplace_back("config_length_cut_short",
                           cut_after(file, header.substr(0, header.size() - 2), 3));
    }
    {
        BitFile file = standard;
        file.config_length = 0x80000001u;
        cases.emplace_back("length_with_top_bit", recognised(file));
        file.config_length = 0xFFFFFFFFu;
        cases.emplace_back("length_all_ones", recognised(file));
        file.config_length = size;
        for (char& key : file.keys) {
            key = '?';
        }
        cases.emplace_back("key_letters_are_not_read", recognised(file));
    }
    cases.emplace_back("thirteen_bytes",
                       Recognition{"", standard.signature.substr(0, 13), 103, "", END_OF_FILE});
    cases.emplace_back("empty_file", Recognition{"", "", 103, "", END_OF_FILE});
    cases.emplace_back("fourteen_zeros",
                       Recognition{"", std::string(14, '\0'), 103, "", UNKNOWN_TYPE});
    // Each byte the .BIT test looks at, one off.
    for (size_t at : {0, 1, 11, 12, 13}) {
        std::string file = standard.file();
        file[at] = static_cast<char>(file[at] ^ 0x10);
        cases.emplace_back("bit_signature_byte_" + std::to_string(at),
                           Recognition{"", file, 103, "", UNKNOWN_TYPE});
    }
    cases.emplace_back("prom", Recognition{"", prom, 0, prom_report(prom.size()), ""});
    {
        std::string gap = prom;
        gap[1] = gap[2] = gap[3] = '\0';
        cases.emplace_back("prom_bytes_1_to_3_untested",
                           Recognition{"", gap, 0, prom_report(prom.size()), ""});
    }
    // Each byte the PROM test looks at, one off.
    for (size_t at : {0, 4, 5, 6, 7}) {
        std::string image = prom;
        image[at] = static_cast<char>(image[at] ^ 0x01);
        cases.emplace_back("prom_signature_byte_" + std::to_string(at),
                           Recognition{"", image, 103, "", UNKNOWN_TYPE});
    }

    std::vector<Recognition> named;
    for (auto& [name, c] : cases) {
        c.name = name;
        named.push_back(c);
    }
    return named;
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
    // One byte less is the largest image taken; a failed first register read
    // stops that run before anything is sent.
    const HostSetup gone = [](sim::Host&, recording::Recorder& recorder) {
        recorder.fail_call(recording::Op::IoPortRead);
    };
    for (off_t size : {off_t{INT32_MAX}, off_t{1} << 31, (off_t{1} << 32) + 100}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(truncate(path.c_str(), size), 0);  // sparse: costs no disk
        const ProgramRun run = run_program({path, "0"}, gone);
        const bool taken = size == INT32_MAX;
        EXPECT_EQ(run.exit_status, taken ? 105 : 104);
        EXPECT_EQ(run.err,
                  error_report(taken ? "Can't access 9056 card control register.\n" : SEEK_ERROR));
        const std::string out = mask_memory_base(run.out);
        EXPECT_EQ(out, banner() + card_report(0) + "\nLooks like a PROM file:" +
                           (taken ? "\n  Configuration length: 2147483647 bytes\n" : ""));
        EXPECT_TRUE(run.data_bytes().empty());
    }
}

// Text from the file or the command line reaches the terminal shown, not
// raw: as a header field, as the name of a missing file and as a card number.
struct TerminalCase {
    const char* name;
    std::string raw;
    std::string shown;
};

class TerminalText : public ::testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalText, IsShownNotSentRaw)
{
    const TerminalCase& c = GetParam();
    TempDir dir;
    const std::string data = valid_data();
    const BitFile file = bit_file({"top.ncd", c.raw, "2026/12/08", "09:30:00"},
                                  static_cast<uint32_t>(data.size()), data);
    const ProgramRun header = run_program({dir.write("config.bit", file.file()), "0"});
    EXPECT_EQ(header.exit_status, 0) << header.err;
    EXPECT_NE(header.out.find("\n  Part I.D.:            " + c.shown + "\n  Design date:"),
              std::string::npos)
        << printable(header.out);

    const std::string missing = dir.path() + "/" + c.raw;
    EXPECT_EQ(run_program({missing, "0"}).err,
              error_report("File not found: " + dir.path() + "/" + c.shown));
    const ProgramRun check = run_executable(VELTCFG_CHECK_PATH, {missing});
    EXPECT_EQ(check.exit_status, 2);
    EXPECT_EQ(check.err, "veltcfg-check: cannot read " + dir.path() + "/" + c.shown +
                             ": No such file or directory\n");
    const ProgramRun idcode = run_executable(VELTCFG_CHECK_PATH, {"--idcode", c.raw, missing});
    EXPECT_EQ(idcode.exit_status, 2);
    EXPECT_EQ(idcode.err, "veltcfg-check: not an IDCODE: " + c.shown +
                              " (a 32-bit number, decimal or 0x-hex)\n");
    EXPECT_EQ(run_program({dir.path() + "/config.bit", c.raw}).err,
              error_report("Invalid card number: " + c.shown));
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, TerminalText,
    ::testing::Values(
        TerminalCase{"plain", "xc7a35t", "xc7a35t"},
        TerminalCase{"escape_sequences", "\x1B[2J\x1B]0;owned\a", "\\x1B[2J\\x1B]0;owned\\x07"},
        TerminalCase{"c0_and_del", "\rok\tgo\x7F\x01\x1F\b", "\\x0Dok\tgo\\x7F\\x01\\x1F\\x08"},
        TerminalCase{"utf8_letters", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                     "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        TerminalCase{"latin1_letters", "caf\xE9 \xA0\xFF", "caf\xE9 \xA0\xFF"},
        TerminalCase{"c1_single_byte", "a\x9B" "2Jb\x80\x9F", "a\\x9B" "2Jb\\x80\\x9F"},
        TerminalCase{"c1_in_utf8", "\xC2\x9B" "2J\xC2\x80\xC2\xA0", "\\xC2\\x9B" "2J\\xC2\\x80\xC2\xA0"},
        TerminalCase{"last_c1_in_utf8", "\xC2\x9F", "\\xC2\\x9F"},
        TerminalCase{"overlong_c1", "\xE0\x82\x9B" "2J", "\xE0\\x82\\x9B" "2J"},
        TerminalCase{"broken_utf8", "\xE2\x82x\xC0\x9B\xED\xA0\x80\xC3",
                     "\xE2\\x82x\xC0\\x9B\xED\xA0\\x80\xC3"}),
    [](const ::testing::TestParamInfo<TerminalCase>& info) { return info.param.name; });

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
    EXPECT_EQ(log[n - 1].kind, recording::Event::Kind::Output);
    EXPECT_EQ(log[n - 1].stream, 2);  // standard error
    EXPECT_EQ(log[n - 1].text, error_report("Unknown file type."));
    EXPECT_EQ(run.cards.at(1).open, false);
}

TEST(RecognitionStream, NonSeekableOrUnreadableFilesEndWithAReport)
{
    TempDir dir;
    const std::string bit = dir.write("x.bit", standard_bit_file(100, valid_data()).file());
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
