// What the files of the Linux backend share among themselves. Only the files
// of card/plx/linux/ include this header; the rest of the program sees the
// backend through linux_pci.h.
//
//   device_files.cpp   file descriptors, device files, errno as status
//   device_search.cpp  the device folders: names, identity, location order
//   open_devices.cpp   what every method shares: the BAR table, open and
//                      close, configuration reads, mappings, I/O port checks
//   device_survey.cpp  what a listing finds of a device without opening it
//   access_sysfs.cpp   the sysfs access method
//   access_vfio.cpp    the VFIO access method
//   linux_pci.cpp      the backend's state and its table of operations
//
// An access method is a file that ends in its table (AccessMethod below);
// ACCESS_METHODS lists them.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/plx/linux/linux_pci.h"
#include "card/plx/plx_api.h"

namespace plx_linux {

constexpr size_t BAR_COUNT = 6;  // resource lines after these: ROM, bridge windows

// ---------------------------------------------------------------- files

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

// Opens a device file, close-on-exec.
int open_file(const std::string& path, int flags);

// The whole of a small text file; false when it cannot be read.
bool read_text(int fd, std::string* text);

// The whole of the small text file at `path`; "" when it cannot be read.
std::string text_of(const std::string& path);

// The last part of where a symbolic link points ("vfio-pci" for a device's
// driver link), or "" when it is no link.
std::string link_name(const std::string& link);

// The last part of a path: a device folder's location ("0000:04:00.0").
inline std::string base_name(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// One pwrite of `source`, or else one pread into `target`, of byte_count
// bytes (at most 4) at `offset` of the open file `fd`; a short transfer is
// an I/O error.
PLX_STATUS file_transfer(int fd, off_t offset, const void* source, void* target,
                         uint32_t byte_count);

// ---------------------------------------------------------------- devices

// One line of a device's resource file: a BAR's first and last address and
// its flags (0x100: I/O space, 0x200: memory); an unused BAR is all zeros.
struct Bar {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t flags = 0;
    bool is_io() const { return (flags & 0x100) != 0 && end > start; }
    bool is_memory() const { return (flags & 0x200) != 0 && end > start; }
};

// A device folder the search found.
struct FoundDevice {
    std::string path;
    PLX_DEVICE_KEY key;  // location and identity, every field filled in
};

struct AccessMethod;

// What an access method keeps of a device it has opened: its own type, in
// its own file.
struct MethodHold {
    virtual ~MethodHold() = default;
};

// A device as read_device reads it (location, access method, configuration
// space, BAR table) and, once opened, what this process holds of it. Its
// configuration space is read at config_offset of `config`.
struct OpenDevice {
    struct Mapping {
        Fd fd;                           // the file mapped, kept open with it (or none)
        void* base = nullptr;            // as mmap returned it: page-aligned
        size_t length = 0;
        volatile uint8_t* va = nullptr;  // what the caller was given
    };

    std::string path;
    PLX_DEVICE_KEY key{};
    const AccessMethod* method = nullptr;  // the one that reaches it
    Fd config;
    off_t config_offset = 0;
    uint64_t config_size = 0;
    std::vector<Bar> bars;
    std::unique_ptr<MethodHold> hold;  // once opened: the method's
    std::vector<Mapping> mappings;

    ~OpenDevice();
};

// What the backend holds: where the device folders are, and the devices it
// has opened (a device object's handle is its index here).
struct BackendState {
    std::string devices_folder = "/sys/bus/pci/devices";
    std::string lockdown_file = "/sys/kernel/security/lockdown";
    std::vector<std::unique_ptr<OpenDevice>> open_devices;
};

BackendState& backend_state();

// ---------------------------------------------------------------- access methods

// How a device is reached: opened, its memory BARs mapped, its I/O BARs read
// and written, and what a listing finds on that path. Each method is a file
// that ends in one of these.
struct AccessMethod {
    const char* name;    // the path a listing shows: "sysfs", "vfio"
    const char* driver;  // the driver bound to a device it reaches; null: any other, or none

    // Takes hold of the device read_device has read, or PLX_STATUS_BUSY
    // while another process holds it; makes it ready for the others.
    PLX_STATUS (*open)(OpenDevice* device);

    // Maps the memory BAR `bar_index` (known to be one) of the open device
    // into `mapping`.
    PLX_STATUS (*map)(OpenDevice* device, uint8_t bar_index, OpenDevice::Mapping* mapping);

    // One access of byte_count bytes at `offset` of the I/O BAR `bar_index`
    // (all of them inside it): a write of `source`, or else a read into
    // `target`. Also asked of a device that was read but not opened (a
    // listing's register read).
    PLX_STATUS (*port_transfer)(const OpenDevice& device, size_t bar_index, off_t offset,
                                const void* source, void* target, uint32_t byte_count);

    // For a listing, of a device read but not opened: when this is the
    // device's method (`chosen`), what keeps a program from it on this
    // path; and what the method lacks for the device.
    void (*survey)(const OpenDevice& device, bool chosen, PLX_DEVICE_SURVEY* survey);
};

extern const AccessMethod SYSFS_ACCESS;
extern const AccessMethod VFIO_ACCESS;

// The access methods, each device taking the first whose driver is the one
// bound to it; the last, whose driver is null, takes the rest.
inline const AccessMethod* const ACCESS_METHODS[] = {&VFIO_ACCESS, &SYSFS_ACCESS};

// The access method of the device in the folder `path`.
const AccessMethod& access_method_of(const std::string& path);

// ---------------------------------------------------------------- finding

// The devices that match `wanted` (all when null), in location order, with
// their identity read.
std::vector<FoundDevice> find_devices(const PLX_DEVICE_KEY* wanted);

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number);

// ---------------------------------------------------------------- open devices

// The open device `device` stands for, or null when it stands for none.
OpenDevice* find_open_device(const PLX_DEVICE_OBJECT* device);

// What opening a device reads first, into `open`: the found device's
// location and identity, its access method, its config file (opened) and
// its BAR table. Takes no lock and changes nothing.
PLX_STATUS read_device(const FoundDevice& found, OpenDevice* open);

// Maps `size` bytes (whole pages, at least one) of `fd` from `offset`,
// shared and writable, into `mapping`; the caller is given the byte
// `first_byte` into it.
PLX_STATUS map_pages(int fd, off_t offset, size_t size, size_t first_byte,
                     OpenDevice::Mapping* mapping);

// Whether BAR 3, the card's data window, is a memory BAR.
bool has_data_window(const OpenDevice& device);

// One access of the device's I/O BARs, through its access method: a write
// of `source`, or else a read into `target`.
PLX_STATUS port_transfer(const OpenDevice& open, uint64_t port, const void* source, void* target,
                         uint32_t byte_count, PLX_ACCESS_TYPE access);

// The table's operations (PlxBackend in plx_api.h says what each does);
// linux_pci.cpp makes them the table, turning any exception into a failure.
PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);
PLX_STATUS device_close(PLX_DEVICE_OBJECT* device);
PLX_STATUS read_config_register(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                uint32_t* value);
PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);
PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);
PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                        uint32_t byte_count, PLX_ACCESS_TYPE access);
PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                         uint32_t byte_count, PLX_ACCESS_TYPE access);

// ---------------------------------------------------------------- survey

PLX_STATUS device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey);

// What a listing says of a file this user may not open read-write: its
// owner, group and mode, and why (the package's group, the udev rule).
std::string refusal(const std::string& path);

// Notes the device as held by process `pid` (0: not named); `what` leads the
// detail ("/dev/vfio/3 ").
void note_holder(PLX_DEVICE_SURVEY* survey, int pid, const std::string& what);

}  // namespace plx_linux
