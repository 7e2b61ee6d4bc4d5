// The data port, offset 0 of the mapped BAR 3, and the two per-byte senders.
//
// This is the hot path: every configuration byte passes through one sender.
// The store itself is the card layer's plx_data_port_write, built into the
// executable with its backend: for real hardware a single volatile byte
// store through the mapping, inlined here at link time; on the simulated
// host a call into the simulated card, so that it sees every byte.
#include <array>
#include <cstdint>

#include "app/upload_state.h"
#include "common/bit_reverse.h"
#include "card/card.h"
#include "card/plx/plx_api.h"

namespace {

// The data port's address while BAR 3 is mapped: a copy of
// upload_state.data_window, which owns it, kept here for the upload loop.
// A byte store may change any object whose address is known outside this
// file, upload_state included, so a pointer read from there is read again
// before every byte; this copy's address is never taken, so the compiler
// holds it in a register through the loop (doc/performance.md has the
// figures).
volatile uint8_t* mapped_port;

}  // namespace

void attach_data_port()
{
    mapped_port = upload_state.data_window;
}

void detach_data_port()
{
    mapped_port = nullptr;
}

void write_config_byte(uint8_t value)
{
    plx_data_port_write(mapped_port, value);
}

void send_byte_reversed(uint8_t value)
{
    write_config_byte(bit_reverse_table[value]);
}

void send_byte_direct(uint8_t value)
{
    write_config_byte(value);
}
