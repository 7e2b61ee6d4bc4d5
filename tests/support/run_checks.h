// What every run of the program on a configuration file must satisfy, and
// what a particular file makes of it: used by the hostile-file tests on runs
// in a child and by the fuzz target on runs in its own process.
//
// Whatever the file, a run ends with one of the program's own endings: status
// 0, 102, 103 or 104 with exactly the matching report, never a signal or a
// hang; both cards released and only card 0 touched; no raw control byte
// from the file on the terminal; and for a refused file, nothing sent to the
// card.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tests/support/program_run.h"

// The program's reports, and the line that starts programming.
constexpr const char* END_OF_FILE = "File I/O error.  Unexpected end of file?";
constexpr const char* UNKNOWN_TYPE = "Unknown file type.";
constexpr const char* BUSY_AT_START = "<DONE> status bit indicates busy at start of programming.";
constexpr const char* NOT_DONE = "Error: Not <DONE>; programming not completed.";
constexpr const char* SEEK_ERROR = "File seek error.";
constexpr const char* READ_ERROR = "File I/O error.";
constexpr const char* PROGRAMMING = "\nProgramming...\n";

// How a run must end, beyond what every run must satisfy.
struct Expected {
    int status = -1;          // -1: any of 0, 102, 103, 104
    std::string message;      // with a status other than 0: the exact report; "" for either
    // Standard output after the card report: exactly this; or starting with
    // this; or, for a header cut short, some leading part of this.
    std::optional<std::string> report;
    std::optional<std::string> report_starts;
    std::optional<std::string> report_prefix_of;
    // Configuration bytes the file holds after its header: with status 0 the
    // bytes reported programmed, with 102 the bytes the FPGA received.
    std::optional<uint64_t> data_bytes;
};

Expected exactly(int status, const std::string& message);
Expected anything();

// Everything wrong with a run of the program on card 0 of the default host,
// one problem a line; "" when nothing is. The file must be a regular file
// (or a device that reads without error), so that a 103 or 104 can only come
// from the recognition, before programming starts.
std::string problems_of(const ProgramRun& run, const Expected& expected);

// `text` with control bytes and the backslash shown as \xHH, so that a
// failure message does not disturb the terminal either.
std::string printable(const std::string& text);
