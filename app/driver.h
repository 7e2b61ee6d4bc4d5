// Entry, main sequence, argument checks and the single fatal exit.
#pragma once

// The name shown in the usage text and at the head of every error report.
constexpr const char* PROGRAM_NAME = "VELTCFG";

int run_upload_tool(int argc, char** argv);
void print_banner();
void parse_arguments(int argc, char** argv);

// Releases the card, reports the message on standard error under the
// program's heading and ends the process with exit_code.
[[noreturn]] void fatal_exit(int exit_code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// For a run asked to stop once the card is open (upload_state.
// interrupt_signal; see catch_interrupts in app/platform.h): releases the
// card, reports "Programming interrupted." as fatal_exit reports, and ends
// the process as the request would have ended it.
[[noreturn]] void interrupted_exit();
