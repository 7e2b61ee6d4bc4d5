// The card layer on Linux: the eight operations, each handed to one
// process-wide SysfsPci over the kernel's own PCI device tree.
#include "card/plx/plx_api.h"

#include "sysfs_pci.h"

namespace {

plx_linux::SysfsPci& backend()
{
    static plx_linux::SysfsPci instance;
    return instance;
}

// The callers are C-style code: nothing may be thrown at them (a failed
// allocation, say), so any exception becomes a plain failure.
template <typename Call>
PLX_STATUS guarded(Call call)
{
    try {
        return call(backend());
    } catch (...) {
        return PLX_STATUS_FAILED;
    }
}

}  // namespace

PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    return guarded([&](plx_linux::SysfsPci& pci) { return pci.DeviceFind(key, device_number); });
}

PLX_STATUS PlxPci_DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    return guarded([&](plx_linux::SysfsPci& pci) { return pci.DeviceOpen(key, device); });
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PLX_STATUS* status)
{
    uint32_t value = 0xFFFFFFFF;
    const PLX_STATUS result = guarded([&](plx_linux::SysfsPci& pci) {
        PLX_STATUS read_status = PLX_STATUS_FAILED;
        value = pci.PciRegisterRead(bus, slot, function, offset, &read_status);
        return read_status;
    });
    if (status != nullptr) {
        *status = result;
    }
    return result == PLX_STATUS_SUCCESS ? value : 0xFFFFFFFF;
}

PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    return guarded([&](plx_linux::SysfsPci& pci) { return pci.PciBarMap(device, bar_index, va); });
}

PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    return guarded([&](plx_linux::SysfsPci& pci) { return pci.PciBarUnmap(device, va); });
}

PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* device)
{
    return guarded([&](plx_linux::SysfsPci& pci) { return pci.DeviceClose(device); });
}

PLX_STATUS PlxPci_IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return guarded([&](plx_linux::SysfsPci& pci) {
        return pci.IoPortRead(device, port, buffer, byte_count, access);
    });
}

PLX_STATUS PlxPci_IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return guarded([&](plx_linux::SysfsPci& pci) {
        return pci.IoPortWrite(device, port, buffer, byte_count, access);
    });
}
