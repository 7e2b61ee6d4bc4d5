#include "app/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

// Runs before the programs' own static initialisation (101 is the first
// priority left to programs; unnumbered constructors come after it), so that
// nothing a program writes, from wherever, goes out in text mode.
__attribute__((constructor(101))) void binary_standard_streams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool (*noted)(int request) = nullptr;

// Windows calls this on a thread of its own. The request is named by the
// signal the C library would raise for it.
BOOL WINAPI on_console_event(DWORD event)
{
    int request;
    switch (event) {
    case CTRL_C_EVENT:
        request = SIGINT;
        break;
    case CTRL_BREAK_EVENT:
        request = SIGBREAK;
        break;
    case CTRL_CLOSE_EVENT:
        request = SIGTERM;
        break;
    default:
        return FALSE;  // log-off and shut-down: meant for services
    }
    if (!noted(request)) {
        end_as_interrupted(request);  // at once, as Windows' own handler would
    }
    if (event == CTRL_CLOSE_EVENT) {
        // Windows ends the process as soon as this returns (and at the
        // latest a few seconds after the window closed): wait here while
        // the upload reaches its next check and ends the process itself.
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

void catch_interrupts(bool (*note)(int request))
{
    noted = note;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void ignore_broken_pipes()
{
}

void end_as_interrupted(int)
{
    // What a console program ends with when Ctrl-C, Ctrl-Break or closing
    // its window ends it. _Exit flushes nothing.
    std::_Exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void silence_output(bool silenced)
{
    static int saved[2] = {-1, -1};  // standard output and error as they were
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {1, 2}) {
        int& kept = saved[fd - 1];
        if (silenced && kept < 0) {
            kept = _dup(fd);
            const int null = _open("NUL", _O_WRONLY | _O_BINARY);
            _dup2(null, fd);
            _close(null);
        } else if (!silenced && kept >= 0) {
            _dup2(kept, fd);
            _close(kept);
            kept = -1;
        }
    }
}
