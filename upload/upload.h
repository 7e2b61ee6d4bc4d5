// The programming sequence.
#pragma once

// Starts a configuration cycle, streams the configuration into the card,
// checks DONE and sends the trailing clocks. Returns only on success.
void upload_configuration();

// 0 when DONE holds for 101 readings in a row, -1 otherwise.
int wait_for_done();

// 24 bytes of 0xFF straight to the data port.
void send_trailing_clocks();
