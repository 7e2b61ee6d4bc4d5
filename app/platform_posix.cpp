#include "app/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

bool (*noted)(int request) = nullptr;

void on_signal(int signal_number)
{
    if (!noted(signal_number)) {
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);  // delivered as the handler returns
    }
}

}  // namespace

void catch_interrupts(bool (*note)(int request))
{
    noted = note;
    ignore_broken_pipes();
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        sigaction(signal_number, nullptr, &action);
        if (action.sa_handler == SIG_IGN) {
            continue;  // left ignored, as whoever started the program wanted
        }
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a write to a terminal or pipe that has stopped
        // taking output returns, so the upload gets to its next check.
        action.sa_flags = 0;
        sigaction(signal_number, &action, nullptr);
    }
}

void ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void end_as_interrupted(int request)
{
    std::signal(request, SIG_DFL);
    std::raise(request);
    std::_Exit(128 + request);
}

void silence_output(bool silenced)
{
    static int saved[2] = {-1, -1};  // standard output and error as they were
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        int& kept = saved[fd - STDOUT_FILENO];
        if (silenced && kept < 0) {
            kept = dup(fd);
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            dup2(null, fd);
            close(null);
        } else if (!silenced && kept >= 0) {
            dup2(kept, fd);
            close(kept);
            kept = -1;
        }
    }
}
