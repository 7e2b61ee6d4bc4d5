// The parts of reading a file that file_kind.cpp shares with the readers of
// the two text kinds (file_kind_text.cpp): reading on from what was read
// first, and the texts' recognition and decoding. The text readers hand
// back the bytes the text holds, as stored; file_kind.cpp finds the
// configurations in them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/file_kind.h"

namespace filekind {

// Appends up to `count` bytes of `in` to `bytes`; how many it read (0 at
// the end of the file or on a read error, which ferror tells).
size_t append_from(FILE* in, std::vector<uint8_t>& bytes, size_t count);

// A file that starts with an Intel HEX record's colon (its records are
// checked as they are read).
bool looks_like_intel_hex(const std::vector<uint8_t>& head);
// Text (no control bytes but tab, line feed and carriage return) with a
// line of at least 8 characters that are all 0 or 1.
bool looks_like_ascii_bits(const std::vector<uint8_t>& head);

// Bytes at consecutive addresses of an Intel HEX file.
struct Segment {
    uint64_t address;
    std::vector<uint8_t> bytes;
};

// Reads Intel HEX records (those in `head`, then the rest of `in`) up to
// the end-of-file record: the data in segments of consecutive addresses,
// in address order. Record types 00 (data), 01 (end of file), 02 and 04
// (the upper address bits) are read, 03 and 05 (a start address) skipped;
// every checksum is verified. What is wrong, or "" when nothing is.
std::string read_intel_hex(FILE* in, std::vector<uint8_t> head, std::vector<Segment>* segments);

// Reads a text of 0 and 1 characters after a header (.rbt): the bytes the
// bits make (8 to a byte, the first bit the highest), and the header's
// design name, part, date and time (a "Date:" of the form
// "Sun Dec  3 02:23:37 2017" gives both, as a .BIT header writes them).
// What is wrong, or "" when nothing is.
std::string read_ascii_bits(FILE* in, std::vector<uint8_t> head, std::vector<uint8_t>* bytes,
                            BitFields* fields);

}  // namespace filekind
