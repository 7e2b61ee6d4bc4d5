// The card layer's eight operations on the simulated host.
#include "card/plx/plx_api.h"

#include "sim_host.h"

PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    return sim::host().device_find(key, device_number);
}

PLX_STATUS PlxPci_DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    return sim::host().device_open(key, device);
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PLX_STATUS* status)
{
    return sim::host().pci_register_read(bus, slot, function, offset, status);
}

PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    return sim::host().pci_bar_map(device, bar_index, va);
}

PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    return sim::host().pci_bar_unmap(device, va);
}

PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* device)
{
    return sim::host().device_close(device);
}

PLX_STATUS PlxPci_IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return sim::host().io_port_read(device, port, buffer, byte_count, access);
}

PLX_STATUS PlxPci_IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return sim::host().io_port_write(device, port, buffer, byte_count, access);
}
