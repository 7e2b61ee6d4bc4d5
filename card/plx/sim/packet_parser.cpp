#include "card/plx/sim/packet_parser.h"

#include <algorithm>

#include "card/plx/sim/stream_crc.h"

namespace sim {

namespace {

enum : uint32_t { OPCODE_WRITE = 2 };
// Written before the sync word by Virtex-5 and later families, for the
// SelectMAP interface to detect its width.
constexpr uint64_t BUS_WIDTH_DETECTION = 0x000000BB11220044;
// The low 12 bits of the families' IDCODEs: the maker's JEDEC code above the
// 1 that JTAG puts at bit 0. Bits 27:21 of a 16-bit stream's IDCODE tell
// Spartan-6 from Spartan-3A.
constexpr uint32_t IDCODE_MAKER_MASK = 0xFFF;
constexpr uint32_t IDCODE_MAKER = 0x093;
constexpr uint32_t SPARTAN6_FAMILY = 0x20;

}  // namespace

uint32_t compared_crc_bits(FamilyGroup group)
{
    switch (group) {
    case FamilyGroup::Virtex:
    case FamilyGroup::VirtexII:
        return 0xFFFF;
    case FamilyGroup::Spartan3A:
    case FamilyGroup::Spartan6:
        return 0x3FFFFF;
    default:
        return 0xFFFFFFFF;
    }
}

namespace {

bool resets_after_compare(FamilyGroup group)
{
    return group != FamilyGroup::Spartan3A && group != FamilyGroup::Spartan6;
}

uint32_t big_endian(const uint8_t* bytes, unsigned count)
{
    uint32_t word = 0;
    for (unsigned i = 0; i < count; ++i) {
        word = word << 8 | bytes[i];
    }
    return word;
}

// Frame data through one group's CRC.
template <unsigned word_bytes, uint32_t (*feed)(uint32_t, uint32_t, uint32_t)>
uint32_t feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address)
{
    for (const uint8_t* word = bytes; word != bytes + words * word_bytes; word += word_bytes) {
        crc = feed(crc, big_endian(word, word_bytes), address);
    }
    return crc;
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
const bool HAS_CRC_INSTRUCTION = [] {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
}();
#else
const bool HAS_CRC_INSTRUCTION = false;
#endif

const char* family_group_name(FamilyGroup group)
{
    switch (group) {
    case FamilyGroup::Virtex:
        return "Virtex, Spartan-II";
    case FamilyGroup::VirtexII:
        return "Virtex-II, Virtex-II Pro, Spartan-3, Spartan-3E";
    case FamilyGroup::Virtex4On:
        return "Virtex-4 and later";
    case FamilyGroup::Spartan3A:
        return "Spartan-3A, Spartan-3AN, Spartan-3A DSP";
    case FamilyGroup::Spartan6:
        return "Spartan-6";
    case FamilyGroup::Unknown:
        break;
    }
    return "not known";
}

template <const PacketFormat& format>
size_t PacketParser<format>::consume(const uint8_t* bytes, size_t count, uint64_t at,
                                     ParseEvent* event)
{
    *event = ParseEvent::None;
    size_t i = 0;
    while (i < count) {
        // The bulk of a stream is frame data: whole words straight into the
        // CRC.
        if (payload_words_ != 0 && word_bytes_ == 0 && frame_register()) {
            const size_t words =
                std::min<size_t>(payload_words_, (count - i) / format.word_bytes);
            if (words != 0) {
                feed_frames(bytes + i, words);
                payload_words_ -= static_cast<uint32_t>(words);
                i += words * format.word_bytes;
                if (payload_words_ == 0) {
                    end_ = at + i;
                    *event = end_payload();
                    if (*event != ParseEvent::None) {
                        return i;
                    }
                }
                continue;
            }
        }
        end_ = at + i + 1;
        *event = take(bytes[i++]);
        if (*event != ParseEvent::None) {
            return i;
        }
    }
    return count;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::take(uint8_t byte)
{
    if (!synced_) {
        return sync_byte(byte);
    }
    word_ = static_cast<Word>(word_ << 8 | byte);
    if (++word_bytes_ < format.word_bytes) {
        return ParseEvent::None;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::sync_byte(uint8_t byte)
{
    window_ = window_ << 8 | byte;
    if (window_ == BUS_WIDTH_DETECTION) {
        bus_width_detected_ = true;
    }
    if (static_cast<Word>(window_) != format.sync) {
        return ParseEvent::None;
    }
    synced_ = true;
    just_synced_ = true;
    if (listener_ != nullptr) {
        listener_->synced(format.word_bytes, end_);
    }
    if (format.word_bytes == 4 && bus_width_detected_) {
        return found(FamilyGroup::Virtex4On);
    }
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::handle_word(uint32_t word)
{
    if (format.word_bytes == 2 && just_synced_) {
        just_synced_ = false;
        if (word == 0x5566) {
            return ParseEvent::None;  // the rest of a 32-bit sync word
        }
    }
    if (autocrc_words_due_ != 0) {
        value_ = format.word_bytes == 4 ? word : value_ << 16 | word;
        return --autocrc_words_due_ == 0 ? compare(CrcCheck::AutoCrc, value_) : ParseEvent::None;
    }
    if (count_words_due_ != 0) {
        type2_count_ = type2_count_ << 16 | word;
        if (--count_words_due_ == 0 && type2_write_) {
            return start_payload(type2_count_, true);
        }
        return ParseEvent::None;
    }
    if (payload_words_ != 0) {
        return payload_word(word);
    }
    return header(word);
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::header(uint32_t word)
{
    constexpr unsigned TYPE_SHIFT = 8 * format.word_bytes - 3;
    const uint32_t type = word >> TYPE_SHIFT;
    const bool write = ((word >> (TYPE_SHIFT - 2)) & 0x3) == OPCODE_WRITE;
    if (type == 1) {
        register_ = (word >> format.register_shift) & format.register_mask;
        if (write) {
            return start_payload(word & format.count_mask, false);
        }
    } else if (type == 2) {
        if (format.word_bytes == 2) {
            register_ = (word >> format.register_shift) & format.register_mask;
            type2_write_ = write;
            type2_count_ = 0;
            count_words_due_ = 2;
        } else if (write) {
            return start_payload(word & 0x07FFFFFFu, true);
        }
    }
    // Anything else is not a packet header and passes as one word.
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::start_payload(uint32_t count, bool type2)
{
    if (count == 0) {
        return ParseEvent::None;
    }
    payload_words_ = count;
    value_ = 0;
    ParseEvent event = ParseEvent::None;
    if (register_ == format.fdri && format.word_bytes == 4 && group_ == FamilyGroup::Unknown) {
        event = found(FamilyGroup::Virtex);  // frame data, and no IDCODE written before it
    }
    payload_autocrc_ = register_ == format.fdri && (group_ == FamilyGroup::VirtexII ||
                                                    (group_ == FamilyGroup::Spartan6 && type2));
    return event;
}

// One word of a payload, taken on its own (frame data mostly goes through
// feed_frames). A value written as two 16-bit words counts once both are in.
template <const PacketFormat& format>
ParseEvent PacketParser<format>::payload_word(uint32_t word)
{
    --payload_words_;
    const ParseEvent event = register_value(word);
    return payload_words_ == 0 && event == ParseEvent::None ? end_payload() : event;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::register_value(uint32_t value)
{
    if (register_ == format.cmd) {
        return command(value);
    }
    if (format.word_bytes == 2 && (register_ == CRC_REGISTER || register_ == IDCODE_16)) {
        value_ = value_ << 16 | value;  // counted at the payload's end
    } else if (register_ == CRC_REGISTER) {
        return compare(CrcCheck::Write, value);
    }
    if (register_ != CRC_REGISTER) {
        feed(value);
    }
    if (format.word_bytes == 4 && (register_ == IDCODE_VIRTEX4 || register_ == IDCODE_VIRTEX2)) {
        return idcode_written(value);
    }
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::end_payload()
{
    if (format.word_bytes == 2 && register_ == CRC_REGISTER) {
        return compare(CrcCheck::Write, value_);
    }
    if (format.word_bytes == 2 && register_ == IDCODE_16) {
        return idcode_written(value_);
    }
    if (payload_autocrc_) {
        autocrc_words_due_ = format.word_bytes == 4 ? 1 : 2;
        value_ = 0;
    }
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::idcode_written(uint32_t value)
{
    if (group_ == FamilyGroup::Unknown) {
        if ((value & IDCODE_MAKER_MASK) != IDCODE_MAKER) {
            return ParseEvent::None;
        }
        if (format.word_bytes == 2) {
            found(((value >> 21) & 0x7F) == SPARTAN6_FAMILY ? FamilyGroup::Spartan6
                                                            : FamilyGroup::Spartan3A);
        } else {
            found(register_ == IDCODE_VIRTEX4 ? FamilyGroup::Virtex4On : FamilyGroup::VirtexII);
        }
    } else if (format.word_bytes == 4 && !(group_ == FamilyGroup::Virtex4On
                                                 ? register_ == IDCODE_VIRTEX4
                                                 : group_ == FamilyGroup::VirtexII &&
                                                       register_ == IDCODE_VIRTEX2)) {
        return ParseEvent::None;  // another register of this group
    }
    idcode_ = value;
    if (listener_ != nullptr) {
        listener_->idcode_written(format.word_bytes, value, end_);
    }
    return ParseEvent::Idcode;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::command(uint32_t value)
{
    if (value == RCRC_COMMAND) {
        crc_[0] = crc_[1] = crc_[2] = 0;
        return ParseEvent::None;
    }
    feed(value);
    if (value == DESYNC_COMMAND && group_ != FamilyGroup::Virtex) {
        if (listener_ != nullptr) {
            listener_->configuration_ended(format.word_bytes, EndCommand::Desync, end_);
        }
        return ParseEvent::End;
    }
    if (value == START_COMMAND && group_ == FamilyGroup::Virtex && !started_) {
        started_ = true;
        if (listener_ != nullptr) {
            listener_->configuration_ended(format.word_bytes, EndCommand::Start, end_);
        }
        return ParseEvent::Started;
    }
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::compare(CrcCheck check, uint32_t written)
{
    if (group_ == FamilyGroup::Unknown) {
        return ParseEvent::None;  // nothing known to compare against
    }
    const uint32_t mask = compared_crc_bits(group_);
    const uint32_t computed = crc_[0];
    if (listener_ != nullptr) {
        listener_->crc_compared(format.word_bytes, check, written & mask, computed, end_);
    }
    if (resets_after_compare(group_)) {
        crc_[0] = 0;
    }
    if ((written & mask) != computed) {
        return ParseEvent::CrcError;
    }
    return started_ ? ParseEvent::End : ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::found(FamilyGroup group)
{
    group_ = group;
    if (group == FamilyGroup::VirtexII) {
        crc_[0] = crc_[1];
    } else if (group == FamilyGroup::Virtex) {
        crc_[0] = crc_[2];
    }
    if (listener_ != nullptr) {
        listener_->group_found(format.word_bytes, group, end_);
    }
    return ParseEvent::GroupFound;
}

template <const PacketFormat& format>
bool PacketParser<format>::fed(uint32_t reg) const
{
    if (format.word_bytes == 2) {
        return reg != format.lout && reg != format.csbo;
    }
    return group_ == FamilyGroup::Virtex4On || reg != format.lout;
}

template <const PacketFormat& format>
void PacketParser<format>::feed(uint32_t word)
{
    if (format.word_bytes == 4 && group_ == FamilyGroup::Unknown) {
        // Each group's CRC until the stream shows which it is; LOUT feeds
        // only that of Virtex-4 on.
        crc_[0] = crc32c_feed(crc_[0], word, register_);
        if (register_ != format.lout) {
            crc_[1] = crc16_feed<5>(crc_[1], word, register_);
            crc_[2] = crc16_feed<4>(crc_[2], word, register_);
        }
        return;
    }
    if (!fed(register_)) {
        return;
    }
    crc_[0] = format.word_bytes == 2                ? crc22_feed(crc_[0], word, register_)
              : group_ == FamilyGroup::Virtex4On ? crc32c_feed(crc_[0], word, register_)
              : group_ == FamilyGroup::VirtexII  ? crc16_feed<5>(crc_[0], word, register_)
                                                 : crc16_feed<4>(crc_[0], word, register_);
}

// Registers whose payload goes straight into the CRC, a run of words at a
// time: all but those whose values count on their own.
template <const PacketFormat& format>
bool PacketParser<format>::frame_register() const
{
    if (register_ == CRC_REGISTER || register_ == format.cmd) {
        return false;
    }
    if (format.word_bytes == 2) {
        return register_ != IDCODE_16;
    }
    return group_ != FamilyGroup::Unknown && register_ != IDCODE_VIRTEX4 &&
           register_ != IDCODE_VIRTEX2;
}

template <const PacketFormat& format>
void PacketParser<format>::feed_frames(const uint8_t* bytes, size_t words)
{
    if (!fed(register_)) {
        return;
    }
    uint32_t& crc = crc_[0];
    if constexpr (format.word_bytes == 2) {
        crc = feed_words<2, crc22_feed>(crc, bytes, words, register_);
    } else if (group_ == FamilyGroup::Virtex4On) {
        crc = feed_words<4, crc32c_feed>(crc, bytes, words, register_);
    } else if (group_ == FamilyGroup::VirtexII) {
        crc = feed_words<4, crc16_feed<5>>(crc, bytes, words, register_);
    } else {
        crc = feed_words<4, crc16_feed<4>>(crc, bytes, words, register_);
    }
}

template class PacketParser<WORDS_32>;
template class PacketParser<WORDS_16>;

}  // namespace sim
