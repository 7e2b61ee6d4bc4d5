// The bridge's 32-bit control/status register, in I/O space at control_port
// (its bits: card/plx/card_registers.h). Every bit an operation does not
// change is written back as it was read.
#include <cstdint>

#include "app/driver.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "card/plx/card_registers.h"
#include "card/plx/plx_api.h"

namespace {

// A read that fails, or that finds the card not answering, is a failed
// access.
bool read_register(uint32_t* value)
{
    return PlxPci_IoPortRead(&upload_state.plx_device, upload_state.control_port, value,
                             sizeof *value, PLX_ACCESS_32_BIT) == PLX_STATUS_SUCCESS &&
           *value != REGISTER_NOT_ANSWERING;
}

// One read-modify-write of the whole register, no retry.
void modify_control_register(uint32_t clear_mask, uint32_t set_mask)
{
    uint32_t value = 0;
    if (!read_register(&value)) {
        fatal_exit(105, "Can't access 9056 card control register.\n");
    }
    value = (value & ~clear_mask) | set_mask;
    if (PlxPci_IoPortWrite(&upload_state.plx_device, upload_state.control_port, &value, sizeof value,
                           PLX_ACCESS_32_BIT) != PLX_STATUS_SUCCESS) {
        fatal_exit(105, "Can't access 9056 card control register.\n");
    }
}

}  // namespace

void enable_control_lines()
{
    modify_control_register(CONTROL_ENABLE_BITS, CONTROL_ENABLE_BITS);
}

void program_line_high()
{
    modify_control_register(PROGRAM_LINE_BIT, PROGRAM_LINE_BIT);
}

void program_line_low()
{
    modify_control_register(PROGRAM_LINE_BIT, 0);
}

int read_done_status()
{
    uint32_t value = 0;
    if (!read_register(&value)) {
        fatal_exit(105, "Can't access 9056 card status register.\n");
    }
    return (value & DONE_STATUS_BIT) == DONE_STATUS_BIT ? 1 : 0;
}
