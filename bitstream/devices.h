// FPGA devices by IDCODE and by part name, with their families and the
// family group whose rules their configuration streams follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bitstream/family_rules.h"

namespace bitstream {

// The bits of an IDCODE a device compares with its own: all but the silicon
// revision in bits 31:28, which streams write as 0.
constexpr uint32_t IDCODE_COMPARED_BITS = 0x0FFFFFFF;

struct FpgaFamily {
    const char* name;
    FamilyGroup group;
};

struct FpgaDevice {
    uint32_t idcode;  // revision bits 0
    const char* name;
    const FpgaFamily* family;
};

// The device with that IDCODE (its bits that a device compares), or null.
const FpgaDevice* device_of_idcode(uint32_t idcode);

// The device a part name names, as a .BIT header spells it ("3s200pq208"
// is the xc3s200) or as people do ("xc7a35t", "XC7A35T-1CPG236C"): the
// device with the longest name the part starts with, in any case, with or
// without the maker's "xc"; null when the table has none.
const FpgaDevice* device_of_part(const char* part);

// Up to `count` devices whose names are nearest to `part`: those that share
// the longest start with it.
std::vector<const FpgaDevice*> devices_near(const char* part, size_t count);

}  // namespace bitstream
