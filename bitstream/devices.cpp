// The FPGA devices the bitstream checker and the simulated card know, by
// IDCODE (bits 27:0; bits 31:28 are the silicon revision, which a device
// ignores when it checks the IDCODE a stream writes), with their families.
// The rows and their sources are in device_table.inc; the table's rules are
// checked below when this file compiles.
#include "bitstream/devices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace bitstream {

namespace {

// The CRC bypass of each generation that has one: COR bit 29 and 0xDEFC
// (Virtex-II, Spartan-3), COR bit 28 and 0x0000DEFC (Virtex-4, Virtex-5),
// COR1 bit 4 and 0x9876DEFC (Spartan-3A, Spartan-6). Virtex-6 and later
// have none: COR0 bit 28 is reserved there, and the tools write RCRC where
// the CRC checks would be. Virtex-5 and later devices take the sync word on
// the parallel port only after the bus width detection pattern.
constexpr CrcBypass VIRTEX_II_BYPASS = {9, 1u << 29, 0x0000DEFC};
constexpr CrcBypass VIRTEX_4_BYPASS = {9, 1u << 28, 0x0000DEFC};
constexpr CrcBypass SPARTAN_3A_BYPASS = {10, 1u << 4, 0x9876DEFC};

#include "bitstream/family_table.inc"

// The words of the rows.
constexpr uint64_t NONE = 0;
constexpr IdcodeUse OWN = IdcodeUse::Own;
constexpr IdcodeUse SHARED = IdcodeUse::Shared;

constexpr FpgaDevice DEVICES[] = {
#include "bitstream/device_table.inc"
};
constexpr size_t ROWS = std::size(DEVICES);

// The table's rules. Each check gives the first row that breaks its rule,
// or ROWS when none does.

constexpr bool same_text(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// A name is the maker's "xc" and lower-case letters and digits, which the
// lookup by part name relies on.
constexpr bool well_formed_name(const char* name)
{
    if (name[0] != 'x' || name[1] != 'c' || name[2] == '\0') {
        return false;
    }
    for (const char* c = name; *c != '\0'; ++c) {
        if (!((*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9'))) {
            return false;
        }
    }
    return true;
}

constexpr size_t first_ill_formed_name()
{
    for (size_t i = 0; i < ROWS; ++i) {
        if (!well_formed_name(DEVICES[i].name)) {
            return i;
        }
    }
    return ROWS;
}

constexpr size_t first_repeated_name()
{
    for (size_t i = 0; i < ROWS; ++i) {
        for (size_t j = i + 1; j < ROWS; ++j) {
            if (same_text(DEVICES[i].name, DEVICES[j].name)) {
                return j;
            }
        }
    }
    return ROWS;
}

// IEEE 1149.1 IDCODEs with Xilinx's manufacturer code (0x049) in bits 11:1,
// bit 0 set, and the revision bits 0.
constexpr size_t first_foreign_idcode()
{
    for (size_t i = 0; i < ROWS; ++i) {
        if ((DEVICES[i].idcode & ~IDCODE_COMPARED_BITS) != 0 || (DEVICES[i].idcode & 0xFFF) != 0x093) {
            return i;
        }
    }
    return ROWS;
}

// Rows with one IDCODE are all marked SHARED and of one family group (the
// group a card with that IDCODE reads streams in); a SHARED row has another.
constexpr size_t first_wrong_sharing()
{
    for (size_t i = 0; i < ROWS; ++i) {
        bool shared = false;
        for (size_t j = 0; j < ROWS; ++j) {
            if (j == i || !idcode_matches(DEVICES[i], DEVICES[j].idcode)) {
                continue;
            }
            shared = true;
            if (DEVICES[i].family->group != DEVICES[j].family->group) {
                return i;
            }
        }
        if (shared != (DEVICES[i].idcode_use == IdcodeUse::Shared)) {
            return i;
        }
    }
    return ROWS;
}

static_assert(first_ill_formed_name() == ROWS, "a device name is not \"xc\" and lower-case letters and digits");
static_assert(first_repeated_name() == ROWS, "a device name is in the table twice");
static_assert(first_foreign_idcode() == ROWS, "an IDCODE is not a Xilinx one with revision 0");
static_assert(first_wrong_sharing() == ROWS, "rows with one IDCODE are not all SHARED, or not of one group");

// A part name in lower case, without the maker's "xc" if it has one.
std::string bare_name(const char* name)
{
    std::string bare;
    for (const char* c = name; *c != '\0'; ++c) {
        bare += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return bare.compare(0, 2, "xc") == 0 ? bare.substr(2) : bare;
}

// How many characters two names share from their start.
size_t shared_start(const std::string& a, const std::string& b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) {
        ++n;
    }
    return n;
}

}  // namespace

DeviceRange all_devices()
{
    return {std::begin(DEVICES), std::end(DEVICES)};
}

const CrcBypass* group_crc_bypass(FamilyGroup group)
{
    for (const FpgaDevice& device : DEVICES) {
        if (device.family->group == group && device.family->bypass != nullptr) {
            return device.family->bypass;
        }
    }
    return nullptr;
}

const FpgaDevice* device_of_idcode(uint32_t idcode)
{
    const auto row = std::find_if(std::begin(DEVICES), std::end(DEVICES),
                                  [idcode](const FpgaDevice& device) { return idcode_matches(device, idcode); });
    return row == std::end(DEVICES) ? nullptr : row;
}

std::vector<const FpgaDevice*> devices_of_idcode(uint32_t idcode)
{
    std::vector<const FpgaDevice*> devices;
    for (const FpgaDevice& device : DEVICES) {
        if (idcode_matches(device, idcode)) {
            devices.push_back(&device);
        }
    }
    return devices;
}

std::string devices_text(uint32_t idcode)
{
    const std::vector<const FpgaDevice*> devices = devices_of_idcode(idcode);
    std::string text;
    for (size_t i = 0; i < devices.size(); ++i) {
        text += (i == 0 ? "" : " or ") + std::string(devices[i]->name);
        // Devices of one family in a row name it once, after the last.
        if (i + 1 == devices.size() || devices[i + 1]->family != devices[i]->family) {
            text += std::string(", ") + devices[i]->family->name;
        }
    }
    return text;
}

std::string idcode_text(uint32_t idcode)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", idcode);
    const std::string devices = devices_text(idcode);
    return hex + (devices.empty() ? std::string(" (a device not in the table)") : " (" + devices + ")");
}

const FpgaDevice* device_of_part(const char* part)
{
    // The part adds the package and speed grade to the device name
    // ("3s200pq208", "xc7a100tcsg324-1"): the longest device name it starts
    // with is its device.
    const FpgaDevice* best = nullptr;
    size_t best_length = 0;
    const std::string wanted = bare_name(part);
    for (const FpgaDevice& device : DEVICES) {
        const std::string name = bare_name(device.name);
        // A digit after the name continues a longer device's number
        // ("3s2000fg676" is no xc3s200).
        const bool continued = wanted.size() > name.size() &&
                               std::isdigit(static_cast<unsigned char>(wanted[name.size()]));
        if (wanted.compare(0, name.size(), name) == 0 && !continued && name.size() > best_length) {
            best = &device;
            best_length = name.size();
        }
    }
    return best;
}

std::vector<const FpgaDevice*> devices_near(const char* part, size_t count)
{
    const std::string wanted = bare_name(part);
    std::vector<const FpgaDevice*> near;
    for (const FpgaDevice& device : DEVICES) {
        near.push_back(&device);
    }
    std::stable_sort(near.begin(), near.end(), [&wanted](const FpgaDevice* a, const FpgaDevice* b) {
        return shared_start(wanted, bare_name(a->name)) > shared_start(wanted, bare_name(b->name));
    });
    near.resize(std::min(count, near.size()));
    return near;
}

}  // namespace bitstream
