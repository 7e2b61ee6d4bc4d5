// The card as both the program and the simulated host know it: a PCI9056
// bridge, found by its PCI IDs, whose I/O-mapped register block (the BAR at
// configuration offset 0x14) holds the control/status register at 0x6C, and
// whose BAR 3 maps the data port at its offset 0.
//
// The control/status register, 32 bits:
//
//   bit 1   DONE status (read only): 1 = configuration done, 0 = busy
//   bit 16  program line: 0 then 1 starts a configuration cycle
//   bits 18, 19  control-line enables: set before programming, never cleared
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr uint16_t PLX_VENDOR_ID = 0x10B5;
constexpr uint16_t PCI9056_DEVICE_ID = 0x9056;
constexpr uint16_t IO_BASE_REGISTER = 0x14;
constexpr uint32_t CONTROL_REGISTER_OFFSET = 0x6C;
constexpr uint8_t DATA_WINDOW_BAR = 3;
constexpr uint16_t DATA_WINDOW_BAR_REGISTER = 0x10 + 4 * DATA_WINDOW_BAR;  // in configuration space

constexpr uint32_t DONE_STATUS_BIT = 0x00000002;
// What a register reads from a card that has stopped answering (removed, or
// its bridge gone): no real value of the control/status register has every
// bit set.
constexpr uint32_t REGISTER_NOT_ANSWERING = 0xFFFFFFFF;
constexpr uint32_t PROGRAM_LINE_BIT = 0x00010000;
constexpr uint32_t CONTROL_ENABLE_BITS = 0x000C0000;

// The card models, each named by its subsystem IDs. The program names a
// card's model by the subsystem device ID alone; the udev rules
// (packaging/), and the listing's word on whether a card is one of ours,
// match both IDs.
struct CardModel {
    uint16_t subsystem_vendor_id;
    uint16_t subsystem_device_id;
    const char* name;
};
inline constexpr CardModel CARD_MODELS[] = {
    {PLX_VENDOR_ID, 0x3427, "RV80-A"},
    {PLX_VENDOR_ID, 0x3428, "RV80-B"},
    {PLX_VENDOR_ID, 0x3429, "RV80-C"},
};

// Whether each model has a name and no two models share a subsystem device
// ID (by which alone the program names a card's model: one card would have
// two names) or a name.
constexpr bool card_models_distinct()
{
    for (size_t i = 0; i < sizeof CARD_MODELS / sizeof CARD_MODELS[0]; ++i) {
        if (CARD_MODELS[i].name == nullptr || *CARD_MODELS[i].name == '\0') {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (CARD_MODELS[i].subsystem_device_id == CARD_MODELS[j].subsystem_device_id ||
                std::string_view(CARD_MODELS[i].name) == CARD_MODELS[j].name) {
                return false;
            }
        }
    }
    return true;
}
static_assert(card_models_distinct());

// The model's name ("RV80-A"), or null for a subsystem device ID no model
// has; with a subsystem vendor ID, null too unless both IDs are the model's.
constexpr const char* card_model_name(uint16_t subsystem_device_id,
                                      int32_t subsystem_vendor_id = -1)
{
    for (const CardModel& model : CARD_MODELS) {
        if (model.subsystem_device_id == subsystem_device_id &&
            (subsystem_vendor_id < 0 || model.subsystem_vendor_id == subsystem_vendor_id)) {
            return model.name;
        }
    }
    return nullptr;
}
