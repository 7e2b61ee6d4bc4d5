// veltcfg drives real cards through sysfs, and stores configuration bytes
// straight into the mapping of BAR 3: one 8-bit volatile store, no call, no
// system call. The volatile access keeps every store, in order, at its own
// width.
#include "card/plx/plx_api.h"
#include "card/plx/linux/sysfs_pci.h"

const PlxBackend* plx_backend = &plx_sysfs_backend;

void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    *port = value;
}
