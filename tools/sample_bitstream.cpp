#include "tools/sample_bitstream.h"

#include <algorithm>

#include "common/bit_reverse.h"
#include "card/plx/sim/packet_parser.h"
#include "card/plx/sim/stream_crc.h"

namespace sample {

namespace {

constexpr uint32_t NOOP_32 = 0x20000000;
constexpr uint16_t NOOP_16 = 0x2000;

// The registers and commands the samples write, beyond those the device's
// stream reader knows (packet_parser.h).
constexpr uint32_t FAR = 1;  // frame address, 32-bit packets
constexpr uint32_t WCFG_COMMAND = 1;
constexpr sim::PacketFormat W32 = sim::WORDS_32;
constexpr sim::PacketFormat W16 = sim::WORDS_16;
// The devices the samples are written for.
constexpr uint32_t IDCODE_32 = 0x0362D093;  // xc7a35t
constexpr uint32_t IDCODE_16 = 0x04001093;  // xc6slx9

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

// A 7-series style stream: bus width detection (if asked for), a dummy
// word, sync, RCRC, the IDCODE, WCFG and the frame address, then the frame
// data as one type-2 write to FDRI; after it the CRC write, START and
// DESYNC. The CRC over the head's register writes is returned.
uint32_t head_32(std::vector<uint8_t>& head, const Design& design)
{
    if (design.detect_bus_width) {
        put32(head, 0x000000BB);
        put32(head, 0x11220044);
        put32(head, 0xFFFFFFFF);
    }
    put32(head, 0xFFFFFFFF);  // dummy word
    put32(head, W32.sync);
    put32(head, NOOP_32);
    put32(head, type1_write_32(W32.cmd, 1));
    put32(head, sim::RCRC_COMMAND);
    put32(head, NOOP_32);
    put32(head, NOOP_32);
    put32(head, type1_write_32(sim::IDCODE_VIRTEX4, 1));
    put32(head, IDCODE_32);
    put32(head, type1_write_32(W32.cmd, 1));
    put32(head, WCFG_COMMAND);
    put32(head, type1_write_32(FAR, 1));
    put32(head, 0x00000000);
    put32(head, type1_write_32(W32.fdri, 0));
    put32(head, 0x50000000u | design.frame_words);  // type 2: the frame data
    uint32_t crc = sim::crc32c_feed(0, IDCODE_32, sim::IDCODE_VIRTEX4);
    crc = sim::crc32c_feed(crc, WCFG_COMMAND, W32.cmd);
    return sim::crc32c_feed(crc, 0x00000000, FAR);
}

void tail_32(std::vector<uint8_t>& tail)
{
    put32(tail, type1_write_32(sim::CRC_REGISTER, 1));
    put32(tail, 0);  // the CRC, once the frames are known
    put32(tail, type1_write_32(W32.cmd, 1));
    put32(tail, sim::START_COMMAND);
    put32(tail, NOOP_32);
    put32(tail, type1_write_32(W32.cmd, 1));
    put32(tail, sim::DESYNC_COMMAND);
    for (int i = 0; i < 4; ++i) {
        put32(tail, NOOP_32);
    }
}

// A Spartan-6 style stream: a dummy word, the 32-bit sync word, RCRC, the
// IDCODE (two words), WCFG, then the frame data as a type-2 write to FDRI;
// after it the AutoCRC, the CRC write (two words each), START and DESYNC.
uint32_t head_16(std::vector<uint8_t>& head, const Design& design)
{
    put32(head, 0xFFFFFFFF);
    put32(head, W32.sync);
    put16(head, NOOP_16);
    put16(head, type1_write_16(W16.cmd, 1));
    put16(head, sim::RCRC_COMMAND);
    put16(head, type1_write_16(sim::IDCODE_16, 2));
    put16(head, IDCODE_16 >> 16);
    put16(head, IDCODE_16 & 0xFFFF);
    put16(head, type1_write_16(W16.cmd, 1));
    put16(head, WCFG_COMMAND);
    put16(head, 0x5000u | W16.fdri << W16.register_shift);  // type 2 write to FDRI
    put16(head, design.frame_words >> 16);
    put16(head, design.frame_words & 0xFFFF);
    uint32_t crc = sim::crc22_feed(0, IDCODE_16 >> 16, sim::IDCODE_16);
    crc = sim::crc22_feed(crc, IDCODE_16 & 0xFFFF, sim::IDCODE_16);
    return sim::crc22_feed(crc, WCFG_COMMAND, W16.cmd);
}

void tail_16(std::vector<uint8_t>& tail)
{
    put32(tail, 0);  // the AutoCRC, once the frames are known
    put16(tail, type1_write_16(sim::CRC_REGISTER, 2));
    put32(tail, 0);  // the CRC: the same, as nothing is fed between them
    put16(tail, type1_write_16(W16.cmd, 1));
    put16(tail, sim::START_COMMAND);
    put16(tail, NOOP_16);
    put16(tail, type1_write_16(W16.cmd, 1));
    put16(tail, sim::DESYNC_COMMAND);
    for (int i = 0; i < 4; ++i) {
        put16(tail, NOOP_16);
    }
}

}  // namespace

ConfigStream::ConfigStream(const Design& design) : design_(design)
{
    word_size_ = design.family == Family::Words32 ? 4 : 2;
    if (word_size_ == 4) {
        head_crc_ = head_32(head_, design);
        tail_32(tail_);
    } else {
        head_crc_ = head_16(head_, design);
        tail_16(tail_);
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
            crc = sim::crc32c_feed(crc, word, W32.fdri);
        } else {
            put16(chunk, word & 0xFFFF);
            crc = sim::crc22_feed(crc, word & 0xFFFF, W16.fdri);
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
        byte = bit_reverse_table[byte];
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
            byte = bit_reverse_table[byte];
        }
        ok = ok && std::fwrite(reversed.data(), 1, n, out) == n;
    });
    return ok;
}

}  // namespace sample
