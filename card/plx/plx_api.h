// The card layer: the eight PCI operations the program needs to drive a card
// built on a PCI9056 bridge. One interface, one backend per folder beside this
// header (linux/ over sysfs, sim/ a simulated PCI host), picked when linking.
//
// Only card/ includes this header.
#pragma once

#include <cstdint>

// Every call that can fail returns a status; PLX_STATUS_SUCCESS is the only
// value that means it worked. The others say why it did not, for whoever
// reads a log; the program itself only compares with success.
typedef uint32_t PLX_STATUS;

constexpr PLX_STATUS PLX_STATUS_SUCCESS = 0x200;
constexpr PLX_STATUS PLX_STATUS_FAILED = 0x201;            // anything not listed below
constexpr PLX_STATUS PLX_STATUS_NULL_PARAM = 0x202;        // a required pointer was null
constexpr PLX_STATUS PLX_STATUS_NO_DEVICE = 0x203;         // no device matches the key
constexpr PLX_STATUS PLX_STATUS_NOT_OPEN = 0x204;          // device object not opened
constexpr PLX_STATUS PLX_STATUS_BUSY = 0x205;              // held by another process
constexpr PLX_STATUS PLX_STATUS_ACCESS_DENIED = 0x206;     // permissions, kernel lockdown
constexpr PLX_STATUS PLX_STATUS_INVALID_BAR = 0x207;       // wrong kind of BAR, empty BAR
constexpr PLX_STATUS PLX_STATUS_INVALID_ADDRESS = 0x208;   // port or offset outside the device
constexpr PLX_STATUS PLX_STATUS_INVALID_ACCESS = 0x209;    // byte count / access width not supported
constexpr PLX_STATUS PLX_STATUS_IO_ERROR = 0x20A;          // short transfer, device gone

// Width of one I/O-port access.
enum PLX_ACCESS_TYPE : uint8_t {
    PLX_ACCESS_8_BIT = 0,
    PLX_ACCESS_16_BIT = 1,
    PLX_ACCESS_32_BIT = 2,
};

// Key words left at all ones match anything.
constexpr uint8_t PLX_KEY_ANY_8 = 0xFF;
constexpr uint16_t PLX_KEY_ANY_16 = 0xFFFF;

// The search record of PlxPci_DeviceFind. The caller fills it with 0xFF bytes,
// then sets the fields it searches by; a successful search fills in the
// location and the subsystem IDs of the device found.
struct PLX_DEVICE_KEY {
    uint16_t domain;
    uint8_t bus;
    uint8_t slot;
    uint8_t function;
    uint16_t vendor_id;
    uint16_t device_id;
    uint16_t subsystem_vendor_id;
    uint16_t subsystem_device_id;
};

constexpr uint32_t PLX_DEVICE_OPEN_TAG = 0x50434F44;  // "PCOD"

// An opened device. `handle` belongs to the backend; a caller only passes the
// object's address back in.
struct PLX_DEVICE_OBJECT {
    uint32_t open_tag;  // PLX_DEVICE_OPEN_TAG while open
    PLX_DEVICE_KEY key;
    int32_t handle;
};

// Finds the device_number-th device (from 0) that matches the key, in the
// order of domain, bus, slot and function, and fills in the key.
PLX_STATUS PlxPci_DeviceFind(PLX_DEVICE_KEY* key, uint16_t device_number);

// Opens the device the key names (as filled in by PlxPci_DeviceFind).
PLX_STATUS PlxPci_DeviceOpen(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);

// Reads the 32-bit PCI configuration register at `offset` of bus/slot/function.
// The value is the result; the status comes back through `status`.
uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function,
                                uint16_t offset, PLX_STATUS* status);

// Maps the memory BAR `bar_index` into this process; on success `*va` is the
// address of its first byte.
PLX_STATUS PlxPci_PciBarMap(PLX_DEVICE_OBJECT* device, uint8_t bar_index,
                            volatile uint8_t** va);

// Undoes PlxPci_PciBarMap for the mapping at `*va`, and clears `*va`.
PLX_STATUS PlxPci_PciBarUnmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);

// Closes the device; it may be opened again afterwards.
PLX_STATUS PlxPci_DeviceClose(PLX_DEVICE_OBJECT* device);

// One access of byte_count bytes at the absolute I/O-space address `port`.
PLX_STATUS PlxPci_IoPortRead(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access);
PLX_STATUS PlxPci_IoPortWrite(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access);
