// veltcfg-bench [--runs N] [--mib N]
//
// Measures veltcfg on this machine and prints the results as a Markdown
// table:
//   1. throughput of the production build loading a PROM image and a .BIT
//      file into a card whose BAR 3 is memory (a fake sysfs tree on tmpfs,
//      bind-mounted over /sys/bus/pci/devices in this process's own mount
//      namespace), beside veltcfg-baseline doing the bare per-byte work on
//      the same files and the same mapping;
//   2. peak resident memory for a 1 MiB and a 1 GiB image;
//   3. start-up: process start to the first data-port byte, less the 1 ms
//      wait before streaming, with a few dozen PCI devices in the tree;
//   4. veltcfg-sim and veltcfg-check on a .BIT file of each family group, a
//      run of one beside a run of the other, from process start to exit;
// then the upload's block loop as the measured veltcfg was compiled.
// Every figure is the median of --runs runs (default 5); the throughput
// ratio is the median of each run's ratio to the baseline run beside it.
// The results name the build type (Release, RelWithDebInfo, ...) of the
// programs measured, which are those of the benchmark's own build.
// Needs root.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "bitstream/family_rules.h"
#include "tools/sample_bitstream.h"
#include "tests/support/fake_sysfs.h"

namespace {

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "veltcfg-bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

struct Outcome {
    int status = -1;
    double seconds = 0;
    long max_rss_kib = 0;
    double first_byte_seconds = -1;  // when the first block was sent
};

// Runs a program with its standard output thrown away. With
// `time_first_block`, its output is read instead and the arrival of the
// first carriage return noted: the countdown line the program prints, and
// flushes, right before it hands the first block to the byte sender. The
// reading blocks, so it takes nothing from the program while it runs.
Outcome run(const std::vector<std::string>& args, bool time_first_block = false)
{
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    if (time_first_block && pipe(out) != 0) {
        die("pipe");
    }

    Outcome outcome;
    const double start = now_seconds();
    const pid_t child = fork();
    if (child < 0) {
        die("fork");
    }
    if (child == 0) {
        const int sink = time_first_block ? out[1] : open("/dev/null", O_WRONLY);
        dup2(sink, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (time_first_block) {
        close(out[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
            if (outcome.first_byte_seconds < 0 && std::memchr(buffer, '\r', static_cast<size_t>(n))) {
                outcome.first_byte_seconds = now_seconds() - start;
            }
        }
        close(out[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        die("wait4");
    }
    outcome.seconds = now_seconds() - start;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.max_rss_kib = usage.ru_maxrss;
    return outcome;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

off_t size_of(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        die("stat " + path);
    }
    return info.st_size;
}

void write_file(const std::string& path, const sample::Design& design, bool prom)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || !(prom ? sample::write_prom_image(out, design)
                                 : sample::write_bit_file(out, design)) ||
        std::fclose(out) != 0) {
        die("writing " + path);
    }
}

// A PROM image of `bytes` bytes: the signature, then a hole (zeros, no
// memory used on tmpfs).
void write_sparse_prom(const std::string& path, off_t bytes)
{
    static const uint8_t start[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(start, 1, sizeof start, out) != sizeof start ||
        std::fclose(out) != 0 || truncate(path.c_str(), bytes) != 0) {
        die("writing " + path);
    }
}

void require_success(const Outcome& outcome, const std::string& what)
{
    if (outcome.status != 0) {
        std::fprintf(stderr, "veltcfg-bench: %s exited with %d\n", what.c_str(), outcome.status);
        std::exit(1);
    }
}

// The sample design of `group` whose configuration data is about `mib` MiB.
sample::Design sized_design(bitstream::FamilyGroup group, long mib)
{
    sample::Design design = sample::design_for(group);
    design.frame_words = 0;
    const uint64_t overhead = sample::ConfigStream(design).size();
    design.frame_words = static_cast<uint32_t>(((static_cast<uint64_t>(mib) << 20) - overhead) /
                                               bitstream::rules_of(group)->format->word_bytes);
    return design;
}

// The rows of veltcfg-sim and veltcfg-check on a .BIT file of `mib` MiB for
// each family group, written in `work` in turn: the medians of `runs` runs
// of each, one beside the other. The goal: 1 GB/s where the CRC is CRC-32C,
// 500 MB/s for the older groups' CRCs.
std::vector<std::string> checking_rows(const std::string& work, long mib, int runs)
{
    using bitstream::FamilyGroup;
    std::vector<std::string> rows;
    for (const FamilyGroup group : {FamilyGroup::Virtex4On, FamilyGroup::VirtexII,
                                    FamilyGroup::Virtex, FamilyGroup::Spartan3A,
                                    FamilyGroup::Spartan6}) {
        const std::string file = work + "/group.bit";
        write_file(file, sized_design(group, mib), false);
        std::vector<double> sim, check;
        for (int r = 0; r < runs; ++r) {
            const Outcome simulated = run({VELTCFG_SIM_PATH, file, "0"});
            require_success(simulated, "veltcfg-sim " + file);
            const Outcome checked = run({VELTCFG_CHECK_PATH, "--quiet", file});
            require_success(checked, "veltcfg-check " + file);
            sim.push_back(simulated.seconds);
            check.push_back(checked.seconds);
        }
        const double megabytes = static_cast<double>(size_of(file)) / 1e6;
        const int goal = bitstream::rules_of(group)->crc == bitstream::CrcKind::Crc32c ? 1000 : 500;
        char row[256];
        for (const auto& [tool, seconds] : {std::make_pair("veltcfg-sim", &sim),
                                            std::make_pair("veltcfg-check", &check)}) {
            std::snprintf(row, sizeof row, "| %s, %ld MiB .BIT file, %s | %.0f MB/s | | | >= %d MB/s |\n",
                          tool, mib, bitstream::family_group_name(group),
                          megabytes / median(*seconds), goal);
            rows.push_back(row);
        }
        unlink(file.c_str());
    }
    return rows;
}

// The upload's block loop (send_block) as the measured veltcfg was compiled,
// one line per instruction as `objdump -d` lists them ("  3370:\tmovzbl ...").
std::vector<std::string> block_loop_listing()
{
    const std::string command =
        std::string("objdump -d --no-show-raw-insn '") + VELTCFG_PATH + "' 2>/dev/null";
    FILE* listing = popen(command.c_str(), "r");
    std::vector<std::string> lines;
    char line[1024];
    while (listing != nullptr && std::fgets(line, sizeof line, listing) != nullptr) {
        const std::string text = line;
        if (lines.empty() && text.find("send_block") != std::string::npos &&
            text.find(">:") != std::string::npos) {
            lines.push_back(text);
        } else if (!lines.empty() && text == "\n") {
            break;  // the end of the function
        } else if (!lines.empty()) {
            lines.push_back(text);
        }
    }
    if (listing != nullptr) {
        pclose(listing);
    }
    return lines;
}

unsigned long address_of(const std::string& listed)
{
    return std::strtoul(listed.c_str(), nullptr, 16);
}

// Prints the block loop and, for each per-byte loop in it (a conditional
// jump back over a byte store), its length and whether it reads anything at
// a fixed address (a %rip-relative operand) on every pass, as the reversal
// table's address once was read before every byte in the Release build.
void print_block_loop()
{
    const std::vector<std::string> lines = block_loop_listing();
    std::printf("\nThe upload's block loop in %s (objdump -d):\n\n```text\n", VELTCFG_PATH);
    for (const std::string& line : lines) {
        std::printf("%s", line.c_str());
    }
    std::printf("%s```\n\n",
                lines.empty() ? "(no send_block function: inlined, or objdump missing)\n" : "");
    for (size_t end = 1; end < lines.size(); ++end) {
        const std::string& jump = lines[end];
        const size_t mnemonic = jump.find('\t') + 1;
        if (mnemonic == 0 || jump.compare(mnemonic, 1, "j") != 0 ||
            jump.compare(mnemonic, 3, "jmp") == 0) {
            continue;
        }
        const unsigned long target =
            std::strtoul(jump.c_str() + jump.find(' ', mnemonic), nullptr, 16);
        size_t first = end;
        while (first > 1 && address_of(lines[first]) > target) {
            --first;
        }
        bool byte_store = false;
        bool fixed_address = false;
        for (size_t i = first; i <= end; ++i) {
            byte_store = byte_store || (lines[i].find("\tmov ") != std::string::npos &&
                                        (lines[i].find("l,(") != std::string::npos ||
                                         lines[i].find("b,(") != std::string::npos));
            fixed_address = fixed_address || lines[i].find("(%rip)") != std::string::npos;
        }
        if (first < end && address_of(lines[first]) == target && byte_store) {
            // A loop fetched in two pieces (across a 32-byte boundary) runs
            // markedly slower; the build aligns loop heads to avoid it.
            const unsigned long after =
                end + 1 < lines.size() ? address_of(lines[end + 1]) : target + 32;
            std::printf("Per-byte loop at %lx: %zu instructions, %s, %s.\n", target,
                        end - first + 1,
                        fixed_address ? "one of them reading a fixed address"
                                      : "every address in a register",
                        target / 32 == (after - 1) / 32 ? "within one 32-byte block"
                                                        : "across a 32-byte boundary");
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    long mib = 256;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--mib" && i + 1 < argc) {
            mib = std::max(1L, std::atol(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: veltcfg-bench [--runs N] [--mib N]\n");
            return 2;
        }
    }

    // A private mount namespace, so the fake tree can stand in for
    // /sys/bus/pci/devices for this process and its children only.
    if (geteuid() != 0) {
        std::fprintf(stderr, "veltcfg-bench: needs root (for a private mount namespace)\n");
        return 1;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        // EINVAL: the mounts below / cannot be made private, / not being a
        // mount point (as in a chroot).
        die(errno == EINVAL ? "private mount namespace (/ is not a mount point, as in a chroot?)"
                            : "private mount namespace");
    }

    // Everything on tmpfs.
    char work_template[] = "/dev/shm/veltcfg-bench-XXXXXX";
    if (mkdtemp(work_template) == nullptr) {
        die("mkdtemp");
    }
    const std::string work = work_template;
    setenv("TMPDIR", work.c_str(), 1);

    int result = 0;
    {
        fake_sysfs::FakeSysfs tree;
        const fake_sysfs::FakeDevice card;  // 0000:02:00.0, I/O 0xE000, 4 KiB BAR 3
        fake_sysfs::add_card_among_others(tree, card, 40);
        if (mount(tree.root().c_str(), "/sys/bus/pci/devices", nullptr, MS_BIND, nullptr) != 0) {
            die("bind mount over /sys/bus/pci/devices");
        }
        const std::string bar_file = tree.path(card, "resource3");

        std::fprintf(stderr, "veltcfg-bench: writing %ld MiB test files in %s\n", mib, work.c_str());
        sample::Design design;
        design.frame_words = static_cast<uint32_t>((mib << 20) / 4 - 26);  // about mib MiB
        const std::string prom = work + "/big.prom";
        const std::string bit = work + "/big.bit";
        write_file(prom, design, true);
        write_file(bit, design, false);
        const std::string small = work + "/1MiB.prom";
        const std::string large = work + "/1GiB.prom";
        write_sparse_prom(small, off_t{1} << 20);
        write_sparse_prom(large, off_t{1} << 30);

        // 1. Throughput, program and baseline side by side.
        struct Pair {
            const char* name;
            std::string file;
            std::vector<double> program, baseline;
        } pairs[] = {{"PROM image", prom, {}, {}}, {".BIT file", bit, {}, {}}};
        for (int r = 0; r < runs; ++r) {
            for (Pair& pair : pairs) {
                const Outcome program = run({VELTCFG_PATH, pair.file, "0"});
                require_success(program, "veltcfg " + pair.file);
                const Outcome baseline = run({VELTCFG_BASELINE_PATH, pair.file, bar_file});
                require_success(baseline, "veltcfg-baseline " + pair.file);
                pair.program.push_back(program.seconds);
                pair.baseline.push_back(baseline.seconds);
            }
        }

        // 2. Peak resident memory.
        std::vector<double> rss_small, rss_large;
        for (int r = 0; r < runs; ++r) {
            const Outcome a = run({VELTCFG_PATH, small, "0"});
            const Outcome b = run({VELTCFG_PATH, large, "0"});
            require_success(a, "veltcfg " + small);
            require_success(b, "veltcfg " + large);
            rss_small.push_back(static_cast<double>(a.max_rss_kib));
            rss_large.push_back(static_cast<double>(b.max_rss_kib));
        }

        // 3. Start-up: from fork to the first block, less the 1 ms wait
        // after the program line rises.
        std::vector<double> startup;
        for (int r = 0; r < runs; ++r) {
            const Outcome o = run({VELTCFG_PATH, small, "0"}, true);
            require_success(o, "veltcfg " + small);
            startup.push_back(o.first_byte_seconds - 0.001);
        }

        // 4. The simulator and the checker on each family group's stream.
        const std::vector<std::string> checking = checking_rows(work, mib, runs);

        const double mb = 1e6;
        std::printf("Measured with `veltcfg-bench --runs %d --mib %ld` on the %s build "
                    "(medians of %d runs):\n\n",
                    runs, mib, VELTCFG_BUILD_TYPE, runs);
        std::printf("| measurement | veltcfg | baseline | ratio | target |\n");
        std::printf("|---|---|---|---|---|\n");
        for (const Pair& pair : pairs) {
            const double bytes = static_cast<double>(size_of(pair.file));
            // The ratio of each run to the baseline run right beside it, so
            // that a slow spell of the machine counts against both.
            std::vector<double> ratios;
            for (size_t r = 0; r < pair.program.size(); ++r) {
                ratios.push_back(pair.baseline[r] / pair.program[r]);
            }
            std::printf("| throughput, %ld MiB %s | %.0f MB/s | %.0f MB/s | %.2f | >= 0.90 |\n", mib,
                        pair.name, bytes / median(pair.program) / mb,
                        bytes / median(pair.baseline) / mb, median(ratios));
        }
        const double small_kib = median(rss_small);
        const double large_kib = median(rss_large);
        std::printf("| peak RSS, 1 MiB / 1 GiB PROM image | %.0f KiB / %.0f KiB | | %+.0f KiB | <= +256 KiB |\n",
                    small_kib, large_kib, large_kib - small_kib);
        std::printf("| start-up to first data byte (less the 1 ms wait), 41 PCI devices | %.2f ms | | | < 5 ms |\n",
                    median(startup) * 1e3);
        for (const std::string& row : checking) {
            std::printf("%s", row.c_str());
        }
        print_block_loop();

        umount("/sys/bus/pci/devices");
        for (const std::string& file : {prom, bit, small, large}) {
            unlink(file.c_str());
        }
    }
    rmdir(work.c_str());
    return result;
}
