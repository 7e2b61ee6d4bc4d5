// The Linux card layer and the built veltcfg on a real kernel. This program
// runs as root inside a QEMU guest that run.sh boots, with two emulated PCI
// devices:
//
//   pci-testdev  1b36:0005  BAR 0: 4 KiB of memory; BAR 1: a 256-byte I/O
//                           block whose registers answer (see IoPorts)
//   ivshmem      1af4:1110  BAR 0: 256 bytes of memory registers; BAR 2:
//                           1 MiB of memory backed by a file on the host
//
// The initramfs holds, beside this program, /veltcfg and /veltcfg-list (with
// the libraries they load) and /pattern.bin, the bytes stored into ivshmem's
// BAR 2; run.sh compares the host's file with it after the guest has powered
// off.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/hex_text.h"
#include "tools/sample_bitstream.h"
#include "card/plx/linux/linux_pci.h"
#include "tests/support/bitstream.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/held_child.h"

namespace fs = std::filesystem;

namespace {

const std::string DEVICES = "/sys/bus/pci/devices/";
const PlxBackend& pci = plx_linux_backend;

// One emulated device, and what the layer must make of it.
struct Emulated {
    const char* name;
    uint16_t vendor_id;
    uint16_t device_id;
    int lock_bar;      // whose resource file an open locks
    uint16_t decodes;  // command bits the kernel switches on when enabling it
};

// pci-testdev locks its I/O BAR; ivshmem, without one, its first memory BAR,
// and the kernel enables only memory decoding for it.
const Emulated TESTDEV{"TestDev", 0x1b36, 0x0005, 1, 0x3};
const Emulated IVSHMEM{"Ivshmem", 0x1af4, 0x1110, 0, 0x2};

PLX_DEVICE_KEY key_of(const Emulated& dev)
{
    PLX_DEVICE_KEY key = PLX_ANY_DEVICE;
    key.vendor_id = dev.vendor_id;
    key.device_id = dev.device_id;
    return key;
}

// The device's key as DeviceFind fills it in; fails the test if not found.
PLX_DEVICE_KEY find(const Emulated& dev)
{
    PLX_DEVICE_KEY key = key_of(dev);
    EXPECT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS) << dev.name;
    return key;
}

std::string folder(const PLX_DEVICE_KEY& key)
{
    return DEVICES + pci_address(key);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Start of BAR `bar` as the kernel's resource table gives it.
uint64_t bar_start(const PLX_DEVICE_KEY& key, int bar)
{
    std::istringstream table(read_file(folder(key) + "/resource"));
    std::string line;
    for (int i = 0; i <= bar; ++i) {
        std::getline(table, line);
    }
    return std::stoull(line, nullptr, 16);
}

int enable_count(const PLX_DEVICE_KEY& key)
{
    return std::stoi(read_file(folder(key) + "/enable"));
}

uint16_t command(const PLX_DEVICE_KEY& key)
{
    const std::string config = read_file(folder(key) + "/config");
    return static_cast<uint16_t>(static_cast<uint8_t>(config.at(4)) |
                                 static_cast<uint8_t>(config.at(5)) << 8);
}

void set_command(const PLX_DEVICE_KEY& key, uint16_t value)
{
    const int fd = open((folder(key) + "/config").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    EXPECT_EQ(pwrite(fd, bytes, 2, 4), 2);
    close(fd);
}

void write_enable(const PLX_DEVICE_KEY& key, const char* text)
{
    std::ofstream(folder(key) + "/enable") << text;
}

class KernelDevice : public ::testing::TestWithParam<Emulated> {};

std::string device_name(const ::testing::TestParamInfo<Emulated>& info)
{
    return info.param.name;
}

// ---------------------------------------------------------------- finding

TEST_P(KernelDevice, FoundByKeyAndConfigurationRead)
{
    const Emulated& dev = GetParam();
    const PLX_DEVICE_KEY key = find(dev);
    EXPECT_TRUE(fs::is_directory(folder(key))) << pci_address(key);
    PLX_DEVICE_KEY second = key_of(dev);
    EXPECT_EQ(pci.DeviceFind(&second, 1), PLX_STATUS_NO_DEVICE) << "one of each";

    PLX_DEVICE_OBJECT device{};
    PLX_DEVICE_KEY open_key = key;
    ASSERT_EQ(pci.DeviceOpen(&open_key, &device), PLX_STATUS_SUCCESS);
    PLX_STATUS status = PLX_STATUS_FAILED;
    EXPECT_EQ(pci.PciRegisterRead(key.bus, key.slot, key.function, 0x00, &status),
              uint32_t{dev.vendor_id} | uint32_t{dev.device_id} << 16);
    EXPECT_EQ(status, PLX_STATUS_SUCCESS);
    EXPECT_EQ(pci.PciRegisterRead(key.bus, key.slot, key.function, 0x2C, &status),
              uint32_t{key.subsystem_vendor_id} | uint32_t{key.subsystem_device_id} << 16);
    // The lock BAR's address register agrees with the kernel's resource table.
    const uint32_t bar = pci.PciRegisterRead(key.bus, key.slot, key.function,
                                             static_cast<uint16_t>(0x10 + 4 * dev.lock_bar),
                                             &status);
    EXPECT_EQ(status, PLX_STATUS_SUCCESS);
    const uint32_t address = bar & (bar & 1 ? ~uint32_t{0x3} : ~uint32_t{0xF});
    EXPECT_EQ(address, bar_start(key, dev.lock_bar)) << std::hex << bar;
    EXPECT_EQ(pci.PciRegisterRead(key.bus, key.slot, key.function, 0x100, &status), 0xFFFFFFFFu);
    EXPECT_EQ(status, PLX_STATUS_INVALID_ADDRESS) << "a conventional device has 256 bytes";
    EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
}

// ---------------------------------------------------------------- the lock

TEST_P(KernelDevice, SecondOpenRefusedWhileOpenThenReopened)
{
    const Emulated& dev = GetParam();
    PLX_DEVICE_KEY key = find(dev);
    PLX_DEVICE_OBJECT first{}, second{};
    ASSERT_EQ(pci.DeviceOpen(&key, &first), PLX_STATUS_SUCCESS);
    EXPECT_EQ(pci.DeviceOpen(&key, &second), PLX_STATUS_BUSY);
    ASSERT_EQ(pci.DeviceClose(&first), PLX_STATUS_SUCCESS);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(pci.DeviceOpen(&key, &second), PLX_STATUS_SUCCESS) << "round " << round;
        EXPECT_EQ(pci.DeviceClose(&second), PLX_STATUS_SUCCESS);
    }
}

// A process of uid 65534 takes every lock it can get on the device's
// files: flock (exclusive, else shared), POSIX and open-file-description
// record locks. None of them may keep root from opening the device.
TEST_P(KernelDevice, UnprivilegedLockHolderDoesNotBlockRoot)
{
    const Emulated& dev = GetParam();
    PLX_DEVICE_KEY key = find(dev);
    const std::string dir = folder(key);
    HeldChild holder([&dir] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        std::string report;  // "name:how " for each file locked
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            const std::string name = entry.path().filename().string();
            int fd = -1;
            int mode = O_RDWR;
            for (int m : {O_RDWR, O_RDONLY, O_WRONLY}) {
                fd = open(entry.path().c_str(), m);
                if (fd >= 0) {
                    mode = m;
                    break;
                }
            }
            if (fd < 0) {
                continue;
            }
            // Left open, and so locked, until the child exits.
            std::string how;
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                how += "flock-ex,";
            } else if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
                how += "flock-sh,";
            }
            struct flock record {};
            record.l_type = static_cast<short>(mode == O_RDONLY ? F_RDLCK : F_WRLCK);
            record.l_whence = SEEK_SET;
            if (fcntl(fd, F_SETLK, &record) == 0) {
                how += "posix,";
            }
            record.l_pid = 0;
            if (fcntl(fd, F_OFD_SETLK, &record) == 0) {
                how += "ofd,";
            }
            report += name + ":" + how + " ";
        }
        return report + "\n";
    });
    const std::string& report = holder.report();
    std::printf("uid 65534 holds on %s: %s", pci_address(key).c_str(), report.c_str());
    // What it could get: an exclusive flock on config (the old lock file),
    // but not the root-only resource files.
    EXPECT_NE(report.find(" config:flock-ex,"), std::string::npos) << report;
    EXPECT_EQ(report.find(" resource" + std::to_string(dev.lock_bar) + ":"), std::string::npos)
        << report;

    PLX_DEVICE_OBJECT device{};
    EXPECT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS) << report;
    EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);

    EXPECT_EQ(holder.let_go(), 0);
}

// ---------------------------------------------------------------- decoding

// With decoding switched off (through the command register) on a device
// the kernel has not enabled, the first open has the kernel enable it; the
// count then stays where that left it over repeated opens, and decoding
// switched off again at that count is refused without another write.
TEST_P(KernelDevice, EnableCountStaysFlat)
{
    const Emulated& dev = GetParam();
    PLX_DEVICE_KEY key = find(dev);
    const uint16_t original = command(key);
    const int before = enable_count(key);
    ASSERT_EQ(before, 0) << "no driver holds the device";

    set_command(key, static_cast<uint16_t>(original & ~0x3));
    ASSERT_EQ(command(key) & 0x3, 0) << "decoding switched off";
    std::vector<int> counts;
    for (int run = 0; run < 5; ++run) {
        PLX_DEVICE_OBJECT device{};
        EXPECT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS) << "open " << run;
        EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
        counts.push_back(enable_count(key));
    }
    EXPECT_EQ(counts, std::vector<int>(5, 1));
    EXPECT_EQ(command(key) & 0x3, dev.decodes);

    set_command(key, static_cast<uint16_t>(original & ~0x3));
    PLX_DEVICE_OBJECT device{};
    EXPECT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_FAILED);
    const int after = enable_count(key);
    EXPECT_EQ(after, 1) << "no write while enabled";
    EXPECT_EQ(command(key) & 0x3, 0);
    std::string shown;
    for (int count : counts) {
        shown += (shown.empty() ? "" : ",") + std::to_string(count);
    }
    std::printf("%s enable count: %d before, %s after each of 5 opens, %d after a refused open\n",
                pci_address(key).c_str(), before, shown.c_str(), after);

    write_enable(key, "0");
    set_command(key, original);
    EXPECT_EQ(enable_count(key), 0);
}

INSTANTIATE_TEST_SUITE_P(Emulated, KernelDevice, ::testing::Values(TESTDEV, IVSHMEM),
                         device_name);

// ---------------------------------------------------------------- mapping

struct MapCase {
    const char* name;
    Emulated dev;
    uint8_t bar;
    PLX_STATUS status;
};

class KernelMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(KernelMap, MemoryBarsMapOthersRefused)
{
    const MapCase& c = GetParam();
    PLX_DEVICE_KEY key = find(c.dev);
    PLX_DEVICE_OBJECT device{};
    ASSERT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
    volatile uint8_t* va = nullptr;
    EXPECT_EQ(pci.PciBarMap(&device, c.bar, &va), c.status);
    if (c.status == PLX_STATUS_SUCCESS) {
        ASSERT_NE(va, nullptr);
        (void)va[0];  // readable without a fault
        EXPECT_EQ(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS);
    }
    EXPECT_EQ(va, nullptr);
    EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Bars, KernelMap,
    ::testing::Values(MapCase{"TestDevMemory", TESTDEV, 0, PLX_STATUS_SUCCESS},
                      MapCase{"TestDevIo", TESTDEV, 1, PLX_STATUS_INVALID_BAR},
                      MapCase{"IvshmemRegistersBelowAPage", IVSHMEM, 0, PLX_STATUS_SUCCESS},
                      MapCase{"IvshmemShared", IVSHMEM, 2, PLX_STATUS_SUCCESS},
                      MapCase{"IvshmemEmpty", IVSHMEM, 1, PLX_STATUS_INVALID_BAR}),
    [](const ::testing::TestParamInfo<MapCase>& info) { return info.param.name; });

constexpr size_t PATTERN_AT = 4096;  // the page before it holds the card's data port

// Stores the pattern into ivshmem's BAR 2 one byte at a time through the
// data-port store, reads it back, then unmaps, closes, opens and maps again
// and finds it still there. run.sh checks the host's file.
TEST(KernelStore, BytesLandInOrderAndSurviveReopen)
{
    const std::string pattern = read_file("/pattern.bin");
    ASSERT_GT(pattern.size(), 0u);
    PLX_DEVICE_KEY key = find(IVSHMEM);
    PLX_DEVICE_OBJECT device{};
    ASSERT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
    volatile uint8_t* va = nullptr;
    ASSERT_EQ(pci.PciBarMap(&device, 2, &va), PLX_STATUS_SUCCESS);
    for (size_t i = 0; i < pattern.size(); ++i) {
        plx_data_port_write(va + PATTERN_AT + i, static_cast<uint8_t>(pattern[i]));
    }
    ASSERT_EQ(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS);
    ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);

    ASSERT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
    ASSERT_EQ(pci.PciBarMap(&device, 2, &va), PLX_STATUS_SUCCESS);
    std::string back(pattern.size(), '\0');
    for (size_t i = 0; i < back.size(); ++i) {
        back[i] = static_cast<char>(va[PATTERN_AT + i]);
    }
    EXPECT_TRUE(back == pattern) << "read back through a new mapping";
    EXPECT_EQ(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS);
    EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
}

// ---------------------------------------------------------------- I/O ports

// pci-testdev's I/O block: writing a test number to offset 0 selects a test
// and lays out its header at offset 0: the test's index (byte 0), the
// offset that counts writes (32 bits at 4), the byte it must match (at 8),
// the count (32 bits at 12) and the test's name from offset 16. The device
// answers aligned accesses of each width, one byte per offset (unaligned
// ones it ignores; the program makes none).
class KernelIoPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        key = find(TESTDEV);
        ASSERT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
        base = bar_start(key, 1);
        ASSERT_NE(base, 0u);
    }
    void TearDown() override { EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS); }

    uint32_t in(uint64_t offset, PLX_ACCESS_TYPE access, PLX_STATUS expected = PLX_STATUS_SUCCESS)
    {
        uint32_t value = 0xA5A5A5A5;
        const uint32_t count = access == PLX_ACCESS_8_BIT ? 1 : access == PLX_ACCESS_16_BIT ? 2 : 4;
        EXPECT_EQ(pci.IoPortRead(&device, base + offset, &value, count, access), expected)
            << "read at +" << offset;
        return count == 4 ? value : value & ((1u << (8 * count)) - 1);
    }
    void out(uint64_t offset, uint32_t value, PLX_ACCESS_TYPE access,
             PLX_STATUS expected = PLX_STATUS_SUCCESS)
    {
        const uint32_t count = access == PLX_ACCESS_8_BIT ? 1 : access == PLX_ACCESS_16_BIT ? 2 : 4;
        EXPECT_EQ(pci.IoPortWrite(&device, base + offset, &value, count, access), expected)
            << "write at +" << offset;
    }

    PLX_DEVICE_KEY key{};
    PLX_DEVICE_OBJECT device{};
    uint64_t base = 0;
};

TEST_F(KernelIoPorts, ReadsAndWritesAtTheirOffsetsInEachWidth)
{
    out(0, 0, PLX_ACCESS_8_BIT);  // test 0: count every write of the matching byte
    const uint32_t trigger = in(4, PLX_ACCESS_32_BIT);
    const uint32_t match = in(8, PLX_ACCESS_8_BIT);
    ASSERT_GT(trigger, 16u);
    ASSERT_LT(trigger, 0xFCu);
    EXPECT_EQ(in(16, PLX_ACCESS_32_BIT), 0x74726F70u) << "\"port\"";
    EXPECT_EQ(in(18, PLX_ACCESS_16_BIT), 0x7472u) << "\"rt\"";
    EXPECT_EQ(in(17, PLX_ACCESS_8_BIT), static_cast<uint32_t>('o'));
    EXPECT_EQ(in(20, PLX_ACCESS_8_BIT), static_cast<uint32_t>('i'));
    EXPECT_EQ(in(12, PLX_ACCESS_32_BIT), 0u);

    // A write counts only when the matching byte reaches the trigger
    // offset: each byte of a wider access must land at its own offset.
    const uint32_t at16 = trigger & ~1u, at32 = trigger & ~3u;
    const uint32_t in16 = match << (8 * (trigger - at16)), in32 = match << (8 * (trigger - at32));
    struct {
        uint32_t at;
        uint32_t value;
        PLX_ACCESS_TYPE access;
        uint32_t counted;
    } const writes[] = {
        {trigger, match, PLX_ACCESS_8_BIT, 1},
        {trigger + 1, match, PLX_ACCESS_8_BIT, 0},
        {trigger - 1, match, PLX_ACCESS_8_BIT, 0},
        {trigger, match ^ 1, PLX_ACCESS_8_BIT, 0},
        {at16, in16, PLX_ACCESS_16_BIT, 1},
        {at16, in16 ^ 0xFFFF, PLX_ACCESS_16_BIT, 0},
        {at32, in32, PLX_ACCESS_32_BIT, 1},
        {at32, in32 >> 8 | in32 << 24, PLX_ACCESS_32_BIT, 0},
        {at32 + 4, match * 0x01010101u, PLX_ACCESS_32_BIT, 0},
    };
    uint32_t expected = 0;
    for (const auto& w : writes) {
        out(w.at, w.value, w.access);
        expected += w.counted;
        EXPECT_EQ(in(12, PLX_ACCESS_32_BIT), expected)
            << "after writing 0x" << std::hex << w.value << " at +0x" << w.at;
    }
}

TEST_F(KernelIoPorts, AccessesPastTheBlocksEndRefused)
{
    in(255, PLX_ACCESS_8_BIT);
    in(254, PLX_ACCESS_16_BIT);
    in(252, PLX_ACCESS_32_BIT);
    in(253, PLX_ACCESS_32_BIT, PLX_STATUS_INVALID_ADDRESS);
    in(255, PLX_ACCESS_16_BIT, PLX_STATUS_INVALID_ADDRESS);
    in(256, PLX_ACCESS_8_BIT, PLX_STATUS_INVALID_ADDRESS);
    out(254, 0, PLX_ACCESS_32_BIT, PLX_STATUS_INVALID_ADDRESS);
    out(256, 0, PLX_ACCESS_8_BIT, PLX_STATUS_INVALID_ADDRESS);
    out(255, 0, PLX_ACCESS_8_BIT);
}

// ---------------------------------------------------------------- veltcfg

struct ProgramRun {
    int status = -1;  // exit status; -1 when it did not exit
    std::string out, err;
};

// Runs `path` with `args`, its standard output and error sent to files; with
// a `tree`, in a private mount namespace in which it stands in for
// /sys/bus/pci/devices; with a `uid`, as that user.
ProgramRun run_program(const std::string& path, const std::vector<std::string>& args,
                       const std::string& tree = "", uid_t uid = 0)
{
    const std::string out = "/tmp/run.out", err = "/tmp/run.err";
    const pid_t child = fork();
    if (child == 0) {
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0 ||
            (!tree.empty() &&
             (unshare(CLONE_NEWNS) != 0 ||
              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
              mount(tree.c_str(), DEVICES.c_str(), nullptr, MS_BIND, nullptr) != 0)) ||
            (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))) {
            _exit(127);
        }
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    ProgramRun result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

// The program as built, dynamically linked, on a machine without a PCI9056.
TEST(KernelProgram, NoCardGivesExit101)
{
    const std::string bit = "/tmp/design.bit";
    sample::Design design;
    design.frame_words = 200;
    FILE* file = std::fopen(bit.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const bool written = sample::write_bit_file(file, design);
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_TRUE(written);

    const ProgramRun result = run_program("/veltcfg", {bit, "0"});
    EXPECT_EQ(result.status, 101) << result.out << result.err;
    EXPECT_EQ(result.out,
              "\nVELTCFG version 1.0\nOrlenta 9056 configuration utility for Windows.\n");
    EXPECT_EQ(result.err, "\n\n\aVELTCFG:\nCan't find 9056 card number 0.\n\n");
    std::printf("veltcfg %s 0: exit status %d\n", bit.c_str(), result.status);
}

// The guest's card: a fake card's device folder (tests/support/fake_sysfs.h)
// at ivshmem's location, whose BAR 3 is ivshmem's BAR 2: resource3 is a link
// to ivshmem's resource2, so the kernel maps, or refuses to map, real device
// memory; `vfio`, it is bound as ivshmem is, in ivshmem's IOMMU group.
// Returns the devices folder that holds it, and the line veltcfg-list shows
// for it, up to the state.
std::string card_tree(bool vfio, std::string* line)
{
    static fake_sysfs::FakeSysfs trees[2];
    fake_sysfs::FakeSysfs& tree = trees[vfio];
    const PLX_DEVICE_KEY key = find(IVSHMEM);
    fake_sysfs::FakeDevice card;
    std::tie(card.domain, card.bus, card.slot, card.function) =
        std::tie(key.domain, key.bus, key.slot, key.function);
    card.bar3_start = bar_start(key, 2);
    tree.add(card);
    fs::permissions(tree.path(card, "resource1"), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(tree.path(card, "resource3"));
    // The device's own paths: the tree stands in for the devices folder.
    const fs::path device = fs::canonical(folder(key));
    fs::create_symlink(device / "resource2", tree.path(card, "resource3"));
    for (const char* link : {"driver", "iommu_group"}) {
        if (vfio) {
            fs::create_symlink(fs::canonical(device / link), tree.path(card, link));
        }
    }
    char shown[160];
    std::snprintf(shown, sizeof shown,
                  "%s  0     RV80-A   10b5:3427  0xE000  0xE06C   0x%08llX  %-9s ",
                  pci_address(key).c_str(), static_cast<unsigned long long>(card.bar3_start),
                  vfio ? "vfio" : "sysfs");
    *line = shown;
    return tree.root();
}

// The guest's card listed and loaded, its last byte (a trailing 0xFF) going
// to ivshmem's memory at offset 0, where run.sh finds it. Booted with
// lockdown=integrity, the kernel refuses to map the card's memory, even to
// root: veltcfg ends with 105 and the listing names the lockdown and what the
// VFIO path lacks. A user outside the group is told why the card cannot be
// reached. Booted with an IOMMU too, the card bound to vfio-pci is listed on
// the VFIO path, reachable, or, for that user, refused its group; held, it
// is in use and veltcfg cannot open it.
TEST(KernelCard, ListedAndLoadedUnlessLockedDown)
{
    const std::string arguments = read_file("/proc/cmdline");
    const bool asked = arguments.find("lockdown=") != std::string::npos;
    const std::string mode = read_file("/sys/kernel/security/lockdown");
    ASSERT_EQ(mode.find("[integrity]") != std::string::npos, asked) << mode;
    std::string line;
    const std::string tree = card_tree(false, &line);
    const ProgramRun list = run_program("/veltcfg-list", {}, tree);
    EXPECT_NE(list.out.find(line + (asked ? "configured; lockdown: the kernel is locked down "
                                            "(integrity)"
                                          : "configured\n")),
              std::string::npos)
        << list.out;
    EXPECT_EQ(list.out.find("; VFIO lacks: not bound to vfio-pci") != std::string::npos, asked);
    const ProgramRun other = run_program("/veltcfg-list", {}, tree, 65534);
    EXPECT_NE(other.out.find(line + "unknown; not permitted: resource1 is 0:0 0600; "),
              std::string::npos)
        << other.out;
    const TempDir dir;
    const std::string bit = dir.write("design.bit", to_string(sample::bit_file(sample::Design())));
    const ProgramRun load = run_program("/veltcfg", {bit, "0"}, tree);
    EXPECT_EQ(load.status, asked ? 105 : 0) << load.out << load.err;
    EXPECT_EQ(load.err,
              asked ? "\n\n\aVELTCFG:\nCan't map 9056 card number 0 base registers.\n\n" : "");
    std::printf("%sveltcfg FILE 0: exit status %d\n", list.out.c_str(), load.status);
    if (arguments.find("intel_iommu=on") != std::string::npos) {
        const std::string bound = card_tree(true, &line);
        const ProgramRun vfio = run_program("/veltcfg-list", {}, bound);
        // Its state is not read: only the group's holder reaches the card.
        EXPECT_NE(vfio.out.find(line + "unknown\n"), std::string::npos) << vfio.out;
        const ProgramRun refused = run_program("/veltcfg-list", {}, bound, 65534);
        EXPECT_NE(refused.out.find(line + "unknown; not permitted: /dev/vfio/"), std::string::npos)
            << refused.out;
        // Held through its group by this process: listed as in use, refused to veltcfg.
        PLX_DEVICE_KEY key = find(IVSHMEM);
        PLX_DEVICE_OBJECT held{};
        ASSERT_EQ(pci.DeviceOpen(&key, &held), PLX_STATUS_SUCCESS);
        const ProgramRun busy = run_program("/veltcfg-list", {}, bound);
        EXPECT_NE(busy.out.find(line + "unknown; in use: /dev/vfio/"), std::string::npos);
        EXPECT_EQ(run_program("/veltcfg", {bit, "0"}, bound).err,
                  "\n\n\aVELTCFG:\nCan't gain access to 9056 card number 0.\n\n");
        EXPECT_EQ(pci.DeviceClose(&held), PLX_STATUS_SUCCESS);
        std::printf("%s%s%s", vfio.out.c_str(), refused.out.c_str(), busy.out.c_str());
    }
}

}  // namespace
