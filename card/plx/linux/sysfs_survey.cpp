// What a listing finds of a device without opening it: whether this user may
// open the files a program needs, whether the kernel's lockdown refuses what
// a program does, whether a driver is bound to the device, whether it
// decodes its BARs, whether another process holds it (and which, as
// /proc/locks tells), and one read of a register in its I/O BAR. Nothing is
// written, no lock is taken and nothing waits: a listing never stands in the
// way of a program about to open the card.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "card/plx/card_registers.h"
#include "card/plx/linux/sysfs_internal.h"

namespace plx_linux {

namespace {

constexpr const char* GROUP = "veltcfg";  // the package's group (packaging/60-veltcfg.rules)

std::string base_name(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

std::string text_of(const std::string& path)
{
    Fd fd(open_file(path, O_RDONLY));
    std::string text;
    if (!fd.ok() || !read_text(fd.get(), &text)) {
        return "";
    }
    return text;
}

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

bool in_session_groups(gid_t gid)
{
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    return getegid() == gid ||
           std::find(groups.begin(), groups.begin() + std::max(count, 0), gid) !=
               groups.begin() + std::max(count, 0);
}

// Why this user may not open a file of the card's that the package's group
// would be given, and what to do.
std::string why_not_permitted(const struct stat& file)
{
    const struct group* group = getgrnam(GROUP);
    if (group == nullptr) {
        return "there is no group veltcfg here: run as root, or install the package";
    }
    if (file.st_gid != group->gr_gid) {
        return "the udev rule has not given it to group veltcfg: run as root, or apply the rule "
               "(udevadm trigger --action=add --subsystem-match=pci)";
    }
    if (in_session_groups(group->gr_gid)) {
        return "its mode keeps group veltcfg out";
    }
    const struct passwd* user = getpwuid(geteuid());
    for (char** member = group->gr_mem; user != nullptr && *member != nullptr; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0) {
            return "this user joined group veltcfg after logging in: log in again";
        }
    }
    return "this user is not in group veltcfg: as root, usermod -aG veltcfg USER, then log in "
           "again";
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

bool has_data_window(const OpenDevice& device)
{
    return device.bars.size() > DATA_WINDOW_BAR && device.bars[DATA_WINDOW_BAR].is_memory();
}

// What keeps a program from the device on the sysfs path, for a device
// whose files were read.
void note_sysfs_hindrances(const OpenDevice& device, PLX_DEVICE_SURVEY* survey)
{
    const std::string location = base_name(device.path);
    const int lock_bar = lock_bar_index(device.bars);
    const std::string lock_file = device.path + "/resource" + std::to_string(lock_bar);
    // One of the two files refused says what there is to say.
    const bool refused = lock_bar >= 0 && note_permission(lock_file, survey);
    if (!refused && has_data_window(device)) {
        note_permission(device.path + "/resource" + std::to_string(DATA_WINDOW_BAR), survey);
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

std::string refusal(const std::string& path)
{
    // A device's own files by their names, others by their paths.
    const std::string name = path.compare(0, 5, "/dev/") == 0 ? path : base_name(path);
    struct stat file;
    if (stat(path.c_str(), &file) != 0) {
        return name + " cannot be opened read-write";
    }
    const struct passwd* owner = getpwuid(file.st_uid);
    const struct group* group = getgrgid(file.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
    return name + " is " + (owner ? owner->pw_name : std::to_string(file.st_uid)) + ":" +
           (group ? group->gr_name : std::to_string(file.st_gid)) + " " + mode + "; " +
           why_not_permitted(file);
}

void note_holder(PLX_DEVICE_SURVEY* survey, int pid, const std::string& what)
{
    survey->holder_pid = pid;
    const std::string name = text_of("/proc/" + std::to_string(pid) + "/comm");
    if (pid > 0) {
        plx_survey_note(survey, PLX_HINDRANCE_IN_USE, "%sheld by process %d (%s)", what.c_str(),
                        pid, name.substr(0, name.find('\n')).c_str());
    } else {
        plx_survey_note(survey, PLX_HINDRANCE_IN_USE,
                        "%sheld by a process the kernel does not name", what.c_str());
    }
}

PLX_STATUS device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey)
{
    if (survey == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    *survey = PLX_DEVICE_SURVEY{};
    survey->register_status = PLX_STATUS_FAILED;
    if (key == nullptr) {
        // The host: its devices folder can be read.
        const std::string& folder = backend_state().devices_folder;
        Fd fd(open_file(folder, O_RDONLY | O_DIRECTORY));
        if (fd.ok()) {
            return PLX_STATUS_SUCCESS;
        }
        const int error = errno;
        plx_survey_note(survey, PLX_HINDRANCE_UNREADABLE, "%s: %s", folder.c_str(),
                        std::strerror(error));
        return errno_status(error);
    }
    const std::vector<FoundDevice> devices = find_devices(key);
    if (devices.empty()) {
        return PLX_STATUS_NO_DEVICE;
    }
    OpenDevice device;
    const PLX_STATUS read = read_device(devices.front(), &device);
    if (read != PLX_STATUS_SUCCESS) {
        plx_survey_note(survey, PLX_HINDRANCE_UNREADABLE,
                        "its config or resource file cannot be read");
        return read;
    }
    if (bound_to_vfio(device.path)) {
        note_vfio(device, survey);
    } else {
        note_sysfs_hindrances(device, survey);
        note_vfio(device, survey);
    }
    if (!has_data_window(device)) {
        plx_survey_note(survey, PLX_HINDRANCE_NO_DATA_WINDOW, "BAR %u is not a memory BAR",
                        unsigned{DATA_WINDOW_BAR});
    }
    // A card bound to vfio-pci is reached only through its group, which a
    // listing does not open (and the driver may keep the idle card asleep,
    // its ports reading all ones): its state is not read.
    uint32_t value = 0;
    survey->register_status =
        bound_to_vfio(device.path)
            ? PLX_STATUS_NOT_OPEN
            : port_transfer(device, port, nullptr, &value, sizeof value, PLX_ACCESS_32_BIT);
    survey->register_value = value;
    return PLX_STATUS_SUCCESS;
}

}  // namespace plx_linux
