#include "sample_bitstream.h"

#include <algorithm>

#include "stream_crc.h"

namespace sample {

namespace {

constexpr uint32_t NOOP_32 = 0x20000000;
constexpr uint16_t NOOP_16 = 0x2000;

// Register numbers of the two packet formats.
enum : uint32_t { CRC = 0, FAR = 1, FDRI = 2, CMD = 4, IDCODE = 12 };
enum : uint32_t { CMD_16 = 5, FDRI_16 = 3, IDCODE_16 = 14 };
constexpr uint32_t IDCODE_32 = 0x0362D093;  // xc7a35t
constexpr uint32_t IDCODE_16_VALUE = 0x04001093;  // xc6slx9
enum : uint32_t { CMD_WCFG = 1, CMD_START = 5, CMD_RCRC = 7, CMD_DESYNC = 13 };

void put32(std::vector<uint8_t>& out, uint32_t word)
{
    out.push_back(static_cast<uint8_t>(word >> 24));
    out.push_back(static_cast<uint8_t>(word >> 16));
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word));
}

void put16(std::vector<uint8_t>& out, uint32_t word)
{
    out.push_back(static_cast<uint8_t>(word >> 8));
    out.push_back(static_cast<uint8_t>(word));
}

uint32_t type1_write_32(uint32_t reg, uint32_t words)
{
    return 0x30000000u | reg << 13 | words;
}

uint32_t type1_write_16(uint32_t reg, uint32_t words)
{
    return 0x3000u | reg << 5 | words;
}

// The frame data pattern: a small xorshift generator.
struct FrameData {
    uint32_t state;
    explicit FrameData(uint32_t seed) : state(seed * 2654435761u | 1u) {}
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// What goes into a PROM image: the stream without bus width detection.
Design prom_design(const Design& design)
{
    Design prom = design;
    prom.detect_bus_width = false;
    return prom;
}

}  // namespace

uint8_t reverse_bits(uint8_t value)
{
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        reversed = static_cast<uint8_t>(reversed << 1 | ((value >> bit) & 1));
    }
    return reversed;
}

ConfigStream::ConfigStream(const Design& design) : design_(design)
{
    if (design.family == Family::Words32) {
        word_size_ = 4;
        if (design.detect_bus_width) {
            put32(head_, 0x000000BB);
            put32(head_, 0x11220044);
            put32(head_, 0xFFFFFFFF);
        }
        put32(head_, 0xFFFFFFFF);  // dummy word
        put32(head_, 0xAA995566);  // sync
        put32(head_, NOOP_32);
        put32(head_, type1_write_32(CMD, 1));
        put32(head_, CMD_RCRC);
        put32(head_, NOOP_32);
        put32(head_, NOOP_32);
        put32(head_, type1_write_32(IDCODE, 1));
        put32(head_, IDCODE_32);
        put32(head_, type1_write_32(CMD, 1));
        put32(head_, CMD_WCFG);
        put32(head_, type1_write_32(FAR, 1));
        put32(head_, 0x00000000);
        put32(head_, type1_write_32(FDRI, 0));
        put32(head_, 0x50000000u | design.frame_words);  // type 2: the frame data
        // The registers written since RCRC, in the CRC.
        head_crc_ = sim::crc32c_feed(0, IDCODE_32, IDCODE);
        head_crc_ = sim::crc32c_feed(head_crc_, CMD_WCFG, CMD);
        head_crc_ = sim::crc32c_feed(head_crc_, 0x00000000, FAR);
        // frame data goes here
        put32(tail_, type1_write_32(CRC, 1));
        put32(tail_, 0);  // the CRC, once the frames are known
        put32(tail_, type1_write_32(CMD, 1));
        put32(tail_, CMD_START);
        put32(tail_, NOOP_32);
        put32(tail_, type1_write_32(CMD, 1));
        put32(tail_, CMD_DESYNC);
        for (int i = 0; i < 4; ++i) {
            put32(tail_, NOOP_32);
        }
    } else {
        word_size_ = 2;
        put32(head_, 0xFFFFFFFF);
        put16(head_, 0xAA99);
        put16(head_, 0x5566);
        put16(head_, NOOP_16);
        put16(head_, type1_write_16(CMD_16, 1));
        put16(head_, CMD_RCRC);
        put16(head_, type1_write_16(IDCODE_16, 2));
        put16(head_, IDCODE_16_VALUE >> 16);
        put16(head_, IDCODE_16_VALUE & 0xFFFF);
        put16(head_, type1_write_16(CMD_16, 1));
        put16(head_, CMD_WCFG);
        put16(head_, 0x5000u | FDRI_16 << 5);  // type 2 write to FDRI
        put16(head_, design.frame_words >> 16);
        put16(head_, design.frame_words & 0xFFFF);
        head_crc_ = sim::crc22_feed(0, IDCODE_16_VALUE >> 16, IDCODE_16);
        head_crc_ = sim::crc22_feed(head_crc_, IDCODE_16_VALUE & 0xFFFF, IDCODE_16);
        head_crc_ = sim::crc22_feed(head_crc_, CMD_WCFG, CMD_16);
        // frame data goes here, then its AutoCRC (two words)
        put16(tail_, 0);
        put16(tail_, 0);
        put16(tail_, type1_write_16(CRC, 2));
        put16(tail_, 0);  // the CRC, once the frames are known
        put16(tail_, 0);
        put16(tail_, type1_write_16(CMD_16, 1));
        put16(tail_, CMD_START);
        put16(tail_, NOOP_16);
        put16(tail_, type1_write_16(CMD_16, 1));
        put16(tail_, CMD_DESYNC);
        for (int i = 0; i < 4; ++i) {
            put16(tail_, NOOP_16);
        }
    }
}

uint64_t ConfigStream::size() const
{
    return head_.size() + uint64_t{design_.frame_words} * word_size_ + tail_.size();
}

void ConfigStream::write(const std::function<void(const uint8_t*, size_t)>& sink) const
{
    sink(head_.data(), head_.size());
    FrameData frames(design_.seed);
    std::vector<uint8_t> chunk;
    chunk.reserve(65536);
    uint32_t crc = head_crc_;
    for (uint32_t i = 0; i < design_.frame_words; ++i) {
        const uint32_t word = frames.next();
        if (word_size_ == 4) {
            put32(chunk, word);
            crc = sim::crc32c_feed(crc, word, FDRI);
        } else {
            put16(chunk, word & 0xFFFF);
            crc = sim::crc22_feed(crc, word & 0xFFFF, FDRI_16);
        }
        if (chunk.size() >= 65536 - 4) {
            sink(chunk.data(), chunk.size());
            chunk.clear();
        }
    }
    sink(chunk.data(), chunk.size());
    // The CRC write's value; for 16-bit words the AutoCRC before it too, the
    // same value: neither is fed, and nothing is written between them.
    std::vector<uint8_t> tail = tail_;
    std::vector<uint8_t> crc_word;
    put32(crc_word, crc);
    if (word_size_ == 4) {
        std::copy(crc_word.begin(), crc_word.end(), tail.begin() + 4);
    } else {
        std::copy(crc_word.begin(), crc_word.end(), tail.begin());
        std::copy(crc_word.begin(), crc_word.end(), tail.begin() + 6);
    }
    sink(tail.data(), tail.size());
}

std::vector<uint8_t> ConfigStream::bytes() const
{
    std::vector<uint8_t> out;
    out.reserve(size());
    write([&](const uint8_t* data, size_t n) { out.insert(out.end(), data, data + n); });
    return out;
}

std::vector<uint8_t> bit_header(const Design& design, uint32_t config_length)
{
    std::vector<uint8_t> out = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'a'};
    const std::string* fields[4] = {&design.name, &design.part, &design.date, &design.time};
    const char keys[4] = {'b', 'c', 'd', 'e'};
    for (int i = 0; i < 4; ++i) {
        const size_t length = fields[i]->size() + 1;  // with its NUL
        put16(out, static_cast<uint32_t>(length));
        out.insert(out.end(), fields[i]->begin(), fields[i]->end());
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(keys[i]));
    }
    put32(out, config_length);
    return out;
}

std::vector<uint8_t> bit_file(const Design& design)
{
    const ConfigStream stream(design);
    std::vector<uint8_t> out = bit_header(design, static_cast<uint32_t>(stream.size()));
    const std::vector<uint8_t> data = stream.bytes();
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::vector<uint8_t> prom_image(const Design& design)
{
    std::vector<uint8_t> out = ConfigStream(prom_design(design)).bytes();
    for (uint8_t& byte : out) {
        byte = reverse_bits(byte);
    }
    return out;
}

bool write_bit_file(FILE* out, const Design& design)
{
    const ConfigStream stream(design);
    const std::vector<uint8_t> header = bit_header(design, static_cast<uint32_t>(stream.size()));
    bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size();
    stream.write([&](const uint8_t* data, size_t n) {
        ok = ok && std::fwrite(data, 1, n, out) == n;
    });
    return ok;
}

bool write_prom_image(FILE* out, const Design& design)
{
    bool ok = true;
    std::vector<uint8_t> reversed;
    ConfigStream(prom_design(design)).write([&](const uint8_t* data, size_t n) {
        reversed.assign(data, data + n);
        for (uint8_t& byte : reversed) {
            byte = reverse_bits(byte);
        }
        ok = ok && std::fwrite(reversed.data(), 1, n, out) == n;
    });
    return ok;
}

}  // namespace sample
