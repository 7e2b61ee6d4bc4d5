// Recognition of the two kinds of configuration file.
//
// .BIT file (big-endian numbers, offsets from the start of the file):
//   0   00 09               tested
//   2   9 bytes             skipped
//   11  00 01 'a'           tested
//   14  four header fields: 2-byte length L, L bytes of text (normally
//       ending in a NUL that L counts), then one key letter ('b'..'e' in
//       well-formed files; never read)
//   O5  4-byte configuration length, then the configuration data
//
// PROM image: raw configuration data, recognised by 0xFF at byte 0 and
// 55 99 AA 66 (the sync word AA 99 55 66 with each byte's bits reversed) at
// bytes 4 to 7. It is sent as stored; .BIT data is bit-reversed on the way.
#include "configfile/config_file.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "app/driver.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "common/terminal_text.h"
#include "configfile/file_signatures.h"

namespace {

constexpr size_t PROBE_SIZE = SIGNATURE_SIZE;
constexpr int32_t FIRST_FIELD_OFFSET = BIT_FIRST_FIELD_OFFSET;

const char* const FIELD_LABELS[4] = {
    "\n  Design name:          ",
    "\n  Part I.D.:            ",
    "\n  Design date:          ",
    "\n  Design time:          ",
};

[[noreturn]] void unexpected_end_of_file()
{
    fatal_exit(103, "File I/O error.  Unexpected end of file?");
}

// Seeks to `offset` and reads up to `count` bytes; 0 when the seek fails.
size_t read_at(FILE* stream, int32_t offset, size_t count, uint8_t* buffer)
{
    if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return 0;
    }
    return std::fread(buffer, 1, count, stream);
}

// The header field at *offset: its text's length and where that starts, and
// *offset moved to the next field, past the two length bytes, the text and
// the key letter that follows it. False when the length cannot be read.
bool walk_header_field(FILE* stream, int32_t* offset, uint32_t* length, int32_t* text)
{
    uint8_t pair[2];
    if (read_at(stream, *offset, 2, pair) != 2) {
        return false;
    }
    *length = static_cast<uint32_t>(pair[0]) << 8 | pair[1];
    *text = *offset + 2;
    *offset = *text + static_cast<int32_t>(*length) + 1;
    return true;
}

// Prints up to `count` characters of header text from `offset`; returns the
// number consumed (a NUL is consumed but not printed, and ends the text).
uint32_t echo_text(FILE* stream, int32_t offset, uint32_t count)
{
    if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return 0;
    }
    // Header text goes to the operator's terminal: shown so that a crafted
    // file cannot act on the terminal.
    TerminalText text = {};
    uint32_t consumed = 0;
    while (count != 0) {
        const int c = std::getc(stream);
        if (c == EOF) {
            break;
        }
        ++consumed;
        if (c == '\0') {
            break;
        }
        put_terminal_byte(stdout, &text, static_cast<uint8_t>(c));
        --count;
    }
    end_terminal_text(stdout, &text);
    return consumed;
}

// Prints the length-prefixed header field at `offset` and moves `offset` past
// it and past the key letter that follows.
void print_header_field(int32_t* offset)
{
    uint32_t length = 0;
    int32_t text = 0;
    if (!walk_header_field(upload_state.config_file, offset, &length, &text) ||
        echo_text(upload_state.config_file, text, length) != length) {
        unexpected_end_of_file();
    }
}

// Length of the stream in bytes, position unchanged; -1 on failure or when
// the length does not fit in 31 bits.
int32_t file_length(FILE* stream)
{
    const off_t position = ftello(stream);
    if (position < 0) {
        return -1;
    }
    if (fseeko(stream, 0, SEEK_END) != 0) {
        return -1;
    }
    const off_t length = ftello(stream);
    if (length < 0) {
        return -1;
    }
    if (fseeko(stream, position, SEEK_SET) != 0) {
        return -1;
    }
    // Lengths from 2^31 on do not fit; report them as a failure rather than
    // let them wrap into a wrong length.
    if (length > INT32_MAX) {
        return -1;
    }
    return static_cast<int32_t>(length);
}

}  // namespace

namespace {

// Walks the first `fields` header fields of a .BIT file, leaving *offset
// past the last and *length and *text at its text; false when the stream is
// not a .BIT file or its header is cut short.
bool walk_bit_header(FILE* stream, int fields, int32_t* offset, uint32_t* length, int32_t* text)
{
    uint8_t probe[PROBE_SIZE];
    if (read_at(stream, 0, PROBE_SIZE, probe) != PROBE_SIZE || !is_bit_file(probe)) {
        return false;
    }
    *offset = FIRST_FIELD_OFFSET;
    for (int field = 0; field < fields; ++field) {
        if (!walk_header_field(stream, offset, length, text)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool read_bit_header_field(FILE* stream, int index, char* text, size_t size)
{
    int32_t offset = 0;
    uint32_t length = 0;
    int32_t field_text = 0;
    if (!walk_bit_header(stream, index + 1, &offset, &length, &field_text)) {
        return false;
    }
    const size_t count = length < size ? length : size - 1;
    if (read_at(stream, field_text, count, reinterpret_cast<uint8_t*>(text)) != count) {
        return false;
    }
    text[count] = '\0';
    return true;
}

int64_t bit_data_offset(FILE* stream)
{
    int32_t offset = 0;
    uint32_t length = 0;
    int32_t text = 0;
    return walk_bit_header(stream, 4, &offset, &length, &text) ? int64_t{offset} + 4 : -1;
}

void identify_config_file()
{
    FILE* const file = upload_state.config_file;
    uint8_t probe[PROBE_SIZE];
    if (read_at(file, 0, PROBE_SIZE, probe) != PROBE_SIZE) {
        unexpected_end_of_file();
    }

    if (is_bit_file(probe)) {
        std::printf("\nLooks like a .BIT file:");
        int32_t offset = FIRST_FIELD_OFFSET;
        for (const char* label : FIELD_LABELS) {
            std::printf("%s", label);
            print_header_field(&offset);
        }
        uint8_t length[4];
        if (read_at(file, offset, 4, length) != 4) {
            unexpected_end_of_file();
        }
        upload_state.config_length = static_cast<uint32_t>(length[0]) << 24 |
                                     static_cast<uint32_t>(length[1]) << 16 |
                                     static_cast<uint32_t>(length[2]) << 8 | length[3];
        std::printf("\n  Configuration length: %lu bytes",
                    static_cast<unsigned long>(upload_state.config_length));
        upload_state.byte_sender = send_byte_reversed;
        // The stream now stands at the first configuration byte.
    } else if (is_prom_file(probe)) {
        std::printf("\nLooks like a PROM file:");
        upload_state.byte_sender = send_byte_direct;
        const int32_t length = file_length(file);
        if (length < 0) {
            fatal_exit(104, "File seek error.");
        }
        upload_state.config_length = static_cast<uint32_t>(length);
        std::printf("\n  Configuration length: %lu bytes",
                    static_cast<unsigned long>(upload_state.config_length));
        // The whole image, probe bytes included, is configuration data.
        if (fseeko(file, 0, SEEK_SET) != 0) {
            fatal_exit(104, "File seek error.");
        }
    } else {
        fatal_exit(103, "Unknown file type.");
    }

    std::printf("\n");
    std::fflush(stdout);
}
