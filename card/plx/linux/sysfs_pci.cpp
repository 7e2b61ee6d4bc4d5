#include "sysfs_pci.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

namespace plx_linux {

namespace {

constexpr uint16_t COMMAND_REGISTER = 0x04;
constexpr uint16_t IO_DECODE = 0x0001;      // command register bit 0: I/O space
constexpr uint16_t MEMORY_DECODE = 0x0002;  // bit 1: memory space
constexpr size_t BAR_COUNT = 6;           // resource lines after these: ROM, bridge windows
constexpr size_t MAX_TEXT = 65536;        // more than any attribute file holds

// A file descriptor, closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

// What a failed system call says, in the card layer's terms.
PLX_STATUS errno_status(int error)
{
    switch (error) {
    case EPERM:
    case EACCES:
        return PLX_STATUS_ACCESS_DENIED;  // file modes, or kernel lockdown
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        return PLX_STATUS_IO_ERROR;  // the device or its file is gone
    default:
        return PLX_STATUS_FAILED;
    }
}

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

bool location_matches(const PLX_DEVICE_KEY& wanted, const PLX_DEVICE_KEY& actual)
{
    auto field = [](unsigned want, unsigned any, unsigned have) {
        return want == any || want == have;
    };
    return field(wanted.domain, PLX_KEY_ANY_16, actual.domain) &&
           field(wanted.bus, PLX_KEY_ANY_8, actual.bus) &&
           field(wanted.slot, PLX_KEY_ANY_8, actual.slot) &&
           field(wanted.function, PLX_KEY_ANY_8, actual.function);
}

bool same_location(const PLX_DEVICE_KEY& a, const PLX_DEVICE_KEY& b)
{
    return a.domain == b.domain && a.bus == b.bus && a.slot == b.slot && a.function == b.function;
}

bool read_command(int config_fd, uint16_t* command)
{
    uint8_t bytes[2];
    if (pread(config_fd, bytes, sizeof bytes, COMMAND_REGISTER) != sizeof bytes) {
        return false;
    }
    *command = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return true;
}

// The whole of a small text file; false when it cannot be read.
bool read_text(int fd, std::string* text)
{
    text->clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            return false;
        }
        if (got == 0 || text->size() > MAX_TEXT) {
            return true;
        }
        text->append(chunk, static_cast<size_t>(got));
    }
}

struct Bar {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t flags = 0;
    bool is_io() const { return (flags & 0x100) != 0 && end > start; }
    bool is_memory() const { return (flags & 0x200) != 0 && end > start; }
};

struct Device {
    std::string path;
    PLX_DEVICE_KEY key;  // location and identity, every field filled in
};

struct OpenDevice {
    struct Mapping {
        Fd fd;
        void* base;    // as mmap returned it: page-aligned
        size_t length;
        volatile uint8_t* va;  // what the caller was given
    };

    std::string path;
    PLX_DEVICE_KEY key{};
    Fd config;
    Fd lock;  // the register BAR's resource file, read-write, exclusively flocked
    std::vector<Bar> bars;
    std::vector<Mapping> mappings;

    ~OpenDevice()
    {
        for (const Mapping& mapping : mappings) {
            munmap(mapping.base, mapping.length);
        }
    }
};

// What the backend holds: where the device folders are, and the devices it
// has opened (a device object's handle is its index here).
struct State {
    std::string root = "/sys/bus/pci/devices";
    std::vector<std::unique_ptr<OpenDevice>> open;
};

State& state()
{
    static State instance;
    return instance;
}

int open_file(const std::string& path, int flags)
{
    if (file_hook) {
        const int error = file_hook(path);
        if (error != 0) {
            errno = error;
            return -1;
        }
    }
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

// The devices that match `wanted` (all when null), in location order, with
// their identity read.
std::vector<Device> scan(const PLX_DEVICE_KEY* wanted = nullptr)
{
    auto read_id = [](const std::string& path, uint16_t* id) {
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
    };

    PLX_DEVICE_KEY any;
    std::memset(&any, 0xFF, sizeof any);
    const PLX_DEVICE_KEY& want = wanted ? *wanted : any;

    // The folder lists devices in no particular order; the card numbers
    // count them by location, which their names give.
    std::vector<Device> candidates;
    std::error_code error;
    std::filesystem::directory_iterator entry(state().root, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        Device device;
        device.path = entry->path().string();
        device.key = any;
        if (parse_location(entry->path().filename().string(), &device.key) &&
            location_matches(want, device.key)) {
            candidates.push_back(std::move(device));
        }
    }
    std::sort(candidates.begin(), candidates.end(), [](const Device& a, const Device& b) {
        return std::tie(a.key.domain, a.key.bus, a.key.slot, a.key.function) <
               std::tie(b.key.domain, b.key.bus, b.key.slot, b.key.function);
    });

    // Identity files are read only as far as it takes to tell a device is
    // not wanted, so a bus of a few dozen devices is scanned quickly.
    std::vector<Device> devices;
    for (Device& device : candidates) {
        const struct {
            const char* file;
            uint16_t* id;
            uint16_t wanted;
        } ids[] = {{"/vendor", &device.key.vendor_id, want.vendor_id},
                   {"/device", &device.key.device_id, want.device_id},
                   {"/subsystem_vendor", &device.key.subsystem_vendor_id, want.subsystem_vendor_id},
                   {"/subsystem_device", &device.key.subsystem_device_id, want.subsystem_device_id}};
        bool wanted_device = true;
        for (const auto& id : ids) {
            // Anything that is not a readable device folder is passed over.
            if (!read_id(device.path + id.file, id.id) ||
                (id.wanted != PLX_KEY_ANY_16 && *id.id != id.wanted)) {
                wanted_device = false;
                break;
            }
        }
        if (wanted_device) {
            devices.push_back(std::move(device));
        }
    }
    return devices;
}

OpenDevice* opened(const PLX_DEVICE_OBJECT* device)
{
    if (device == nullptr || device->open_tag != PLX_DEVICE_OPEN_TAG || device->handle < 0 ||
        static_cast<size_t>(device->handle) >= state().open.size()) {
        return nullptr;
    }
    OpenDevice* open = state().open[static_cast<size_t>(device->handle)].get();
    return open != nullptr && same_location(open->key, device->key) ? open : nullptr;
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
    if (!read_command(open.config.get(), &command)) {
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
    if (count != "0\n" && count != "0") {
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
    if (!read_command(open.config.get(), &command) || (command & needed) != needed) {
        return PLX_STATUS_FAILED;
    }
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    if (key == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    const std::vector<Device> devices = scan(key);
    if (device_number >= devices.size()) {
        return PLX_STATUS_NO_DEVICE;
    }
    *key = devices[device_number].key;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    if (key == nullptr || device == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    // The key as the search filled it in names one location: only that
    // device's files are read.
    const std::vector<Device> devices = scan(key);
    if (devices.empty()) {
        return PLX_STATUS_NO_DEVICE;
    }
    const auto found = devices.begin();
    // Every early return below drops `open`, closing its files and so
    // releasing the lock.
    auto open = std::make_unique<OpenDevice>();
    open->path = found->path;
    open->key = found->key;

    open->config = Fd(open_file(open->path + "/config", O_RDONLY));
    if (!open->config.ok()) {
        return errno_status(errno);
    }

    Fd resource(open_file(open->path + "/resource", O_RDONLY));
    std::string table;
    if (!resource.ok() || !read_text(resource.get(), &table)) {
        return errno_status(errno);
    }
    for (size_t at = 0; at < table.size();) {
        const size_t end = std::min(table.find('\n', at), table.size());
        unsigned long long start = 0, last = 0, flags = 0;
        if (std::sscanf(table.substr(at, end - at).c_str(), "%llx %llx %llx", &start, &last,
                        &flags) != 3) {
            return PLX_STATUS_FAILED;
        }
        open->bars.push_back(Bar{start, last, flags});
        at = end + 1;
    }

    // The lock is on a file that only those who may program the card can
    // open read-write: the resource file of its register block (the first
    // I/O BAR, or the first memory BAR of a device without one). Any user
    // can open and flock config, so a lock there would let anyone block the
    // card.
    const int lock_bar = lock_bar_index(open->bars);
    if (lock_bar < 0) {
        return PLX_STATUS_INVALID_BAR;
    }
    open->lock = Fd(open_file(open->path + "/resource" + std::to_string(lock_bar), O_RDWR));
    if (!open->lock.ok()) {
        return errno_status(errno);
    }
    if (flock(open->lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? PLX_STATUS_BUSY : errno_status(errno);
    }

    const PLX_STATUS decoding = switch_decoding_on(*open);
    if (decoding != PLX_STATUS_SUCCESS) {
        return decoding;
    }

    auto& devices_open = state().open;
    auto slot = std::find(devices_open.begin(), devices_open.end(), nullptr);
    if (slot == devices_open.end()) {
        slot = devices_open.insert(devices_open.end(), nullptr);
    }
    device->open_tag = PLX_DEVICE_OPEN_TAG;
    device->key = open->key;
    device->handle = static_cast<int32_t>(slot - devices_open.begin());
    *slot = std::move(open);
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS read_config_register(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                uint32_t* value)
{
    // There is no domain here: an open device at this location comes first,
    // then the first one in domain order.
    int fd = -1;
    for (const auto& open : state().open) {
        if (open && open->key.bus == bus && open->key.slot == slot &&
            open->key.function == function) {
            fd = open->config.get();
            break;
        }
    }
    Fd own;
    if (fd < 0) {
        PLX_DEVICE_KEY location;
        std::memset(&location, 0xFF, sizeof location);
        location.bus = bus;
        location.slot = slot;
        location.function = function;
        const std::vector<Device> devices = scan(&location);
        if (!devices.empty()) {
            own = Fd(open_file(devices.front().path + "/config", O_RDONLY));
            if (!own.ok()) {
                return errno_status(errno);
            }
            fd = own.get();
        }
    }
    if (fd < 0) {
        return PLX_STATUS_NO_DEVICE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || offset % 4 != 0 || offset >= info.st_size) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    uint8_t bytes[4];
    if (pread(fd, bytes, sizeof bytes, offset) != sizeof bytes) {
        return PLX_STATUS_IO_ERROR;
    }
    *value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
             uint32_t{bytes[3]} << 24;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    OpenDevice* open = opened(device);
    if (open == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (bar_index >= std::min(BAR_COUNT, open->bars.size()) ||
        !open->bars[bar_index].is_memory()) {
        return PLX_STATUS_INVALID_BAR;
    }
    // Not resourceN_wc: write combining could merge the repeated stores to
    // the data port into one.
    Fd fd(open_file(open->path + "/resource" + std::to_string(bar_index), O_RDWR));
    struct stat info;
    if (!fd.ok() || fstat(fd.get(), &info) != 0) {
        return errno_status(errno);
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = std::max(static_cast<size_t>(info.st_size), page);
    const size_t length = (size + page - 1) / page * page;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        return errno_status(errno);
    }
    // The mapping starts at the page that holds the BAR's first byte.
    *va = static_cast<volatile uint8_t*>(base) + (open->bars[bar_index].start & (page - 1));
    open->mappings.push_back({std::move(fd), base, length, *va});
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    OpenDevice* open = opened(device);
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

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    if (opened(device) == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    state().open[static_cast<size_t>(device->handle)].reset();  // unmaps, closes, unlocks
    device->open_tag = 0;
    return PLX_STATUS_SUCCESS;
}

// One I/O-port access: a write of `source`, or else a read into `target`.
PLX_STATUS port_access(PLX_DEVICE_OBJECT* device, uint64_t port, const void* source,
                                 void* target, uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    const bool write = source != nullptr;
    if (source == nullptr && target == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    OpenDevice* open = opened(device);
    if (open == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    const uint32_t width = access == PLX_ACCESS_8_BIT    ? 1
                           : access == PLX_ACCESS_16_BIT ? 2
                           : access == PLX_ACCESS_32_BIT ? 4
                                                         : 0;
    if (width == 0 || byte_count != width) {
        return PLX_STATUS_INVALID_ACCESS;
    }
    size_t index = 0;
    for (; index < std::min(BAR_COUNT, open->bars.size()); ++index) {
        const Bar& bar = open->bars[index];
        if (bar.is_io() && port >= bar.start && port <= bar.end &&
            byte_count - 1 <= bar.end - port) {
            break;
        }
    }
    if (index == std::min(BAR_COUNT, open->bars.size())) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    // Opened for each access, so a card that has gone away is noticed at once.
    Fd fd(open_file(open->path + "/resource" + std::to_string(index), write ? O_WRONLY : O_RDONLY));
    if (!fd.ok()) {
        return errno_status(errno);
    }
    // The kernel cuts short an access that runs past the end of the file,
    // and does the shorter one: a 4-byte write two bytes before the end
    // would reach the card as a 2-byte write. So the access must fit the
    // file as it is now, not only the BAR as it was at open.
    const off_t offset = static_cast<off_t>(port - open->bars[index].start);
    struct stat info;
    if (fstat(fd.get(), &info) != 0) {
        return errno_status(errno);
    }
    if (offset + static_cast<off_t>(byte_count) > info.st_size) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    uint8_t bytes[4];
    ssize_t done;
    if (write) {
        std::memcpy(bytes, source, byte_count);
        done = pwrite(fd.get(), bytes, byte_count, offset);
    } else {
        done = pread(fd.get(), bytes, byte_count, offset);
    }
    if (done < 0) {
        return errno_status(errno);
    }
    if (static_cast<uint32_t>(done) != byte_count) {
        return PLX_STATUS_IO_ERROR;
    }
    if (!write) {
        std::memcpy(target, bytes, byte_count);
    }
    return PLX_STATUS_SUCCESS;
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

// The callers are C-style code: nothing may be thrown at them (a failed
// allocation, say), so any exception becomes a plain failure.
template <auto operation>
struct Guarded;

template <typename... Args, PLX_STATUS (*operation)(Args...)>
struct Guarded<operation> {
    static PLX_STATUS call(Args... args) noexcept
    {
        try {
            return operation(args...);
        } catch (...) {
            return PLX_STATUS_FAILED;
        }
    }
};

uint32_t pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                           PLX_STATUS* status)
{
    uint32_t value = 0xFFFFFFFF;  // what a read of nothing returns on PCI
    const PLX_STATUS result =
        Guarded<read_config_register>::call(bus, slot, function, offset, &value);
    if (status != nullptr) {
        *status = result;
    }
    return result == PLX_STATUS_SUCCESS ? value : 0xFFFFFFFF;
}

}  // namespace

std::function<int(const std::string& path)> file_hook;

void use_root(const std::string& root)
{
    state().open.clear();
    state().root = root;
}

}  // namespace plx_linux

const PlxBackend plx_sysfs_backend = {
    "sysfs",
    plx_linux::Guarded<plx_linux::device_find>::call,
    plx_linux::Guarded<plx_linux::device_open>::call,
    plx_linux::pci_register_read,
    plx_linux::Guarded<plx_linux::pci_bar_map>::call,
    plx_linux::Guarded<plx_linux::pci_bar_unmap>::call,
    plx_linux::Guarded<plx_linux::device_close>::call,
    plx_linux::Guarded<plx_linux::io_port_read>::call,
    plx_linux::Guarded<plx_linux::io_port_write>::call,
};
