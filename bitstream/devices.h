// FPGA devices by IDCODE and by part name, with their families and the
// family group whose rules their configuration streams follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bitstream/family_rules.h"

namespace bitstream {

// The bits of an IDCODE a device compares with its own: all but the silicon
// revision in bits 31:28, which streams write as 0.
constexpr uint32_t IDCODE_COMPARED_BITS = 0x0FFFFFFF;

// A family, its group, and what its devices do beyond their group's rules:
// whether they need the bus width detected before they take the sync word
// (Virtex-5 and later, on the parallel port), and how their CRC check is
// bypassed (null: it is not; the FPGA tools then write RCRC in place of the
// CRC checks).
struct FpgaFamily {
    const char* name;
    FamilyGroup group;
    bool needs_bus_width = false;
    const CrcBypass* bypass = nullptr;
};

// Whether another device of the table has the same IDCODE: Spartan-II and
// Spartan-IIE devices are Virtex and Virtex-E dies, and the Zynq
// UltraScale+ devices of one number share their programmable logic die.
enum class IdcodeUse : uint8_t { Own, Shared };

struct FpgaDevice {
    const char* name;  // lower case, with the maker's "xc"
    uint32_t idcode;   // revision bits 0; Zynq UltraScale+: what its streams write
    const FpgaFamily* family;
    // The length of a full configuration in bits as the family's
    // configuration guide gives it; 0 where no guide gives one.
    uint64_t config_bits;
    IdcodeUse idcode_use;
};

// Whether a device takes a stream that writes this IDCODE.
constexpr bool idcode_matches(const FpgaDevice& device, uint32_t idcode)
{
    return ((device.idcode ^ idcode) & IDCODE_COMPARED_BITS) == 0;
}

// Every device of the table, in its order (by family, then size).
struct DeviceRange {
    const FpgaDevice* first;
    const FpgaDevice* last;
    const FpgaDevice* begin() const { return first; }
    const FpgaDevice* end() const { return last; }
};
DeviceRange all_devices();

// How a device of `group` bypasses its CRC check when its family is not
// known: as the group's families that can do (they do alike), or null.
const CrcBypass* group_crc_bypass(FamilyGroup group);

// The first device with that IDCODE (its bits that a device compares), or
// null; devices that share an IDCODE share their family group.
const FpgaDevice* device_of_idcode(uint32_t idcode);
// Every device with that IDCODE, in table order.
std::vector<const FpgaDevice*> devices_of_idcode(uint32_t idcode);
// Every device with that IDCODE and its family, for people: "xc7a35t,
// Artix-7", "xc2s200, Spartan-II or xcv200, Virtex", "xczu5cg or xczu5eg,
// Zynq UltraScale+"; empty when the table has none.
std::string devices_text(uint32_t idcode);
// An IDCODE and the devices it names: "0x0362D093 (xc7a35t, Artix-7)", or
// "(a device not in the table)".
std::string idcode_text(uint32_t idcode);

// The device a part name names, as a .BIT header spells it ("3s200pq208"
// is the xc3s200) or as people do ("xc7a35t", "XC7A35T-1CPG236C"): the
// device with the longest name the part starts with, in any case, with or
// without the maker's "xc"; null when the table has none.
const FpgaDevice* device_of_part(const char* part);

// Up to `count` devices whose names are nearest to `part`: those that share
// the longest start with it.
std::vector<const FpgaDevice*> devices_near(const char* part, size_t count);

}  // namespace bitstream
