// The Linux backend's state (where the device folders are, which devices are
// open) and its table of operations. The operations themselves are in the
// other files of this folder (see linux_internal.h).
#include "card/plx/linux/linux_pci.h"

#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

BackendState& backend_state()
{
    static BackendState instance;
    return instance;
}

namespace {

// The callers are C-style code: nothing may be thrown at them (a failed
// allocation, say), so any exception becomes a plain failure.
template <auto operation>
struct ExceptionsAsFailure;

template <typename... Args, PLX_STATUS (*operation)(Args...)>
struct ExceptionsAsFailure<operation> {
    static PLX_STATUS call(Args... args) noexcept
    {
        try {
            return operation(args...);
        } catch (...) {
            return PLX_STATUS_FAILED;
        }
    }
};

uint32_t pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                           PLX_STATUS* status)
{
    uint32_t value = 0xFFFFFFFF;  // what a read of nothing returns on PCI
    const PLX_STATUS result =
        ExceptionsAsFailure<read_config_register>::call(bus, slot, function, offset, &value);
    if (status != nullptr) {
        *status = result;
    }
    return result == PLX_STATUS_SUCCESS ? value : 0xFFFFFFFF;
}

}  // namespace

void use_root(const std::string& root)
{
    backend_state().open_devices.clear();
    backend_state().devices_folder = root;
}

void use_lockdown_file(const std::string& path)
{
    backend_state().lockdown_file = path;
}

}  // namespace plx_linux

const PlxBackend plx_linux_backend = {
    plx_linux::ExceptionsAsFailure<plx_linux::device_find>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::device_open>::call,
    plx_linux::pci_register_read,
    plx_linux::ExceptionsAsFailure<plx_linux::pci_bar_map>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::pci_bar_unmap>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::device_close>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::io_port_read>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::io_port_write>::call,
    plx_linux::ExceptionsAsFailure<plx_linux::device_survey>::call,
};
