// What a file holds, for the files people bring to a loader: the two kinds
// veltcfg takes (.BIT file, PROM image) and those it does not take but that
// hold a configuration stream all the same, which can be made into a .BIT
// file that veltcfg takes.
//
// A file is read once, from its start to its end. Its configuration
// streams come back in natural bit order, as a .BIT file holds them after
// its header (veltcfg reverses each byte's bits as it sends .BIT data):
// the bus width words, the sync word and everything after them as stored,
// and of what comes before them at most LEAD_KEPT bytes; of the 0xFF bytes
// that end the file (erased flash after the configuration) at most
// TRAILING_PADDING_KEPT, which is more than any start-up needs after the
// configuration's last command.
//
// The streams are found by their sync word, AA 99 55 66 (or AA 99 after a
// dummy half-word and before a 16-bit packet header, for 16-bit streams
// that sync on AA 99 alone), in each byte order: the first sync word found
// tells the order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace filekind {

enum class Kind : uint8_t {
    Null,               // none of these
    Bit,                // a .BIT file, as veltcfg recognises it
    Prom,               // a PROM image, as veltcfg recognises it
    Stream,             // a stream in natural bit order, no header
    StreamBitReversed,  // each byte's bits reversed, not a PROM image
    StreamByteSwapped,  // the bytes of each 32-bit word swapped
    StreamSmapx32,      // both: as written for a 32-bit parallel port
    IntelHex,           // Intel HEX records (.mcs, .hex)
    AsciiBits,          // a text header, then lines of 0 and 1 (.rbt)
};

// The kind's name: "bit", "prom", "stream", "stream_bit_reversed",
// "stream_byte_swapped", "stream_smapx32", "intel_hex", "ascii_bits", "null".
const char* kind_name(Kind kind);

constexpr size_t LEAD_KEPT = 64;
constexpr size_t TRAILING_PADDING_KEPT = 1024;

// The four text fields of a .BIT header.
struct BitFields {
    std::string design, part, date, time;
};

// One configuration in a file.
struct Image {
    uint64_t address = 0;      // where its data starts in an Intel HEX file; 0 elsewhere
    Kind order = Kind::Null;   // its byte order as stored: a stream kind, Bit or Prom
    std::vector<uint8_t> stream;  // natural bit order
};

struct FileContents {
    Kind kind = Kind::Null;
    std::string description;   // one line for people
    std::vector<Image> images; // in address order; none when the file holds no configuration
    // What the file says of itself: a .BIT file's four fields, a .rbt's
    // design name, part, date and time; empty where it says nothing.
    BitFields fields;
    // Why the file could not be read whole (a read error, a malformed line
    // or checksum); then nothing else is set.
    std::string error;
};

// Reads `in` from its current place to its end.
FileContents read_contents(FILE* in);

// What the .BIT file made of an image of a file is named, beside its
// stream: the file's own design name, else `file_name`; the file's part,
// else `part`, else the device the stream's IDCODE names (empty when none
// of them names one); the file's date and time, else `when` (local time).
struct Naming {
    std::string file_name;
    std::string part;
    std::time_t when = 0;
};
BitFields converted_fields(const FileContents& contents, const Image& image, const Naming& naming);

// The IDCODE the stream writes before its frames, or 0 when it writes none
// (or writes it encrypted).
uint32_t stream_idcode(const std::vector<uint8_t>& stream);

// The .BIT header for `length` bytes of configuration: the signature, the
// four fields (each NUL-terminated, cut to what a field's 16-bit length
// holds) and the length.
std::vector<uint8_t> bit_header(const BitFields& fields, uint32_t length);
// A whole .BIT file: the header, then `stream` (moved in, so that the file
// takes no second copy of it), which the caller keeps within the 32 bits of
// the header's length (MAX_STREAM_BYTES).
constexpr uint64_t MAX_STREAM_BYTES = 0xFFFFFFFF;
std::vector<uint8_t> bit_file(const BitFields& fields, std::vector<uint8_t> stream);

}  // namespace filekind
