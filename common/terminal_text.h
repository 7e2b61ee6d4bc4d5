// Text from a file or the command line, written to the operator's terminal
// so that it cannot act on the terminal: a crafted file name or header must
// not clear the screen, move the cursor or retitle the window.
//
// Bytes a terminal would act on are written as \xHH:
//   - C0 controls (0x00-0x1F) other than tab, and DEL (0x7F);
//   - C1 controls: a byte 0x80-0x9F that is not part of a valid UTF-8
//     sequence, and the UTF-8 encodings of U+0080-U+009F (C2 80 to C2 9F),
//     each byte.
// Everything else is written as it is: printable ASCII, tab, valid UTF-8
// (é, €) and bytes 0xA0-0xFF outside UTF-8 (Latin-1 letters).
#pragma once

#include <cstdint>
#include <cstdio>

// The bytes of a UTF-8 sequence not yet complete, held back until it is
// known whether they form a valid one.
struct TerminalText {
    uint8_t pending[4];
    unsigned pending_count;
    unsigned sequence_length;
};

// Writes one byte of a text to `out`; `text` starts all zero.
void put_terminal_byte(FILE* out, TerminalText* text, uint8_t byte);
// Writes what is held back at the end of a text.
void end_terminal_text(FILE* out, TerminalText* text);

// A whole NUL-terminated text.
void put_terminal_text(FILE* out, const char* text);
