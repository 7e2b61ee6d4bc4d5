// The sysfs access method, for a device bound to no driver or to one other
// than vfio-pci: its BARs through its resource files. Opening it locks its
// register block's resource file and switches its decoding on if need be; a
// memory BAR is mapped from its resourceN file, and an I/O BAR's registers
// are read and written there with one pread or pwrite each.
//
// A listing finds, on this path: whether this user may open the files a
// program needs, whether the kernel's lockdown refuses what a program does,
// whether a driver is bound to the device, whether it decodes its BARs, and
// whether another process holds it (and which, as /proc/locks tells).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "card/plx/card_registers.h"
#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

constexpr uint16_t COMMAND_REGISTER = 0x04;
constexpr uint16_t IO_DECODE = 0x0001;      // command register bit 0: I/O space
constexpr uint16_t MEMORY_DECODE = 0x0002;  // bit 1: memory space

std::string resource_file(const OpenDevice& device, int bar_index)
{
    return device.path + "/resource" + std::to_string(bar_index);
}

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

// Whether a device's enable file shows the kernel's enable count at 0.
bool enable_count_is_zero(const std::string& count)
{
    return count == "0\n" || count == "0";
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

// ---------------------------------------------------------------- open

// The lock is on a file that only those who may program the card can open
// read-write: the resource file of its register block (the first I/O BAR,
// or the first memory BAR of a device without one). Any user can open and
// flock config, so a lock there would let anyone block the card. A lock
// someone else holds makes the device busy.
struct SysfsHold : MethodHold {
    Fd locked_file;  // the register BAR's resource file, read-write, exclusively flocked
};

PLX_STATUS lock_register_block(const OpenDevice& open, SysfsHold* hold)
{
    const int lock_bar = lock_bar_index(open.bars);
    if (lock_bar < 0) {
        return PLX_STATUS_INVALID_BAR;
    }
    hold->locked_file = Fd(open_file(resource_file(open, lock_bar), O_RDWR));
    if (!hold->locked_file.ok()) {
        return errno_status(errno);
    }
    if (flock(hold->locked_file.get(), LOCK_EX | LOCK_NB) != 0) {
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

PLX_STATUS sysfs_open(OpenDevice* open)
{
    auto hold = std::make_unique<SysfsHold>();
    const PLX_STATUS locked = lock_register_block(*open, hold.get());
    if (locked != PLX_STATUS_SUCCESS) {
        return locked;
    }
    open->hold = std::move(hold);
    return switch_decoding_on(*open);
}

// ---------------------------------------------------------------- BARs

PLX_STATUS sysfs_map(OpenDevice* open, uint8_t bar_index, OpenDevice::Mapping* mapping)
{
    // Not resourceN_wc: write combining could merge the repeated stores to
    // the data port into one.
    mapping->fd = Fd(open_file(resource_file(*open, bar_index), O_RDWR));
    struct stat info;
    if (!mapping->fd.ok() || fstat(mapping->fd.get(), &info) != 0) {
        return errno_status(errno);
    }
    // The mapping starts at the page that holds the BAR's first byte.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return map_pages(mapping->fd.get(), 0, static_cast<size_t>(info.st_size),
                     open->bars[bar_index].start & (page - 1), mapping);
}

PLX_STATUS sysfs_port_transfer(const OpenDevice& open, size_t bar_index, off_t offset,
                               const void* source, void* target, uint32_t byte_count)
{
    // Opened for each access, so a card that has gone away is noticed at once.
    Fd fd(open_file(resource_file(open, static_cast<int>(bar_index)),
                    source != nullptr ? O_WRONLY : O_RDONLY));
    if (!fd.ok()) {
        return errno_status(errno);
    }
    // The kernel cuts short an access that runs past the end of the file,
    // and does the shorter one: a 4-byte write two bytes before the end
    // would reach the card as a 2-byte write. So the access must fit the
    // file as it is now, not only the BAR as it was at open.
    struct stat info;
    if (fstat(fd.get(), &info) != 0) {
        return errno_status(errno);
    }
    if (offset + static_cast<off_t>(byte_count) > info.st_size) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    return file_transfer(fd.get(), offset, source, target, byte_count);
}

// ---------------------------------------------------------------- survey

// The lockdown mode the kernel shows in brackets ("integrity"); "" when it
// is "none" or the kernel has no lockdown.
std::string lockdown_mode()
{
    const std::string text = text_of(backend_state().lockdown_file);
    const size_t open = text.find('['), close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos) {
        return "";
    }
    const std::string mode = text.substr(open + 1, close - open - 1);
    return mode == "none" ? "" : mode;
}

// Who holds a flock on the file at `path`, as /proc/locks tells: the
// holder's process ID, 0 when the kernel does not say, -1 when nobody does.
int flock_holder(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return -1;
    }
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:16:5678 0 EOF"; a waiter's line
        // has "->" after the number.
        std::istringstream fields(line);
        std::string number, type, advisory, access, where;
        int pid = 0;
        unsigned major_id = 0, minor_id = 0;
        unsigned long long inode = 0;
        if (fields >> number >> type >> advisory >> access >> pid >> where && type == "FLOCK" &&
            std::sscanf(where.c_str(), "%x:%x:%llu", &major_id, &minor_id, &inode) == 3 &&
            major_id == major(info.st_dev) && minor_id == minor(info.st_dev) &&
            inode == info.st_ino) {
            return std::max(pid, 0);
        }
    }
    return -1;
}

// Whether a program run by this user could open the file read-write, as it
// must the register block's and the data window's; noted if not (true).
bool note_permission(const std::string& path, PLX_DEVICE_SURVEY* survey)
{
    if (Fd(open_file(path, O_RDWR)).ok() || (errno != EACCES && errno != EPERM)) {
        return false;
    }
    plx_survey_note(survey, PLX_HINDRANCE_NOT_PERMITTED, "%s", refusal(path).c_str());
    return true;
}

// Decoding the device needs that is off, where a program run by this user
// would not have the kernel switch it on (see switch_decoding_on).
void note_decoding(const OpenDevice& device, PLX_DEVICE_SURVEY* survey)
{
    uint16_t command = 0;
    if (!read_command_register(device, &command)) {
        return;
    }
    const uint16_t off = decode_bits_needed(device.bars) & ~command;
    if (off == 0) {
        return;
    }
    const char* which = off == (IO_DECODE | MEMORY_DECODE) ? "I/O and memory"
                        : off == IO_DECODE                ? "I/O"
                                                          : "memory";
    const std::string count = text_of(device.path + "/enable");
    if (!count.empty() && !enable_count_is_zero(count)) {
        plx_survey_note(survey, PLX_HINDRANCE_DECODING_OFF,
                        "%s decoding is off though the kernel has enabled the card", which);
    } else if (!Fd(open_file(device.path + "/enable", O_WRONLY)).ok()) {
        plx_survey_note(survey, PLX_HINDRANCE_DECODING_OFF,
                        "%s decoding is off: run veltcfg once as root, which has the kernel "
                        "enable the card",
                        which);
    }
}

void sysfs_survey(const OpenDevice& device, bool chosen, PLX_DEVICE_SURVEY* survey)
{
    if (!chosen) {
        return;  // nothing to say of a device bound to vfio-pci
    }
    const std::string location = base_name(device.path);
    const int lock_bar = lock_bar_index(device.bars);
    const std::string lock_file = resource_file(device, lock_bar);
    // One of the two files refused says what there is to say.
    const bool refused = lock_bar >= 0 && note_permission(lock_file, survey);
    if (!refused && has_data_window(device)) {
        note_permission(resource_file(device, DATA_WINDOW_BAR), survey);
    }
    const std::string mode = lockdown_mode();
    if (!mode.empty()) {
        plx_survey_note(survey, PLX_HINDRANCE_LOCKDOWN,
                        "the kernel is locked down (%s): it refuses mapping the card's memory "
                        "and writing its ports through sysfs, even to root",
                        mode.c_str());
    }
    const std::string driver = link_name(device.path + "/driver");
    if (!driver.empty()) {
        plx_survey_note(survey, PLX_HINDRANCE_OTHER_DRIVER,
                        "bound to the kernel driver %s, which may drive the card as well: unbind "
                        "it (echo %s > /sys/bus/pci/drivers/%s/unbind)",
                        driver.c_str(), location.c_str(), driver.c_str());
    }
    note_decoding(device, survey);
    const int holder = lock_bar >= 0 ? flock_holder(lock_file) : -1;
    if (holder >= 0) {
        note_holder(survey, holder, "");
    }
}

}  // namespace

const AccessMethod SYSFS_ACCESS = {
    "sysfs", nullptr, sysfs_open, sysfs_map, sysfs_port_transfer, sysfs_survey,
};

}  // namespace plx_linux
