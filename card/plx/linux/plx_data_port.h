// The data-port store on real hardware: one 8-bit volatile store through the
// mapping of BAR 3, inlined into the senders. No call, no system call; the
// volatile access keeps every store, in order, at its own width.
#pragma once

#include <cstdint>

inline void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    *port = value;
}
