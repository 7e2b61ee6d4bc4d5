// Numbers as the tools write them: hexadecimal with a 0x prefix, at least a
// given number of digits; and a PCI address as Linux names a device
// ("0000:04:00.0": domain, bus, slot and function, in hexadecimal).
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

// "0x00E0" for hex_text(0xE0, 4); lower-case digits when `upper` is false.
inline std::string hex_text(uint64_t value, int digits, bool upper = true)
{
    char text[32];
    std::snprintf(text, sizeof text, upper ? "0x%0*" PRIX64 : "0x%0*" PRIx64, digits, value);
    return text;
}

// "0000:04:00.0" for a key (a PLX_DEVICE_KEY, or anything with the four
// location fields).
template <typename Key>
std::string pci_address(const Key& key)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", unsigned{key.domain}, unsigned{key.bus},
                  unsigned{key.slot}, unsigned{key.function});
    return text;
}
