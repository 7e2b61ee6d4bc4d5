// The programming sequence on the simulated card: countdown, byte stream,
// DONE checks, trailing clocks, and the card state each failure leaves.
#include <gtest/gtest.h>

#ifdef VELTCFG_WITH_JSON
#include <nlohmann/json.hpp>
#endif

#include <fcntl.h>
#include <sys/wait.h>
#include <signal.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/bit_reverse.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"

using namespace std::string_literals;
using recording::Event;
using recording::Op;

namespace {

const std::string TAIL_OK = "\n\nFunction complete.\n";

std::string stream_bytes(uint32_t frame_words)
{
    sample::Design design;
    design.frame_words = frame_words;
    return to_string(sample::ConfigStream(design).bytes());
}

// The exit status of veltcfg-check with standard output a pipe whose reader
// has gone (veltcfg-check FILE | head -n 1).
int check_status_without_reader(std::vector<std::string> args)
{
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    close(out[0]);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        args.insert(args.begin(), VELTCFG_CHECK_PATH);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(VELTCFG_CHECK_PATH, argv.data());
        _exit(127);
    }
    close(out[1]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What the program prints after the file report.
std::string after_report(const ProgramRun& run)
{
    const size_t at = run.out.find("\nProgramming...\n");
    return at == std::string::npos ? std::string() : run.out.substr(at);
}

// A host of one card (bus 0, slot 0), set up as `card` says.
HostSetup one_card(const sim::CardSettings& card)
{
    return [card](sim::Host& host, recording::Recorder&) {
        host = sim::Host();
        host.add_card(card);
    };
}

// `held` bytes of data that configure the FPGA: a short stream, then zeros,
// which the FPGA no longer reads.
std::string configuring_data(size_t held)
{
    std::string data = stream_bytes(1);
    data.resize(held, '\0');
    return data;
}

// What happens once the file has been sent: the status reads after the last
// register write and the last of the file's data bytes, then the data bytes
// after those reads (the trailing clocks).
struct Tail {
    size_t status_reads = 0;
    size_t trailing_bytes = 0;
};

Tail tail_of(const ProgramRun& run, size_t file_bytes)
{
    size_t start = 0;
    size_t data_seen = 0;
    for (size_t i = 0; i < run.log.size(); ++i) {
        const Event& event = run.log[i];
        if ((event.kind == Event::Kind::Call && event.op == Op::IoPortWrite) ||
            (event.kind == Event::Kind::DataByte && ++data_seen == file_bytes)) {
            start = i + 1;
        }
    }
    Tail tail;
    for (size_t i = start; i < run.log.size(); ++i) {
        const Event& event = run.log[i];
        if (event.kind == Event::Kind::DataByte) {
            ++tail.trailing_bytes;
        } else if (event.kind == Event::Kind::Call && event.op == Op::IoPortRead &&
                   tail.trailing_bytes == 0) {
            ++tail.status_reads;
        }
    }
    return tail;
}

TEST(UploadTest, PromImageIsCountedDownBlockByBlockAndSentUnchanged)
{
    TempDir dir;
    // A PROM image of exactly 40,000 bytes.
    sample::Design design;
    design.frame_words = (40000 - 128) / 4;
    const std::vector<uint8_t> prom = sample::prom_image(design);
    ASSERT_EQ(prom.size(), 40000u);
    const ProgramRun run = run_program({dir.write("40k.prom", to_string(prom)), "0"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(after_report(run), "\nProgramming...\n40000 \r23616 \r7232  \r0     "
                                 "\nSuccessfully programmed 40000 bytes." + TAIL_OK);
    std::vector<uint8_t> expected = prom;
    expected.insert(expected.end(), 24, 0xFF);
    EXPECT_EQ(run.data_bytes(), expected);
    EXPECT_EQ(run.cards[0].fpga_state, sim::Fpga::State::Done);
}

TEST(UploadTest, BitDataIsReversedAndFollowedByTrailingClocksAfterDone)
{
    TempDir dir;
    // 01 02 03, then a stream that configures the FPGA (which passes over
    // what comes before its sync word).
    const std::string data = "\x01\x02\x03"s + stream_bytes(1);
    const std::string file = standard_bit_file(static_cast<uint32_t>(data.size()), data).file();
    const ProgramRun run = run_program({dir.write("three.bit", file), "0"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::vector<uint8_t> sent = run.data_bytes();
    ASSERT_EQ(sent.size(), data.size() + 24);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 3),
              (std::vector<uint8_t>{0x80, 0x40, 0xC0}));
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(sent[i], bit_reverse_table[static_cast<uint8_t>(data[i])]) << i;
    }
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + data.size(), sent.end()),
              std::vector<uint8_t>(24, 0xFF));
    const Tail tail = tail_of(run, data.size());
    EXPECT_EQ(tail.status_reads, 101u);
    EXPECT_EQ(tail.trailing_bytes, 24u);
    EXPECT_EQ(after_report(run), "\nProgramming...\n147   \r0     "
                                 "\nSuccessfully programmed 147 bytes." + TAIL_OK);
}

TEST(UploadTest, CountdownUsesTheAnnouncedLengthAndWrapsModulo32Bits)
{
    const struct {
        const char* name;
        uint32_t announced;
        size_t held;
        std::string countdown;
    } cases[] = {
        {"more_than_announced", 100, 150, "100   \r0     "},
        {"header_ends_at_end_of_file", 100, 0, "0     "},  // DONE then fails: nothing came
        {"wraps_below_zero", 100, 20000, "100   \r4294951012\r0     "},
        {"exactly_one_block", 16384, 16384, "16384 \r0     "},
        {"long_count_is_printed_in_full", 123456789, 150, "123456789\r0     "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string data = configuring_data(c.held);
        const ProgramRun run = run_program(
            {dir.write("f.bit", standard_bit_file(c.announced, data).file()), "0"});
        if (c.held == 0) {
            EXPECT_EQ(run.exit_status, 102);
            EXPECT_EQ(after_report(run), "\nProgramming...\n" + c.countdown);
            EXPECT_TRUE(run.data_bytes().empty());
            continue;
        }
        ASSERT_EQ(run.exit_status, 0) << run.err;
        EXPECT_EQ(after_report(run), "\nProgramming...\n" + c.countdown +
                                         "\nSuccessfully programmed " + std::to_string(c.held) +
                                         " bytes." + TAIL_OK);
        const std::vector<uint8_t> sent = run.data_bytes();
        ASSERT_EQ(sent.size(), c.held + 24);
        for (size_t i = 0; i < c.held; ++i) {
            ASSERT_EQ(sent[i], bit_reverse_table[static_cast<uint8_t>(data[i])]) << i;
        }
        EXPECT_EQ(tail_of(run, c.held).status_reads, 101u);
    }
}

TEST(UploadTest, BusyAtStartLeavesTheProgramLineLowAndSendsNothing)
{
    TempDir dir;
    const ProgramRun run = run_program(
        {dir.write("f.bit", standard_bit_file(0, stream_bytes(8)).file()), "0"},
        [](sim::Host& host, recording::Recorder&) {
            host = sim::Host();
            sim::CardSettings busy;
            busy.fault = sim::CardFault::Busy;
            host.add_card(busy);
        });
    EXPECT_EQ(run.exit_status, 102);
    EXPECT_EQ(run.err, error_report("<DONE> status bit indicates busy at start of programming."));
    // The enables drive the line low already; DONE (bit 1) reads 0 from then
    // on and is written back as read. The line is never raised.
    EXPECT_EQ(run.register_writes(), (std::vector<uint32_t>{0x000C000E, 0x000C000C}));
    EXPECT_TRUE(run.data_bytes().empty());
    EXPECT_EQ(after_report(run), "\nProgramming...\n");
}

TEST(UploadTest, DoneMustHoldForAHundredAndOneReadings)
{
    // DONE falls after that many readings, or never rises.
    const struct {
        const char* name;
        const char* card;  // as VELTCFG_SIM_HOST describes it
        int status;
        size_t reads;
    } cases[] = {
        {"zero_on_the_101st", "done-holds=100", 102, 101},
        {"zero_on_the_first", "fault=no-done", 102, 1},
        {"zero_in_the_middle", "done-holds=50", 102, 51},
        {"all_101_ones", "done-holds=0", 0, 101},
    };
    TempDir dir;
    const std::string data = stream_bytes(1);
    const std::string path = dir.write("f.bit", standard_bit_file(120, data).file());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun run = run_program({path, "0"}, [&c](sim::Host& host, recording::Recorder&) {
            std::string error;
            ASSERT_TRUE(sim::describe_host(std::string("bus=4 slot=0 ") + c.card, &host, &error));
        });
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        const Tail tail = tail_of(run, data.size());
        EXPECT_EQ(tail.status_reads, c.reads);
        if (c.status == 0) {
            EXPECT_EQ(tail.trailing_bytes, 24u);
        } else {
            EXPECT_EQ(run.err, error_report("Error: Not <DONE>; programming not completed."));
            EXPECT_EQ(tail.trailing_bytes, 0u);
            // Program line left high; the file was read to its end.
            EXPECT_EQ(run.register_writes().back(), 0x000D000Eu);
            EXPECT_EQ(after_report(run), "\nProgramming...\n120   \r0     ");
        }
    }
}

// Replaces the open descriptor of `path` with one on a directory, so that
// every later read of the file fails (EISDIR), as a failing disk would.
void break_reads_of(const std::string& path)
{
    char wanted[PATH_MAX];
    if (realpath(path.c_str(), wanted) == nullptr) {
        std::abort();
    }
    for (int fd = 3; fd < 256; ++fd) {
        char link[64];
        char target[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == wanted) {
            const int directory = open("/", O_RDONLY | O_DIRECTORY);
            dup2(directory, fd);
            close(directory);
            return;
        }
    }
    std::abort();
}

TEST(UploadTest, ReadErrorDrivesTheProgramLineLowBeforeTheReport)
{
    TempDir dir;
    const std::string data = stream_bytes(10000);  // a little over two blocks
    const std::string path =
        dir.write("f.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data).file());
    const ProgramRun run = run_program({path, "0"}, [&](sim::Host&, recording::Recorder& recorder) {
        recorder.after_data_bytes(16384 + 100, [path] { break_reads_of(path); });
    });
    EXPECT_EQ(run.exit_status, 104);
    EXPECT_EQ(run.err, error_report("File I/O error."));
    // High for the stream, then driven low again before the report.
    EXPECT_EQ(run.register_writes(),
              (std::vector<uint32_t>{0x000C000E, 0x000C000E, 0x000D000E, 0x000C000C}));
    // What was sent is a prefix of the data, with no trailing clocks.
    const std::vector<uint8_t> sent = run.data_bytes();
    EXPECT_GE(sent.size(), 16384u + 100);
    ASSERT_LT(sent.size(), data.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i], bit_reverse_table[static_cast<uint8_t>(data[i])]) << i;
    }
    const size_t last_write = [&] {
        size_t at = 0;
        for (size_t i = 0; i < run.log.size(); ++i) {
            if (run.log[i].kind == Event::Kind::Call && run.log[i].op == Op::IoPortWrite) {
                at = i;
            }
        }
        return at;
    }();
    for (size_t i = last_write; i < run.log.size(); ++i) {
        EXPECT_NE(run.log[i].kind, Event::Kind::DataByte) << i;
    }
    const std::vector<Op> ops = run.call_ops();
    EXPECT_EQ(ops[ops.size() - 2], Op::PciBarUnmap);
    EXPECT_EQ(ops.back(), Op::DeviceClose);
}

// A signal once the card is open stops the stream at the next block, drives
// the program line low (once the cycle has started), releases the card and
// ends the program by the same signal. One ignored by whoever started the
// program stays ignored. Standard output is fully buffered, as into a pipe
// or file: the countdown still reaches it block by block.
TEST(UploadTest, SignalStopsTheRunAndEndsByTheSignal)
{
    TempDir dir;
    const std::string data = stream_bytes(20000);  // five blocks
    const std::string path =
        dir.write("f.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data).file());
    const struct {
        const char* name;
        int signal;
        bool mid_stream;  // else while the opened card is being reported
        bool ignored = false;  // on entry, as nohup or `trap '' HUP` leave it
        bool before_open = false;  // ends the program at once, nothing to release
        const char* after_output = nullptr;  // sent once this is written
    } cases[] = {
        {"term_mid_stream", SIGTERM, true},
        {"int_mid_stream", SIGINT, true},
        {"hup_mid_stream", SIGHUP, true},
        {"term_before_streaming", SIGTERM, false},
        {"hup_ignored_on_entry", SIGHUP, true, true},
        {"int_before_open", SIGINT, false, false, true},
        {"term_after_last_block", SIGTERM, false, false, false, "0     "},  // before the DONE check
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun run = run_program({path, "0"}, [&](sim::Host&, recording::Recorder& recorder) {
            static char buffer[BUFSIZ];
            if (c.after_output == nullptr) {  // else written as it is printed
                setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
            }
            signal(c.signal, c.ignored ? SIG_IGN : SIG_DFL);
            const auto send = [&c] { raise(c.signal); };
            if (c.after_output != nullptr) {
                recorder.after_output(c.after_output, send);
            } else if (c.mid_stream) {
                recorder.after_data_bytes(20000, send);  // inside the second block
            } else if (c.before_open) {
                recorder.after_call(Op::DeviceFind, 1, send);
            } else {
                recorder.after_call(Op::PciRegisterRead, 1, send);
            }
        });
        if (c.ignored) {
            EXPECT_EQ(run.exit_status, 0) << run.err;
            continue;
        }
        EXPECT_EQ(run.signal, c.signal);
        if (c.before_open) {
            EXPECT_EQ(run.err, "");
            continue;
        }
        EXPECT_EQ(run.err, error_report("Programming interrupted."));
        if (c.after_output != nullptr) {
            // Every block sent, DONE not checked; the line is driven low again.
            EXPECT_EQ(run.data_bytes().size(), 80140u);
            EXPECT_EQ(run.register_writes().back() & 0x00010000u, 0u);
        } else if (c.mid_stream) {
            // The second block is finished; the line is driven low again.
            EXPECT_EQ(after_report(run), "\nProgramming...\n80140 \r63756 \r");
            EXPECT_EQ(run.data_bytes().size(), 2u * 16384);
            EXPECT_EQ(run.register_writes(),
                      (std::vector<uint32_t>{0x000C000E, 0x000C000E, 0x000D000E, 0x000C000C}));
        } else {
            EXPECT_TRUE(run.data_bytes().empty());
            EXPECT_TRUE(run.register_writes().empty());
        }
        const std::vector<Op> ops = run.call_ops();
        ASSERT_GE(ops.size(), 2u);
        EXPECT_EQ(ops[ops.size() - 2], Op::PciBarUnmap);
        EXPECT_EQ(ops.back(), Op::DeviceClose);
        ASSERT_FALSE(run.cards.empty());
        EXPECT_FALSE(run.cards[0].open);  // free to be opened again
    }
}

// A card that has stopped answering reads all ones; that is a failed
// access, not a DONE.
TEST(UploadTest, RegisterReadingAllOnesIsAFailedAccess)
{
    TempDir dir;
    const std::string data = stream_bytes(5000);
    const std::string path =
        dir.write("f.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data).file());

    const ProgramRun at_start = run_program({path, "0"}, [](sim::Host& host, recording::Recorder&) {
        host = sim::Host();
        sim::CardSettings identity;
        identity.control = 0xFFFFFFFF;
        host.add_card(identity);
    });
    EXPECT_EQ(at_start.exit_status, 105);
    EXPECT_EQ(at_start.err, error_report("Can't access 9056 card control register.\n"));
    EXPECT_TRUE(at_start.register_writes().empty());

    // Gone part way through a file cut before its end (without the rule the
    // all-ones reads would pass for DONE), and during the second block of a
    // whole one: the FPGA has taken the first block only.
    sim::CardSettings going;
    going.fault = sim::CardFault::Gone;
    const struct {
        size_t sent, taken;
    } cases[] = {{10000, 10000}, {data.size(), 16384}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent);
        const std::string cut_path = dir.write(
            "cut.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data.substr(0, c.sent))
                           .file());
        const ProgramRun gone = run_program({cut_path, "0"}, one_card(going));
        EXPECT_EQ(gone.exit_status, 105);
        EXPECT_EQ(gone.err, error_report("Can't access 9056 card status register.\n"));
        EXPECT_EQ(gone.data_bytes().size(), c.sent) << "no trailing clocks";
        EXPECT_EQ(gone.cards.at(0).fpga_bytes, c.taken);
    }
}

TEST(UploadTest, RegisterHistoryOfASuccessfulRun)
{
    TempDir dir;
    const std::string data = stream_bytes(100);
    const ProgramRun run = run_program(
        {dir.write("f.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data).file()),
         "1"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // Enables set, line low, line high and left high; the enables are never
    // cleared. DONE (bit 1) reads 1 before the cycle starts, as written back.
    EXPECT_EQ(run.register_writes(), (std::vector<uint32_t>{0x000C000E, 0x000C000E, 0x000D000E}));
    EXPECT_EQ(run.cards[1].control & 0x000D0000u, 0x000D0000u);
    EXPECT_EQ(run.cards[0].control, 0x0000000Cu);  // the other card untouched
}

TEST(UploadTest, TypicalRunPrintsExactly)
{
    TempDir dir;
    const std::string data = stream_bytes(5000);  // 20,140 bytes: two blocks
    const ProgramRun run = run_program(
        {dir.write("f.bit", standard_bit_file(static_cast<uint32_t>(data.size()), data).file()),
         "0"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(mask_memory_base(run.out),
              banner() + card_report(0) + standard_bit_file(20140, "").report() +
                  "\nProgramming...\n20140 \r3756  \r0     "
                  "\nSuccessfully programmed 20140 bytes.\n\nFunction complete.\n");
    EXPECT_EQ(run.err, "");
    // The simulated FPGA found the stream's DESYNC near its end.
    EXPECT_EQ(run.cards[0].fpga_state, sim::Fpga::State::Done);
    EXPECT_EQ(run.cards[0].group, bitstream::FamilyGroup::Virtex4On);
    EXPECT_EQ(run.cards[0].done_at_byte, data.size() - 16);
}

TEST(UploadEndToEnd, GeneratedFilesReachDoneAndBrokenOnesDoNot)
{
    sample::Design design;
    design.frame_words = 3000;
    const std::string bit = to_string(sample::bit_file(design));
    const std::string header_end_marker = "\xAA\x99\x55\x66"s;
    const size_t sync = bit.find(header_end_marker);
    ASSERT_NE(sync, std::string::npos);

    std::string broken_sync = bit;
    broken_sync[sync + 2] = 0x56;
    std::string no_desync = bit;
    const size_t desync = no_desync.rfind("\x00\x00\x00\x0D"s);
    ASSERT_NE(desync, std::string::npos);
    no_desync[desync + 3] = 0x05;  // now another START
    std::string unreversed = bit;  // data stored pre-reversed: the FPGA sees it backwards
    const size_t data_at = bit.size() - sample::ConfigStream(design).size();
    for (size_t i = data_at; i < unreversed.size(); ++i) {
        unreversed[i] = static_cast<char>(bit_reverse_table[static_cast<uint8_t>(unreversed[i])]);
    }
    sample::Design design16 = sample::design_for(bitstream::FamilyGroup::Spartan6);
    design16.frame_words = design.frame_words;
    // One bit of the frame data flipped: the CRC catches it in both packet
    // formats, with or without bus width detection before the sync word.
    std::string flipped = bit;
    flipped[data_at + 5000] ^= 0x10;
    sample::Design undetected = design;  // for a Virtex-4, which needs no detection
    undetected.detect_bus_width = false;
    undetected.part = "4vfx20ff672";
    undetected.idcode = 0x01E64093;
    std::string flipped_undetected = to_string(sample::bit_file(undetected));
    flipped_undetected[data_at + 5000] ^= 0x10;
    std::string flipped16 = to_string(sample::bit_file(design16));
    flipped16[data_at + 5000] ^= 0x10;
    const std::string bit16 = to_string(sample::bit_file(design16));

    // One edit each, as a user would make it: the file, a byte to find it by
    // (first or last), and what the byte at `offset` into it becomes.
    auto edit = [](std::string file, const std::string& pattern, size_t offset, char value,
                   bool last = false) {
        const size_t at = last ? file.rfind(pattern) : file.find(pattern);
        EXPECT_NE(at, std::string::npos) << "no pattern";
        file.at(at + offset) = value;
        return file;
    };
    const std::string rcrc = "\x30\x00\x80\x01\x00\x00\x00\x07"s;  // CMD <- RCRC
    const std::string wcfg = "\x30\x00\x80\x01\x00\x00\x00\x01"s;  // CMD <- WCFG
    const std::string resync = "\xAA\x99\x55\x66\x20\x00\x00\x00\x30\x00\x80\x01"s;
    auto insert = [](std::string file, const std::string& after, const std::string& bytes) {
        return file.insert(file.rfind(after) + after.size(), bytes);
    };
    sample::Design no_start = design, crc_disabled = design, crc_disabled16 = design16,
                   no_idcode16 = design16, late_done = design, crc_disabled7 = design,
                   no_idcode_3a = sample::design_for(bitstream::FamilyGroup::Spartan3A),
                   virtex = sample::design_for(bitstream::FamilyGroup::Virtex), no_bus_width = design,
                   debug = design, per_frame_crc = design, compressed = design, multiboot = design;
    no_start.start = false;
    crc_disabled.part = "5vlx110tff1136";  // a Virtex-5, whose CRC check a COR bit bypasses
    crc_disabled.idcode = 0x02AD6093;
    crc_disabled.crc_disabled = crc_disabled16.crc_disabled = crc_disabled7.crc_disabled = true;
    no_bus_width.detect_bus_width = false;
    debug.frame_writes = per_frame_crc.frame_writes = compressed.frame_writes = 4;
    debug.debug = per_frame_crc.per_frame_crc = compressed.compressed = multiboot.multiboot = true;
    no_idcode16.idcode = no_idcode_3a.idcode = 0;
    late_done.done_phase = 6;
    sample::Design unnamed16 = design16, unnamed32 = design;  // headers naming no known part
    unnamed16.part = unnamed32.part = "unknown";
    const std::string late = to_string(sample::bit_file(late_done));
    const std::string disabled = to_string(sample::bit_file(crc_disabled));
    const std::string s3a = to_string(sample::bit_file(no_idcode_3a)),
                      v = to_string(sample::bit_file(virtex));
    const std::string v_crc_damaged = edit(v, "\x30\x00\x00\x01"s, 7, v[v.rfind("\x30\x00\x00\x01"s) + 7] ^ 1, true);

    // What veltcfg-check says after the program's output, exactly, for one
    // file of each packet format (offsets in the file: the .BIT data starts
    // at byte 89).
    const std::string length = "Length:               12140 bytes announced, 12140 bytes present\n";
    const std::string analysis32 =
        "\n\nPacket format:        32-bit words\n"
        "Family group:         Virtex-4 and later (of the device the header's part names: xc7a35t)\n"
        "Sync word:            at byte 105\n"
        "IDCODE:               0x0362D093 (xc7a35t, Artix-7) at byte 149; not compared (no "
        "--idcode or --part)\n";
    const std::string crc32 = "CRC check:            CRC write at byte 12189: written 0x233DA545, "
                              "computed 0x233DA545, match\n";
    const std::string partial =
        "Features:             partial\n"
        "                      partial: veltcfg's program pulse clears the whole FPGA first, so "
        "only the region this partial configuration describes will hold a design\n";
    const std::string analysis16 =
        "\n\nPacket format:        16-bit words\n"
        "Family group:         Spartan-6 (of the device the header's part names: xc6slx9)\n"
        "Sync word:            at byte 93\n"
        "IDCODE:               0x04001093 (xc6slx9, Spartan-6) at byte 117; not compared (no "
        "--idcode or --part)\n"
        "CRC check:            AutoCRC at byte 6139: written 0x36B983, computed 0x36B983, match\n"
        "CRC check:            CRC write at byte 6145: written 0x36B983, computed 0x36B983, match\n"
        "End of configuration: DESYNC at byte 6157; 16 bytes follow it, of which the start-up "
        "needs 13\n"
        "Length:               6086 bytes announced, 6086 bytes present\n" +
        partial + "\n{FILE}: a card would configure\n";

    using G = bitstream::FamilyGroup;
    const struct {
        const char* name;
        std::string file;
        int status;
        G group;
        const char* reason;  // what veltcfg-check names when a card would not configure
        const char* features = "";  // the kinds of stream it names
        std::string analysis = "";
        std::string idcode = "";  // of the card's FPGA (none: it takes any stream)
    } cases[] = {
        {"bit", bit, 0, G::Virtex4On, "", "partial",
         analysis32 + crc32 +
             "End of configuration: DESYNC at byte 12209; 16 bytes follow it, of which the "
             "start-up needs 13\n" +
             length + partial + "\n{FILE}: a card would configure\n"},
        {"bit_on_its_device", bit, 0, G::Virtex4On, "", "", "", "0x1362D093"},
        {"bit_for_another_device", bit, 102, G::Virtex4On, "ID error", "",
         "\n\nPacket format:        32-bit words\n"
         "Family group:         Virtex-4 and later (of the card's device, named by --idcode or "
         "--part)\n"
         "Sync word:            at byte 105\n"
         "IDCODE:               0x0362D093 (xc7a35t, Artix-7) at byte 149\n" +
             length + partial +
             "\n{FILE}: a card would not configure: the stream is written for IDCODE 0x0362D093 (xc7a35t, "
             "Artix-7), and the card's FPGA has IDCODE 0x03631093 (xc7a100t, Artix-7); the FPGA "
             "would stop in its ID error (veltcfg ends with status 102)\n",
         "0x03631093"},
        {"bit_for_another_group", bit, 102, G::Spartan6, "written for Virtex-4 and later", "", "",
         "0x04001093"},
        {"prom", to_string(sample::prom_image(design)), 0, G::Virtex4On, ""},
        {"bit_16_bit_family", bit16, 0, G::Spartan6, "", "partial", analysis16},
        {"prom_16_bit_family", to_string(sample::prom_image(design16)), 0, G::Spartan6, ""},
        {"broken_sync", broken_sync, 102, G::Unknown, "sync word"},
        {"no_desync", no_desync, 102, G::Virtex4On, "DESYNC", "",
         analysis32 + crc32 + length + partial +
             "\n{FILE}: a card would not configure: the stream has no DESYNC command; the FPGA would not "
             "finish its configuration (veltcfg ends with status 102)\n"},
        {"sent_unreversed", unreversed, 102, G::Unknown, "sync word"},
        {"frame_bit_flipped", flipped, 102, G::Virtex4On, "CRC"},
        {"frame_bit_flipped_no_bus_width", flipped_undetected, 102, G::Virtex4On, "CRC"},
        // Virtex-5 and later take no sync word before the bus width pattern.
        {"no_bus_width", to_string(sample::bit_file(no_bus_width)), 102, G::Virtex4On, "bus width"},
        {"frame_bit_flipped_16_bit_family", flipped16, 102, G::Spartan6, "CRC"},
        // Start-up begins at START, then DESYNC, and needs 13 bytes after it.
        {"no_start", to_string(sample::bit_file(no_start)), 102, G::Virtex4On, "no START"},
        {"desync_before_start", edit(bit, wcfg, 7, 0x0D), 102, G::Virtex4On, "no START"},
        {"cut_at_desync", bit.substr(0, bit.size() - 16), 102, G::Virtex4On, "needs 13"},
        {"cut_before_late_done", late.substr(0, late.size() - 2), 102, G::Virtex4On, "needs 15"},
        // After start-up the FPGA reads on: SHUTDOWN then RCRC, or IPROG,
        // leave it unconfigured.
        {"shutdown_after", bit + resync + "\x00\x00\x00\x0B"s + rcrc, 102, G::Virtex4On, "shuts"},
        {"iprog_after", bit + resync + "\x00\x00\x00\x0F"s, 102, G::Virtex4On, "IPROG", "multiboot"},
        {"iprog_after_16_bit", bit16 + header_end_marker + "\x30\xA1\x00\x0E"s, 102, G::Spartan6, "IPROG"},
        // IPROG before start-up clears the device, and nothing fetches an
        // image on a parallel port; an encrypted stream needs a key.
        {"multiboot", to_string(sample::bit_file(multiboot)), 102, G::Virtex4On,
         "from address 0x00800000", "multiboot"},
        {"encrypted", insert(bit, header_end_marker, "\x30\x00\xA0\x01\x00\x00\x00\x40"s), 102, G::Virtex4On,
         "encrypted", "encrypted"},
        // The kinds of stream, told by what comes between frame writes.
        {"debug", to_string(sample::bit_file(debug)), 0, G::Virtex4On, "", "debug"},
        {"per_frame_crc", to_string(sample::bit_file(per_frame_crc)), 0, G::Virtex4On, "",
         "per_frame_crc"},
        {"compressed", to_string(sample::bit_file(compressed)), 0, G::Virtex4On, "", "compressed"},
        // Virtex and Spartan-II: START ends the configuration, DESYNC does
        // not lose sync, and the CRC check after START counts.
        {"virtex", v, 0, G::Virtex, ""},
        {"virtex_desync_after_start", insert(v, "\x00\x00\x00\x05"s, "\x30\x00\x80\x01\x00\x00\x00\x0D"s),
         102, G::Virtex, "CRC"},
        {"virtex_crc_after_start_damaged", v_crc_damaged, 102, G::Virtex, "CRC"},
        // Spartan-6 takes no AutoCRC after a type-1 FDRI write.
        {"fdri_type1_16_bit", insert(bit16, header_end_marker + "\x20\x00"s, "\x30\x61\x00\x00"s), 0, G::Spartan6,
         "", "", "", "0x04001093"},
        // Commands are CMD[4:0].
        {"rcrc_reserved_bits", edit(bit, rcrc, 6, 0x01), 0, G::Virtex4On, ""},
        {"desync_reserved_bits", edit(bit, "\x00\x00\x00\x0D"s, 2, 0x01, true), 0, G::Virtex4On, ""},
        // CRC checks before the group is known, and bypassed as the tools
        // write it (the bypass bit of COR set) but not without the bit.
        {"crc_write_before_idcode", edit(bit, rcrc, 2, 0x00), 102, G::Virtex4On, "CRC"},
        {"idcode_damaged_16_bit", edit(bit16, "\x04\x00\x10\x93"s, 3, '\x83'), 102, G::Spartan6, "CRC"},
        {"no_idcode_16_bit", to_string(sample::bit_file(no_idcode16)), 0, G::Spartan6, ""},
        {"no_idcode_spartan3a", s3a, 0, G::Unknown, ""},
        {"crc_disabled", disabled, 0, G::Virtex4On, ""},
        {"crc_disabled_7_series", to_string(sample::bit_file(crc_disabled7)), 0, G::Virtex4On, ""},
        {"crc_disabled_16_bit", to_string(sample::bit_file(crc_disabled16)), 0, G::Spartan6, ""},
        {"crc_disabled_without_bit", edit(disabled, "\x10\x00\x3F\xE5"s, 0, 0x00), 102,
         G::Virtex4On, "CRC"},
        // A NOOP is a NOOP whatever its count bits, also where it tells the
        // packet format of a stream whose header names no known part.
        {"noop_with_count_bits", edit(to_string(sample::bit_file(unnamed32)),
                                      "\xAA\x99\x55\x66\x20\x00\x00\x00"s, 7, 0x40),
         0, G::Virtex4On, ""},
        // Spartan-6 syncs on the whole of AA 99 55 66.
        {"half_sync_16_bit", edit(bit16, "\xAA\x99\x55\x66"s, 3, 0x67), 102, G::Spartan6,
         "sync word", "", "", "0x04001093"},
        {"half_sync_told_by_idcode",
         edit(edit(to_string(sample::bit_file(unnamed16)), "\xAA\x99\x55\x66"s, 2, 0x20),
              "\xAA\x99\x20\x66"s, 3, 0x00),
         102, G::Spartan6, "needs all of AA 99 55 66"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write(c.name, c.file);
        const ProgramRun run = run_program({path, "0"}, [&c](sim::Host& host, recording::Recorder& recorder) {
            recorder.record_data_bytes = false;
            std::string error;
            ASSERT_TRUE(c.idcode.empty() ||
                        sim::describe_host("bus=4 slot=0 idcode=" + c.idcode, &host, &error));
        });
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        EXPECT_EQ(run.cards[0].group, c.group);
        if (c.status != 0) {
            EXPECT_EQ(run.err, error_report("Error: Not <DONE>; programming not completed."));
        }
        // The checker agrees, and says why. It runs the program itself: its
        // output is the file's name, the program's own output, and what the
        // card's FPGA met in the stream.
        std::vector<std::string> args = {path};
        if (!c.idcode.empty()) {
            args.insert(args.begin(), {"--idcode", c.idcode});
        }
        const ProgramRun check = run_executable(VELTCFG_CHECK_PATH, args);
        EXPECT_EQ(check.exit_status, c.status == 0 ? 0 : 1) << check.out;
        if (!c.analysis.empty()) {
            std::string analysis = c.analysis;
            analysis.replace(analysis.find("{FILE}"), 6, path);
            EXPECT_EQ(mask_memory_base(check.out), path + mask_memory_base(run.out) + analysis);
            EXPECT_EQ(check.err, run.err);
        }
        EXPECT_EQ(check_status_without_reader(args), check.exit_status);
        if (*c.features != '\0') {
            const size_t line = check.out.find("\nFeatures:");
            ASSERT_NE(line, std::string::npos) << check.out;
            EXPECT_NE(check.out.substr(line, check.out.find('\n', line + 1) - line).find(c.features),
                      std::string::npos)
                << check.out;
        }
        const size_t verdict = check.out.rfind("\n" + path + ": a card would");
        ASSERT_NE(verdict, std::string::npos) << check.out;
        EXPECT_NE(check.out.find(c.reason, verdict), std::string::npos) << check.out;
    }
}

// veltcfg-check and veltcfg-sample on the command line: options in any
// order, several files with their statuses, --part, --quiet and --json.
TEST(CheckCommandLine, OptionsFilesAndStatuses)
{
    using G = bitstream::FamilyGroup;
    TempDir dir;
    auto sample_file = [&dir](const char* name, G group, size_t flip = 0) {
        sample::Design design = sample::design_for(group);
        design.frame_words = 2000;
        std::string file = to_string(sample::bit_file(design));
        file[file.size() / 2] ^= static_cast<char>(flip);
        return dir.write(name, file);
    };
    const std::string good = sample_file("good.bit", G::Virtex4On);
    const std::string bad = sample_file("bad.bit", G::Virtex4On, 0x01);
    const std::string s6 = sample_file("s6.bit", G::Spartan6);
    const std::string v2 = sample_file("v2.bit", G::VirtexII);
    const std::string empty = dir.write("empty.bit", "");
    sample::Design mislabelled = sample::design_for(G::Spartan6);  // under an Artix-7's header
    mislabelled.part = "7a35tcpg236";
    mislabelled.frame_words = 2000;
    const std::string other_family = dir.write("other.bit", to_string(sample::bit_file(mislabelled)));
    sample::Design named_100t = sample::design_for(G::Virtex4On);  // an xc7a35t's stream
    named_100t.part = "7a100tcsg324";
    named_100t.frame_words = 2000;
    const std::string header_100t = dir.write("100t.bit", to_string(sample::bit_file(named_100t)));
    sample::Design zu5ev = sample::design_for(G::Virtex4On);  // an IDCODE the xczu5cg and 5eg share
    zu5ev.part = "xczu5ev-sfvc784-1-e";
    zu5ev.idcode = 0x04A46093;
    zu5ev.frame_words = 2000;
    const std::string shared_idcode = dir.write("zu5ev.bit", to_string(sample::bit_file(zu5ev)));
    const std::string missing = dir.path() + "/missing.bit";
    const std::string ok = ": a card would configure\n";
    const std::string check = VELTCFG_CHECK_PATH, sample_writer = VELTCFG_SAMPLE_PATH;
    const std::string convert = VELTCFG_CONVERT_PATH;
    const struct {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string out, err;  // what each holds (out: all of it, when exact)
        bool exact = false;
    } cases[] = {
        {check, {"--help"}, 0, "usage: veltcfg-check [--idcode ID | --part NAME] [--json | --quiet]", ""},
        {check, {"--version"}, 0, "veltcfg-check 1.0\n", "", true},
        {sample_writer, {"--help"}, 0, "usage: veltcfg-sample [--size BYTES]", ""},
        {sample_writer, {"--version"}, 0, "veltcfg-sample 1.0\n", "", true},
        {convert, {"--help"}, 0, "usage: veltcfg-convert [--image N] [--part NAME] [--] IN OUT", ""},
        {convert, {"--version"}, 0, "veltcfg-convert 1.0\n", "", true},
        {convert, {good, "--part"}, 2, "", "--part needs a value"},
        {convert, {"--", "--image", good}, 2, "", "cannot open --image"},
        {check, {"--bogus", good}, 2, "", "unknown option --bogus"},
        {check, {"--quiet"}, 2, "", "no file to check"},
        {check, {"--idcode", "1", "--part", "xc7a35t", good}, 2, "", "once"},
        {check, {good, "--part"}, 2, "", "--part needs a value"},
        {check, {good, "--idcode", "0x0362D093", "--quiet"}, 0, good + ok, "", true},
        {check, {"--quiet", "--part", "XC7A35T-1CPG236C", good}, 0, good + ok, "", true},
        {check, {"--quiet", "--part=7a35tcpg236", "--", good}, 0, good + ok, "", true},
        {check, {"--quiet", "--part", "xc7a100t", good}, 1, "IDCODE 0x03631093 (xc7a100t, Artix-7)", ""},
        {check, {"--quiet", "--part", "xc6slx25tcsg324", s6}, 1, "IDCODE 0x04024093 (xc6slx25t,", ""},
        // The stream's family is not the device's; a header that names
        // another device than the IDCODE, noted on the verdict line.
        {check, {"--quiet", "--part", "xc7a35t", s6}, 1,
         "Artix-7) (Virtex-4 and later), but the stream is written for Spartan-6", ""},
        {check, {"--quiet", "--part", "xc6slx9", good}, 1, "but the stream is written for Virtex-4", ""},
        {check, {"--quiet", header_100t}, 0,
         "configure; note: the header names the xc7a100t, the stream's IDCODE the xc7a35t", ""},
        {check, {"--part", "xc7a36t", good}, 2, "", "the nearest known: xc7a35t, "},
        {check, {"--part", "xc2s1500fg456", good}, 2, "", "no device in the table is named"},
        {check, {"--quiet", "--part", "xczu9eg", good}, 1,
         "IDCODE 0x0484A093 (xcku9p, Kintex UltraScale+ or xczu9cg or xczu9eg, Zynq UltraScale+)", ""},
        {check, {"--list-devices"}, 0,
         "xcv200      0x0061C093  Virtex                      -  Virtex, Spartan-II\n"
         "xcv300      0x00620093  Virtex                      -  Virtex, Spartan-II\n", ""},
        {check, {"--list-devices", "--quiet"}, 2, "", "--list-devices takes --json alone, and no file"},
        {check, {shared_idcode}, 0,
         "IDCODE:               0x04A46093 (xczu5cg or xczu5eg or xczu5ev, Zynq UltraScale+) at byte "
         "157; not compared (no --idcode or --part)\nCRC check:", ""},
        {check, {"--quiet", good, bad}, 1, good + ok + bad + ": a card would not configure: the CRC", ""},
        {check, {"--quiet", missing, good}, 2, good + ok, "cannot read " + missing},
        {check, {"--quiet", "--", "--quiet"}, 2, "", "cannot read --quiet"},
        {check, {"--json", "--quiet", good}, 2, "", "not both"},
        {check, {"--quiet", other_family}, 1, "the header names the xc7a35t (Virtex-4 and later), "
                                              "but the stream is written for Spartan-6", ""},
        {"/bin/sh", {"-c", check + " --quiet " + good + " >/dev/full"}, 2, "",
         "the report could not be written: No space left on device"},
        {check, {"--quiet", empty}, 1,
         empty + ": a card would not configure: veltcfg does not take the file (veltcfg ends "
                 "with status 103); note: no configuration stream: not a .BIT file or a PROM image, "
                 "and no sync word in any byte order\n",
         "", true},
#ifdef VELTCFG_WITH_JSON
        {check, {"--json", empty}, 1,
         "{\n  \"schema\": 2,\n  \"files\": [\n    {\n      \"name\": \"" + empty +
             "\",\n      \"verdict\": \"does_not_configure\",\n      \"status\": 103,\n"
             "      \"kind\": \"null\",\n      \"configurations\": [],\n      \"header\": null,\n      \"header_device\": null,\n"
             "      \"card_idcode\": null,\n      \"packet_format\": null,\n"
             "      \"family_group\": null,\n      \"family_group_from\": \"stream\",\n"
             "      \"sync_at\": null,\n      \"idcodes\": [],\n      \"crc_checks\": [],\n"
             "      \"end_of_configuration\": null,\n      \"length\": {\n"
             "        \"announced\": 0,\n        \"present\": 0\n      },\n"
             "      \"features\": [],\n      \"notes\": [\n        {\n"
             "          \"code\": \"not_a_configuration\",\n          \"text\": \"no configuration "
             "stream: not a .BIT file or a PROM image, and no sync word in any byte order\"\n"
             "        }\n      ],\n      \"after_conversion\": null,\n"
             "      \"reason\": {\n        \"code\": \"refused\",\n"
             "        \"text\": \"veltcfg does not take the file\"\n      }\n    }\n  ]\n}\n",
         "", true},
        {check, {"--list-devices", "--json"}, 0,
         "    {\n      \"name\": \"xc2s200\",\n      \"idcode\": \"0x0061C093\",\n"
         "      \"family\": \"Spartan-II\",\n      \"family_group\": \"Virtex, Spartan-II\",\n"
         "      \"config_bits\": 1335840\n    },\n    {\n      \"name\": \"xc2s50e\",\n"
         "      \"idcode\": \"0x00A10093\",\n      \"family\": \"Spartan-IIE\",\n"
         "      \"family_group\": \"Virtex, Spartan-II\",\n      \"config_bits\": null\n    },",
         ""},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const ProgramRun run = run_executable(c.program, c.args);
        EXPECT_EQ(run.exit_status, c.status) << run.out << run.err;
        if (c.exact) {
            EXPECT_EQ(run.out, c.out);
        } else {
            EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
        }
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        }
    }
#ifdef VELTCFG_WITH_JSON
    // One document for the run, in the documented layout: the CRC values
    // with as many digits as each group compares.
    const ProgramRun json = run_executable(check, {"--json", good, v2, s6, bad, missing});
    EXPECT_EQ(json.exit_status, 2);
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document.at("schema"), 2);
    const auto& files = document.at("files");
    ASSERT_EQ(files.size(), 5u);
    const struct {
        const char* verdict;
        size_t digits;
    } expected[] = {{"configures", 8}, {"configures", 4}, {"configures", 6},
                    {"does_not_configure", 8}, {"cannot_check", 0}};
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].at("verdict"), expected[i].verdict) << i;
        for (const auto& crc : files[i].value("crc_checks", nlohmann::json::array())) {
            EXPECT_EQ(crc.at("written").get<std::string>().size(), 2 + expected[i].digits) << i;
        }
    }
    EXPECT_EQ(files[0].at("status"), 0);
    EXPECT_EQ(files[3].at("reason").at("code"), "crc_mismatch");
    EXPECT_EQ(files[4].at("error"), "No such file or directory");
#endif
}

}  // namespace
