// The programming sequence.
#pragma once

// Starts a configuration cycle, streams the configuration into the card,
// checks DONE and sends the trailing clocks. Returns only on success.
void upload_configuration();
