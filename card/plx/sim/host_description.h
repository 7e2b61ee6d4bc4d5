// VELTCFG_SIM_HOST: a simulated host described in text.
//
// Cards are separated by ';' (empty items between them are passed over),
// each a list of key=value separated by spaces or commas: bus (0-255) and
// slot (0-31), both required; function (0-7, default 0); subsystem (the
// subsystem device ID, default the RV80-A's); io (the I/O BAR base, a multiple of
// 4 up to 0xFFFC, default 0xE000); idcode (the FPGA's IDCODE; by default it
// takes any stream); done-holds (readings of DONE after start-up before it
// falls again, as from an FPGA that resets itself; 0, the default: DONE
// holds); configured (yes, the default: the FPGA reads DONE at
// power-up, as one that has loaded its configuration from its own PROM; no:
// DONE low until a configuration is loaded); fault (none, the default, open,
// map, busy, no-done, gone, in-use: held by another process, or
// not-answering: its control/status register reads all ones). Numbers are
// decimal or 0x-hex.
#pragma once

#include <cstdint>
#include <string>

#include "card/plx/sim/sim_host.h"

namespace sim {

// A number as a description writes it, decimal or 0x-hex, at most
// `highest`.
bool read_number(const std::string& text, uint32_t highest, uint32_t* value);

// Replaces *host with the host `text` describes; false, with *error saying
// what is wrong and where, when it cannot be read.
bool describe_host(const std::string& text, Host* host, std::string* error);

// Replaces the process's host with the one VELTCFG_SIM_HOST describes, when
// it is set and not empty. A description that cannot be read ends the
// program with status 2 and a message naming `program`, the variable and the
// item.
void describe_host_from_environment(const char* program = "veltcfg-sim");

// Makes the simulated host, as VELTCFG_SIM_HOST describes it, the card
// layer's backend in a program built for another (veltcfg-list --simulated).
void use_simulated_host(const char* program);

}  // namespace sim
