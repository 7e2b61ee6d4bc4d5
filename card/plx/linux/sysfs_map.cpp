// Mapping a memory BAR of an open device into this process through its
// resourceN file (or its VFIO region, sysfs_vfio.cpp), and undoing the
// mapping.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "card/plx/linux/sysfs_internal.h"

namespace plx_linux {

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
    if (open->vfio) {
        return vfio_map(open, bar_index, va);
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

}  // namespace plx_linux
