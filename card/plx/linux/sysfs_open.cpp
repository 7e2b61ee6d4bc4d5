// Opening a device: its BAR table read, its register block's resource file
// locked and its decoding switched on if need be, or else, for a device
// bound to vfio-pci, its VFIO group opened (sysfs_vfio.cpp); closing it; and
// reading its configuration space.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "card/plx/linux/sysfs_internal.h"

namespace plx_linux {

namespace {

constexpr uint16_t COMMAND_REGISTER = 0x04;

}  // namespace

bool read_command_register(const OpenDevice& open, uint16_t* command)
{
    uint8_t bytes[2];
    if (pread(open.config.get(), bytes, sizeof bytes, open.config_offset + COMMAND_REGISTER) !=
        sizeof bytes) {
        return false;
    }
    *command = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
}

// The BAR whose resource file an open device locks: the first I/O BAR (a
// PCI9056's register block), else the first memory BAR; -1 for none.
int lock_bar_index(const std::vector<Bar>& bars)
{
    const size_t count = std::min(BAR_COUNT, bars.size());
    for (size_t i = 0; i < count; ++i) {
        if (bars[i].is_io()) {
            return static_cast<int>(i);
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (bars[i].is_memory()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

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

PLX_STATUS read_device(const FoundDevice& found, OpenDevice* open)
{
    open->path = found.path;
    open->key = found.key;
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

// The command register bits the device's BARs need: I/O decoding if it has
// an I/O BAR, memory decoding if it has a memory BAR. The kernel, enabling a
// device, switches on only these.
uint16_t decode_bits_needed(const std::vector<Bar>& bars)
{
    uint16_t bits = 0;
    for (size_t i = 0; i < std::min(BAR_COUNT, bars.size()); ++i) {
        bits |= bars[i].is_io() ? IO_DECODE : bars[i].is_memory() ? MEMORY_DECODE : 0;
    }
    return bits;
}

namespace {

// The lock is on a file that only those who may program the card can open
// read-write: the resource file of its register block (the first I/O BAR,
// or the first memory BAR of a device without one). Any user can open and
// flock config, so a lock there would let anyone block the card. A lock
// someone else holds makes the device busy.
PLX_STATUS lock_register_block(OpenDevice* open)
{
    const int lock_bar = lock_bar_index(open->bars);
    if (lock_bar < 0) {
        return PLX_STATUS_INVALID_BAR;
    }
    const std::string path = open->path + "/resource" + std::to_string(lock_bar);
    open->locked_file = Fd(open_file(path, O_RDWR));
    if (!open->locked_file.ok()) {
        return errno_status(errno);
    }
    if (flock(open->locked_file.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? PLX_STATUS_BUSY : errno_status(errno);
    }
    return PLX_STATUS_SUCCESS;
}

// A device the kernel has not enabled decodes neither its ports nor its
// memory. Writing "1" to enable has the kernel enable it, but each write
// also raises the kernel's enable count (which reading enable shows), and
// once the count is above 0 a further "1" changes nothing. So "1" is written
// only when the count is 0; decoding off at a higher count is someone else's
// doing, and the device is not opened.
PLX_STATUS switch_decoding_on(const OpenDevice& open)
{
    const uint16_t needed = decode_bits_needed(open.bars);
    uint16_t command = 0;
    if (!read_command_register(open, &command)) {
        return PLX_STATUS_IO_ERROR;
    }
    if ((command & needed) == needed) {
        return PLX_STATUS_SUCCESS;
    }
    const std::string enable_path = open.path + "/enable";
    Fd count_file(open_file(enable_path, O_RDONLY));
    std::string count;
    if (!count_file.ok() || !read_text(count_file.get(), &count)) {
        return errno_status(errno);
    }
    if (!enable_count_is_zero(count)) {
        return PLX_STATUS_FAILED;  // enabled, yet not decoding: left as it is
    }
    Fd enable(open_file(enable_path, O_WRONLY));
    if (!enable.ok()) {
        return errno_status(errno);
    }
    const ssize_t wrote = write(enable.get(), "1", 1);
    if (wrote != 1) {
        return wrote < 0 ? errno_status(errno) : PLX_STATUS_IO_ERROR;
    }
    if (!read_command_register(open, &command) || (command & needed) != needed) {
        return PLX_STATUS_FAILED;
    }
    return PLX_STATUS_SUCCESS;
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

}  // namespace

OpenDevice::~OpenDevice()
{
    for (const Mapping& mapping : mappings) {
        munmap(mapping.base, mapping.length);
    }
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
    // releasing the lock.
    auto open = std::make_unique<OpenDevice>();
    const PLX_STATUS read = read_device(devices.front(), open.get());
    if (read != PLX_STATUS_SUCCESS) {
        return read;
    }

    // Bound to vfio-pci, the device is reached through VFIO, which the
    // kernel's lockdown allows; otherwise through its resource files.
    if (bound_to_vfio(open->path)) {
        const PLX_STATUS opened = vfio_open(open.get());
        if (opened != PLX_STATUS_SUCCESS) {
            return opened;
        }
    } else {
        const PLX_STATUS locked = lock_register_block(open.get());
        if (locked != PLX_STATUS_SUCCESS) {
            return locked;
        }
        const PLX_STATUS decoding = switch_decoding_on(*open);
        if (decoding != PLX_STATUS_SUCCESS) {
            return decoding;
        }
    }

    keep_open(std::move(open), device);
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    if (find_open_device(device) == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    // Unmaps, closes and so unlocks.
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

}  // namespace plx_linux
