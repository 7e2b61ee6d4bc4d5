// The card layer over Linux sysfs: PCI devices as the kernel exports them
// under /sys/bus/pci/devices, one folder per device named DDDD:BB:SS.F.
//
// Of a device only these files are used: vendor, device, subsystem_vendor,
// subsystem_device (identity), config (configuration space), resource (the
// BAR table), resourceN (one BAR: mmap for memory, pread/pwrite for I/O) and
// enable (to switch decoding on). An opened device holds an exclusive flock
// on its config file, so two programs cannot drive one card at once.
//
// The methods mirror the card layer's eight operations, with the same
// arguments and statuses; the root folder is a parameter so that tests can
// point the class at a fake tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/plx/plx_api.h"

namespace plx_linux {

class SysfsPci {
public:
    explicit SysfsPci(std::string root = "/sys/bus/pci/devices");
    ~SysfsPci();
    SysfsPci(const SysfsPci&) = delete;
    SysfsPci& operator=(const SysfsPci&) = delete;

    PLX_STATUS DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number);
    PLX_STATUS DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);
    uint32_t PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                             PLX_STATUS* status);
    PLX_STATUS PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);
    PLX_STATUS PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);
    PLX_STATUS DeviceClose(PLX_DEVICE_OBJECT* device);
    PLX_STATUS IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                          uint32_t byte_count, PLX_ACCESS_TYPE access);
    PLX_STATUS IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                           uint32_t byte_count, PLX_ACCESS_TYPE access);

    // Called with the full path before every device file is opened; a
    // non-zero return is taken as the errno of a failed open. Lets tests
    // stand in for a card that vanished, a locked-down kernel and the like.
    std::function<int(const std::string& path)> file_hook;

private:
    struct Bar;         // one line of a device's resource file
    struct Device;      // a device folder with its location and identity
    struct OpenDevice;  // what an opened device holds

    // The devices that match `wanted` (all when null), in location order,
    // with their identity read.
    std::vector<Device> scan(const PLX_DEVICE_KEY* wanted = nullptr) const;
    int open_file(const std::string& path, int flags) const;
    OpenDevice* opened(const PLX_DEVICE_OBJECT* device) const;
    // One I/O-port access: a write of `source`, or else a read into `target`.
    PLX_STATUS port_access(PLX_DEVICE_OBJECT* device, uint64_t port, const void* source,
                           void* target, uint32_t byte_count, PLX_ACCESS_TYPE access);

    std::string root_;
    std::vector<std::unique_ptr<OpenDevice>> open_;  // index = device->handle
};

}  // namespace plx_linux
