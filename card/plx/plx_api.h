// The card layer: the eight PCI operations the program needs to drive a card
// built on a PCI9056 bridge.
//
// Each backend (a folder beside this header: linux/ over sysfs, sim/ a
// simulated PCI host) implements the eight operations, and the survey a
// listing of the cards needs, and ends with its table of them. The PlxPci_
// functions call through the table of the active backend. What an
// executable is built for (see use_*.cpp in each folder) names that backend
// and supplies the data-port store, the one per-byte operation, which is
// chosen when linking so that nothing stands between a configuration byte
// and the card.
//
// Only card/ includes this header.
#pragma once

#include <cstdint>

#include "card/plx/plx_types.h"

struct PlxBackend {
    const char* name;

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
