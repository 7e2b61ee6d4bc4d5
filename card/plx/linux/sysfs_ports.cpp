// I/O port accesses of an open device: one pread or pwrite of the I/O BAR's
// resourceN file (or its VFIO region) per access, at the port's offset in
// the BAR.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "card/plx/linux/sysfs_internal.h"

namespace plx_linux {

namespace {

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

// One pwrite of `source`, or else one pread into `target`, of byte_count
// bytes (at most 4) at `offset` of the open resource file `fd`.
PLX_STATUS transfer(int fd, off_t offset, const void* source, void* target, uint32_t byte_count)
{
    uint8_t bytes[4];
    ssize_t transferred;
    if (source != nullptr) {
        std::memcpy(bytes, source, byte_count);
        transferred = pwrite(fd, bytes, byte_count, offset);
    } else {
        transferred = pread(fd, bytes, byte_count, offset);
    }
    if (transferred < 0) {
        return errno_status(errno);
    }
    if (static_cast<uint32_t>(transferred) != byte_count) {
        return PLX_STATUS_IO_ERROR;
    }
    if (source == nullptr) {
        std::memcpy(target, bytes, byte_count);
    }
    return PLX_STATUS_SUCCESS;
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

PLX_STATUS port_transfer(const OpenDevice& open, uint64_t port, const void* source, void* target,
                         uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    const bool write = source != nullptr;
    const uint32_t width = access_width(access);
    if (width == 0 || byte_count != width) {
        return PLX_STATUS_INVALID_ACCESS;
    }
    const int index = io_bar_holding(open, port, byte_count);
    if (index < 0) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    const off_t offset = static_cast<off_t>(port - open.bars[static_cast<size_t>(index)].start);
    if (open.vfio) {
        const VfioDevice::Region& region = open.vfio->regions.at(static_cast<size_t>(index));
        if (static_cast<uint64_t>(offset) + byte_count > region.size) {
            return PLX_STATUS_INVALID_ADDRESS;
        }
        return transfer(open.vfio->device.get(), static_cast<off_t>(region.offset) + offset, source,
                        target, byte_count);
    }
    // Opened for each access, so a card that has gone away is noticed at once.
    Fd fd(open_file(open.path + "/resource" + std::to_string(index), write ? O_WRONLY : O_RDONLY));
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
    return transfer(fd.get(), offset, source, target, byte_count);
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
