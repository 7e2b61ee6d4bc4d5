// The card layer's types: statuses, the device key a search fills in, the
// device object an opened card is held by, and what a survey of a device
// finds. The program's state holds a device object and a listing of the
// cards holds a survey, so these are visible outside card/; the operations
// are not.
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

// The search record of PlxPci_DeviceFind. The caller starts from
// PLX_ANY_DEVICE, then sets the fields it searches by; a successful search
// fills in the location and the subsystem IDs of the device found.
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

// The key that matches every device: each field all ones.
constexpr PLX_DEVICE_KEY PLX_ANY_DEVICE = {PLX_KEY_ANY_16, PLX_KEY_ANY_8,  PLX_KEY_ANY_8,
                                           PLX_KEY_ANY_8,  PLX_KEY_ANY_16, PLX_KEY_ANY_16,
                                           PLX_KEY_ANY_16, PLX_KEY_ANY_16};

constexpr uint32_t PLX_DEVICE_OPEN_TAG = 0x50434F44;  // "PCOD"

// An opened device. `handle` belongs to the backend; a caller only passes the
// object's address back in.
struct PLX_DEVICE_OBJECT {
    uint32_t open_tag;  // PLX_DEVICE_OPEN_TAG while open
    PLX_DEVICE_KEY key;
    int32_t handle;
};

// What keeps a program from driving a device now, as a survey finds it.
enum PLX_HINDRANCE_KIND : uint8_t {
    PLX_HINDRANCE_NOT_PERMITTED,   // this user may not open the device's files
    PLX_HINDRANCE_LOCKDOWN,        // the kernel's lockdown refuses the accesses
    PLX_HINDRANCE_OTHER_DRIVER,    // a kernel driver is bound to the device
    PLX_HINDRANCE_DECODING_OFF,    // I/O or memory decoding is switched off
    PLX_HINDRANCE_IN_USE,          // another process holds the device
    PLX_HINDRANCE_NO_DATA_WINDOW,  // the data window's BAR cannot be mapped
    PLX_HINDRANCE_UNREADABLE,      // what tells the rest cannot be read
    PLX_HINDRANCE_KINDS            // how many kinds there are (not a kind)
};

struct PLX_HINDRANCE {
    PLX_HINDRANCE_KIND kind;
    char detail[240];  // what was found, and what to do about it
};

// What a survey (plx_api.h: DeviceSurvey) finds of a device without opening
// it: the path a program would take to it, every hindrance on that path,
// what the VFIO path lacks, and the 32-bit I/O register it was asked to
// read.
struct PLX_DEVICE_SURVEY {
    static constexpr uint32_t MAX_HINDRANCES = 8;
    static constexpr uint32_t MAX_VFIO_MISSING = 4;
    char path[12];  // how a program would reach it: "sysfs", "vfio" or "simulated"
    uint32_t hindrance_count;
    PLX_HINDRANCE hindrances[MAX_HINDRANCES];
    uint32_t vfio_missing_count;  // what the VFIO path lacks for it; none: it would work
    char vfio_missing[MAX_VFIO_MISSING][200];
    int32_t holder_pid;         // with PLX_HINDRANCE_IN_USE: the holder's process ID, 0 if not told
    PLX_STATUS register_status; // of the register read
    uint32_t register_value;    // when that status is PLX_STATUS_SUCCESS
};
