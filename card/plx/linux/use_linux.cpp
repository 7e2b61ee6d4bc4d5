// veltcfg drives real cards through the Linux backend (sysfs, or VFIO for a
// card bound to vfio-pci), and stores configuration bytes straight into the
// mapping of BAR 3: one 8-bit volatile store, no call, no system call. The
// volatile access keeps every store, in order, at its own width.
#include "card/plx/plx_api.h"
#include "card/plx/linux/linux_pci.h"

const PlxBackend* plx_backend = &plx_linux_backend;

void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    *port = value;
}
