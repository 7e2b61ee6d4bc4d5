// card/'s view of the device object kept in the process-wide state.
#pragma once

#include <new>

#include "app/upload_state.h"
#include "card/plx/plx_api.h"

static_assert(sizeof(PLX_DEVICE_OBJECT) <= sizeof(CardDevice::storage),
              "CardDevice has no room for the layer's device object");
static_assert(alignof(PLX_DEVICE_OBJECT) <= alignof(CardDevice),
              "CardDevice is not aligned for the layer's device object");

// The device object, created in its slot by open_card before first use.
inline PLX_DEVICE_OBJECT* card_device()
{
    return std::launder(reinterpret_cast<PLX_DEVICE_OBJECT*>(upload_state.plx_device.storage));
}

// The data port as the senders reach it: attached once BAR 3 is mapped and
// found valid, detached before it is unmapped.
void attach_data_port(volatile uint8_t* port);
void detach_data_port();
