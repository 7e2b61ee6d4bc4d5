// A child process that takes hold of something (a lock, an open card) and
// keeps it until the test lets it go: for seeing what a program does while
// another process holds it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

class HeldChild {
public:
    // Forks a child that runs `hold`, sends back what it returns (a word on
    // what it holds) and keeps what it took until let go, then exits with 0.
    // Returns once the child has sent its word, or has ended without.
    explicit HeldChild(const std::function<std::string()>& hold);
    ~HeldChild();
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;

    // What the child sent ("" when it ended first).
    const std::string& report() const { return report_; }

    // Lets the child go and waits for it: its exit status, -1 when it did
    // not exit normally.
    int let_go();

private:
    pid_t pid_ = -1;
    int release_ = -1;  // the child goes when this is closed
    std::string report_;
};
