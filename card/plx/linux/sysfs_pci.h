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

#include <string>

#include "card/plx/plx_api.h"

namespace plx_linux {

// Makes `root` the folder the device folders are found in, in place of
// /sys/bus/pci/devices (for a fake tree); every device still open is closed.
void use_root(const std::string& root);

// Makes `path` the file the kernel's lockdown mode is read from, in place of
// /sys/kernel/security/lockdown (for a fake tree).
void use_lockdown_file(const std::string& path);

// What a failed system call's errno says, in the card layer's terms: denied
// (file modes, kernel lockdown), an I/O error (the device or its file is
// gone) or a plain failure.
PLX_STATUS errno_status(int error);

}  // namespace plx_linux

extern const PlxBackend plx_sysfs_backend;
