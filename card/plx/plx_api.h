// The card layer: the eight PCI operations the program needs to drive a card
// built on a PCI9056 bridge.
//
// Each backend (a folder beside this header: linux/ over sysfs or VFIO, sim/ a
// simulated PCI host) implements the eight operations, and the survey a
// listing of the cards needs, and ends with its table of them. The PlxPci_
// functions call through the table of the active backend. What an
// executable is built for (see use_*.cpp in each folder) names that backend
// and supplies the data-port store, the one per-byte operation, which is
// chosen when linking so that nothing stands between a configuration byte
// and the card.
//
// Of the program, only card/ calls these operations. The backends, and
// whatever sets one up or wraps it (the simulated host's users, the tests'
// recording backend), include this header for the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "card/plx/plx_types.h"

struct PlxBackend {
    // Finds the device_number-th device (from 0) that matches the key, in the
    // order of domain, bus, slot and function, and fills in the key.
    PLX_STATUS (*DeviceFind)(PLX_DEVICE_KEY* key, uint16_t device_number);

    // Opens the device the key names (as filled in by DeviceFind).
    PLX_STATUS (*DeviceOpen)(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);

    // Reads the 32-bit PCI configuration register at `offset` of
    // bus/slot/function. The value is the result; the status comes back
    // through `status`.
    uint32_t (*PciRegisterRead)(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PLX_STATUS* status);

    // Maps the memory BAR `bar_index` into this process; on success `*va` is
    // the address of its first byte.
    PLX_STATUS (*PciBarMap)(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);

    // Undoes PciBarMap for the mapping at `*va`, and clears `*va`.
    PLX_STATUS (*PciBarUnmap)(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);

    // Closes the device; it may be opened again afterwards.
    PLX_STATUS (*DeviceClose)(PLX_DEVICE_OBJECT* device);

    // One access of byte_count bytes at the absolute I/O-space address `port`.
    PLX_STATUS (*IoPortRead)(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access);
    PLX_STATUS (*IoPortWrite)(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access);

    // Optional (null in a backend without it), for a listing of the cards:
    // what stands between a program and the device the key names (as filled
    // in by DeviceFind), found without opening the device, taking a lock,
    // waiting or writing anything; and one 32-bit read of the I/O register
    // at the absolute address `port`, where that needs none of those. With a
    // null key: whether the host's devices can be listed at all (success),
    // and if not, why (the first hindrance's detail).
    PLX_STATUS (*DeviceSurvey)(const PLX_DEVICE_KEY* key, uint64_t port,
                               PLX_DEVICE_SURVEY* survey);
};

// The backend the PlxPci_ functions act on.
extern const PlxBackend* plx_backend;

PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number);
PLX_STATUS PlxPci_DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);
uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PLX_STATUS* status);
PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);
PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);
PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* device);
PLX_STATUS PlxPci_IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access);
PLX_STATUS PlxPci_IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access);

// The active backend's survey (PlxBackend::DeviceSurvey); where it has none,
// PLX_STATUS_FAILED with nothing found.
PLX_STATUS plx_device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey);

// For the backends' surveys: adds a hindrance, its detail in printf style
// (cut to fit); one past the last that fits is dropped.
void plx_survey_note(PLX_DEVICE_SURVEY* survey, PLX_HINDRANCE_KIND kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// One 8-bit store of `value` to the data port at `port`, a mapped address.
// Called once per configuration byte; built into the executable with its
// backend and inlined at link time.
void plx_data_port_write(volatile uint8_t* port, uint8_t value);

// What the backends share.

// Whether the device `have` describes is one that `want` asks for: each field
// of `want` is all ones (any) or the device's.
bool plx_key_matches(const PLX_DEVICE_KEY& want, const PLX_DEVICE_KEY& have);

// The open device that `device` stands for, in a backend's table of the
// devices it has opened (a device object's handle is its place there), or
// null: the object must have been opened, its handle must be a place in the
// table, and the entry there must be open (`key_if_open` gives its key, null
// when it is not) at the object's location, not another device given the
// place since. Every operation on an open device looks it up so.
template <typename Entry, typename KeyIfOpen>
Entry* plx_open_entry(const PLX_DEVICE_OBJECT* device,
                      const std::vector<std::unique_ptr<Entry>>& table, KeyIfOpen key_if_open)
{
    if (device == nullptr || device->open_tag != PLX_DEVICE_OPEN_TAG || device->handle < 0 ||
        static_cast<size_t>(device->handle) >= table.size()) {
        return nullptr;
    }
    Entry* entry = table[static_cast<size_t>(device->handle)].get();
    const PLX_DEVICE_KEY* open = entry != nullptr ? key_if_open(*entry) : nullptr;
    const PLX_DEVICE_KEY& key = device->key;
    return open != nullptr && open->domain == key.domain && open->bus == key.bus &&
                   open->slot == key.slot && open->function == key.function
               ? entry
               : nullptr;
}
