#include "tests/support/fake_sysfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "common/hex_text.h"

namespace fake_sysfs {

namespace {

constexpr size_t RESOURCE_LINES = 13;  // 6 BARs, the ROM, bridge windows

void put_le(std::string* bytes, size_t offset, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width && offset + i < bytes->size(); ++i) {
        (*bytes)[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string hex_id(uint16_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x\n", id);
    return text;
}

std::string resource_line(uint64_t start, uint64_t size, uint64_t flags)
{
    const uint64_t end = size == 0 ? 0 : start + size - 1;
    char text[80];
    std::snprintf(text, sizeof text, "0x%016llx 0x%016llx 0x%016llx\n",
                  static_cast<unsigned long long>(size == 0 ? 0 : start),
                  static_cast<unsigned long long>(end),
                  static_cast<unsigned long long>(size == 0 ? 0 : flags));
    return text;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void make_folder(const std::string& path)
{
    if (mkdir(path.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot make " + path);
    }
}

}  // namespace

std::string FakeDevice::name() const
{
    return pci_address(*this);
}

FakeDevice other_device(uint8_t bus, uint8_t slot, uint8_t function, uint16_t vendor_id,
                        uint16_t device_id)
{
    FakeDevice dev;
    dev.bus = bus;
    dev.slot = slot;
    dev.function = function;
    dev.vendor_id = vendor_id;
    dev.device_id = device_id;
    dev.subsystem_vendor_id = vendor_id;
    dev.subsystem_device_id = 0x0001;
    dev.bar0_size = 0;
    dev.io_size = 0;
    dev.bar3_kind = BarKind::Empty;
    return dev;
}

FakeSysfs::FakeSysfs() : root_(dir_.path() + "/devices")
{
    make_folder(root_);
    make_folder(dir_.path() + "/real");
}

std::string FakeSysfs::add(const FakeDevice& dev)
{
    const std::string folder =
        dev.as_symlink ? dir_.path() + "/real/" + dev.name() : root_ + "/" + dev.name();
    make_folder(folder);
    if (dev.as_symlink && symlink(folder.c_str(), (root_ + "/" + dev.name()).c_str()) != 0) {
        throw std::runtime_error("cannot link " + dev.name());
    }

    const bool bar3_memory = dev.bar3_kind == BarKind::Memory;
    const bool bar3_empty = dev.bar3_kind == BarKind::Empty;
    std::string config(256, '\0');
    put_le(&config, 0x00, dev.vendor_id, 2);
    put_le(&config, 0x02, dev.device_id, 2);
    put_le(&config, 0x04, dev.command, 2);
    put_le(&config, 0x10, dev.bar0_size ? dev.bar0_start : 0, 4);
    put_le(&config, 0x14, dev.io_size ? dev.io_start | 1 : 0, 4);
    put_le(&config, 0x1C, bar3_empty ? 0 : dev.bar3_start | (bar3_memory ? 0 : 1), 4);
    put_le(&config, 0x2C, dev.subsystem_vendor_id, 2);
    put_le(&config, 0x2E, dev.subsystem_device_id, 2);
    config.resize(dev.config_size, '\0');
    write_file(folder + "/config", config);

    std::string resource = resource_line(dev.bar0_start, dev.bar0_size, 0x200);
    resource += resource_line(dev.io_start, dev.io_size, 0x101);
    resource += resource_line(0, 0, 0);
    resource += resource_line(dev.bar3_start, bar3_empty ? 0 : dev.bar3_size,
                              bar3_memory ? 0x200 : 0x101);
    for (size_t line = 4; line < RESOURCE_LINES; ++line) {
        resource += resource_line(0, 0, 0);
    }
    write_file(folder + "/resource", resource);

    if (dev.bar0_size) {
        write_file(folder + "/resource0", std::string(dev.bar0_size, '\0'));
    }
    if (dev.io_size) {
        std::string block(dev.io_size, '\0');
        put_le(&block, CONTROL_OFFSET, dev.control, 4);
        write_file(folder + "/resource1", block);
    }
    if (!bar3_empty) {
        write_file(folder + "/resource3",
                   std::string(bar3_memory ? dev.bar3_file_size : dev.bar3_size, '\0'));
    }

    write_file(folder + "/vendor", hex_id(dev.vendor_id));
    write_file(folder + "/device", hex_id(dev.device_id));
    write_file(folder + "/subsystem_vendor", hex_id(dev.subsystem_vendor_id));
    write_file(folder + "/subsystem_device", hex_id(dev.subsystem_device_id));
    write_file(folder + "/enable", (dev.command & 3) == 3 ? "1\n" : "0\n");
    return root_ + "/" + dev.name();
}

std::string FakeSysfs::path(const FakeDevice& dev, const std::string& file) const
{
    return root_ + "/" + dev.name() + "/" + file;
}

std::string FakeSysfs::read(const FakeDevice& dev, const std::string& file) const
{
    std::ifstream in(path(dev, file), std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path(dev, file));
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void FakeSysfs::write(const FakeDevice& dev, const std::string& file,
                      const std::string& bytes) const
{
    write_file(path(dev, file), bytes);
}

uint32_t FakeSysfs::control(const FakeDevice& dev) const
{
    const std::string block = read(dev, "resource1");
    if (block.size() < CONTROL_OFFSET + 4) {
        throw std::runtime_error("resource1 too short");
    }
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value |= uint32_t{static_cast<uint8_t>(block[CONTROL_OFFSET + i])} << (8 * i);
    }
    return value;
}

uint8_t FakeSysfs::bar3_byte(const FakeDevice& dev, size_t offset) const
{
    return static_cast<uint8_t>(read(dev, "resource3").at(offset));
}

void add_card_among_others(FakeSysfs& tree, const FakeDevice& card, size_t others)
{
    std::vector<FakeDevice> devices;
    for (size_t i = 0; devices.size() < others; ++i) {
        FakeDevice other = other_device(static_cast<uint8_t>(i / 32 % 256),
                                        static_cast<uint8_t>(i % 32));
        if (i >= 256 * 32) {
            throw std::runtime_error("too many devices for one domain");
        }
        if (other.name() != card.name()) {
            devices.push_back(other);
        }
    }
    // Odd positions from the top down, the card, then even ones upwards.
    for (size_t i = devices.size(); i-- > 0;) {
        if (i % 2 == 1) {
            tree.add(devices[i]);
        }
    }
    tree.add(card);
    for (size_t i = 0; i < devices.size(); i += 2) {
        tree.add(devices[i]);
    }
}

}  // namespace fake_sysfs
