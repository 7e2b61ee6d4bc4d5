#include "common/terminal_text.h"

namespace {

void put_escaped(FILE* out, uint8_t byte)
{
    std::fprintf(out, "\\x%02X", static_cast<unsigned>(byte));
}

// A byte on its own, not within a valid UTF-8 sequence.
void put_single(FILE* out, uint8_t byte)
{
    if ((byte < 0x20 && byte != '\t') || (byte >= 0x7F && byte <= 0x9F)) {
        put_escaped(out, byte);
    } else {
        std::fputc(byte, out);
    }
}

// How long a UTF-8 sequence starting with `lead` is, 0 for no valid lead.
unsigned sequence_length(uint8_t lead)
{
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Whether `byte` may follow what is pending: a continuation byte, within the
// narrower range the lead allows for the second byte (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool continues(const TerminalText& text, uint8_t byte)
{
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (text.pending_count == 1) {
        switch (text.pending[0]) {
        case 0xE0:
            low = 0xA0;
            break;
        case 0xED:
            high = 0x9F;
            break;
        case 0xF0:
            low = 0x90;
            break;
        case 0xF4:
            high = 0x8F;
            break;
        default:
            break;
        }
    }
    return byte >= low && byte <= high;
}

// The pending bytes turned out not to be a valid sequence: each stands alone.
void flush_pending(FILE* out, TerminalText* text)
{
    for (unsigned i = 0; i < text->pending_count; ++i) {
        put_single(out, text->pending[i]);
    }
    text->pending_count = 0;
}

}  // namespace

void put_terminal_byte(FILE* out, TerminalText* text, uint8_t byte)
{
    if (text->pending_count != 0) {
        if (continues(*text, byte)) {
            text->pending[text->pending_count++] = byte;
            if (text->pending_count < text->sequence_length) {
                return;
            }
            // A whole sequence: written as it is, unless it encodes a C1
            // control.
            const bool c1 = text->pending[0] == 0xC2 && text->pending[1] <= 0x9F;
            for (unsigned i = 0; i < text->pending_count; ++i) {
                if (c1) {
                    put_escaped(out, text->pending[i]);
                } else {
                    std::fputc(text->pending[i], out);
                }
            }
            text->pending_count = 0;
            return;
        }
        flush_pending(out, text);
    }
    text->sequence_length = sequence_length(byte);
    if (text->sequence_length != 0) {
        text->pending[0] = byte;
        text->pending_count = 1;
    } else {
        put_single(out, byte);
    }
}

void end_terminal_text(FILE* out, TerminalText* text)
{
    flush_pending(out, text);
}

void put_terminal_text(FILE* out, const char* text)
{
    TerminalText state = {};
    for (const char* c = text; *c != '\0'; ++c) {
        put_terminal_byte(out, &state, static_cast<uint8_t>(*c));
    }
    end_terminal_text(out, &state);
}
