// The card layer over Linux sysfs: PCI devices as the kernel exports them
// under /sys/bus/pci/devices, one folder per device named DDDD:BB:SS.F.
//
// Of a device only these files are used: vendor, device, subsystem_vendor,
// subsystem_device (identity), config (configuration space), resource (the
// BAR table), resourceN (one BAR: mmap for memory, pread/pwrite for I/O),
// enable (to switch decoding on), and driver and iommu_group (the bound
// driver's and the IOMMU group's links). An opened device holds an exclusive
// flock on the resource file of its register block (the first I/O BAR),
// opened read-write, so two programs cannot drive one card at once, and a
// user who may not program the card cannot hold it either.
//
// A device bound to vfio-pci is reached through VFIO instead (/dev/vfio/vfio
// and its group's /dev/vfio/N; sysfs_vfio.cpp): found the same way, held by
// its group's open, its BARs and configuration space its regions.
#pragma once

#include <functional>
#include <string>

#include "card/plx/plx_api.h"

namespace plx_linux {

// Makes `root` the folder the device folders are found in, in place of
// /sys/bus/pci/devices (for a fake tree); every device still open is closed.
void use_root(const std::string& root);

// Makes `path` the file the kernel's lockdown mode is read from, in place of
// /sys/kernel/security/lockdown (for a fake tree).
void use_lockdown_file(const std::string& path);

// Called with the full path before every device file is opened; a non-zero
// return is taken as the errno of a failed open. Lets tests stand in for a
// card that vanished, a locked-down kernel and the like.
extern std::function<int(const std::string& path)> file_hook;

}  // namespace plx_linux

extern const PlxBackend plx_sysfs_backend;
