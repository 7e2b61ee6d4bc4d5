// Finding devices, whatever method then reaches them: the device folders are
// named by location (DDDD:BB:SS.F) and hold the identity files; cards are
// counted in location order, so card n is the same card on every path.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

bool parse_location(const std::string& name, PLX_DEVICE_KEY* key)
{
    unsigned domain = 0, bus = 0, slot = 0, function = 0;
    int used = 0;
    if (std::sscanf(name.c_str(), "%x:%x:%x.%x%n", &domain, &bus, &slot, &function, &used) != 4 ||
        static_cast<size_t>(used) != name.size() || domain > 0xFFFF || bus > 0xFF || slot > 0x1F ||
        function > 7) {
        return false;
    }
    key->domain = static_cast<uint16_t>(domain);
    key->bus = static_cast<uint8_t>(bus);
    key->slot = static_cast<uint8_t>(slot);
    key->function = static_cast<uint8_t>(function);
    return true;
}

// What `key` asks of a device's location alone.
PLX_DEVICE_KEY location_asked(const PLX_DEVICE_KEY& key)
{
    PLX_DEVICE_KEY location = PLX_ANY_DEVICE;
    location.domain = key.domain;
    location.bus = key.bus;
    location.slot = key.slot;
    location.function = key.function;
    return location;
}

// A device's identity file (vendor and the like): one hexadecimal number up
// to 0xFFFF. False when the file cannot be opened or read, or holds no such
// number.
bool read_id(const std::string& path, uint16_t* id)
{
    Fd fd(open_file(path, O_RDONLY));
    std::string text;
    if (!fd.ok() || !read_text(fd.get(), &text)) {
        return false;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (end == text.c_str() || value > 0xFFFF) {
        return false;
    }
    *id = static_cast<uint16_t>(value);
    return true;
}

// The device folders whose names are locations that `want` matches, in
// location order, their identity not read yet (all ones).
std::vector<FoundDevice> devices_at_location(const PLX_DEVICE_KEY& want)
{
    const PLX_DEVICE_KEY location = location_asked(want);
    // The folder lists devices in no particular order; the card numbers
    // count them by location, which their names give.
    std::vector<FoundDevice> candidates;
    std::error_code error;
    std::filesystem::directory_iterator entry(backend_state().devices_folder, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        FoundDevice device;
        device.path = entry->path().string();
        device.key = PLX_ANY_DEVICE;
        if (parse_location(entry->path().filename().string(), &device.key) &&
            plx_key_matches(location, device.key)) {
            candidates.push_back(std::move(device));
        }
    }
    auto by_location = [](const FoundDevice& a, const FoundDevice& b) {
        return std::tie(a.key.domain, a.key.bus, a.key.slot, a.key.function) <
               std::tie(b.key.domain, b.key.bus, b.key.slot, b.key.function);
    };
    std::sort(candidates.begin(), candidates.end(), by_location);
    return candidates;
}

// Reads the device's identity into its key, and says whether it is the one
// `want` names. The files are read only as far as it takes to tell a device
// is not wanted, so a bus of a few dozen devices is scanned quickly.
bool identity_matches(FoundDevice* device, const PLX_DEVICE_KEY& want)
{
    const struct {
        const char* file;
        uint16_t PLX_DEVICE_KEY::*id;
    } ids[] = {{"/vendor", &PLX_DEVICE_KEY::vendor_id},
               {"/device", &PLX_DEVICE_KEY::device_id},
               {"/subsystem_vendor", &PLX_DEVICE_KEY::subsystem_vendor_id},
               {"/subsystem_device", &PLX_DEVICE_KEY::subsystem_device_id}};
    // What `want` asks of the fields read so far.
    PLX_DEVICE_KEY asked = location_asked(want);
    for (const auto& id : ids) {
        // Anything that is not a readable device folder is passed over.
        if (!read_id(device->path + id.file, &(device->key.*id.id))) {
            return false;
        }
        asked.*id.id = want.*id.id;
        if (!plx_key_matches(asked, device->key)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<FoundDevice> find_devices(const PLX_DEVICE_KEY* wanted)
{
    const PLX_DEVICE_KEY& want = wanted ? *wanted : PLX_ANY_DEVICE;

    std::vector<FoundDevice> devices;
    for (FoundDevice& device : devices_at_location(want)) {
        if (identity_matches(&device, want)) {
            devices.push_back(std::move(device));
        }
    }
    return devices;
}

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    if (key == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    const std::vector<FoundDevice> devices = find_devices(key);
    if (device_number >= devices.size()) {
        return PLX_STATUS_NO_DEVICE;
    }
    *key = devices[device_number].key;
    return PLX_STATUS_SUCCESS;
}

}  // namespace plx_linux
