// What differs between the platforms the programs are built for, and
// nothing else: platform_posix.cpp (Linux) or platform_windows.cpp (Windows,
// built with MinGW-w64); CMake builds one of them into every program.
//
// On Windows, standard output and error are also switched to binary before
// any static initialisation can print, so every program writes the same
// bytes as on Linux (text mode would write "\r\n" for each "\n"); POSIX has
// nothing to do there.
#pragma once

// Has note(request) called for every request to stop the program: SIGINT,
// SIGTERM and SIGHUP on POSIX (those ignored when the program started stay
// ignored), Ctrl-C, Ctrl-Break and closing the console window on Windows,
// where it is called on a thread of its own. note returns true when it has
// noted the request (the run stops at its next check), false when the
// program is to end at once, as the request would end it uncaught.
// It ignores broken pipes too (below).
void catch_interrupts(bool (*note)(int request));

// Output that cannot be written (a pipe whose reader has gone) does not end
// the program: SIGPIPE is ignored on POSIX (Windows has none), so an upload
// goes on and its status says how the card fared.
void ignore_broken_pipes();

// Ends the process as an uncaught request would have ended it: by that
// signal on POSIX (128 + N in a shell), with STATUS_CONTROL_C_EXIT
// (0xC000013A) on Windows. Standard output is not flushed.
[[noreturn]] void end_as_interrupted(int request);

// Sends what the process writes to standard output and error to the null
// device (silenced), or back to where it went before (not silenced); what
// the C library still holds for either is written out first. For a program
// that runs the upload as one step of its own work and reports on it in its
// own words (veltcfg-check --quiet, --json).
void silence_output(bool silenced);
