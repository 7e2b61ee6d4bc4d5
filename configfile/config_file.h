// Recognition of the configuration file (.BIT file or PROM image) and the
// report of what it holds.
#pragma once

#include <cstdint>
#include <cstdio>

// Recognises upload_state.config_file, prints its report, sets config_length
// and byte_sender and leaves the stream at the first configuration byte.
void identify_config_file();

// Seeks to `offset` and reads up to `count` bytes; 0 when the seek fails.
size_t read_at(FILE* stream, int32_t offset, size_t count, uint8_t* buffer);

// Prints the length-prefixed header field at `offset` and moves `offset` past
// it and past the key letter that follows.
void print_header_field(int32_t* offset);

// Prints up to `count` characters of header text from `offset`; returns the
// number consumed (a NUL is consumed but not printed, and ends the text).
uint32_t echo_text(FILE* stream, int32_t offset, uint32_t count);

// The text of a .BIT file's header field `index` (0 design name, 1 part,
// 2 date, 3 time) as stored, in at most `size` - 1 bytes and a NUL; false
// when the header is cut short.
bool read_bit_header_field(FILE* stream, int index, char* text, size_t size);

// Length of the stream in bytes, position unchanged; -1 on failure or when
// the length does not fit in 31 bits.
int32_t file_length(FILE* stream);
