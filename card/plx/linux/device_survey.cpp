// What a listing finds of a device without opening it, on whichever path a
// program would take to it: each access method says what stands in the way
// on its own path (access_sysfs.cpp, access_vfio.cpp), then one register in
// the I/O BAR is read where the method can without opening the device.
// Nothing is written, no lock is taken and nothing waits: a listing never
// stands in the way of a program about to open the card.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "card/plx/card_registers.h"
#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

// The package's group, which its udev rule gives the card's files
// (packaging/60-veltcfg.rules).
constexpr const char* GROUP = "veltcfg";

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
    const std::string name = GROUP;
    const struct group* group = getgrnam(GROUP);
    if (group == nullptr) {
        return "there is no group " + name + " here: run as root, or install the package";
    }
    if (file.st_gid != group->gr_gid) {
        return "the udev rule has not given it to group " + name +
               ": run as root, or apply the rule (udevadm trigger --action=add "
               "--subsystem-match=pci)";
    }
    if (in_session_groups(group->gr_gid)) {
        return "its mode keeps group " + name + " out";
    }
    const struct passwd* user = getpwuid(geteuid());
    for (char** member = group->gr_mem; user != nullptr && *member != nullptr; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0) {
            return "this user joined group " + name + " after logging in: log in again";
        }
    }
    return "this user is not in group " + name + ": as root, usermod -aG " + name +
           " USER, then log in again";
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
    std::snprintf(survey->path, sizeof survey->path, "%s", device.method->name);
    for (const AccessMethod* method : ACCESS_METHODS) {
        method->survey(device, method == device.method, survey);
    }
    if (!has_data_window(device)) {
        plx_survey_note(survey, PLX_HINDRANCE_NO_DATA_WINDOW, "BAR %u is not a memory BAR",
                        unsigned{DATA_WINDOW_BAR});
    }
    uint32_t value = 0;
    survey->register_status =
        port_transfer(device, port, nullptr, &value, sizeof value, PLX_ACCESS_32_BIT);
    survey->register_value = value;
    return PLX_STATUS_SUCCESS;
}

}  // namespace plx_linux
