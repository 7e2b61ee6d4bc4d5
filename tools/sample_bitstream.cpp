#include "tools/sample_bitstream.h"

#include <algorithm>
#include <cstdint>

#include "bitstream/crc.h"
#include "bitstream/devices.h"
#include "bitstream/packet_format.h"
#include "common/bit_reverse.h"
#include "tools/file_kind.h"

namespace sample {

namespace {

using bitstream::FamilyGroup;
using bitstream::FamilyRules;

constexpr uint32_t NONE = bitstream::NO_REGISTER;
// Where a multiboot golden image tells the device its next image starts.
constexpr uint32_t MULTIBOOT_ADDRESS = 0x00800000;

// The sample device of each group, as a .BIT header names it.
const char* const SAMPLE_PARTS[] = {"2s200fg456", "3s200pq208", "7a35tcpg236", "3s50atq144",
                                    "6slx9tqg144"};

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
    Packets(const FamilyRules& rules, const bitstream::CrcBypass* bypass,
            std::vector<uint8_t>& out, uint32_t crc)
        : rules_(rules), bypass_(bypass), format_(*rules.format), out_(out), crc_(crc)
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
    void command(uint32_t code) { write(rules_.cmd, code); }
    // The CRC check, or what the FPGA tools write when it is disabled: the
    // bypass value where the device has a bypass, else RCRC in its place;
    // as a CRC write or as the AutoCRC after the frame data.
    void check(bool disabled, bool autocrc = false)
    {
        if (disabled && bypass_ == nullptr) {
            command(bitstream::RCRC_COMMAND);
            return;
        }
        const uint32_t value = disabled ? bypass_->crc : crc_;
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
    void feed(uint32_t value, uint32_t reg) { crc_ = bitstream::crc_after_write(rules_, crc_, reg, value); }

    const FamilyRules& rules_;
    const bitstream::CrcBypass* bypass_;
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

// What goes into a PROM image: the stream without bus width detection,
// for which the PROM signature (the sync word at byte 4) leaves no room. A
// design for a device that needs it is written for a device of its group
// that does not.
Design prom_design(const Design& design)
{
    Design prom = design;
    prom.detect_bus_width = false;
    const bitstream::FpgaDevice* device = bitstream::device_of_idcode(design.idcode);
    if (device != nullptr && device->family->needs_bus_width) {
        for (const bitstream::FpgaDevice& other : bitstream::all_devices()) {
            if (other.family->group == design.group && !other.family->needs_bus_width) {
                prom.idcode = other.idcode;
                break;
            }
        }
    }
    return prom;
}

const FamilyRules& rules_of(const Design& design)
{
    return *bitstream::rules_of(design.group);
}

// How the design's device bypasses its CRC check: as its family does, or
// with no IDCODE to name it, as its group's families can.
const bitstream::CrcBypass* bypass_of(const Design& design)
{
    const bitstream::FpgaDevice* device = bitstream::device_of_idcode(design.idcode);
    return device != nullptr && device->family->group == design.group
               ? device->family->bypass
               : bitstream::group_crc_bypass(design.group);
}

// Up to the frame data: bus width detection (if asked for), a dummy word,
// the sync word, WBSTAR and IPROG (a multiboot image), RCRC, the option
// registers, the IDCODE, LOUT, CSBO, WCFG and the frame address, then the
// header of the first FDRI write, of `words`.
uint32_t write_head(std::vector<uint8_t>& head, const Design& design, uint32_t words)
{
    const FamilyRules& rules = rules_of(design);
    const bitstream::CrcBypass* bypass = bypass_of(design);
    if (design.detect_bus_width && rules.bus_width_detection) {
        put(head, static_cast<uint32_t>(bitstream::BUS_WIDTH_DETECTION >> 32), 4);
        put(head, static_cast<uint32_t>(bitstream::BUS_WIDTH_DETECTION), 4);
        put(head, 0xFFFFFFFF, 4);
    }
    put(head, 0xFFFFFFFF, 4);  // dummy word
    put(head, rules.sync_word, rules.sync_word == bitstream::SYNC_WORD ? 4 : 2);
    Packets packets(rules, bypass, head, 0);
    packets.noop();
    if (design.multiboot && rules.wbstar != NONE) {
        packets.write(rules.wbstar, MULTIBOOT_ADDRESS);
    }
    if (design.multiboot && rules.iprog_command != bitstream::NO_COMMAND) {
        packets.command(rules.iprog_command);
    }
    packets.command(bitstream::RCRC_COMMAND);
    packets.noop(2);
    // The option registers as the tools write them, with the CRC bypass bit
    // if asked for and the phase of DONE where the family rules keep them.
    auto option = [&](uint32_t reg, uint32_t value) {
        if (reg == rules.done_cycle_register) {
            value = (value & ~(0x7u << rules.done_cycle_shift)) |
                    (design.done_phase - rules.done_phase_offset) << rules.done_cycle_shift;
        }
        if (design.crc_disabled && bypass != nullptr && reg == bypass->option_register) {
            value |= bypass->bit;
        }
        packets.write(reg, value);
    };
    if (rules.options_register != NONE) {
        option(rules.options_register, rules.options_value);
    }
    if (rules.done_cycle_register != NONE && rules.done_cycle_register != rules.options_register) {
        option(rules.done_cycle_register, rules.done_options_value);
    }
    if (rules.extra_options_register != NONE) {
        packets.write(rules.extra_options_register, 0);
    }
    if (design.idcode != 0 && rules.idcode != NONE) {
        packets.write(rules.idcode, design.idcode, rules.format->word_bytes == 2);
    }
    // The registers the CRC leaves out: LOUT, and CSBO in 16-bit streams.
    for (const uint32_t reg : {rules.lout, rules.csbo}) {
        if (reg != NONE) {
            packets.write(reg, 0);
        }
    }
    packets.command(bitstream::WCFG_COMMAND);
    if (rules.far != NONE) {
        packets.write(rules.far, 0);
    }
    packets.frames_header(words);
    return packets.crc();
}

}  // namespace

Design design_for(FamilyGroup group)
{
    Design design;
    for (const char* part : SAMPLE_PARTS) {
        const bitstream::FpgaDevice* device = bitstream::device_of_part(part);
        if (device->family->group == group) {
            design.group = group;
            design.part = part;
            design.idcode = rules_of(design).idcode != NONE ? device->idcode : 0;
        }
    }
    return design;
}

ConfigStream::ConfigStream(const Design& design) : design_(design)
{
    design_.frame_writes = std::max<uint32_t>(1, std::min(design.frame_writes, design.frame_words));
    head_crc_ = write_head(head_, design_, write_words(0));
    tail_size_ = tail(0).size();
    std::vector<uint8_t> between;
    between_writes(between, 0, 0);
    between_size_ = between.size();
}

uint32_t ConfigStream::write_words(uint32_t index) const
{
    const uint32_t each = design_.frame_words / design_.frame_writes;
    return index + 1 < design_.frame_writes ? each : design_.frame_words - each * index;
}

uint32_t ConfigStream::between_writes(std::vector<uint8_t>& out, uint32_t crc, uint32_t words) const
{
    const FamilyRules& rules = rules_of(design_);
    Packets packets(rules, bypass_of(design_), out, crc);
    if (rules.autocrc != bitstream::AutoCrc::None) {
        packets.check(design_.crc_disabled, true);
    }
    if (design_.debug) {
        packets.write(rules.lout, 0);
    }
    if (design_.per_frame_crc) {
        packets.check(design_.crc_disabled);
    }
    if (design_.compressed && rules.mfwr != NONE) {
        packets.write(rules.mfwr, 0);
    }
    packets.frames_header(words);
    return packets.crc();
}

// After the frame data: the AutoCRC (Virtex-II, Spartan-6), the CRC check,
// START and DESYNC, or for Virtex START and the CRC check after it; then
// NOOPs for the FPGA's start-up.
std::vector<uint8_t> ConfigStream::tail(uint32_t crc) const
{
    const FamilyRules& rules = rules_of(design_);
    std::vector<uint8_t> out;
    Packets packets(rules, bypass_of(design_), out, crc);
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
           (design_.frame_writes - 1) * between_size_ + tail_size_;
}

void ConfigStream::write(const std::function<void(const uint8_t*, size_t)>& sink) const
{
    sink(head_.data(), head_.size());
    const FamilyRules& rules = rules_of(design_);
    const unsigned word_bytes = rules.format->word_bytes;
    FrameData frames(design_.seed);
    std::vector<uint8_t> chunk;
    chunk.reserve(65536);
    uint32_t crc = head_crc_;
    for (uint32_t write = 0; write < design_.frame_writes; ++write) {
        if (write != 0) {
            crc = between_writes(chunk, crc, write_words(write));
        }
        Packets packets(rules, bypass_of(design_), chunk, crc);
        for (uint32_t i = 0; i < write_words(write); ++i) {
            const uint32_t word = word_bytes == 4 ? frames.next() : frames.next() & 0xFFFF;
            packets.word(word);
            packets.frame(word);
            if (chunk.size() >= 65536 - 4) {
                sink(chunk.data(), chunk.size());
                chunk.clear();
            }
        }
        crc = packets.crc();
    }
    sink(chunk.data(), chunk.size());
    const std::vector<uint8_t> end = tail(crc);
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
