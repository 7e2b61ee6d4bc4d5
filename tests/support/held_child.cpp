#include "tests/support/held_child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

HeldChild::HeldChild(const std::function<std::string()>& hold)
{
    int ready[2], release[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        close(ready[0]);
        close(release[1]);
        const std::string report = hold();
        const bool sent = write(ready[1], report.data(), report.size()) ==
                          static_cast<ssize_t>(report.size());
        close(ready[1]);
        char go = 0;
        const bool waited = read(release[0], &go, 1) == 0;  // end of file: let go
        _exit(sent && waited ? 0 : 1);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char chunk[4096];
    for (ssize_t got; (got = read(ready[0], chunk, sizeof chunk)) > 0;) {
        report_.append(chunk, static_cast<size_t>(got));
    }
    close(ready[0]);
}

HeldChild::~HeldChild()
{
    let_go();
}

int HeldChild::let_go()
{
    if (pid_ <= 0) {
        return -1;
    }
    close(release_);
    int status = 0;
    const bool ended = waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
