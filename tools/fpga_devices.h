// FPGA devices by IDCODE, for naming the device a configuration stream is
// written for.
#pragma once

#include <cstdint>

struct FpgaDevice {
    uint32_t idcode;  // revision bits 0
    const char* name;
    const char* family;
};

// The device with that IDCODE (its bits that a device compares), or null.
const FpgaDevice* device_of_idcode(uint32_t idcode);

// The device a .BIT header's part field names ("3s200pq208" is the xc3s200),
// or null when the table has none.
const FpgaDevice* device_of_part(const char* part);
