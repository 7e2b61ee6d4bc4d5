// veltcfg-sim runs on the simulated host: the default two cards, or those
// VELTCFG_SIM_HOST describes (read before the program starts). Every
// configuration byte is handed to the simulated card whose data port it was
// stored to.
#include "card/plx/plx_api.h"
#include "sim_host.h"

const PlxBackend* plx_backend = &plx_sim_backend;

namespace {

const bool host_described = (sim::describe_host_from_environment(), true);

}  // namespace

void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    sim::data_port_write(port, value);
}
