// The Linux card layer backend (its sysfs and VFIO access methods), driven
// in-process against fake device trees (and, read-only, against this
// machine's own PCI tree).
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/hex_text.h"
#include "tests/support/fake_sysfs.h"
#include "tests/support/held_child.h"
#include "tests/support/program_run.h"
#include "card/plx/linux/linux_pci.h"

namespace fs = std::filesystem;
using fake_sysfs::BarKind;
using fake_sysfs::FakeDevice;
using fake_sysfs::FakeSysfs;

namespace {

// The key the program searches with: a PCI9056, function 0, anywhere.
PLX_DEVICE_KEY card_key()
{
    PLX_DEVICE_KEY key = PLX_ANY_DEVICE;
    key.vendor_id = 0x10B5;
    key.device_id = 0x9056;
    key.function = 0;
    return key;
}

FakeDevice at(uint16_t domain, uint8_t bus, uint8_t slot = 0, uint8_t function = 0)
{
    FakeDevice dev;
    dev.domain = domain;
    dev.bus = bus;
    dev.slot = slot;
    dev.function = function;
    return dev;
}

// How many of this process's mappings and file descriptors refer to `path`.
size_t mappings_of(const std::string& path)
{
    const std::string target = fs::canonical(path).string();
    std::ifstream maps("/proc/self/maps");
    size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.size() >= target.size() &&
                 line.compare(line.size() - target.size(), target.size(), target) == 0;
    }
    return count;
}

size_t fds_on(const std::string& path)
{
    const std::string target = fs::canonical(path).string();
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += fs::read_symlink(entry.path(), error).string() == target;
    }
    return count;
}

// Whether someone holds a flock on `path` (tried from a fresh open).
bool locked(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return false;
    }
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

const PlxBackend& pci = plx_linux_backend;

// Finds the n-th card and opens it into `device`.
PLX_STATUS open_card(PLX_DEVICE_OBJECT* device, uint16_t n = 0)
{
    PLX_DEVICE_KEY key = card_key();
    const PLX_STATUS found = pci.DeviceFind(&key, n);
    return found == PLX_STATUS_SUCCESS ? pci.DeviceOpen(&key, device) : found;
}

// Leaves the backend as it found it: on the real tree, nothing open, no file
// hook.
class SysfsTreeTest : public ::testing::Test {
protected:
    ~SysfsTreeTest() override
    {
        plx_linux::use_root("/sys/bus/pci/devices");
        plx_linux::use_lockdown_file("/sys/kernel/security/lockdown");
    }
};

// A fake tree holding `card`, and the backend over it.
class SysfsCardTest : public SysfsTreeTest {
protected:
    SysfsCardTest() { plx_linux::use_root(tree.root()); }

    void add(const FakeDevice& dev)
    {
        card = dev;
        tree.add(dev);
    }
    void add_and_open(const FakeDevice& dev)
    {
        add(dev);
        ASSERT_EQ(open_card(&device), PLX_STATUS_SUCCESS);
    }
    std::string file(const std::string& name) const { return tree.path(card, name); }

    FakeSysfs tree;
    FakeDevice card;
    PLX_DEVICE_OBJECT device{};
};

// ---------------------------------------------------------------- finding

struct FindCase {
    const char* name;
    std::vector<FakeDevice> devices;
    std::vector<std::string> expected;  // the cards' locations, card 0 first
};

class SysfsFindOrder : public SysfsTreeTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(SysfsFindOrder, CardsCountedInLocationOrder)
{
    const FindCase& c = GetParam();
    // Both creation orders, so that no listing order can pass for sorting.
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "created in reverse" : "created in order");
        FakeSysfs tree;
        std::vector<FakeDevice> devices = c.devices;
        if (reversed) {
            std::reverse(devices.begin(), devices.end());
        }
        for (const FakeDevice& dev : devices) {
            tree.add(dev);
        }
        // Entries that are not devices are passed over.
        fs::create_directory(tree.root() + "/0000:7f:00.0");
        fs::create_directory(tree.root() + "/not-a-device");

        plx_linux::use_root(tree.root());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            PLX_DEVICE_KEY key = card_key();
            ASSERT_EQ(pci.DeviceFind(&key, static_cast<uint16_t>(i)), PLX_STATUS_SUCCESS)
                << "card " << i;
            EXPECT_EQ(pci_address(key), c.expected[i]) << "card " << i;
        }
        PLX_DEVICE_KEY key = card_key();
        EXPECT_EQ(pci.DeviceFind(&key, static_cast<uint16_t>(c.expected.size())),
                  PLX_STATUS_NO_DEVICE);
    }
}

FakeDevice linked(FakeDevice dev)
{
    dev.as_symlink = true;
    return dev;
}

INSTANTIATE_TEST_SUITE_P(
    SysfsTrees, SysfsFindOrder,
    ::testing::Values(
        FindCase{"Bus", {at(0, 3), at(0, 2)}, {"0000:02:00.0", "0000:03:00.0"}},
        FindCase{"DomainAfterBus", {at(1, 0), at(0, 5)}, {"0000:05:00.0", "0001:00:00.0"}},
        FindCase{"HexBus", {at(0, 0x0a), at(0, 0x10), at(0, 0x09)},
                 {"0000:09:00.0", "0000:0a:00.0", "0000:10:00.0"}},
        FindCase{"Slot", {at(0, 2, 0x1f), at(0, 2, 3)}, {"0000:02:03.0", "0000:02:1f.0"}},
        FindCase{"BusBeforeSlot", {at(0, 5, 0), at(0, 4, 3)}, {"0000:04:03.0", "0000:05:00.0"}},
        FindCase{"OthersSkipped",
                 {fake_sysfs::other_device(1, 0, 0, 0x8086, 0x9056), at(0, 2, 0, 1),
                  fake_sysfs::other_device(3, 0, 0, 0x10B5, 0x9054), at(0, 4),
                  fake_sysfs::other_device(5)},
                 {"0000:04:00.0"}},
        FindCase{"Symlinks", {linked(at(0, 3)), linked(at(0, 2))},
                 {"0000:02:00.0", "0000:03:00.0"}},
        FindCase{"NoCard", {fake_sysfs::other_device(0), fake_sysfs::other_device(1)}, {}}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return info.param.name; });

using SysfsFind = SysfsCardTest;

TEST_F(SysfsFind, FillsInLocationAndIdentity)
{
    FakeDevice dev = at(0, 5, 2);
    dev.subsystem_device_id = 0x3429;
    dev.subsystem_vendor_id = 0x1234;
    add(dev);
    // The identity comes from the attribute files.
    tree.write(dev, "subsystem_device", "0x3428\n");

    PLX_DEVICE_KEY key = card_key();
    ASSERT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS);
    EXPECT_EQ(key.domain, 0);
    EXPECT_EQ(key.bus, 5);
    EXPECT_EQ(key.slot, 2);
    EXPECT_EQ(key.function, 0);
    EXPECT_EQ(key.vendor_id, 0x10B5);
    EXPECT_EQ(key.device_id, 0x9056);
    EXPECT_EQ(key.subsystem_vendor_id, 0x1234);
    EXPECT_EQ(key.subsystem_device_id, 0x3428);
}

TEST_F(SysfsFind, EveryKeyFieldNarrowsTheSearch)
{
    FakeDevice a = at(0, 2);
    FakeDevice b = at(0, 3, 4);
    b.subsystem_device_id = 0x3429;
    tree.add(a);
    tree.add(b);
    const std::vector<std::function<void(PLX_DEVICE_KEY&)>> narrowings = {
        [](PLX_DEVICE_KEY& k) { k.subsystem_device_id = 0x3429; },
        [](PLX_DEVICE_KEY& k) { k.bus = 3; },
        [](PLX_DEVICE_KEY& k) { k.slot = 4; },
        [](PLX_DEVICE_KEY& k) {
            k.domain = 0;
            k.subsystem_vendor_id = 0x10B5;
            k.bus = 3;
        },
    };
    for (size_t i = 0; i < narrowings.size(); ++i) {
        PLX_DEVICE_KEY key = card_key();
        narrowings[i](key);
        ASSERT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS) << "narrowing " << i;
        EXPECT_EQ(pci_address(key), b.name()) << "narrowing " << i;
        key = card_key();
        narrowings[i](key);
        EXPECT_EQ(pci.DeviceFind(&key, 1), PLX_STATUS_NO_DEVICE) << "narrowing " << i;
    }
}

TEST_F(SysfsFind, UnreadableRootOrNullKeyRefused)
{
    add(at(0, 2));
    PLX_DEVICE_KEY key = card_key();
    EXPECT_EQ(pci.DeviceFind(nullptr, 0), PLX_STATUS_NULL_PARAM);
    EXPECT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS);
    plx_linux::use_root(tree.root() + "/missing");
    EXPECT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_NO_DEVICE);
    plx_linux::use_root(file("vendor"));
    EXPECT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_NO_DEVICE);
}

// ---------------------------------------------------------------- config space

struct ConfigCase {
    const char* name;
    uint16_t offset;
    size_t config_size;
    uint8_t bus;  // read at; the card is on bus 2
    PLX_STATUS status;
    uint32_t (*expected)(const FakeDevice&);  // for a successful read
};

class SysfsConfigRead : public SysfsCardTest,
                        public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(SysfsConfigRead, ReadsLittleEndianRegisterOrRefuses)
{
    const ConfigCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.io_start = 0xC400;
    dev.command = 0x0147;
    dev.subsystem_device_id = 0x3428;
    dev.config_size = c.config_size;
    add(dev);

    PLX_STATUS status = PLX_STATUS_SUCCESS;
    const uint32_t value = pci.PciRegisterRead(c.bus, 0, 0, c.offset, &status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(value, c.expected ? c.expected(dev) : 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(
    SysfsRegisters, SysfsConfigRead,
    ::testing::Values(
        ConfigCase{"IoBase", 0x14, 256, 2, PLX_STATUS_SUCCESS,
                   [](const FakeDevice& s) { return static_cast<uint32_t>(s.io_start | 1); }},
        ConfigCase{"Ids", 0x00, 256, 2, PLX_STATUS_SUCCESS,
                   [](const FakeDevice& s) {
                       return uint32_t{s.vendor_id} | uint32_t{s.device_id} << 16;
                   }},
        ConfigCase{"Command", 0x04, 256, 2, PLX_STATUS_SUCCESS,
                   [](const FakeDevice& s) { return uint32_t{s.command}; }},
        ConfigCase{"Subsystem", 0x2C, 256, 2, PLX_STATUS_SUCCESS,
                   [](const FakeDevice& s) {
                       return uint32_t{s.subsystem_vendor_id} | uint32_t{s.subsystem_device_id}
                                                                    << 16;
                   }},
        ConfigCase{"ShortRead", 0x14, 0x16, 2, PLX_STATUS_IO_ERROR, nullptr},
        ConfigCase{"Unaligned", 0x15, 256, 2, PLX_STATUS_INVALID_ADDRESS, nullptr},
        ConfigCase{"PastEnd", 0x100, 256, 2, PLX_STATUS_INVALID_ADDRESS, nullptr},
        ConfigCase{"NoDevice", 0x14, 256, 9, PLX_STATUS_NO_DEVICE, nullptr}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST_F(SysfsCardTest, ConfigReadPrefersTheOpenDevice)
{
    FakeDevice first = at(0, 2);
    FakeDevice second = at(1, 2);
    second.io_start = 0xD000;
    tree.add(first);
    tree.add(second);
    PLX_STATUS status = PLX_STATUS_FAILED;
    EXPECT_EQ(pci.PciRegisterRead(2, 0, 0, 0x14, &status), first.io_start | 1);
    EXPECT_EQ(status, PLX_STATUS_SUCCESS);

    PLX_DEVICE_KEY key = card_key();
    key.domain = 1;
    ASSERT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS);
    ASSERT_EQ(pci.DeviceOpen(&key, &device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(pci.PciRegisterRead(2, 0, 0, 0x14, &status), second.io_start | 1);
    EXPECT_EQ(status, PLX_STATUS_SUCCESS);

    ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(pci.PciRegisterRead(2, 0, 0, 0x14, &status), first.io_start | 1);
}

// ---------------------------------------------------------------- I/O ports

struct PortCase {
    const char* name;
    uint64_t io_start;
    uint64_t port;
    uint32_t count;
    PLX_ACCESS_TYPE access;
    std::optional<uint32_t> written;  // none: a read
    PLX_STATUS status;
};

// What the table's rows say.
constexpr PLX_ACCESS_TYPE A8 = PLX_ACCESS_8_BIT, A16 = PLX_ACCESS_16_BIT, A32 = PLX_ACCESS_32_BIT;
constexpr std::nullopt_t READ = std::nullopt;
constexpr PLX_STATUS DONE = PLX_STATUS_SUCCESS, OUTSIDE = PLX_STATUS_INVALID_ADDRESS,
                     WIDTH = PLX_STATUS_INVALID_ACCESS;
constexpr uint32_t SENTINEL = 0xA5A5A5A5;  // where a read puts its bytes

class SysfsIoPort : public SysfsCardTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(SysfsIoPort, OneTransferAtPortMinusBarStart)
{
    const PortCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.io_start = c.io_start;
    add_and_open(dev);
    // A pattern in the whole block, so that every offset reads differently.
    std::string block(dev.io_size, '\0');
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 7 + 0x5A);
    }
    tree.write(dev, "resource1", block);

    uint32_t value = c.written.value_or(SENTINEL);
    const PLX_STATUS status = c.written
                                  ? pci.IoPortWrite(&device, c.port, &value, c.count, c.access)
                                  : pci.IoPortRead(&device, c.port, &value, c.count, c.access);
    ASSERT_EQ(status, c.status);

    std::string expected_block = block;
    if (status == PLX_STATUS_SUCCESS) {
        const size_t offset = static_cast<size_t>(c.port - c.io_start);
        if (c.written) {
            std::memcpy(&expected_block[offset], &*c.written, c.count);
        } else {
            uint32_t expected = SENTINEL;
            std::memcpy(&expected, &block[offset], c.count);
            EXPECT_EQ(value, expected);
        }
    }
    EXPECT_EQ(tree.read(dev, "resource1"), expected_block);
}

INSTANTIATE_TEST_SUITE_P(
    SysfsAccesses, SysfsIoPort,
    ::testing::Values(
        PortCase{"ReadControl", 0xE000, 0xE06C, 4, A32, READ, DONE},
        PortCase{"WriteControl", 0xE000, 0xE06C, 4, A32, 0x000C000E, DONE},
        PortCase{"OtherBase", 0xD100, 0xD16C, 4, A32, 0x000D000E, DONE},
        PortCase{"Read16", 0xE000, 0xE002, 2, A16, READ, DONE},
        PortCase{"ReadLastByte", 0xE000, 0xE0FF, 1, A8, READ, DONE},
        PortCase{"WriteByte", 0xE000, 0xE001, 1, A8, 0xAB, DONE},
        PortCase{"WriteUpToEnd", 0xE000, 0xE0FC, 4, A32, 0x11223344, DONE},
        PortCase{"PastEnd", 0xE000, 0xE100, 4, A32, READ, OUTSIDE},
        PortCase{"StraddlesEndRead", 0xE000, 0xE0FD, 4, A32, READ, OUTSIDE},
        PortCase{"StraddlesEndWrite", 0xE000, 0xE0FE, 4, A32, 0x000C000E, OUTSIDE},
        PortCase{"BelowStart", 0xE000, 0xDFFF, 1, A8, 0xAB, OUTSIDE},
        PortCase{"InMemoryBar0", 0xE000, 0xF7E00000, 4, A32, 1, OUTSIDE},
        PortCase{"InMemoryBar3", 0xE000, 0xF7D00000, 4, A32, READ, OUTSIDE},
        PortCase{"ThreeBytes", 0xE000, 0xE06C, 3, A32, 1, WIDTH},
        PortCase{"CountAboveWidth", 0xE000, 0xE06C, 4, A8, READ, WIDTH},
        PortCase{"CountBelowWidth", 0xE000, 0xE06C, 2, A32, 1, WIDTH}),
    [](const ::testing::TestParamInfo<PortCase>& info) { return info.param.name; });

using SysfsDevice = SysfsCardTest;

TEST_F(SysfsDevice, OperationsNeedAnOpenDeviceAndPointers)
{
    add(at(0, 2));
    uint32_t value = 0;
    volatile uint8_t* va = nullptr;
    auto refusals = [&](PLX_DEVICE_OBJECT* d) {
        return std::vector<PLX_STATUS>{
            pci.IoPortRead(d, 0xE06C, &value, 4, PLX_ACCESS_32_BIT),
            pci.IoPortWrite(d, 0xE06C, &value, 4, PLX_ACCESS_32_BIT),
            pci.PciBarMap(d, 3, &va),
            pci.PciBarUnmap(d, &va),
            pci.DeviceClose(d),
        };
    };
    const std::vector<PLX_STATUS> not_open(5, PLX_STATUS_NOT_OPEN);
    EXPECT_EQ(refusals(&device), not_open) << "never opened";
    EXPECT_EQ(refusals(nullptr), not_open) << "no object";

    ASSERT_EQ(open_card(&device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(device.open_tag, PLX_DEVICE_OPEN_TAG);
    PLX_DEVICE_OBJECT forged = device;
    forged.handle += 1;
    EXPECT_EQ(refusals(&forged), not_open) << "no such handle";
    EXPECT_EQ(pci.IoPortRead(&device, 0xE06C, nullptr, 4, PLX_ACCESS_32_BIT),
              PLX_STATUS_NULL_PARAM);
    EXPECT_EQ(pci.IoPortWrite(&device, 0xE06C, nullptr, 4, PLX_ACCESS_32_BIT),
              PLX_STATUS_NULL_PARAM);
    EXPECT_EQ(pci.PciBarMap(&device, 3, nullptr), PLX_STATUS_NULL_PARAM);
    EXPECT_EQ(pci.PciBarUnmap(&device, nullptr), PLX_STATUS_NULL_PARAM);
    EXPECT_EQ(pci.DeviceOpen(nullptr, &device), PLX_STATUS_NULL_PARAM);

    PLX_DEVICE_OBJECT stale = device;
    ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(device.open_tag, 0u);
    EXPECT_EQ(refusals(&stale), not_open) << "closed";
    tree.add(at(0, 3));
    ASSERT_EQ(open_card(&device, 1), PLX_STATUS_SUCCESS);
    EXPECT_EQ(refusals(&stale), not_open) << "closed, its place given to another card";
}

// ---------------------------------------------------------------- BAR mapping

struct MapCase {
    const char* name;
    uint64_t start;
    uint64_t size;
};

class SysfsBarMapStore : public SysfsCardTest, public ::testing::WithParamInterface<MapCase> {};

TEST_P(SysfsBarMapStore, StoreLandsAtTheBarsOffsetInItsPage)
{
    const MapCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.bar3_start = c.start;
    dev.bar3_size = c.size;
    add_and_open(dev);

    volatile uint8_t* va = nullptr;
    ASSERT_EQ(pci.PciBarMap(&device, 3, &va), PLX_STATUS_SUCCESS);
    ASSERT_NE(va, nullptr);
    va[0] = 0xA5;
    va[1] = 0x3C;
    const size_t offset = static_cast<size_t>(c.start & 0xFFF);
    EXPECT_EQ(tree.bar3_byte(dev, offset), 0xA5);
    EXPECT_EQ(tree.bar3_byte(dev, offset + 1), 0x3C);
    std::string expected(dev.bar3_file_size, '\0');
    expected[offset] = static_cast<char>(0xA5);
    expected[offset + 1] = 0x3C;
    EXPECT_EQ(tree.read(dev, "resource3"), expected) << "nothing else written";
    EXPECT_EQ(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    SysfsStarts, SysfsBarMapStore,
    ::testing::Values(MapCase{"PageAligned", 0xF7D00000, 0x1000},
                      MapCase{"MidPage", 0xF7D00800, 0x100},
                      MapCase{"NearPageEnd", 0xF7D00FF0, 0x10}),
    [](const ::testing::TestParamInfo<MapCase>& info) { return info.param.name; });

struct MapRefusal {
    const char* name;
    BarKind kind;
    uint8_t bar;
    bool remove_file;
    PLX_STATUS status;
};

class SysfsBarMapRefused : public SysfsCardTest,
                           public ::testing::WithParamInterface<MapRefusal> {};

TEST_P(SysfsBarMapRefused, NothingMapped)
{
    const MapRefusal& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.bar3_kind = c.kind;
    add_and_open(dev);
    if (c.remove_file) {
        fs::remove(file("resource3"));
    }
    volatile uint8_t* va = nullptr;
    EXPECT_EQ(pci.PciBarMap(&device, c.bar, &va), c.status);
    EXPECT_EQ(va, nullptr);
    if (!c.remove_file && c.kind != BarKind::Empty) {
        EXPECT_EQ(mappings_of(file("resource3")), 0u);
        EXPECT_EQ(fds_on(file("resource3")), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    SysfsBars, SysfsBarMapRefused,
    ::testing::Values(MapRefusal{"IoBar3", BarKind::Io, 3, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"EmptyBar3", BarKind::Empty, 3, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"IoBar1", BarKind::Memory, 1, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"EmptyBar2", BarKind::Memory, 2, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"RomLine", BarKind::Memory, 6, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"NoSuchBar", BarKind::Memory, 40, false, PLX_STATUS_INVALID_BAR},
                      MapRefusal{"FileMissing", BarKind::Memory, 3, true, PLX_STATUS_IO_ERROR}),
    [](const ::testing::TestParamInfo<MapRefusal>& info) { return info.param.name; });

TEST_F(SysfsDevice, UnmapUndoesExactlyTheMapping)
{
    add_and_open(at(0, 2));
    volatile uint8_t* va = nullptr;
    ASSERT_EQ(pci.PciBarMap(&device, 3, &va), PLX_STATUS_SUCCESS);
    EXPECT_EQ(mappings_of(file("resource3")), 1u);
    EXPECT_EQ(fds_on(file("resource3")), 1u);

    volatile uint8_t* stray = va + 1;
    EXPECT_EQ(pci.PciBarUnmap(&device, &stray), PLX_STATUS_INVALID_ADDRESS);
    EXPECT_EQ(mappings_of(file("resource3")), 1u) << "a wrong address unmaps nothing";

    EXPECT_EQ(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS);
    EXPECT_EQ(va, nullptr);
    EXPECT_EQ(mappings_of(file("resource3")), 0u);
    EXPECT_EQ(fds_on(file("resource3")), 0u);
    EXPECT_NE(pci.PciBarUnmap(&device, &va), PLX_STATUS_SUCCESS) << "nothing left to unmap";

    // The device itself stays open and usable.
    uint32_t value = 0;
    EXPECT_EQ(pci.IoPortRead(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT), PLX_STATUS_SUCCESS);
    EXPECT_TRUE(locked(file("resource1")));
}

TEST_F(SysfsDevice, CloseUnmapsClosesAndUnlocks)
{
    add_and_open(at(0, 2));
    volatile uint8_t* va = nullptr;
    ASSERT_EQ(pci.PciBarMap(&device, 3, &va), PLX_STATUS_SUCCESS);
    uint32_t value = 0;
    ASSERT_EQ(pci.IoPortRead(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT), PLX_STATUS_SUCCESS);
    EXPECT_TRUE(locked(file("resource1")));
    EXPECT_EQ(fds_on(file("config")), 1u);
    EXPECT_EQ(fds_on(file("resource1")), 1u) << "the lock's descriptor";

    ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(device.open_tag, 0u);
    EXPECT_EQ(mappings_of(file("resource3")), 0u);
    for (const char* name : {"config", "resource", "resource1", "resource3", "enable"}) {
        EXPECT_EQ(fds_on(file(name)), 0u) << name;
    }
    EXPECT_FALSE(locked(file("resource1")));

    PLX_DEVICE_OBJECT again{};
    EXPECT_EQ(open_card(&again), PLX_STATUS_SUCCESS);
    EXPECT_EQ(open_card(&device), PLX_STATUS_BUSY);
}

// ---------------------------------------------------------------- the lock

using SysfsLock = SysfsCardTest;

TEST_F(SysfsLock, SecondOpenRefusedUntilClose)
{
    add_and_open(at(0, 2));
    EXPECT_TRUE(locked(file("resource1")));

    // Each open is its own open file description, so the lock conflicts even
    // within one process.
    PLX_DEVICE_OBJECT second{};
    EXPECT_EQ(open_card(&second), PLX_STATUS_BUSY);
    EXPECT_NE(second.open_tag, PLX_DEVICE_OPEN_TAG);
    for (const char* name : {"config", "resource1"}) {
        EXPECT_EQ(fds_on(file(name)), 1u) << name << ": a refused open keeps nothing open";
    }

    uint32_t value = 0;
    EXPECT_EQ(pci.IoPortRead(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT), PLX_STATUS_SUCCESS)
        << "the holder is undisturbed";

    ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
    EXPECT_EQ(open_card(&second), PLX_STATUS_SUCCESS);
}

TEST_F(SysfsLock, HeldByAnotherProcess)
{
    add(at(0, 2));
    HeldChild holder([] {
        PLX_DEVICE_OBJECT held{};
        return std::string(open_card(&held) == PLX_STATUS_SUCCESS ? "opened" : "refused");
    });
    EXPECT_EQ(holder.report(), "opened");
    EXPECT_EQ(open_card(&device), PLX_STATUS_BUSY);
    EXPECT_EQ(holder.let_go(), 0);
    EXPECT_EQ(open_card(&device), PLX_STATUS_SUCCESS);
}

// Which of the device's files, flocked by someone else, keeps the card from
// being opened: only the register block's resource file, which takes the
// rights needed to program the card. config and the rest can be opened and
// locked by any user.
struct HeldFileCase {
    const char* name;
    const char* file;
    uint64_t io_size;  // 0: a device without an I/O BAR
    PLX_STATUS status;
};

class SysfsLockFile : public SysfsCardTest, public ::testing::WithParamInterface<HeldFileCase> {};

TEST_P(SysfsLockFile, OnlyTheRegisterBlockLockBlocks)
{
    const HeldFileCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.io_size = c.io_size;
    add(dev);
    const int held = open(file(c.file).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(open_card(&device), c.status);
    if (c.status == PLX_STATUS_SUCCESS) {
        ASSERT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
    }
    close(held);
    EXPECT_EQ(open_card(&device), PLX_STATUS_SUCCESS) << "free once the holder lets go";
}

INSTANTIATE_TEST_SUITE_P(
    SysfsHeldFiles, SysfsLockFile,
    ::testing::Values(HeldFileCase{"Config", "config", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"Resource", "resource", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"Enable", "enable", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"Vendor", "vendor", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"DataWindow", "resource3", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"MemoryRegisters", "resource0", 256, PLX_STATUS_SUCCESS},
                      HeldFileCase{"IoRegisters", "resource1", 256, PLX_STATUS_BUSY},
                      HeldFileCase{"NoIoBarMemoryRegisters", "resource0", 0, PLX_STATUS_BUSY},
                      HeldFileCase{"NoIoBarDataWindow", "resource3", 0, PLX_STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<HeldFileCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- decoding

struct EnableCase {
    const char* name;
    uint16_t command;
    uint64_t io_size;      // 0: a device without an I/O BAR, which needs no I/O decoding
    const char* count;     // what enable shows: the kernel's enable count
    bool enable_written;
    PLX_STATUS status;
};

class SysfsEnable : public SysfsCardTest, public ::testing::WithParamInterface<EnableCase> {};

// Writing a fake enable file switches nothing on (tests/kernel has a kernel).
TEST_P(SysfsEnable, DecodingSwitchedOnOrOpenRefused)
{
    const EnableCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.command = c.command;
    dev.io_size = c.io_size;
    add(dev);
    tree.write(dev, "enable", c.count);

    EXPECT_EQ(open_card(&device), c.status);
    // A write of "1" lands over the count's first character.
    std::string expected = c.count;
    if (c.enable_written) {
        expected[0] = '1';
    }
    EXPECT_EQ(tree.read(dev, "enable"), expected);
    const std::string lock = c.io_size ? "resource1" : "resource0";
    if (c.status == PLX_STATUS_SUCCESS) {
        volatile uint8_t* va = nullptr;
        EXPECT_EQ(pci.PciBarMap(&device, 3, &va), PLX_STATUS_SUCCESS);
        EXPECT_TRUE(locked(file(lock)));
    } else {
        EXPECT_NE(device.open_tag, PLX_DEVICE_OPEN_TAG);
        EXPECT_FALSE(locked(file(lock)));
        for (const char* name : {"config", "resource0", "resource1", "enable"}) {
            EXPECT_EQ(fds_on(file(name)), 0u) << name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    SysfsCommands, SysfsEnable,
    ::testing::Values(
        EnableCase{"DecodingOn", 0x0007, 256, "1\n", false, PLX_STATUS_SUCCESS},
        EnableCase{"DecodingOnNotEnabled", 0x0003, 256, "0\n", false, PLX_STATUS_SUCCESS},
        EnableCase{"IoOff", 0x0006, 256, "0\n", true, PLX_STATUS_FAILED},
        EnableCase{"MemoryOff", 0x0005, 256, "0\n", true, PLX_STATUS_FAILED},
        EnableCase{"BothOff", 0x0000, 256, "0\n", true, PLX_STATUS_FAILED},
        // Enabled already: another "1" would only raise the count.
        EnableCase{"OffWhileEnabled", 0x0000, 256, "2\n", false, PLX_STATUS_FAILED},
        EnableCase{"IoOffWhileEnabled", 0x0006, 256, "1\n", false, PLX_STATUS_FAILED},
        EnableCase{"CountBlank", 0x0000, 256, "", false, PLX_STATUS_FAILED},
        // Only memory BARs: the kernel leaves I/O decoding off.
        EnableCase{"NoIoBarMemoryOn", 0x0002, 0, "1\n", false, PLX_STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<EnableCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- survey

// What a listing finds of a card without opening it, each hindrance set up
// on a fake card; nothing written, nothing left locked.
struct SurveyCase {
    const char* name;
    uint16_t command;
    const char* enable;   // what enable shows
    const char* refused;  // files this user may not open ("resource1,resource3"), or null
    bool besides;  // and the kernel locked down, a driver bound, BAR 3 for I/O, resource1 held
    bool vfio;     // bound to vfio-pci, in an IOMMU group with a device bound to ahci
    std::vector<PLX_HINDRANCE_KIND> expected;
    PLX_STATUS register_status;
};

class SysfsSurvey : public SysfsCardTest, public ::testing::WithParamInterface<SurveyCase> {};

TEST_P(SysfsSurvey, FindsEachHindranceAndReadsTheRegister)
{
    const SurveyCase& c = GetParam();
    FakeDevice dev = at(0, 2);
    dev.command = c.command;
    dev.bar3_kind = c.besides ? BarKind::Io : BarKind::Memory;
    add(dev);
    tree.write(dev, "enable", c.enable);
    tree.write(dev, "lockdown", c.besides ? "none [integrity]" : "[none] integrity");
    plx_linux::use_lockdown_file(file("lockdown"));
    if (c.besides || c.vfio) {
        fs::create_directory_symlink(c.vfio ? "/drivers/vfio-pci" : "/drivers/plx_pci",
                                     file("driver"));
    }
    if (c.vfio) {
        const FakeDevice other = fake_sysfs::other_device(3);
        const std::string group = tree.root() + "/97";  // no /dev/vfio/97 here
        fs::create_directories(group + "/devices");
        fs::create_directory_symlink(tree.add(other), group + "/devices/" + other.name());
        fs::create_directory_symlink("/drivers/ahci", tree.path(other, "driver"));
        fs::create_directory_symlink(group, file("iommu_group"));
    }
    // Files refused by their modes: the survey runs as a user who is not root.
    const std::string refused = std::string(",") + (c.refused ? c.refused : "") + ",";
    chmod(fs::path(tree.root()).parent_path().c_str(), 0755);
    for (const auto& entry : fs::directory_iterator(file(""))) {
        const std::string name = "," + entry.path().filename().string() + ",";
        if (!entry.is_symlink()) {  // links (driver, iommu_group) lead out of the folder
            chmod(entry.path().c_str(), refused.find(name) == std::string::npos ? 0666 : 0);
        }
    }
    const int held = open(file("resource1").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(!c.besides || flock(held, LOCK_EX) == 0);

    PLX_DEVICE_KEY key = card_key();
    PLX_DEVICE_SURVEY survey;
    ASSERT_EQ(pci.DeviceFind(&key, 0), PLX_STATUS_SUCCESS);
    const ProgramRun run = run_in_child(nullptr, [&] {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) || setuid(65534))) {
            return 1;
        }
        const PLX_STATUS status = pci.DeviceSurvey(&key, 0xE06C, &survey);
        std::fwrite(&survey, sizeof survey, 1, stdout);
        return status == PLX_STATUS_SUCCESS ? 0 : 2;
    });
    ASSERT_EQ(run.exit_status, 0);
    ASSERT_EQ(run.out.size(), sizeof survey);
    std::memcpy(&survey, run.out.data(), sizeof survey);
    std::vector<PLX_HINDRANCE_KIND> found;
    for (uint32_t i = 0; i < survey.hindrance_count; ++i) {
        found.push_back(survey.hindrances[i].kind);
    }
    EXPECT_EQ(found, c.expected);
    EXPECT_EQ(survey.path, std::string(c.vfio ? "vfio" : "sysfs"));
    EXPECT_EQ(std::string(survey.vfio_missing[0]),
              c.vfio ? "/dev/vfio/97 does not exist" : "not bound to vfio-pci (see veltcfg(1), VFIO)");
    EXPECT_EQ(survey.holder_pid, c.besides ? getpid() : 0);
    EXPECT_EQ(survey.register_status, c.register_status);
    EXPECT_EQ(survey.register_value, c.register_status == PLX_STATUS_SUCCESS ? dev.control : 0);
    EXPECT_EQ(tree.control(dev), dev.control) << "nothing written";
    EXPECT_EQ(tree.read(dev, "enable"), c.enable);
    close(held);
    EXPECT_FALSE(locked(file("resource1"))) << "nothing left locked";
}

using H = std::vector<PLX_HINDRANCE_KIND>;

INSTANTIATE_TEST_SUITE_P(
    SysfsListing, SysfsSurvey,
    ::testing::Values(
        SurveyCase{"Free", 7, "1\n", nullptr, false, false, {}, PLX_STATUS_SUCCESS},
        SurveyCase{"Everything", 4, "2\n", "resource1", true, false,
                   H{PLX_HINDRANCE_NOT_PERMITTED, PLX_HINDRANCE_LOCKDOWN,
                     PLX_HINDRANCE_OTHER_DRIVER, PLX_HINDRANCE_DECODING_OFF,
                     PLX_HINDRANCE_IN_USE, PLX_HINDRANCE_NO_DATA_WINDOW},
                   PLX_STATUS_ACCESS_DENIED},
        SurveyCase{"WindowRefused", 7, "1\n", "resource3", false, false,
                   H{PLX_HINDRANCE_NOT_PERMITTED}, PLX_STATUS_SUCCESS},
        SurveyCase{"BothRefused", 7, "1\n", "resource1,resource3", false, false,
                   H{PLX_HINDRANCE_NOT_PERMITTED}, PLX_STATUS_ACCESS_DENIED},
        SurveyCase{"DecodingOffEnableRefused", 5, "0\n", "enable", false, false,
                   H{PLX_HINDRANCE_DECODING_OFF}, PLX_STATUS_SUCCESS},
        SurveyCase{"VfioPath", 4, "2\n", nullptr, false, true,
                   H{PLX_HINDRANCE_NOT_PERMITTED, PLX_HINDRANCE_OTHER_DRIVER}, PLX_STATUS_NOT_OPEN},
        SurveyCase{"DecodingOffEnableAllowed", 0, "0\n", nullptr, false, false, {},
                   PLX_STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<SurveyCase>& info) { return info.param.name; });

// ---------------------------------------------------------------- failures

enum class Removal { File, Folder, Directory, Truncated, Shortened, DevFull };

struct RemovalCase {
    const char* name;
    Removal how;
    bool write;
};

class SysfsCardRemoved : public SysfsCardTest,
                         public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(SysfsCardRemoved, PortAccessFailsAfterwards)
{
    const RemovalCase& c = GetParam();
    add_and_open(at(0, 2));
    uint32_t value = 0x000C000E;
    auto access = [&] {
        return c.write ? pci.IoPortWrite(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT)
                       : pci.IoPortRead(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT);
    };
    ASSERT_EQ(access(), PLX_STATUS_SUCCESS) << "before the removal";

    const std::string block = file("resource1");
    switch (c.how) {
    case Removal::File:
        fs::remove(block);
        break;
    case Removal::Folder:
        fs::remove_all(fs::canonical(tree.root() + "/" + card.name()));
        break;
    case Removal::Directory:
        fs::remove(block);
        fs::create_directory(block);
        break;
    case Removal::Truncated:
        fs::resize_file(block, 0);
        break;
    case Removal::Shortened:
        // Ends two bytes into the control register: the kernel would do a
        // 2-byte access there.
        fs::resize_file(block, fake_sysfs::CONTROL_OFFSET + 2);
        break;
    case Removal::DevFull:
        fs::remove(block);
        fs::create_symlink("/dev/full", block);
        break;
    }
    const bool file_left = fs::is_regular_file(block);
    const std::string before = file_left ? tree.read(card, "resource1") : "";
    EXPECT_NE(access(), PLX_STATUS_SUCCESS);
    if (file_left) {
        EXPECT_EQ(tree.read(card, "resource1"), before) << "nothing written";
    }
    EXPECT_EQ(pci.DeviceClose(&device), PLX_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    SysfsWays, SysfsCardRemoved,
    ::testing::Values(RemovalCase{"FileGoneRead", Removal::File, false},
                      RemovalCase{"FileGoneWrite", Removal::File, true},
                      RemovalCase{"FolderGoneRead", Removal::Folder, false},
                      RemovalCase{"FolderGoneWrite", Removal::Folder, true},
                      RemovalCase{"DirectoryRead", Removal::Directory, false},
                      RemovalCase{"DirectoryWrite", Removal::Directory, true},
                      RemovalCase{"ShortRead", Removal::Truncated, false},
                      RemovalCase{"ShortenedRead", Removal::Shortened, false},
                      RemovalCase{"ShortenedWrite", Removal::Shortened, true},
                      RemovalCase{"FailedWrite", Removal::DevFull, true}),
    [](const ::testing::TestParamInfo<RemovalCase>& info) { return info.param.name; });

// Each operation's file removed (ENOENT, a card gone) or a link to itself.
enum class Operation { Open, Lock, PortRead, PortWrite, Map };

struct ErrnoCase {
    const char* name;
    int error;
    PLX_STATUS status;
};

using FileErrorCase = std::tuple<Operation, ErrnoCase>;

class SysfsFileError : public SysfsCardTest,
                       public ::testing::WithParamInterface<FileErrorCase> {};

TEST_P(SysfsFileError, ErrnoBecomesStatus)
{
    const Operation operation = std::get<0>(GetParam());
    const int error = std::get<1>(GetParam()).error;
    const PLX_STATUS expected = std::get<1>(GetParam()).status;
    add(at(0, 2));
    const std::string failing = file(operation == Operation::Open  ? "config"
                                     : operation == Operation::Map ? "resource3"
                                                                   : "resource1");
    auto fail = [&] {
        fs::remove(failing);
        if (error == ELOOP) {
            fs::create_symlink(fs::path(failing).filename(), failing);
        }
    };
    PLX_STATUS status;
    if (operation == Operation::Open || operation == Operation::Lock) {
        fail();
        status = open_card(&device);
    } else {
        ASSERT_EQ(open_card(&device), PLX_STATUS_SUCCESS);
        fail();
        uint32_t value = 1;
        volatile uint8_t* va = nullptr;
        status = operation == Operation::Map ? pci.PciBarMap(&device, 3, &va)
                 : operation == Operation::PortRead
                     ? pci.IoPortRead(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT)
                     : pci.IoPortWrite(&device, 0xE06C, &value, 4, PLX_ACCESS_32_BIT);
        EXPECT_EQ(va, nullptr);
    }
    EXPECT_EQ(status, expected);
}

std::string file_error_name(const ::testing::TestParamInfo<FileErrorCase>& info)
{
    static const char* const operations[] = {"Open", "Lock", "PortRead", "PortWrite", "Map"};
    return std::string(operations[static_cast<int>(std::get<0>(info.param))]) + "_" +
           std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(
    SysfsErrors, SysfsFileError,
    ::testing::Combine(::testing::Values(Operation::Open, Operation::Lock, Operation::PortRead,
                                         Operation::PortWrite, Operation::Map),
                       ::testing::Values(ErrnoCase{"ELOOP", ELOOP, PLX_STATUS_FAILED},
                                         ErrnoCase{"ENOENT", ENOENT, PLX_STATUS_IO_ERROR})),
    file_error_name);

// Errors a tree cannot make (EACCES: the survey's file modes): a locked-down
// kernel, a card gone.
TEST(SysfsErrno, SaysWhyACallFailed)
{
    EXPECT_EQ(plx_linux::errno_status(EPERM), PLX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(plx_linux::errno_status(ENODEV), PLX_STATUS_IO_ERROR);
    EXPECT_EQ(plx_linux::errno_status(EIO), PLX_STATUS_IO_ERROR);
}

// ---------------------------------------------------------------- this machine

using SysfsRealTree = SysfsTreeTest;

TEST_F(SysfsRealTree, EnumeratesInOrderAndReadsIds)
{
    const std::string root = "/sys/bus/pci/devices";
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        GTEST_SKIP() << root << " does not exist here";
    }
    size_t listed = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        listed += fs::exists(entry.path() / "vendor");
    }

    std::vector<PLX_DEVICE_KEY> found;
    for (uint16_t n = 0; n <= listed; ++n) {
        PLX_DEVICE_KEY key = PLX_ANY_DEVICE;
        if (pci.DeviceFind(&key, n) != PLX_STATUS_SUCCESS) {
            break;
        }
        found.push_back(key);
    }
    EXPECT_EQ(found.size(), listed);
    for (size_t i = 0; i < found.size(); ++i) {
        const PLX_DEVICE_KEY& key = found[i];
        if (i > 0) {
            EXPECT_LT(pci_address(found[i - 1]), pci_address(key));
        }
        bool first_at_location = true;
        for (size_t j = 0; j < i; ++j) {
            first_at_location &= !(found[j].bus == key.bus && found[j].slot == key.slot &&
                                   found[j].function == key.function);
        }
        if (first_at_location) {
            PLX_STATUS status = PLX_STATUS_FAILED;
            EXPECT_EQ(pci.PciRegisterRead(key.bus, key.slot, key.function, 0, &status),
                      uint32_t{key.vendor_id} | uint32_t{key.device_id} << 16)
                << pci_address(key);
            EXPECT_EQ(status, PLX_STATUS_SUCCESS) << pci_address(key);
        }
    }
}

}  // namespace
