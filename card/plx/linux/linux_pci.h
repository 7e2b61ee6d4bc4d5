// The card layer on Linux: PCI devices as the kernel exports them under
// /sys/bus/pci/devices, one folder per device named DDDD:BB:SS.F, found and
// numbered by one search, and reached by one of the access methods, chosen
// for each device from the driver bound to it:
//
//   sysfs  the device's resource files: mmap for a memory BAR, pread and
//          pwrite for an I/O BAR. An opened device holds an exclusive flock
//          on the resource file of its register block (the first I/O BAR),
//          opened read-write, so two programs cannot drive one card at once,
//          and a user who may not program the card cannot hold it either.
//   vfio   a device bound to vfio-pci: the kernel's VFIO interface
//          (/dev/vfio/vfio and the group's /dev/vfio/N), which its lockdown
//          allows. Held by its group's open; its BARs and configuration
//          space are regions of the device's descriptor.
//
// Of a device folder only these files are read or written: vendor, device,
// subsystem_vendor, subsystem_device (identity), config (configuration
// space), resource (the BAR table), resourceN (one BAR), enable (to switch
// decoding on), and driver and iommu_group (the bound driver's and the IOMMU
// group's links).
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

extern const PlxBackend plx_linux_backend;
