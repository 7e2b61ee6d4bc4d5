// What veltcfg-check does with one file: it runs the program itself, as
// veltcfg-sim runs it, on card 0 of a fresh simulated host, and takes what
// the card's FPGA tells of the stream (sim::Fpga::Report) into a
// FileVerdict. All offsets are bytes of the file.
#pragma once

#include <cstdint>
#include <optional>

#include "tools/check_report.h"

namespace check {

// The card's FPGA is the device `card_idcode` names; without it, the device
// the .BIT header's part names, when the device table knows it (no IDCODE
// is compared then); else the stream tells the group. `silent`: the
// program's own output is left out. `program` is argv[0].
FileVerdict check_file(char* program, const char* name, std::optional<uint32_t> card_idcode,
                       bool silent);

}  // namespace check
