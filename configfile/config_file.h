// Recognition of the configuration file (.BIT file or PROM image) and the
// report of what it holds.
#pragma once

#include <cstdint>
#include <cstdio>

// Recognises upload_state.config_file, prints its report, sets config_length
// and byte_sender and leaves the stream at the first configuration byte.
void identify_config_file();

// The text of a .BIT file's header field `index` (0 design name, 1 part,
// 2 date, 3 time) as stored, in at most `size` - 1 bytes and a NUL; false
// when the stream is not a .BIT file or its header is cut short.
bool read_bit_header_field(FILE* stream, int index, char* text, size_t size);

// Where a .BIT file's configuration data starts, past its length field; -1
// when the stream is not a .BIT file or its header is cut short.
int64_t bit_data_offset(FILE* stream);
