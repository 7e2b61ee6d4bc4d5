// What the files of the sysfs backend share among themselves. Only the files
// of card/plx/linux/ include this header; the rest of the program sees the
// backend through sysfs_pci.h.
//
//   sysfs_files.cpp  file descriptors, opening device files, errno as status
//   sysfs_find.cpp   the device folders: names, identity, location order
//   sysfs_open.cpp   open (lock, decoding), close, configuration space
//   sysfs_map.cpp    mapping memory BARs
//   sysfs_ports.cpp  I/O port accesses
//   sysfs_vfio.cpp   the VFIO path of a device bound to vfio-pci
//   sysfs_survey.cpp what a listing finds of a device without opening it
//   sysfs_pci.cpp    the backend's state and its table of operations
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/plx/linux/sysfs_pci.h"
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

// A device opened through vfio-pci: the container, the group (which one
// process at a time may open, and so holds the device) and the device's
// descriptor, in whose file each region (a BAR, the configuration space)
// lies at an offset. Closed device first, container last.
struct VfioDevice {
    struct Region {
        uint64_t offset = 0;
        uint64_t size = 0;
        bool mappable = false;
    };
    Fd container, group, device;
    std::vector<Region> regions;  // by index: the six BARs, the ROM, configuration space
};

// A device this process has opened, with what it holds of it. On the VFIO
// path the configuration space is read through the device's descriptor
// (config is a copy of it) at config_offset, and nothing is locked.
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
    off_t config_offset = 0;
    uint64_t config_size = 0;
    Fd locked_file;  // the register BAR's resource file, read-write, exclusively flocked
    std::vector<Bar> bars;
    std::unique_ptr<VfioDevice> vfio;  // on the VFIO path
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

// The table's operations (PlxBackend in plx_api.h says what each does) are
// declared below with the helpers the other files use; sysfs_pci.cpp makes
// them the table, turning any exception into a failure.

// ---------------------------------------------------------------- finding

// The devices that match `wanted` (all when null), in location order, with
// their identity read.
std::vector<FoundDevice> find_devices(const PLX_DEVICE_KEY* wanted);

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number);

// ---------------------------------------------------------------- open devices

constexpr uint16_t IO_DECODE = 0x0001;      // command register bit 0: I/O space
constexpr uint16_t MEMORY_DECODE = 0x0002;  // bit 1: memory space

// The open device `device` stands for, or null when it stands for none.
OpenDevice* find_open_device(const PLX_DEVICE_OBJECT* device);

// What opening a device reads first, into `open`: the found device's
// location and identity, its config file (opened) and its BAR table. Takes
// no lock and changes nothing.
PLX_STATUS read_device(const FoundDevice& found, OpenDevice* open);
bool read_command_register(const OpenDevice& open, uint16_t* command);
// The BAR whose resource file an open device locks; -1 for none.
int lock_bar_index(const std::vector<Bar>& bars);
// The command register bits the device's BARs need (IO_DECODE, MEMORY_DECODE).
uint16_t decode_bits_needed(const std::vector<Bar>& bars);

PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);
PLX_STATUS device_close(PLX_DEVICE_OBJECT* device);
PLX_STATUS read_config_register(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                uint32_t* value);

// ---------------------------------------------------------------- mapping

PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);
PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);

// ---------------------------------------------------------------- I/O ports

// One access of the device's I/O BARs: a write of `source`, or else a read
// into `target`. The device need not be locked.
PLX_STATUS port_transfer(const OpenDevice& open, uint64_t port, const void* source, void* target,
                         uint32_t byte_count, PLX_ACCESS_TYPE access);

PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                        uint32_t byte_count, PLX_ACCESS_TYPE access);
PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                         uint32_t byte_count, PLX_ACCESS_TYPE access);

// ---------------------------------------------------------------- VFIO

// Whether the device at `path` is bound to vfio-pci, and so reached through
// VFIO rather than its resource files.
bool bound_to_vfio(const std::string& path);

// The last part of where a symbolic link points ("vfio-pci" for a device's
// driver link), or "" when it is no link.
std::string link_name(const std::string& link);

// Whether a device's enable file shows the kernel's enable count at 0.
inline bool enable_count_is_zero(const std::string& count)
{
    return count == "0\n" || count == "0";
}

// Opens the device `open` names through VFIO: its group's open takes the
// place of the lock (PLX_STATUS_BUSY while another process holds it), and
// its configuration space is read through the device from then on.
PLX_STATUS vfio_open(OpenDevice* open);

// Maps a memory BAR through its region of the device's descriptor.
PLX_STATUS vfio_map(OpenDevice* open, uint8_t bar_index, volatile uint8_t** va);

// For a listing: how a program would reach the device and, in
// survey->vfio_missing, what VFIO lacks for it (nothing opened or locked).
// The hindrances of the VFIO path are noted too, when it is the device's.
void note_vfio(const OpenDevice& device, PLX_DEVICE_SURVEY* survey);

// ---------------------------------------------------------------- survey

PLX_STATUS device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey);

// What a listing says of a file this user may not open read-write: its
// owner, group and mode, and why (the group veltcfg, the udev rule).
std::string refusal(const std::string& path);

// Notes the device as held by process `pid` (0: not named); `what` leads the
// detail ("/dev/vfio/3 ").
void note_holder(PLX_DEVICE_SURVEY* survey, int pid, const std::string& what);

}  // namespace plx_linux
