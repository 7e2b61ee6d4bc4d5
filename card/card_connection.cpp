// Finding, opening, reporting, mapping and releasing the card; and listing
// the cards, found by the same search.
#include <cinttypes>
#include <cstdint>
#include <cstdio>

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

// Card n: the n-th PCI9056 bridge (function 0) on the bus, its key filled
// in by the search.
bool find_card(uint32_t card_number, PLX_DEVICE_KEY* key)
{
    *key = PLX_ANY_DEVICE;
    key->vendor_id = PLX_VENDOR_ID;
    key->device_id = PCI9056_DEVICE_ID;
    key->function = 0;
    return card_number <= UINT16_MAX &&
           PlxPci_DeviceFind(key, static_cast<uint16_t>(card_number)) == PLX_STATUS_SUCCESS;
}

// A configuration register of the card the key names; false when it cannot
// be read.
bool read_config(const PLX_DEVICE_KEY& key, uint16_t offset, uint32_t* value)
{
    PLX_STATUS status = PLX_STATUS_FAILED;
    *value = PlxPci_PciRegisterRead(key.bus, key.slot, key.function, offset, &status);
    return status == PLX_STATUS_SUCCESS;
}

// BAR 3's bus address: a memory BAR's address bits, the next register's as
// its high half where the BAR is 64 bits wide.
bool read_memory_bar(const PLX_DEVICE_KEY& key, uint64_t* address)
{
    const uint16_t offset = DATA_WINDOW_BAR_REGISTER;
    uint32_t low = 0, high = 0;
    if (!read_config(key, offset, &low) || (low & 1) != 0) {
        return false;  // unreadable, or an I/O BAR
    }
    const bool wide = (low & 0x6) == 0x4;
    if (wide && !read_config(key, offset + 4, &high)) {
        return false;
    }
    *address = uint64_t{high} << 32 | (low & 0xFFFFFFF0u);
    return true;
}

}  // namespace

void open_card(uint32_t card_number)
{
    PLX_DEVICE_KEY key;
    // card_number has been checked to be 0..15.
    if (!find_card(card_number, &key)) {
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

bool card_number_at(const CardAddress& address, uint32_t* card_number)
{
    PLX_DEVICE_KEY key;
    for (uint32_t n = 0; n <= HIGHEST_CARD_NUMBER && find_card(n, &key); ++n) {
        if (key.domain == address.domain && key.bus == address.bus && key.slot == address.slot &&
            key.function == address.function) {
            *card_number = n;
            return true;
        }
    }
    return false;
}

bool list_card(uint32_t card_number, CardListing* listing)
{
    *listing = CardListing{};
    PLX_DEVICE_KEY& key = listing->key;
    if (!find_card(card_number, &key)) {
        return false;
    }
    listing->model = card_model_name(key.subsystem_device_id, key.subsystem_vendor_id);
    uint32_t io_register = 0;
    listing->io_base_read = read_config(key, IO_BASE_REGISTER, &io_register);
    listing->io_base = io_register & 0xFFFFFFFCu;
    listing->control_port = listing->io_base + CONTROL_REGISTER_OFFSET;
    listing->memory_bar_read = read_memory_bar(key, &listing->memory_bar);

    // A register read at a port that is not known tells nothing.
    PLX_DEVICE_SURVEY& survey = listing->survey;
    if (plx_device_survey(&key, listing->control_port, &survey) != PLX_STATUS_SUCCESS &&
        survey.hindrance_count == 0) {
        plx_survey_note(&survey, PLX_HINDRANCE_UNREADABLE, "the card layer cannot survey it");
    }
    const bool read = listing->io_base_read && survey.register_status == PLX_STATUS_SUCCESS;
    listing->state = !read ? CardState::Unknown
                     : survey.register_value == REGISTER_NOT_ANSWERING ? CardState::NotAnswering
                     : (survey.register_value & DONE_STATUS_BIT) != 0  ? CardState::Configured
                                                                        : CardState::NotConfigured;
    return true;
}

bool cards_can_be_listed(PLX_DEVICE_SURVEY* why)
{
    return plx_device_survey(nullptr, 0, why) == PLX_STATUS_SUCCESS;
}
