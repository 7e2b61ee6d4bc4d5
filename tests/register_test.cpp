// The control/status register operations and the data port, driven directly
// on an opened simulated card.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/upload_state.h"
#include "card/card.h"
#include "common/bit_reverse.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"

using recording::Op;

namespace {

HostSetup one_card_with_control(uint32_t control)
{
    return [control](sim::Host& host, recording::Recorder&) {
        host = sim::Host();
        sim::CardSettings identity;
        identity.control = control;
        host.add_card(identity);
    };
}

// The calls after the connection (find, open, config read, map).
std::vector<recording::Event> calls_after_open(const ProgramRun& run)
{
    std::vector<recording::Event> calls = run.calls();
    const auto map = std::find_if(calls.begin(), calls.end(),
                                  [](const recording::Event& e) { return e.op == Op::PciBarMap; });
    return map == calls.end() ? std::vector<recording::Event>() : std::vector<recording::Event>(map + 1, calls.end());
}

TEST(RegisterTest, ClosedCardRefusesItsRegister)
{
    PLX_DEVICE_KEY key = PLX_ANY_DEVICE;
    PLX_DEVICE_OBJECT device{};
    ASSERT_EQ(plx_sim_backend.DeviceFind(&key, 0), PLX_STATUS_SUCCESS);
    ASSERT_EQ(plx_sim_backend.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
    PLX_DEVICE_OBJECT stale = device;
    ASSERT_EQ(plx_sim_backend.DeviceClose(&device), PLX_STATUS_SUCCESS);
    uint32_t value = 0;
    EXPECT_EQ(plx_sim_backend.IoPortRead(&stale, 0xE06C, &value, 4, PLX_ACCESS_32_BIT),
              PLX_STATUS_NOT_OPEN);
}

TEST(RegisterTest, LineOperationsEachReadModifyWriteTheWholeRegister)
{
    const ProgramRun run = run_in_child(one_card_with_control(0x0000000E), [] {
        open_card(0);
        enable_control_lines();
        program_line_low();
        program_line_high();
        return 0;
    });
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.register_writes(), (std::vector<uint32_t>{0x000C000E, 0x000C000E, 0x000D000E}));
    std::vector<Op> expected;
    for (int i = 0; i < 3; ++i) {
        expected.push_back(Op::IoPortRead);
        expected.push_back(Op::IoPortWrite);
    }
    std::vector<Op> seen;
    for (const recording::Event& call : calls_after_open(run)) {
        seen.push_back(call.op);
        EXPECT_NE(call.text.find("port=0xE06C bytes=4 access=2"), std::string::npos) << call.text;
    }
    EXPECT_EQ(seen, expected) << run.log_text();
}

TEST(RegisterTest, LineOperationsLeaveOtherBitsAsRead)
{
    const ProgramRun run = run_in_child(one_card_with_control(0xFFF2FFFF), [] {
        open_card(0);
        program_line_low();
        enable_control_lines();
        program_line_high();
        program_line_low();
        return 0;
    });
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // Once the line has risen the FPGA is configuring and DONE reads 0; the
    // last write carries bit 1 back as it was read.
    EXPECT_EQ(run.register_writes(),
              (std::vector<uint32_t>{0xFFF2FFFF & ~0x00010000u, 0xFFFEFFFF, 0xFFFFFFFF, 0xFFFEFFFD}));
}

TEST(RegisterTest, DoneStatusIsBitOneOnlyAndOnlyReads)
{
    const struct {
        uint32_t control;
        int done;
    } cases[] = {{0x000D000E, 1}, {0x000D000C, 0}, {0x00020000, 0}, {0x00000002, 1}, {0xFFFFFFFD, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        const ProgramRun run = run_in_child(one_card_with_control(c.control), [] {
            open_card(0);
            return read_done_status() == 1 ? 10 : read_done_status() == 0 ? 20 : 30;
        });
        EXPECT_EQ(run.exit_status, c.done ? 10 : 20) << run.err;
        EXPECT_TRUE(run.register_writes().empty());
        for (const recording::Event& call : calls_after_open(run)) {
            EXPECT_EQ(call.op, Op::IoPortRead);
        }
    }
}

// The card drives the FPGA's program line only with both enables set: an
// unconfigured FPGA whose line is held low reads DONE (cleared), one whose
// line is left released does not.
TEST(RegisterTest, ProgramLineNeedsBothEnables)
{
    for (const auto& [control, done] : {std::make_pair(0x00040000u, 20), std::make_pair(0x00080000u, 20),
                                        std::make_pair(0x000C0000u, 10)}) {
        SCOPED_TRACE(control);
        const ProgramRun run = run_in_child(one_card_with_control(control), [] {
            open_card(0);
            program_line_low();
            return read_done_status() == 1 ? 10 : 20;
        });
        EXPECT_EQ(run.exit_status, done) << run.err;
    }
}

TEST(DataPortTest, ReverseTableMatchesAnIndependentComputation)
{
    for (unsigned i = 0; i < 256; ++i) {
        // Bit-reversal by the multiply-and-mask method, not the table's loop.
        const uint8_t expected = static_cast<uint8_t>(
            ((i * 0x0802u & 0x22110u) | (i * 0x8020u & 0x88440u)) * 0x10101u >> 16);
        EXPECT_EQ(bit_reverse_table[i], expected) << "entry " << i;
    }
}

TEST(DataPortTest, SendersWriteOneByteEachInCallOrder)
{
    const ProgramRun run = run_in_child(nullptr, [] {
        open_card(1);
        // A configuration cycle started, so that the FPGA takes the bytes.
        enable_control_lines();
        program_line_low();
        program_line_high();
        usleep(2000);
        for (uint8_t value : {0x01, 0x02, 0x03}) {
            send_byte_reversed(value);
        }
        for (uint8_t value : {0x01, 0x02, 0x03}) {
            send_byte_direct(value);
        }
        write_config_byte(0xFF);
        write_config_byte(0xFF);
        return 0;
    });
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.data_bytes(),
              (std::vector<uint8_t>{0x80, 0x40, 0xC0, 0x01, 0x02, 0x03, 0xFF, 0xFF}));
    // Into the card that was opened, and nothing but stores: no layer call
    // for the data port.
    EXPECT_EQ(run.cards.at(1).fpga_bytes, 8u);
    EXPECT_EQ(run.cards.at(0).fpga_bytes, 0u);
    EXPECT_EQ(calls_after_open(run).size(), 6u);
}

// With two cards mapped at once, each FPGA takes what was stored at its own
// data port, however the stores interleave: card 1 mapped halfway through
// card 0's stream, and a byte stored at its port after each of card 0's
// from then on, card 0 still configures from its stream.
TEST(DataPortTest, EachMappedCardTakesTheBytesStoredAtItsPort)
{
    sample::Design design;
    design.frame_words = 3000;
    const std::vector<uint8_t> stream = sample::ConfigStream(design).bytes();
    const ProgramRun run = run_in_child(nullptr, [&stream] {
        open_card(0);
        enable_control_lines();
        program_line_low();
        program_line_high();
        usleep(2000);
        PLX_DEVICE_KEY key = PLX_ANY_DEVICE;
        PLX_DEVICE_OBJECT other{};
        volatile uint8_t* other_port = nullptr;
        for (size_t i = 0; i < stream.size(); ++i) {
            if (i == stream.size() / 2 &&
                (PlxPci_DeviceFind(&key, 1) != PLX_STATUS_SUCCESS ||
                 PlxPci_DeviceOpen(&key, &other) != PLX_STATUS_SUCCESS ||
                 PlxPci_PciBarMap(&other, 3, &other_port) != PLX_STATUS_SUCCESS)) {
                return 1;
            }
            send_byte_reversed(stream[i]);
            if (other_port != nullptr) {
                plx_data_port_write(other_port, 0x00);
            }
        }
        return 0;
    });
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.cards.at(0).fpga_state, sim::Fpga::State::Done);
    EXPECT_EQ(run.cards.at(0).fpga_bytes, stream.size());
}

// Once the card is released, nothing can reach its data port any more, even
// when the unmap failed (its status is not examined) and the mapping is still
// there: a store that still tried is a store through a null port.
TEST(DataPortTest, ReleasedCardTakesNoMoreBytes)
{
    const ProgramRun run = run_in_child(
        [](sim::Host&, recording::Recorder& recorder) { recorder.fail_call(Op::PciBarUnmap); },
        [] {
            open_card(0);
            release_card();
            write_config_byte(0x5A);
            return 0;
        });
    // The child dies at the store (a fault, or the sanitizer's report of it).
    EXPECT_NE(run.exit_status, 0) << "a store after the release went through";
    EXPECT_TRUE(run.data_bytes().empty());
}

// A store through a mapping once it is unmapped ends the simulated host, as
// on a real one, also when the bytes before it waited to reach an FPGA that
// was reading a stream.
TEST(DataPortTest, StoreThroughAnUnmappedPortEndsTheProcess)
{
    const ProgramRun run = run_in_child(nullptr, [] {
        open_card(0);
        enable_control_lines();
        program_line_low();
        program_line_high();
        usleep(2000);
        write_config_byte(0xFF);
        volatile uint8_t* mapping = upload_state.data_window;
        volatile uint8_t* const unmapped = mapping;
        if (PlxPci_PciBarUnmap(&upload_state.plx_device, &mapping) != PLX_STATUS_SUCCESS) {
            return 1;
        }
        plx_data_port_write(unmapped, 0xFF);
        return 0;
    });
    EXPECT_EQ(run.signal, SIGABRT) << run.err;
}

}  // namespace
