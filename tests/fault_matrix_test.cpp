// Every layer call of a successful load, failed one at a time: each failure
// must give its own report and status, release exactly what was acquired
// (mapping before device), send nothing more to the card and print nothing
// more on standard output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"

using recording::Event;
using recording::Op;

namespace {

struct FaultPoint {
    size_t call_index;  // position among the baseline's calls
    Op op;
    unsigned nth;       // which call of that op
    recording::MapFault map_fault = recording::MapFault::None;
};

struct Expected {
    int status;
    std::string message;  // "" when the run still succeeds
};

std::string stdout_before(const ProgramRun& run, size_t log_index)
{
    std::string out;
    for (size_t i = 0; i < log_index && i < run.log.size(); ++i) {
        if (run.log[i].kind == Event::Kind::Output && run.log[i].stream == 1) {
            out += run.log[i].text;
        }
    }
    return mask_memory_base(out);
}

size_t log_index_of_call(const ProgramRun& run, size_t call_index)
{
    size_t calls = 0;
    for (size_t i = 0; i < run.log.size(); ++i) {
        if (run.log[i].kind == Event::Kind::Call && calls++ == call_index) {
            return i;
        }
    }
    return run.log.size();
}

class FaultMatrixTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sample::Design design;
        design.frame_words = 5000;  // two blocks
        path = dir.write("load.bit", to_string(sample::bit_file(design)));
        baseline = run_program({path, "0"});
        ASSERT_EQ(baseline.exit_status, 0) << baseline.err;
        baseline_calls = baseline.calls();
    }

    // What the failure of baseline call `index` must give.
    Expected expected_for(const FaultPoint& point) const
    {
        if (point.map_fault != recording::MapFault::None) {
            return {105, "Invalid 9056 card number 0 base register mapping.\n"};
        }
        switch (point.op) {
        case Op::DeviceFind:
            return {101, "Can't find 9056 card number 0.\n"};
        case Op::DeviceOpen:
            return {105, "Can't gain access to 9056 card number 0.\n"};
        case Op::PciRegisterRead:
            return {105, "Can't read 9056 card number 0 configuration registers.\n"};
        case Op::PciBarMap:
            return {105, "Can't map 9056 card number 0 base registers.\n"};
        case Op::PciBarUnmap:
        case Op::DeviceClose:
            return {0, ""};  // their statuses are not examined
        case Op::IoPortWrite:
            return {105, "Can't access 9056 card control register.\n"};
        case Op::IoPortRead: {
            // A read followed by a write is a line operation's; a read on its
            // own is a status reading.
            const bool line_operation = point.call_index + 1 < baseline_calls.size() &&
                                        baseline_calls[point.call_index + 1].op == Op::IoPortWrite;
            return {105, line_operation ? "Can't access 9056 card control register.\n"
                                        : "Can't access 9056 card status register.\n"};
        }
        }
        return {-1, "?"};
    }

    // The calls that must follow the failed one: the release of what the
    // calls before it acquired.
    std::vector<Op> release_after(const FaultPoint& point) const
    {
        bool opened = false;
        bool mapped = point.map_fault != recording::MapFault::None;
        for (size_t i = 0; i < point.call_index; ++i) {
            opened = opened || baseline_calls[i].op == Op::DeviceOpen;
            mapped = mapped || baseline_calls[i].op == Op::PciBarMap;
        }
        if (point.op == Op::PciBarUnmap) {
            return {Op::DeviceClose};
        }
        if (point.op == Op::DeviceClose) {
            return {};
        }
        std::vector<Op> release;
        if (mapped) {
            release.push_back(Op::PciBarUnmap);
        }
        if (opened) {
            release.push_back(Op::DeviceClose);
        }
        return release;
    }

    std::vector<FaultPoint> fault_points() const
    {
        std::vector<FaultPoint> points;
        unsigned seen[recording::OP_COUNT] = {};
        for (size_t i = 0; i < baseline_calls.size(); ++i) {
            const Op op = baseline_calls[i].op;
            const unsigned nth = ++seen[static_cast<int>(op)];
            points.push_back({i, op, nth});
            if (op == Op::PciBarMap) {
                points.push_back({i, op, nth, recording::MapFault::Null});
                points.push_back({i, op, nth, recording::MapFault::AllOnes});
            }
        }
        return points;
    }

    TempDir dir;
    std::string path;
    ProgramRun baseline;
    std::vector<Event> baseline_calls;
};

TEST_F(FaultMatrixTest, EveryCallFailedInTurn)
{
    const std::vector<FaultPoint> points = fault_points();
    // find, open, config read, map (three ways), 3 line operations of read
    // and write, the status reading at the start, 101 at the end, unmap, close.
    ASSERT_EQ(points.size(), 4u + 2 + 3 * 2 + 1 + 101 + 2);

    for (const FaultPoint& point : points) {
        SCOPED_TRACE(std::string(recording::op_name(point.op)) + " call " + std::to_string(point.nth) +
                     (point.map_fault == recording::MapFault::Null      ? " mapped to null"
                      : point.map_fault == recording::MapFault::AllOnes ? " mapped to all-ones"
                                                                  : " failing"));
        const ProgramRun run = run_program({path, "0"}, [&](sim::Host&, recording::Recorder& recorder) {
            if (point.map_fault != recording::MapFault::None) {
                recorder.map_fault = point.map_fault;
            } else {
                recorder.fail_call(point.op, point.nth);
            }
        });
        const Expected expected = expected_for(point);
        ASSERT_EQ(run.exit_status, expected.status) << run.err << run.log_text();

        const std::vector<Event> calls = run.calls();
        ASSERT_GT(calls.size(), point.call_index);
        // Identical up to the failing call, which is the one that failed.
        for (size_t i = 0; i < point.call_index; ++i) {
            ASSERT_EQ(calls[i].op, baseline_calls[i].op) << i;
        }
        EXPECT_EQ(calls[point.call_index].op, point.op);

        if (expected.status == 0) {
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(mask_memory_base(run.out), mask_memory_base(baseline.out));
        } else {
            EXPECT_EQ(run.err, error_report(expected.message));
        }

        // After the failing call: the release only, in order.
        std::vector<Op> after;
        for (size_t i = point.call_index + 1; i < calls.size(); ++i) {
            after.push_back(calls[i].op);
        }
        EXPECT_EQ(after, release_after(point)) << run.log_text();

        if (expected.status != 0) {
            const size_t failed_at = log_index_of_call(run, point.call_index);
            for (size_t i = failed_at; i < run.log.size(); ++i) {
                const Event& event = run.log[i];
                // Nothing more to the card's data port or control register,
                EXPECT_NE(event.kind, Event::Kind::DataByte) << event.describe();
                EXPECT_FALSE(i > failed_at && event.kind == Event::Kind::Call &&
                             event.op == Op::IoPortWrite)
                    << event.describe();
                // and nothing more on standard output.
                EXPECT_FALSE(event.kind == Event::Kind::Output && event.stream == 1)
                    << event.describe();
            }
            // What was printed is what a good run prints up to that call.
            EXPECT_EQ(mask_memory_base(run.out),
                      stdout_before(baseline, log_index_of_call(baseline, point.call_index)));
            // The report comes after the release.
            EXPECT_EQ(run.log.back().kind, Event::Kind::Output);
            EXPECT_EQ(run.log.back().stream, 2);
            EXPECT_FALSE(run.cards[0].open);
            EXPECT_EQ(run.cards[0].mappings, 0);
        }
    }
    RecordProperty("fault_points", static_cast<int>(points.size()));
    std::printf("fault matrix: %zu fault points\n", points.size());
}

}  // namespace
