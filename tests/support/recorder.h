// A card layer backend for tests: it wraps another backend's table, logs
// every call with its arguments and status, can make any call fail or any
// successful map return a bad address, and notes the data-port bytes and the
// program's output in the same log, in order. What the card itself does
// (DONE busy or never, a card that stops answering) is the simulated card's
// to set (sim::CardSettings).
//
// It is the test executable's active backend, and its data-port store (see
// recorder.cpp), wrapping the simulated host unless a test says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/plx/plx_api.h"

namespace recording {

enum class Op : uint8_t {
    DeviceFind,
    DeviceOpen,
    PciRegisterRead,
    PciBarMap,
    PciBarUnmap,
    DeviceClose,
    IoPortRead,
    IoPortWrite,
};
constexpr int OP_COUNT = 8;
const char* op_name(Op op);

struct Event {
    enum class Kind : uint8_t {
        Call,      // one of the eight operations
        DataByte,  // a byte stored to the data port
        Output,    // bytes the program wrote to stdout (stream 1) or stderr (2)
    };
    Kind kind = Kind::Call;
    Op op = Op::DeviceFind;  // Call
    PLX_STATUS status = 0;   // Call: what it returned
    std::string text;        // Call: its arguments; Output: the bytes
    int stream = 0;          // Output
    uint32_t value = 0;      // Call: value read or written; DataByte: the byte

    std::string describe() const;
};

// How a successful BAR map is made to go wrong.
enum class MapFault { None, Null, AllOnes };

class Recorder {
public:
    // Starts over, recording the calls to `inner`: log, counts and faults
    // cleared, data bytes recorded.
    void reset(const PlxBackend* inner);
    const PlxBackend* inner() const { return inner_; }

    // The nth call (from 1) of op returns `status` and does nothing else;
    // with `and_later`, so does every call after it.
    void fail_call(Op op, unsigned nth = 1, PLX_STATUS status = PLX_STATUS_FAILED,
                   bool and_later = false);
    MapFault map_fault = MapFault::None;
    // Data bytes are logged only while this is set (a long bitstream would
    // fill memory); they are always counted.
    bool record_data_bytes = true;
    // Runs `action` once, right after the nth byte has reached the data port,
    // or right after the nth call (from 1) of op.
    void after_data_bytes(uint64_t nth, std::function<void()> action);
    // Runs `action` once, right after the program has written `text` (to
    // standard output or error, as the stream is flushed).
    void after_output(std::string text, std::function<void()> action);
    void after_call(Op op, unsigned nth, std::function<void()> action);
    // Runs after every DeviceClose.
    std::function<void()> after_close;
    void note_output(int stream, const char* bytes, size_t count);

    const std::vector<Event>& log() const { return log_; }
    uint64_t data_bytes_written() const { return data_bytes_written_; }

    // For the recording table and store.
    bool injected(Op op, PLX_STATUS* status);
    PLX_STATUS record(Op op, PLX_STATUS status, std::string args, uint32_t value = 0);
    void data_byte(uint8_t value);
    volatile uint8_t* real_mapping = nullptr;

private:
    struct Fault {
        Op op;
        unsigned nth;
        PLX_STATUS status;
        bool and_later;
    };

    const PlxBackend* inner_ = nullptr;
    struct Action {
        Op op;
        unsigned nth;
        std::function<void()> run;
    };

    std::vector<Fault> faults_;
    std::vector<Action> actions_;
    std::vector<Event> log_;
    unsigned call_counts_[OP_COUNT] = {};
    uint64_t data_bytes_written_ = 0;
    uint64_t action_at_byte_ = 0;
    std::function<void()> action_;
    std::string output_text_;
    std::function<void()> output_action_;
};

// The process's recorder, the one the test executable's backend records in.
Recorder& recorder();

// The log in a line-per-event text form and back, for handing it across a
// process boundary.
std::string serialize_log(const std::vector<Event>& log);
std::vector<Event> parse_log(const std::string& text);

}  // namespace recording

extern const PlxBackend recording_backend;
