// The data-port store on the simulated host: every byte is handed to the
// simulated card that owns the address, in order, so that its FPGA sees the
// stream a real card would.
#pragma once

#include <cstdint>

#include "sim_host.h"

[[gnu::always_inline]] inline void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    sim::process_host.data_port_write(port, value);
}
