// The VFIO access method, for a device bound to vfio-pci: the kernel's VFIO
// interface, which its lockdown allows, instead of the resource files, which
// it refuses. The search stays the shared one (reading attributes is
// allowed), so card n is the same card on both paths.
//
// Opening: the container (/dev/vfio/vfio), the device's IOMMU group
// (/dev/vfio/N, which one process at a time may open: that open holds the
// card, as the resource file's lock does on the sysfs path), the type-1
// IOMMU, then the device's descriptor, whose regions (the BARs and the
// configuration space) lie at offsets in it. A memory BAR is mapped from its
// region, so the data port is the same store through a mapping as on the
// other path; an I/O BAR's registers are read and written there with one
// pread or pwrite each.
//
// A listing finds what the VFIO path lacks for any device, and, on it,
// whether this user may open the group, whether another device of the
// group is bound to a driver that keeps the group from VFIO, and which
// process holds the group.
#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "card/plx/linux/linux_internal.h"

namespace plx_linux {

namespace {

constexpr const char* CONTAINER = "/dev/vfio/vfio";
constexpr const char* DRIVER = "vfio-pci";

// What an opened device holds: the container, the group (which one process
// at a time may open, and so holds the device) and the device's
// descriptor, in whose file each region (a BAR, the configuration space)
// lies at an offset. Closed device first, container last.
struct VfioHold : MethodHold {
    struct Region {
        uint64_t offset = 0;
        uint64_t size = 0;
        bool mappable = false;
    };
    Fd container, group, device;
    std::vector<Region> regions;  // by index: the six BARs, the ROM, configuration space
};

// The device's IOMMU group ("3"), or "" when the kernel gives it none.
std::string group_of(const std::string& device_path)
{
    return link_name(device_path + "/iommu_group");
}

// Another device in the group whose driver keeps the group from being used
// through VFIO: only vfio-pci and the drivers VFIO lets share a group may be
// bound.
bool driver_blocks_group(const std::string& driver)
{
    return !driver.empty() && driver != DRIVER && driver != "pci-stub" && driver != "pcieport";
}

// The process holding the group, as /proc tells (its open descriptors);
// -1 when none is seen (other users' processes are not shown to a user).
int group_holder(const std::string& node)
{
    // Processes come and go while they are looked at: each step takes an
    // error code instead of throwing.
    using std::filesystem::directory_iterator;
    std::error_code error;
    for (directory_iterator process("/proc", error); !error && process != directory_iterator();
         process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code gone;
        for (directory_iterator fd(process->path() / "fd", gone);
             !gone && fd != directory_iterator(); fd.increment(gone)) {
            std::error_code unreadable;
            if (std::filesystem::read_symlink(fd->path(), unreadable) == node) {
                return std::stoi(pid);
            }
        }
    }
    return -1;
}

// Sets up the container, the group and the IOMMU, and gets the device's
// descriptor and its regions.
PLX_STATUS open_through_group(const std::string& device_path, const std::string& group,
                              VfioHold* vfio)
{
    vfio->container = Fd(open_file(CONTAINER, O_RDWR));
    if (!vfio->container.ok()) {
        return errno_status(errno);
    }
    const int container = vfio->container.get();
    int iommu = 0;
    for (const int type : {VFIO_TYPE1v2_IOMMU, VFIO_TYPE1_IOMMU}) {
        if (iommu == 0 && ioctl(container, VFIO_CHECK_EXTENSION, type) > 0) {
            iommu = type;
        }
    }
    if (ioctl(container, VFIO_GET_API_VERSION) != VFIO_API_VERSION || iommu == 0) {
        return PLX_STATUS_FAILED;
    }
    vfio->group = Fd(open_file("/dev/vfio/" + group, O_RDWR));
    if (!vfio->group.ok()) {
        return errno == EBUSY ? PLX_STATUS_BUSY : errno_status(errno);
    }
    vfio_group_status status{};
    status.argsz = sizeof status;
    if (ioctl(vfio->group.get(), VFIO_GROUP_GET_STATUS, &status) != 0 ||
        (status.flags & VFIO_GROUP_FLAGS_VIABLE) == 0 ||
        ioctl(vfio->group.get(), VFIO_GROUP_SET_CONTAINER, &container) != 0 ||
        ioctl(container, VFIO_SET_IOMMU, iommu) != 0) {
        return PLX_STATUS_FAILED;
    }
    const std::string name = base_name(device_path);
    vfio->device = Fd(ioctl(vfio->group.get(), VFIO_GROUP_GET_DEVICE_FD, name.c_str()));
    vfio_device_info info{};
    info.argsz = sizeof info;
    if (!vfio->device.ok() || ioctl(vfio->device.get(), VFIO_DEVICE_GET_INFO, &info) != 0 ||
        info.num_regions <= VFIO_PCI_CONFIG_REGION_INDEX) {
        return PLX_STATUS_FAILED;
    }
    for (uint32_t index = 0; index < info.num_regions; ++index) {
        vfio_region_info region{};
        region.argsz = sizeof region;
        region.index = index;
        // A region the device lacks (a VGA window, say) is left empty.
        if (ioctl(vfio->device.get(), VFIO_DEVICE_GET_REGION_INFO, &region) != 0) {
            region.size = 0;
        }
        vfio->regions.push_back(
            {region.offset, region.size, (region.flags & VFIO_REGION_INFO_FLAG_MMAP) != 0});
    }
    return PLX_STATUS_SUCCESS;
}

void note_missing(PLX_DEVICE_SURVEY* survey, const std::string& what)
{
    if (survey->vfio_missing_count < PLX_DEVICE_SURVEY::MAX_VFIO_MISSING) {
        char* slot = survey->vfio_missing[survey->vfio_missing_count++];
        std::snprintf(slot, sizeof survey->vfio_missing[0], "%s", what.c_str());
    }
}

// What this method holds of an open device: a device is opened by its own
// method only.
const VfioHold* held(const OpenDevice& open)
{
    return static_cast<const VfioHold*>(open.hold.get());
}

PLX_STATUS vfio_open(OpenDevice* open)
{
    const std::string group = group_of(open->path);
    if (group.empty()) {
        return PLX_STATUS_FAILED;
    }
    auto vfio = std::make_unique<VfioHold>();
    const PLX_STATUS opened = open_through_group(open->path, group, vfio.get());
    if (opened != PLX_STATUS_SUCCESS) {
        return opened;
    }
    // The configuration space, from here on, is the device's region.
    const VfioHold::Region& config = vfio->regions[VFIO_PCI_CONFIG_REGION_INDEX];
    open->config = Fd(fcntl(vfio->device.get(), F_DUPFD_CLOEXEC, 0));
    const int error = errno;
    open->config_offset = static_cast<off_t>(config.offset);
    open->config_size = config.size;
    open->hold = std::move(vfio);
    // vfio-pci enables the device, its decoding included, when it is opened.
    return open->config.ok() ? PLX_STATUS_SUCCESS : errno_status(error);
}

PLX_STATUS vfio_map(OpenDevice* open, uint8_t bar_index, OpenDevice::Mapping* mapping)
{
    const VfioHold::Region& region = held(*open)->regions.at(bar_index);
    if (!region.mappable || region.size == 0) {
        return PLX_STATUS_INVALID_BAR;
    }
    // The region starts at the BAR's first byte.
    return map_pages(held(*open)->device.get(), static_cast<off_t>(region.offset),
                     static_cast<size_t>(region.size), 0, mapping);
}

PLX_STATUS vfio_port_transfer(const OpenDevice& open, size_t bar_index, off_t offset,
                              const void* source, void* target, uint32_t byte_count)
{
    // A device read for a listing is not opened: only the group's holder
    // reaches it (and the driver may keep the idle card asleep, its ports
    // reading all ones), so its registers are not read.
    const VfioHold* vfio = held(open);
    if (vfio == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    const VfioHold::Region& region = vfio->regions.at(bar_index);
    if (static_cast<uint64_t>(offset) + byte_count > region.size) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    return file_transfer(vfio->device.get(), static_cast<off_t>(region.offset) + offset, source,
                         target, byte_count);
}

void vfio_survey(const OpenDevice& device, bool chosen, PLX_DEVICE_SURVEY* survey)
{
    if (!chosen) {
        note_missing(survey, "not bound to vfio-pci (see veltcfg(1), VFIO)");
    }
    const std::string group = group_of(device.path);
    if (group.empty()) {
        note_missing(survey, "no IOMMU group: the kernel runs without an IOMMU (boot with "
                             "intel_iommu=on, or amd_iommu=on)");
        return;
    }
    const std::string node = "/dev/vfio/" + group;
    if (chosen && faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        const std::string why = errno == ENOENT ? node + " does not exist" : refusal(node);
        note_missing(survey, why);
        plx_survey_note(survey, PLX_HINDRANCE_NOT_PERMITTED, "%s", why.c_str());
    }
    using std::filesystem::directory_iterator;
    std::error_code error;
    for (directory_iterator member(device.path + "/iommu_group/devices", error);
         !error && member != directory_iterator(); member.increment(error)) {
        const std::string name = member->path().filename().string();
        const std::string driver = link_name(member->path().string() + "/driver");
        if (name != base_name(device.path) && driver_blocks_group(driver)) {
            const std::string why =
                name + ", in IOMMU group " + group + " too, is bound to " + driver;
            note_missing(survey, why);
            if (chosen) {
                plx_survey_note(survey, PLX_HINDRANCE_OTHER_DRIVER, "%s", why.c_str());
            }
        }
    }
    const int holder = chosen ? group_holder(node) : -1;
    if (holder > 0) {
        note_holder(survey, holder, node + " ");
    }
}

}  // namespace

const AccessMethod VFIO_ACCESS = {
    "vfio", DRIVER, vfio_open, vfio_map, vfio_port_transfer, vfio_survey,
};

}  // namespace plx_linux
