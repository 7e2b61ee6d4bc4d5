// The real veltcfg executable on the sysfs backend: against fake device
// trees bind-mounted over /sys/bus/pci/devices in a private mount namespace,
// and against this machine's own PCI tree.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/hex_text.h"
#include "tests/support/bitstream.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/program_run.h"

namespace fs = std::filesystem;
using fake_sysfs::FakeDevice;
using fake_sysfs::FakeSysfs;

namespace {

const std::string DEVICES = "/sys/bus/pci/devices";

std::string tool(const std::string& name)
{
    for (const char* folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        if (access((folder + name).c_str(), X_OK) == 0) {
            return folder + name;
        }
    }
    return "";
}

std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

// Runs `command` under sh in a private mount namespace in which `root`
// stands in for /sys/bus/pci/devices.
ProgramRun run_over_tree(const std::string& root, const std::string& command)
{
    return run_executable(tool("unshare"),
                          {"--mount", "sh", "-c",
                           "mount --make-rprivate / && mount --bind " + quoted(root) + " " +
                               DEVICES + " && " + command});
}

// Why fake trees cannot be mounted here, or "" when they can.
std::string namespace_problem()
{
    static const std::string problem = [] {
        std::error_code error;
        if (!fs::is_directory(DEVICES, error)) {
            return DEVICES + " does not exist";
        }
        if (tool("unshare").empty()) {
            return std::string("unshare is not installed");
        }
        TempDir probe;
        probe.write("mounted", "");
        const ProgramRun run = run_over_tree(probe.path(), "test -e " + DEVICES + "/mounted");
        // The cause where it is known (mountpoint exits with 32 for "not a
        // mount point"); the tool's own message follows.
        const bool in_chroot = run_executable(tool("mountpoint"), {"-q", "/"}).exit_status == 32;
        const char* cause = geteuid() != 0 ? " (needs root)"
                            : in_chroot    ? " (/ is not a mount point, as in a chroot)"
                                           : "";
        return run.exit_status == 0 ? std::string()
                                    : "cannot bind-mount a fake tree over " + DEVICES +
                                          " in a private mount namespace" + cause + ": " +
                                          run.err;
    }();
    return problem;
}

ProgramRun run_veltcfg_over_tree(const FakeSysfs& tree, const std::string& file, int card)
{
    return run_over_tree(tree.root(), "exec " + quoted(VELTCFG_PATH) + " " + quoted(file) + " " +
                                          std::to_string(card));
}

ProgramRun run_list_over_tree(const FakeSysfs& tree)
{
    return run_over_tree(tree.root(), "exec " + quoted(VELTCFG_LIST_PATH));
}

sample::Design small_design()
{
    sample::Design design;
    design.frame_words = 1000;
    return design;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------- loads

struct LoadCase {
    const char* name;
    bool prom;
    uint64_t io_start;
    uint32_t control_before;
    uint32_t control_after;  // the enables (bits 18, 19) and program line (16) set
    size_t others;           // unrelated devices in the tree
    int card_number;         // of the two cards, on bus 4 and bus 6
};

class LinuxProgramLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LinuxProgramLoad, ProgramsTheCardThroughSysfs)
{
    const std::string problem = namespace_problem();
    if (!problem.empty()) {
        GTEST_SKIP() << problem;
    }
    const LoadCase& c = GetParam();
    FakeSysfs tree;
    FakeDevice cards[2];
    cards[0].bus = 4;
    cards[1].bus = 6;
    cards[1].slot = 3;
    cards[0].subsystem_vendor_id = 0x1234;  // no model's: listed as unknown, loaded all the same
    cards[1].subsystem_device_id = 0x3429;
    FakeDevice& target = cards[c.card_number];
    FakeDevice& bystander = cards[1 - c.card_number];
    target.io_start = c.io_start;
    target.control = c.control_before;
    bystander.io_start = 0xB000;
    bystander.bar3_start = 0xF7C00000;
    fake_sysfs::add_card_among_others(tree, target, c.others);
    tree.add(bystander);

    const sample::Design design = small_design();
    TempDir dir;
    const std::string file =
        c.prom ? dir.write("design.prom", to_string(sample::prom_image(design)))
               : dir.write("design.bit", to_string(sample::bit_file(design)));
    const ProgramRun run = run_veltcfg_over_tree(tree, file, c.card_number);

    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string total = std::to_string(
        c.prom ? sample::prom_image(design).size() : sample::ConfigStream(design).size());
    EXPECT_TRUE(ends_with(run.out,
                          "\nSuccessfully programmed " + total + " bytes.\n\nFunction complete.\n"))
        << run.out;
    EXPECT_NE(run.out.find("\nUsing PCI device at bus " + std::to_string(target.bus) +
                           "/device " + std::to_string(target.slot) + "."),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nPLX 9056 configuration I/O base port: " + hex_text(c.io_start, 4)),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nPLX 9056 control/status port:         " +
                           hex_text(c.io_start + fake_sysfs::CONTROL_OFFSET, 4)),
              std::string::npos)
        << run.out;

    EXPECT_EQ(tree.control(target), c.control_after);
    // Every byte went to the data port at offset 0, the trailing 0xFF clocks last.
    std::string window(target.bar3_file_size, '\0');
    window[0] = static_cast<char>(0xFF);
    EXPECT_EQ(tree.read(target, "resource3"), window);

    EXPECT_EQ(tree.control(bystander), bystander.control) << "the other card is untouched";
    EXPECT_EQ(tree.bar3_byte(bystander), 0);

    // The listing numbers the cards as veltcfg does.
    const ProgramRun list = run_list_over_tree(tree);
    EXPECT_NE(list.out.find("\n" + target.name() + "  " + std::to_string(c.card_number) + "     " +
                            (c.card_number == 0 ? "unknown  1234:3427" : "RV80-C   10b5:3429")),
              std::string::npos)
        << list.out;
}

INSTANTIATE_TEST_SUITE_P(
    LinuxProgramRuns, LinuxProgramLoad,
    ::testing::Values(LoadCase{"BitFile", false, 0xE000, 0x0000000E, 0x000D000E, 0, 0},
                      LoadCase{"PromImage", true, 0xD000, 0x0000000E, 0x000D000E, 3, 0},
                      LoadCase{"SecondCardAmongOthers", false, 0xC800, 0x4000000E, 0x400D000E,
                               40, 1}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- a held card

// `flock -x FILE sleep 30` in a process group of its own, killed (the group,
// by id) when the test is done with it.
class Holder {
public:
    explicit Holder(const std::string& file)
    {
        const std::string flock_tool = tool("flock");
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            execl(flock_tool.c_str(), "flock", "-x", file.c_str(), "sleep", "30",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ > 0) {
            setpgid(pid_, pid_);  // either side may get there first
        }
    }
    ~Holder()
    {
        if (pid_ > 0) {
            if (kill(-pid_, SIGKILL) != 0) {
                kill(pid_, SIGKILL);
            }
            waitpid(pid_, nullptr, 0);
        }
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    pid_t pid() const { return pid_; }

    // Waits (a bounded number of short naps) until the lock is taken.
    bool holds(const std::string& file) const
    {
        for (int attempt = 0; pid_ > 0 && attempt < 1000; ++attempt) {
            const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            const bool taken = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (fd >= 0) {
                close(fd);
            }
            if (taken) {
                return true;
            }
            usleep(10000);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
};

// A lock on the register block's resource file (which takes the rights to
// program the card) holds the card; one on config, which any user can
// take, does not.
struct HeldCase {
    const char* name;
    const char* file;
    int exit_status;
};

class LinuxProgramLock : public ::testing::TestWithParam<HeldCase> {};

TEST_P(LinuxProgramLock, OnlyTheRegisterFileLockHoldsTheCard)
{
    const std::string problem = namespace_problem();
    if (!problem.empty()) {
        GTEST_SKIP() << problem;
    }
    if (tool("flock").empty()) {
        GTEST_SKIP() << "flock is not installed";
    }
    const HeldCase& c = GetParam();
    FakeSysfs tree;
    const FakeDevice card;
    tree.add(card);
    TempDir dir;
    const std::string bit = dir.write("design.bit", to_string(sample::bit_file(small_design())));

    Holder holder(tree.path(card, c.file));
    ASSERT_TRUE(holder.holds(tree.path(card, c.file)));
    const ProgramRun list = run_list_over_tree(tree);
    const ProgramRun run = run_veltcfg_over_tree(tree, bit, 0);

    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    if (c.exit_status == 105) {
        EXPECT_EQ(run.err, "\n\n\aVELTCFG:\nCan't gain access to 9056 card number 0.\n\n");
        EXPECT_TRUE(ends_with(list.out, " configured; in use: held by process " +
                                            std::to_string(holder.pid()) + " (flock)\n"))
            << list.out;
        EXPECT_EQ(tree.control(card), card.control);
        EXPECT_EQ(tree.bar3_byte(card), 0);
    } else {
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(tree.bar3_byte(card), 0xFF) << "the trailing clocks were sent";
    }
}

INSTANTIATE_TEST_SUITE_P(LinuxProgramHeld, LinuxProgramLock,
                         ::testing::Values(HeldCase{"HeldCardGivesExit105", "resource1", 105},
                                           HeldCase{"ConfigLockIgnored", "config", 0}),
                         [](const ::testing::TestParamInfo<HeldCase>& info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------- mid-run

// Starts veltcfg over the tree and, once it has printed its first countdown
// (it is then streaming the file), runs `act` with its process id; returns
// how it ended and what it wrote.
struct MidwayRun {
    int status = -1;  // exit status, -1 when ended by a signal
    int signal = 0;
    std::string out, err;
};

// Starts `program` on `file`, card 0, as this process's child, with `root`
// over the devices folder and its standard output and error on `out` and
// `err` (closed here once the child has them). unshare and sh exec in turn,
// so the program runs as that child.
pid_t start_over_tree(const std::string& root, const std::string& program,
                      const std::string& file, int out, int err)
{
    const std::string command = "mount --make-rprivate / && mount --bind " + quoted(root) + " " +
                                DEVICES + " && exec " + quoted(program) + " " + quoted(file) + " 0";
    const std::string unshare = tool("unshare");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execl(unshare.c_str(), unshare.c_str(), "--mount", "sh", "-c", command.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out);
    close(err);
    return child;
}

MidwayRun run_and_act_midway(const FakeSysfs& tree, const std::string& file,
                             const std::function<void(pid_t)>& act)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t child = start_over_tree(tree.root(), VELTCFG_PATH, file, out[1], err[1]);
    MidwayRun run;
    char buffer[4096];
    ssize_t n;
    bool acted = false;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        run.out.append(buffer, static_cast<size_t>(n));
        if (!acted && run.out.find('\r') != std::string::npos) {
            act(child);
            acted = true;
        }
    }
    while ((n = read(err[0], buffer, sizeof buffer)) > 0) {
        run.err.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    EXPECT_TRUE(acted) << "the program never started streaming";
    return run;
}

// One card in a fake tree, over which the programs run in a private mount
// namespace.
class LinuxProgramMidway : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string problem = namespace_problem();
        if (!problem.empty()) {
            GTEST_SKIP() << problem;
        }
        tree.add(card);
    }

    FakeSysfs tree;
    const FakeDevice card;
    TempDir dir;
};

// A long PROM image (a sparse file: the signature, then zeros), so that the
// card is still streaming when the test acts.
std::string long_prom(const TempDir& dir)
{
    const std::string prom =
        dir.write("long.prom", std::string("\xFF\xFF\xFF\xFF\x55\x99\xAA\x66", 8));
    if (truncate(prom.c_str(), off_t{128} << 20) != 0) {
        ADD_FAILURE() << "truncate";
    }
    return prom;
}

// The card's register file removed, as when the card is hot-removed, or
// reading all ones, as a card that has stopped answering does: the next
// register access, the DONE check after the stream, fails.
TEST_F(LinuxProgramMidway, CardGoneGivesExit105)
{
    for (bool removed : {true, false}) {
        SCOPED_TRACE(removed ? "register file removed" : "reading all ones");
        FakeSysfs fresh;
        fresh.add(card);
        const MidwayRun run = run_and_act_midway(fresh, long_prom(dir), [&](pid_t) {
            if (removed) {
                fs::remove(fresh.path(card, "resource1"));
            } else {
                fresh.write(card, "resource1", std::string(256, '\xFF'));
            }
        });
        EXPECT_EQ(run.status, 105) << run.err;
        EXPECT_EQ(run.err, "\n\n\aVELTCFG:\nCan't access 9056 card status register.\n\n");
        const ProgramRun list = run_list_over_tree(fresh);
        EXPECT_TRUE(ends_with(list.out, removed ? "  unknown\n" : "  not answering\n")) << list.out;
        EXPECT_TRUE(ends_with(run.out, "\r0     ")) << run.out.substr(run.out.size() - 40);
        // No trailing clocks: the last byte sent is the image's last, a zero.
        EXPECT_EQ(fresh.bar3_byte(card), 0);
    }
}

// SIGTERM mid-stream: the program line is driven low, the card released and
// the program ends by the signal; the card can be programmed again at once.
TEST_F(LinuxProgramMidway, SignalLeavesTheLineLowAndTheCardFree)
{
    const MidwayRun run =
        run_and_act_midway(tree, long_prom(dir), [](pid_t pid) { kill(pid, SIGTERM); });
    EXPECT_EQ(run.signal, SIGTERM) << run.err;
    EXPECT_EQ(run.err, "\n\n\aVELTCFG:\nProgramming interrupted.\n");
    EXPECT_EQ(tree.control(card), 0x000C000Eu) << "enables set, program line low";

    const std::string bit = dir.write("design.bit", to_string(sample::bit_file(small_design())));
    const ProgramRun again = run_veltcfg_over_tree(tree, bit, 0);
    EXPECT_EQ(again.exit_status, 0) << again.err;
}

// Both programs with standard output a pipe whose reader has gone: every
// write fails, and the upload runs to its end all the same.
TEST_F(LinuxProgramMidway, ClosedOutputDoesNotStopTheUpload)
{
    const std::string bit = dir.write("design.bit", to_string(sample::bit_file(small_design())));
    for (const std::string program : {VELTCFG_PATH, VELTCFG_SIM_PATH}) {
        SCOPED_TRACE(program);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        close(out[0]);
        const pid_t child = start_over_tree(tree.root(), program, bit, out[1], dup(STDERR_FILENO));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(tree.bar3_byte(card), 0xFF) << "the trailing clocks were sent";
}

// A reader that has stopped reading: the program blocks writing its
// countdown, and SIGTERM still ends it cleanly instead of leaving it holding
// the card.
TEST_F(LinuxProgramMidway, StalledReaderDoesNotHoldTheCard)
{
    const std::string prom = long_prom(dir);
    ASSERT_EQ(truncate(prom.c_str(), off_t{1} << 30), 0);  // about 65,000 countdown lines
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t child = start_over_tree(tree.root(), VELTCFG_SIM_PATH, prom, out[1], err[1]);
    // The pipe holds 64 KiB: full after about 10,000 blocks, well within this.
    usleep(1500000);
    kill(child, SIGTERM);
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (waited == 200) {  // 20 s: it is stuck
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "SIGTERM did not end the program";
        }
        usleep(100000);
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    char report[256];
    const ssize_t n = read(err[0], report, sizeof report);
    EXPECT_EQ(std::string(report, n > 0 ? static_cast<size_t>(n) : 0),
              "\n\n\aVELTCFG:\nProgramming interrupted.\n");
    close(out[0]);
    close(err[0]);
}

// The listing run by a user who may not read the devices folder: no listing.
TEST(LinuxProgramList, UnreadableDevicesGiveExit1)
{
    const std::string problem = namespace_problem();
    if (!problem.empty() || tool("setpriv").empty()) {
        GTEST_SKIP() << (problem.empty() ? "setpriv is not installed" : problem);
    }
    const FakeSysfs tree;
    const ProgramRun run = run_over_tree(tree.root(), "chmod 0 " + DEVICES + " && exec " +
                                         tool("setpriv") + " --reuid=65534 --regid=65534 " +
                                         "--clear-groups " + quoted(VELTCFG_LIST_PATH));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "veltcfg-list: the PCI devices cannot be listed: " + DEVICES +
                           ": Permission denied\n");
}

// ---------------------------------------------------------------- this machine

TEST(LinuxProgramRealSysfs, NoCardGivesExit101)
{
    std::error_code error;
    if (!fs::is_directory(DEVICES, error)) {
        GTEST_SKIP() << DEVICES << " does not exist here";
    }
    for (const auto& entry : fs::directory_iterator(DEVICES, error)) {
        std::ifstream vendor(entry.path() / "vendor"), device(entry.path() / "device");
        std::string v, d;
        vendor >> v;
        device >> d;
        if (v == "0x10b5" && d == "0x9056") {
            GTEST_SKIP() << "a PCI9056 card is present at " << entry.path();
        }
    }
    TempDir dir;
    const std::string bit = dir.write("design.bit", to_string(sample::bit_file(small_design())));
    const ProgramRun run = run_executable(VELTCFG_PATH, {bit, "0"});

    EXPECT_EQ(run.exit_status, 101) << run.out << run.err;
    EXPECT_EQ(run.err, "\n\n\aVELTCFG:\nCan't find 9056 card number 0.\n\n");
    const ProgramRun list = run_executable(VELTCFG_LIST_PATH, {});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    EXPECT_EQ(list.out, "No PCI9056 card found.\n");
}

}  // namespace
