// Synthetic but well-formed configuration files: a .BIT file with its four
// header fields, and the matching PROM image (the same configuration bytes,
// each bit-reversed, no header). Used by the sample generator, the tests and
// the benchmarks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace sample {

enum class Family {
    Words32,  // 32-bit packets after AA 99 55 66 (7-series style)
    Words16,  // 16-bit packets after AA 99 55 66 (Spartan-6 style)
};

struct Design {
    std::string name = "demo.ncd;UserID=0xFFFFFFFF";
    std::string part = "7a35tcpg236";
    std::string date = "2026/12/08";
    std::string time = "09:30:00";
    Family family = Family::Words32;
    uint32_t frame_words = 25000;  // words of frame data in the FDRI write
    uint32_t seed = 1;             // of the frame data's pseudo-random pattern
    // 32-bit packets: the bus width detection words before the dummy word,
    // as streams for Virtex-5 and later families have; a card then checks
    // the stream's CRC.
    bool detect_bus_width = true;
};

// The configuration bytes of a design, in their natural order: the bus width
// detection words (32-bit, if asked for), a dummy word, the sync word, a
// NOOP, register writes, the frame data as one type-2 write, the CRC (32-bit),
// START and DESYNC.
class ConfigStream {
public:
    explicit ConfigStream(const Design& design);

    uint64_t size() const;
    // Hands the bytes to `sink` in order, a chunk at a time.
    void write(const std::function<void(const uint8_t*, size_t)>& sink) const;
    std::vector<uint8_t> bytes() const;

private:
    Design design_;
    std::vector<uint8_t> head_;
    std::vector<uint8_t> tail_;  // its CRC word filled in as the frames go by
    unsigned word_size_;
    uint32_t head_crc_ = 0;      // the CRC over the head's register writes
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
