// What every access method shares of a device: its BAR table read, its
// method chosen; opening and closing it; reading its configuration space;
// the checks of a mapping and of an I/O port access before the method does
// it, and undoing a mapping.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "card/plx/card_registers.h"
#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

// The BAR table of a device's resource file: one line per BAR (and, after
// them, the ROM and bridge windows), each its start, end and flags in hex.
// False when a line is not of that form.
bool parse_bar_table(const std::string& table, std::vector<Bar>* bars)
{
    for (size_t at = 0; at < table.size();) {
        const size_t end = std::min(table.find('\n', at), table.size());
        unsigned long long start = 0, last = 0, flags = 0;
        if (std::sscanf(table.substr(at, end - at).c_str(), "%llx %llx %llx", &start, &last,
                        &flags) != 3) {
            return false;
        }
        bars->push_back(Bar{start, last, flags});
        at = end + 1;
    }
    return true;
}

// Keeps `open` among the open devices, in the first free place, and makes
// `device` stand for it: its handle is that place.
void keep_open(std::unique_ptr<OpenDevice> open, PLX_DEVICE_OBJECT* device)
{
    auto& open_devices = backend_state().open_devices;
    auto place = std::find(open_devices.begin(), open_devices.end(), nullptr);
    if (place == open_devices.end()) {
        place = open_devices.insert(open_devices.end(), nullptr);
    }
    device->open_tag = PLX_DEVICE_OPEN_TAG;
    device->key = open->key;
    device->handle = static_cast<int32_t>(place - open_devices.begin());
    *place = std::move(open);
}

// The bytes an access type moves; 0 for a type that is not allowed.
uint32_t access_width(PLX_ACCESS_TYPE access)
{
    return access == PLX_ACCESS_8_BIT    ? 1
           : access == PLX_ACCESS_16_BIT ? 2
           : access == PLX_ACCESS_32_BIT ? 4
                                         : 0;
}

// The index of the first I/O BAR that holds all byte_count bytes from
// `port`; -1 for none.
int io_bar_holding(const OpenDevice& open, uint64_t port, uint32_t byte_count)
{
    for (size_t index = 0; index < std::min(BAR_COUNT, open.bars.size()); ++index) {
        const Bar& bar = open.bars[index];
        if (bar.is_io() && port >= bar.start && port <= bar.end &&
            byte_count - 1 <= bar.end - port) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

// One I/O-port access of an open device.
PLX_STATUS port_access(PLX_DEVICE_OBJECT* device, uint64_t port, const void* source,
                       void* target, uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    if (source == nullptr && target == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    const OpenDevice* open = find_open_device(device);
    if (open == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    return port_transfer(*open, port, source, target, byte_count, access);
}

}  // namespace

OpenDevice::~OpenDevice()
{
    for (const Mapping& mapping : mappings) {
        munmap(mapping.base, mapping.length);
    }
}

const AccessMethod& access_method_of(const std::string& path)
{
    const std::string driver = link_name(path + "/driver");
    for (const AccessMethod* method : ACCESS_METHODS) {
        if (method->driver == nullptr || driver == method->driver) {
            return *method;
        }
    }
    return *ACCESS_METHODS[std::size(ACCESS_METHODS) - 1];
}

PLX_STATUS read_device(const FoundDevice& found, OpenDevice* open)
{
    open->path = found.path;
    open->key = found.key;
    open->method = &access_method_of(found.path);
    open->config = Fd(open_file(open->path + "/config", O_RDONLY));
    struct stat info;
    if (!open->config.ok() || fstat(open->config.get(), &info) != 0) {
        return errno_status(errno);
    }
    open->config_size = static_cast<uint64_t>(info.st_size);
    Fd resource(open_file(open->path + "/resource", O_RDONLY));
    std::string table;
    if (!resource.ok() || !read_text(resource.get(), &table)) {
        return errno_status(errno);
    }
    return parse_bar_table(table, &open->bars) ? PLX_STATUS_SUCCESS : PLX_STATUS_FAILED;
}

bool has_data_window(const OpenDevice& device)
{
    return device.bars.size() > DATA_WINDOW_BAR && device.bars[DATA_WINDOW_BAR].is_memory();
}

OpenDevice* find_open_device(const PLX_DEVICE_OBJECT* device)
{
    // A closed device's entry is gone.
    return plx_open_entry(device, backend_state().open_devices,
                          [](const OpenDevice& open) { return &open.key; });
}

PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    if (key == nullptr || device == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    // The key as the search filled it in names one location: only that
    // device's files are read.
    const std::vector<FoundDevice> devices = find_devices(key);
    if (devices.empty()) {
        return PLX_STATUS_NO_DEVICE;
    }
    // Every early return below drops `open`, closing its files and so
    // releasing whatever its method holds.
    auto open = std::make_unique<OpenDevice>();
    const PLX_STATUS read = read_device(devices.front(), open.get());
    if (read != PLX_STATUS_SUCCESS) {
        return read;
    }
    const PLX_STATUS opened = open->method->open(open.get());
    if (opened != PLX_STATUS_SUCCESS) {
        return opened;
    }
    keep_open(std::move(open), device);
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    if (find_open_device(device) == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    // Unmaps, closes and so lets go of the device.
    backend_state().open_devices[static_cast<size_t>(device->handle)].reset();
    device->open_tag = 0;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS read_config_register(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                uint32_t* value)
{
    // There is no domain here: an open device at this location comes first,
    // then the first one in domain order.
    PLX_DEVICE_KEY location = PLX_ANY_DEVICE;
    location.bus = bus;
    location.slot = slot;
    location.function = function;
    int fd = -1;
    off_t base = 0;
    uint64_t size = 0;
    for (const auto& open : backend_state().open_devices) {
        if (open && plx_key_matches(location, open->key)) {
            fd = open->config.get();
            base = open->config_offset;
            size = open->config_size;
            break;
        }
    }
    Fd config_opened_here;
    if (fd < 0) {
        const std::vector<FoundDevice> devices = find_devices(&location);
        if (!devices.empty()) {
            config_opened_here = Fd(open_file(devices.front().path + "/config", O_RDONLY));
            if (!config_opened_here.ok()) {
                return errno_status(errno);
            }
            fd = config_opened_here.get();
            struct stat info;
            size = fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
        }
    }
    if (fd < 0) {
        return PLX_STATUS_NO_DEVICE;
    }
    if (offset % 4 != 0 || offset >= size) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    uint8_t bytes[4];
    if (pread(fd, bytes, sizeof bytes, base + offset) != sizeof bytes) {
        return PLX_STATUS_IO_ERROR;
    }
    *value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
             uint32_t{bytes[3]} << 24;
    return PLX_STATUS_SUCCESS;
}

// ---------------------------------------------------------------- mapping

PLX_STATUS map_pages(int fd, off_t offset, size_t size, size_t first_byte,
                     OpenDevice::Mapping* mapping)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t length = std::max((size + page - 1) / page * page, page);
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (base == MAP_FAILED) {
        return errno_status(errno);
    }
    mapping->base = base;
    mapping->length = length;
    mapping->va = static_cast<volatile uint8_t*>(base) + first_byte;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    OpenDevice* open = find_open_device(device);
    if (open == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (bar_index >= std::min(BAR_COUNT, open->bars.size()) ||
        !open->bars[bar_index].is_memory()) {
        return PLX_STATUS_INVALID_BAR;
    }
    OpenDevice::Mapping mapping;
    const PLX_STATUS mapped = open->method->map(open, bar_index, &mapping);
    if (mapped != PLX_STATUS_SUCCESS) {
        return mapped;
    }
    *va = mapping.va;
    open->mappings.push_back(std::move(mapping));
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    OpenDevice* open = find_open_device(device);
    if (open == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    const auto mapping =
        std::find_if(open->mappings.begin(), open->mappings.end(),
                     [va](const OpenDevice::Mapping& m) { return m.va == *va; });
    if (mapping == open->mappings.end()) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    const bool unmapped = munmap(mapping->base, mapping->length) == 0;
    open->mappings.erase(mapping);  // closes its file
    *va = nullptr;
    return unmapped ? PLX_STATUS_SUCCESS : PLX_STATUS_FAILED;
}

// ---------------------------------------------------------------- I/O ports

PLX_STATUS port_transfer(const OpenDevice& open, uint64_t port, const void* source, void* target,
                         uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    const uint32_t width = access_width(access);
    if (width == 0 || byte_count != width) {
        return PLX_STATUS_INVALID_ACCESS;
    }
    const int index = io_bar_holding(open, port, byte_count);
    if (index < 0) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    const Bar& bar = open.bars[static_cast<size_t>(index)];
    return open.method->port_transfer(open, static_cast<size_t>(index),
                                      static_cast<off_t>(port - bar.start), source, target,
                                      byte_count);
}

PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                        uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return port_access(device, port, nullptr, buffer, byte_count, access);
}

PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                         uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    return port_access(device, port, buffer, nullptr, byte_count, access);
}

}  // namespace plx_linux
