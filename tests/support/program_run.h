// Runs the program, or any piece of it, in a child process on a simulated
// host, and hands back what a caller could observe: exit status, standard
// output and standard error as exact bytes, the recorder's log and the state
// each card was left in. Failures end the process through exit(), so a child
// is the only way to watch them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/plx/sim/host_description.h"
#include "tests/support/recorder.h"

// What a simulated card was left in.
struct CardOutcome {
    sim::Fpga::State fpga_state = sim::Fpga::State::Idle;
    uint64_t fpga_bytes = 0;    // bytes the FPGA took in its last cycle
    uint64_t done_at_byte = 0;  // where it stopped reading the stream (0: never)
    bitstream::FamilyGroup group = bitstream::FamilyGroup::Unknown;  // the stream's, once found
    uint32_t control = 0;       // control/status register bits as last written
    bool open = false;
    int mappings = 0;
};

std::vector<CardOutcome> card_outcomes(sim::Host& host);

struct ProgramRun {
    int exit_status = -1;  // -1 when the child did not exit normally
    int signal = 0;        // the signal that ended it, if one did
    bool timed_out = false;
    std::string out;
    std::string err;
    std::vector<recording::Event> log;
    std::vector<CardOutcome> cards;

    std::vector<recording::Event> calls() const;            // Call events only
    std::vector<recording::Op> call_ops() const;
    std::vector<uint8_t> data_bytes() const;          // in order
    std::vector<uint32_t> register_writes() const;    // values stored, in order
    std::string log_text() const;                     // for failure messages
};

using HostSetup = std::function<void(sim::Host& host, recording::Recorder& recorder)>;

// Runs `body` in a child on a fresh default host, recorded (data bytes
// included), after `setup` has adjusted the host and the recorder (and, if
// it likes, the buffering of standard output, unbuffered until then); the
// child exits with what body returns.
ProgramRun run_in_child(const HostSetup& setup, const std::function<int()>& body,
                        int timeout_seconds = 120);

// The whole program: run_upload_tool with argv = {"veltcfg-sim", args...}.
ProgramRun run_program(const std::vector<std::string>& args, const HostSetup& setup = nullptr);

// A built executable, run as it is (no log).
ProgramRun run_executable(const std::string& path, const std::vector<std::string>& args,
                          int timeout_seconds = 120);

// The error report of the program for `message`, exactly as written to
// standard error.
std::string error_report(const std::string& message);

// The banner, and the card report of the default host's card 0 or 1 with
// its memory base masked.
std::string banner();
std::string card_report(int card_number);

// Replaces the memory base address in a program's output with
// MASKED_ADDRESS, if it is printed as it must be: upper-case hexadecimal,
// zero-padded to the width of a pointer.
constexpr const char* MASKED_ADDRESS = "<address>";
std::string mask_memory_base(const std::string& out);
