// Finding, opening, reporting, mapping and releasing the card.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/driver.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "card/plx/card_registers.h"
#include "card/plx/plx_api.h"

namespace {

// "Found Orlenta RV80-A card", or the line for a model not known.
void print_model(uint16_t subsystem_device_id)
{
    const char* model = card_model_name(subsystem_device_id);
    if (model == nullptr) {
        std::printf("\nUnknown PLX PCI9056 based card!");
    } else {
        std::printf("\nFound Orlenta %s card", model);
    }
}

// The address in upper-case hexadecimal, zero-padded to the width of a
// pointer (glibc's %p would add its own "0x" and drop the padding).
void print_memory_base(volatile uint8_t* address)
{
    const int digits = static_cast<int>(sizeof(void*) * 2);
    std::printf("\nPLX 9056 memory base:                 0x%0*" PRIXPTR, digits,
                reinterpret_cast<uintptr_t>(address));
    std::printf("\n");
}

}  // namespace

void open_card(uint32_t card_number)
{
    PLX_DEVICE_KEY key;
    std::memset(&key, 0xFF, sizeof key);
    key.vendor_id = PLX_VENDOR_ID;
    key.device_id = PCI9056_DEVICE_ID;
    key.function = 0;

    // card_number has been checked to be 0..15.
    if (PlxPci_DeviceFind(&key, static_cast<uint16_t>(card_number)) != PLX_STATUS_SUCCESS) {
        fatal_exit(101, "Can't find 9056 card number %u.\n", card_number);
    }

    PLX_DEVICE_OBJECT* const device = &upload_state.plx_device;
    if (PlxPci_DeviceOpen(&key, device) != PLX_STATUS_SUCCESS) {
        fatal_exit(105, "Can't gain access to 9056 card number %u.\n", card_number);
    }
    upload_state.device_open = 1;

    std::printf("\nUsing PCI device at bus %u/device %u.", static_cast<unsigned>(key.bus),
                static_cast<unsigned>(key.slot));
    std::fflush(stdout);
    print_model(key.subsystem_device_id);

    PLX_STATUS status = PLX_STATUS_FAILED;
    const uint32_t io_register =
        PlxPci_PciRegisterRead(key.bus, key.slot, key.function, IO_BASE_REGISTER, &status);
    if (status != PLX_STATUS_SUCCESS) {
        fatal_exit(105, "Can't read 9056 card number %u configuration registers.\n", card_number);
    }

    const uint32_t io_base = io_register & 0xFFFFFFFCu;
    std::printf("\n\nPLX 9056 configuration I/O base port: 0x%04lX",
                static_cast<unsigned long>(io_base));
    upload_state.control_port = io_base + CONTROL_REGISTER_OFFSET;
    std::printf("\nPLX 9056 control/status port:         0x%04lX",
                static_cast<unsigned long>(upload_state.control_port));

    if (PlxPci_PciBarMap(device, DATA_WINDOW_BAR, &upload_state.data_window) !=
        PLX_STATUS_SUCCESS) {
        fatal_exit(105, "Can't map 9056 card number %u base registers.\n", card_number);
    }
    upload_state.window_mapped = 1;

    const uintptr_t window = reinterpret_cast<uintptr_t>(upload_state.data_window);
    if (window == 0 || window == UINTPTR_MAX) {
        fatal_exit(105, "Invalid 9056 card number %u base register mapping.\n", card_number);
    }
    attach_data_port();
    print_memory_base(upload_state.data_window);
}

void release_card()
{
    // Each flag is set only once its step has succeeded, so this undoes
    // exactly what was done, mapping before device.
    if (upload_state.window_mapped) {
        detach_data_port();
        PlxPci_PciBarUnmap(&upload_state.plx_device, &upload_state.data_window);
    }
    if (upload_state.device_open) {
        PlxPci_DeviceClose(&upload_state.plx_device);
    }
}
