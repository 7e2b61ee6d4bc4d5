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
