// The card: connection (find, open, report, map, release), the bridge's
// control/status register and the data port with its two byte senders.
#pragma once

#include <array>
#include <cstdint>

// Connection.
void open_card(uint32_t card_number);
void release_card();

// Control/status register: each line operation is one read-modify-write.
void enable_control_lines();
void program_line_high();
void program_line_low();
int read_done_status();

// Data port: exactly one 8-bit store per call, in call order, once attached
// to the mapping in upload_state.data_window (by open_card, once the mapping
// is found valid) and until detached (by release_card, before the unmap).
void attach_data_port();
void detach_data_port();
void write_config_byte(uint8_t value);
void send_byte_reversed(uint8_t value);
void send_byte_direct(uint8_t value);
