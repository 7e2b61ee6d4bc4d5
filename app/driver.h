// Entry, main sequence, argument checks and the single fatal exit.
#pragma once

#include <cstdint>

// The name shown in the usage text and at the head of every error report.
constexpr const char* PROGRAM_NAME = "VELTCFG";

// Card numbers go from 0 to this.
constexpr uint32_t HIGHEST_CARD_NUMBER = 15;

int run_upload_tool(int argc, char** argv);
void parse_arguments(int argc, char** argv);

// Releases the card, writes out standard output, reports the message on
// standard error under the program's heading and ends the process with
// exit_code.
[[noreturn]] void fatal_exit(int exit_code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Called with the exit status when a run fails, the usage text included
// (once the card is released and the report written), just before the
// process ends: the one way a failed run ends, for a program that runs the
// whole upload as one step of its own work: veltcfg-check and the fuzz
// target throw the status from it, to end the run and go on with the next
// file. Null in the card programs.
extern void (*on_failed_run)(int exit_code);

// For a run asked to stop once the card is open (upload_state.
// interrupt_signal; see catch_interrupts in app/platform.h): releases the
// card, reports "Programming interrupted." as fatal_exit reports, and ends
// the process as the request would have ended it.
[[noreturn]] void interrupted_exit();
