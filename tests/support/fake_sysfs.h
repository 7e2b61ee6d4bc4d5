// Fake PCI device trees, laid out as the kernel's /sys/bus/pci/devices, in a
// temporary folder: one folder per device with plain files standing in for
// the attributes the sysfs backend reads (config, resource, resourceN,
// vendor, device, subsystem_vendor, subsystem_device, enable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "card/plx/card_registers.h"
#include "tests/support/bitstream.h"

namespace fake_sysfs {

enum class BarKind { Memory, Io, Empty };

// One device. The defaults make a PCI9056 card at 0000:02:00.0 with its
// register block at I/O 0xE000 (BAR 1) and a 4 KiB memory BAR 3.
struct FakeDevice {
    uint16_t domain = 0;
    uint8_t bus = 2;
    uint8_t slot = 0;
    uint8_t function = 0;
    uint16_t vendor_id = 0x10B5;
    uint16_t device_id = 0x9056;
    uint16_t subsystem_vendor_id = 0x10B5;
    uint16_t subsystem_device_id = CARD_MODELS[0].subsystem_device_id;  // an RV80-A
    uint16_t command = 0x0007;       // I/O, memory and bus-master enabled
    uint64_t bar0_start = 0xF7E00000;  // BAR 0: the bridge's registers in memory
    uint64_t bar0_size = 0x200;
    uint64_t io_start = 0xE000;      // BAR 1; io_size 0 leaves it empty
    uint64_t io_size = 256;
    BarKind bar3_kind = BarKind::Memory;
    uint64_t bar3_start = 0xF7D00000;
    uint64_t bar3_size = 0x1000;
    size_t bar3_file_size = 4096;    // of resource3
    uint32_t control = 0x0000000E;   // at offset 0x6C of resource1
    size_t config_size = 256;        // a shorter config file is cut off there
    bool as_symlink = false;         // entry is a link to a folder elsewhere, as in sysfs

    std::string name() const;        // "DDDD:BB:SS.F"
};

// A device that is not a card: other IDs and no BARs.
FakeDevice other_device(uint8_t bus, uint8_t slot = 0, uint8_t function = 0,
                        uint16_t vendor_id = 0x8086, uint16_t device_id = 0x1237);

constexpr uint32_t CONTROL_OFFSET = 0x6C;

class FakeSysfs {
public:
    FakeSysfs();

    // The folder to use in place of /sys/bus/pci/devices.
    const std::string& root() const { return root_; }

    // Lays out the device's folder; returns its path.
    std::string add(const FakeDevice& dev);

    // The path of one of the device's files.
    std::string path(const FakeDevice& dev, const std::string& file) const;
    std::string read(const FakeDevice& dev, const std::string& file) const;
    void write(const FakeDevice& dev, const std::string& file, const std::string& bytes) const;

    // The control/status register as stored in resource1, and a byte of
    // resource3 (the data port is offset 0).
    uint32_t control(const FakeDevice& dev) const;
    uint8_t bar3_byte(const FakeDevice& dev, size_t offset = 0) const;

private:
    TempDir dir_;
    std::string root_;
};

// One card plus `others` unrelated devices around it on the bus, added in
// an order unlike their locations'.
void add_card_among_others(FakeSysfs& tree, const FakeDevice& card, size_t others);

}  // namespace fake_sysfs
