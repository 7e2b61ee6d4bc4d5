#include "tools/sample_bitstream.h"

#include <algorithm>

#include "bitstream/crc.h"
#include "bitstream/packet_format.h"
#include "common/bit_reverse.h"
#include "tools/file_kind.h"

namespace sample {

namespace {

using bitstream::FamilyGroup;
using bitstream::FamilyRules;

constexpr uint32_t NONE = bitstream::NO_REGISTER;
// What the samples write beyond what the family rules name: the frame
// address (register 1, in 32-bit streams), WCFG, and COR1, which Virtex-4
// and later streams write to register 14 (where Virtex-II streams write their
// IDCODE).
constexpr uint32_t FAR_32 = 1;
constexpr uint32_t WCFG_COMMAND = 1;
constexpr uint32_t COR1_VIRTEX4 = 14;
// The option registers as the FPGA tools write them by default, by packet
// format: the one with the CRC bypass bit, and the one with the DONE phase
// (in 32-bit streams both are COR).
struct OptionDefaults {
    uint32_t bypass_register_value, done_register_value;
};
constexpr OptionDefaults OPTIONS_32 = {0x00003FE5, 0x00003FE5};
constexpr OptionDefaults OPTIONS_16 = {0x3D08, 0x09EE};

const struct {
    FamilyGroup group;
    uint32_t idcode;
    const char* part;
} SAMPLE_DEVICES[] = {
    {FamilyGroup::Virtex, 0, "2s200fg456"},
    {FamilyGroup::VirtexII, 0x01414093, "3s200pq208"},
    {FamilyGroup::Virtex4On, 0x0362D093, "7a35tcpg236"},
    {FamilyGroup::Spartan3A, 0x02210093, "3s50atq144"},
    {FamilyGroup::Spartan6, 0x04001093, "6slx9tqg144"},
};

void put(std::vector<uint8_t>& out, uint32_t word, unsigned bytes)
{
    for (unsigned i = bytes; i-- > 0;) {
        out.push_back(static_cast<uint8_t>(word >> 8 * i));
    }
}

// Packets of a group's stream, encoded in its packet format, and the CRC
// its device computes over them.
class Packets {
public:
    Packets(const FamilyRules& rules, std::vector<uint8_t>& out, uint32_t crc)
        : rules_(rules), format_(*rules.format), out_(out), crc_(crc)
    {
    }

    uint32_t crc() const { return crc_; }
    void word(uint32_t value) { put(out_, value, format_.word_bytes); }
    void noop(int count = 1)
    {
        for (int i = 0; i < count; ++i) {
            word(format_.noop());
        }
    }
    // A type-1 write of one value: one word, or the high and low halves of
    // a 32-bit value in 16-bit streams (the IDCODE, the CRC).
    void write(uint32_t reg, uint32_t value, bool two_halves = false)
    {
        word(format_.type1(bitstream::WRITE, reg, two_halves ? 2 : 1));
        for (const uint32_t part : two_halves ? std::vector<uint32_t>{value >> 16, value & 0xFFFF}
                                              : std::vector<uint32_t>{value}) {
            word(part);
            feed(part, reg);
        }
    }
    void command(uint32_t code)
    {
        write(rules_.cmd, code);
        if (code == bitstream::RCRC_COMMAND) {
            crc_ = 0;
        }
    }
    // The CRC check, or the words the FPGA tools write when it is disabled;
    // as a CRC write or as the AutoCRC after the frame data.
    void check(bool disabled, bool autocrc = false)
    {
        const uint32_t value = disabled ? rules_.bypass_crc : crc_;
        const bool halves = format_.word_bytes == 2;
        if (!autocrc) {
            word(format_.type1(bitstream::WRITE, bitstream::CRC_REGISTER, halves ? 2 : 1));
        }
        word(halves ? value >> 16 : value);
        if (halves) {
            word(value & 0xFFFF);
        }
        if (rules_.reset_after_check) {
            crc_ = 0;
        }
    }
    void frames_header(uint32_t words)
    {
        if (format_.word_bytes == 4) {
            word(format_.type1(bitstream::WRITE, rules_.fdri, 0));
            word(format_.type2(bitstream::WRITE, words));
        } else {
            word(format_.type2(bitstream::WRITE, rules_.fdri));
            word(words >> 16);
            word(words & 0xFFFF);
        }
    }
    void frame(uint32_t value) { feed(value, rules_.fdri); }

private:
    void feed(uint32_t value, uint32_t reg)
    {
        if (reg != bitstream::CRC_REGISTER && reg != rules_.not_fed[0] &&
            reg != rules_.not_fed[1] && !(reg == rules_.cmd && value == bitstream::RCRC_COMMAND)) {
            crc_ = bitstream::crc_feed(rules_, crc_, value, reg);
        }
    }

    const FamilyRules& rules_;
    const bitstream::PacketFormat& format_;
    std::vector<uint8_t>& out_;
    uint32_t crc_;
};

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

const FamilyRules& rules_of(const Design& design)
{
    return *bitstream::rules_of(design.group);
}

// Up to the frame data: bus width detection (if asked for), a dummy word,
// the sync word, RCRC, the option registers, the IDCODE, LOUT, CSBO, WCFG and
// the frame address, then the header of the frame data's FDRI write.
uint32_t write_head(std::vector<uint8_t>& head, const Design& design)
{
    const FamilyRules& rules = rules_of(design);
    const bool words16 = rules.format->word_bytes == 2;
    if (design.detect_bus_width && rules.group == FamilyGroup::Virtex4On) {
        put(head, static_cast<uint32_t>(bitstream::BUS_WIDTH_DETECTION >> 32), 4);
        put(head, static_cast<uint32_t>(bitstream::BUS_WIDTH_DETECTION), 4);
        put(head, 0xFFFFFFFF, 4);
    }
    put(head, 0xFFFFFFFF, 4);  // dummy word
    put(head, rules.sync_word, rules.sync_word == bitstream::SYNC_WORD ? 4 : 2);
    Packets packets(rules, head, 0);
    packets.noop();
    packets.command(bitstream::RCRC_COMMAND);
    packets.noop(2);
    // The option registers: the CRC bypass bit, if asked for, and the phase
    // of DONE, where the family rules keep them.
    const OptionDefaults& defaults = words16 ? OPTIONS_16 : OPTIONS_32;
    const uint32_t bypass = design.crc_disabled ? rules.bypass_bit : 0;
    auto option = [&](uint32_t reg, uint32_t value) {
        if (reg == rules.done_cycle_register) {
            value = (value & ~(0x7u << rules.done_cycle_shift)) |
                    (design.done_phase - rules.done_phase_offset) << rules.done_cycle_shift;
        }
        packets.write(reg, value | (reg == rules.bypass_register ? bypass : 0));
    };
    if (rules.bypass_register != NONE) {
        option(rules.bypass_register, defaults.bypass_register_value);
    }
    if (rules.done_cycle_register != NONE && rules.done_cycle_register != rules.bypass_register) {
        option(rules.done_cycle_register, defaults.done_register_value);
    }
    if (rules.group == FamilyGroup::Virtex4On) {
        packets.write(COR1_VIRTEX4, 0);
    }
    if (design.idcode != 0 && rules.idcode != NONE) {
        packets.write(rules.idcode, design.idcode, words16);
    }
    // The registers the CRC leaves out: LOUT, and CSBO in 16-bit streams.
    for (const uint32_t reg : rules.not_fed) {
        if (reg != NONE) {
            packets.write(reg, 0);
        }
    }
    packets.command(WCFG_COMMAND);
    if (!words16) {
        packets.write(FAR_32, 0);
    }
    packets.frames_header(design.frame_words);
    return packets.crc();
}

}  // namespace

Design design_for(FamilyGroup group)
{
    Design design;
    for (const auto& device : SAMPLE_DEVICES) {
        if (device.group == group) {
            design.group = group;
            design.idcode = device.idcode;
            design.part = device.part;
        }
    }
    return design;
}

ConfigStream::ConfigStream(const Design& design) : design_(design)
{
    head_crc_ = write_head(head_, design);
    tail_size_ = tail(0).size();
}

// After the frame data: the AutoCRC (Virtex-II, Spartan-6), the CRC check,
// START and DESYNC, or for Virtex START and the CRC check after it; then
// NOOPs for the FPGA's start-up.
std::vector<uint8_t> ConfigStream::tail(uint32_t crc) const
{
    const FamilyRules& rules = rules_of(design_);
    std::vector<uint8_t> out;
    Packets packets(rules, out, crc);
    if (rules.autocrc != bitstream::AutoCrc::None && design_.frame_words != 0) {
        packets.check(design_.crc_disabled, true);
    }
    packets.check(design_.crc_disabled);
    if (design_.start) {
        packets.command(bitstream::START_COMMAND);
    } else {
        packets.noop(2);
    }
    packets.noop();
    if (rules.end == bitstream::EndCommand::Start) {
        packets.check(design_.crc_disabled);
    } else {
        packets.command(bitstream::DESYNC_COMMAND);
    }
    packets.noop(16 / rules.format->word_bytes);
    return out;
}

uint64_t ConfigStream::size() const
{
    return head_.size() + uint64_t{design_.frame_words} * rules_of(design_).format->word_bytes +
           tail_size_;
}

void ConfigStream::write(const std::function<void(const uint8_t*, size_t)>& sink) const
{
    sink(head_.data(), head_.size());
    const FamilyRules& rules = rules_of(design_);
    const unsigned word_bytes = rules.format->word_bytes;
    FrameData frames(design_.seed);
    std::vector<uint8_t> chunk;
    chunk.reserve(65536);
    Packets packets(rules, chunk, head_crc_);
    for (uint32_t i = 0; i < design_.frame_words; ++i) {
        const uint32_t word = word_bytes == 4 ? frames.next() : frames.next() & 0xFFFF;
        packets.word(word);
        packets.frame(word);
        if (chunk.size() >= 65536 - 4) {
            sink(chunk.data(), chunk.size());
            chunk.clear();
        }
    }
    sink(chunk.data(), chunk.size());
    const std::vector<uint8_t> end = tail(packets.crc());
    sink(end.data(), end.size());
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
    return filekind::bit_header({design.name, design.part, design.date, design.time}, config_length);
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
