// Synthetic but well-formed configuration files: a .BIT file with its four
// header fields, and the matching PROM image (the same configuration bytes,
// each bit-reversed, no header), for a device of any family group. Used by
// the sample generator, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bitstream/family_rules.h"

namespace sample {

struct Design {
    std::string name = "demo.ncd;UserID=0xFFFFFFFF";
    std::string part = "7a35tcpg236";  // as a .BIT header names it
    std::string date = "2026/12/08";
    std::string time = "09:30:00";
    bitstream::FamilyGroup group = bitstream::FamilyGroup::Virtex4On;
    uint32_t idcode = 0x0362D093;  // written to the group's IDCODE register; 0: none
    uint32_t frame_words = 25000;  // words of frame data in the FDRI write
    uint32_t seed = 1;             // of the frame data's pseudo-random pattern
    // Virtex-4 and later: the bus width detection words before the sync word,
    // as streams for Virtex-5 and later families have.
    bool detect_bus_width = true;
    unsigned done_phase = 4;    // the start-up phase DONE rises in, as the option register says
    bool start = true;          // false: START written as NOOPs
    bool crc_disabled = false;  // the CRC check bypassed, as the FPGA tools write it
    // The frame data in that many FDRI writes, with between each two (after
    // the AutoCRC where the group has one): LOUT written, as debug streams
    // do; a CRC check, as per-frame CRC streams do; a multiple frame write,
    // as compressed streams do.
    uint32_t frame_writes = 1;
    bool debug = false, per_frame_crc = false, compressed = false;
    // WBSTAR and IPROG right after the sync word, as a multiboot golden
    // image writes them.
    bool multiboot = false;
};

// The sample design of a group: a device of it (its IDCODE and the part the
// header names), and the group's stream.
Design design_for(bitstream::FamilyGroup group);

// The configuration bytes of a design, in their natural order: the bus width
// detection words (if asked for), a dummy word, the sync word, a NOOP,
// register writes (RCRC, the IDCODE, the option registers, LOUT, and CSBO in
// 16-bit streams), the frame data as one type-2 FDRI write, its AutoCRC
// where the group has one, the CRC check, START and DESYNC (Virtex: START
// and the CRC check after it), and NOOPs enough for the start-up.
class ConfigStream {
public:
    explicit ConfigStream(const Design& design);

    uint64_t size() const;
    // Hands the bytes to `sink` in order, a chunk at a time.
    void write(const std::function<void(const uint8_t*, size_t)>& sink) const;
    std::vector<uint8_t> bytes() const;

private:
    std::vector<uint8_t> tail(uint32_t crc) const;
    // The words of FDRI write `index`.
    uint32_t write_words(uint32_t index) const;
    // Between two FDRI writes, the next of `words`; the CRC after it.
    uint32_t between_writes(std::vector<uint8_t>& out, uint32_t crc, uint32_t words) const;

    Design design_;
    std::vector<uint8_t> head_;
    uint32_t head_crc_ = 0;  // the CRC over the head's register writes
    size_t tail_size_ = 0;
    size_t between_size_ = 0;
};

// The .BIT header: signature, the four fields (each NUL-terminated) with
// their key letters, and the big-endian configuration length.
std::vector<uint8_t> bit_header(const Design& design, uint32_t config_length);

std::vector<uint8_t> bit_file(const Design& design);
// The PROM image starts with the dummy word and the sync word, without bus
// width detection, so that it starts FF FF FF FF 55 99 AA 66 (the sync word
// bit-reversed), as the PROM images the program takes do.
std::vector<uint8_t> prom_image(const Design& design);

// Stream the files to `out`; false on a write error.
bool write_bit_file(FILE* out, const Design& design);
bool write_prom_image(FILE* out, const Design& design);

}  // namespace sample
