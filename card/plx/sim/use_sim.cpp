// A program on the simulated host (veltcfg-sim, veltcfg-check): every
// configuration byte is handed to the simulated card whose data port it was
// stored to.
#include "card/plx/plx_api.h"
#include "card/plx/sim/sim_host.h"

const PlxBackend* plx_backend = &plx_sim_backend;

void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    sim::data_port_write(port, value);
}
