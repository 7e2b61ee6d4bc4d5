#include "bitstream/stream_reader.h"

#include <algorithm>

#include "bitstream/crc.h"

namespace bitstream {

// ---------------------------------------------------------------- StreamReader

template <const PacketFormat& format>
void StreamReader<format>::restart(GroupSet groups, const FpgaFamily* family,
                                   bool bus_width_detected)
{
    static_cast<ReaderState&>(*this) = ReaderState();
    groups_ = groups;
    family_ = family;
    needs_bus_width_ = family != nullptr && family->needs_bus_width;
    bus_width_detected_ = bus_width_detected;
    record_.word_bytes = format.word_bytes;
    regroup();
    fdri_ = rules().fdri;
    cmd_ = rules().cmd;
}

template <const PacketFormat& format>
size_t StreamReader<format>::consume(const uint8_t* bytes, size_t count, uint64_t at,
                                     ReaderEvent* event)
{
    *event = ReaderEvent::None;
    size_t i = 0;
    while (i < count) {
        // The bulk of a stream is frame data: whole words straight into the
        // CRC, a word that the last call left split first.
        if (payload_words_ != 0 && register_ == fdri_) {
            const uint8_t* frames = bytes + i;
            size_t words = std::min<size_t>(payload_words_, (count - i) / format.word_bytes);
            uint8_t split[format.word_bytes];
            if (word_bytes_ != 0) {
                while (word_bytes_ != 0 && i < count) {
                    word_ = static_cast<Word>(word_ << 8 | bytes[i++]);
                    word_bytes_ = (word_bytes_ + 1) % format.word_bytes;
                }
                if (word_bytes_ != 0) {
                    return count;
                }
                for (unsigned b = 0; b < format.word_bytes; ++b) {
                    split[b] = static_cast<uint8_t>(word_ >> 8 * (format.word_bytes - 1 - b));
                }
                frames = split;
                words = 1;
            } else {
                i += words * format.word_bytes;
            }
            if (words != 0) {
                feed_frames(frames, words);
                payload_words_ -= static_cast<uint32_t>(words);
                if (payload_words_ == 0) {
                    end_ = at + i;
                    *event = end_payload();
                    if (*event != ReaderEvent::None) {
                        return i;
                    }
                }
                continue;
            }
        }
        // Looking for the sync word: only the bytes that end one of the
        // words it looks for (AA 99, AA 99 55 66, the bus width pattern) need
        // a closer look.
        while (!synced_ && i + 1 < count) {
            const uint32_t last = static_cast<uint32_t>(window_ << 8 | bytes[i]) & 0xFFFF;
            if (last == SYNC_HALF || last == (SYNC_WORD & 0xFFFF) ||
                last == (BUS_WIDTH_DETECTION & 0xFFFF)) {
                break;
            }
            window_ = window_ << 8 | bytes[i++];
        }
        end_ = at + i + 1;
        *event = take(bytes[i++]);
        if (*event != ReaderEvent::None) {
            return i;
        }
    }
    return count;
}

template <const PacketFormat& format>
ReaderEvent StreamReader<format>::take(uint8_t byte)
{
    if (!synced_) {
        return sync_byte(byte);
    }
    word_ = static_cast<Word>(word_ << 8 | byte);
    if (++word_bytes_ < format.word_bytes) {
        return ReaderEvent::None;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

// A device whose group syncs on AA 99 alone takes that; one that needs the
// whole sync word waits for AA 99 55 66, and one that needs its bus width
// detected first takes none before the detection pattern.
template <const PacketFormat& format>
ReaderEvent StreamReader<format>::sync_byte(uint8_t byte)
{
    window_ = window_ << 8 | byte;
    if (window_ == BUS_WIDTH_DETECTION) {
        bus_width_detected_ = record_.bus_width_detected = true;
    }
    const bool needs_whole = needs_whole_sync_;
    if (needs_whole ? static_cast<uint32_t>(window_) != SYNC_WORD
                    : (window_ & 0xFFFF) != SYNC_HALF) {
        return ReaderEvent::None;
    }
    if (needs_bus_width_ && !bus_width_detected_) {
        record_.bus_width_refused = true;
        return ReaderEvent::None;
    }
    synced_ = true;
    whole_sync_ = needs_whole;
    sync_tail_due_ = !needs_whole;
    if (record_.sync_bytes == 0) {
        record_.sync_bytes = needs_whole ? 4 : 2;
        record_.sync_end = end_;
    }
    if (bus_width_detected_) {
        narrow(groups_where(groups_, [](const FamilyRules& r) { return r.bus_width_detection; }));
    }
    return ReaderEvent::None;
}

template <const PacketFormat& format>
ReaderEvent StreamReader<format>::handle_word(uint32_t word)
{
    if (sync_tail_due_) {
        sync_tail_due_ = false;
        if (word == (SYNC_WORD & 0xFFFF)) {
            whole_sync_ = true;
            return ReaderEvent::None;
        }
    }
    if (autocrc_may_follow_) {
        autocrc_may_follow_ = false;
        if (format.type_of(word) == 0) {  // no packet header: an AutoCRC
            narrow(groups_where(groups_, [](const FamilyRules& r) {
                return r.autocrc == AutoCrc::AfterType2FdriWrite;
            }));
            if (!synced_) {
                return ReaderEvent::None;
            }
            autocrc_words_due_ = 2;
            value_ = 0;
        }
    }
    if (autocrc_words_due_ != 0) {
        value_ = format.word_bytes == 4 ? word : value_ << 16 | word;
        return --autocrc_words_due_ == 0 ? check(CrcCheck::AutoCrc, value_) : ReaderEvent::None;
    }
    if (count_words_due_ != 0) {
        type2_count_ = type2_count_ << 16 | word;
        if (--count_words_due_ == 0 && type2_write_) {
            return start_payload(type2_count_, true);
        }
        return ReaderEvent::None;
    }
    if (payload_words_ != 0) {
        return payload_word(word);
    }
    return header(word);
}

template <const PacketFormat& format>
ReaderEvent StreamReader<format>::header(uint32_t word)
{
    const uint32_t type = format.type_of(word);
    const bool write = format.opcode_of(word) == WRITE;
    if (type == 1) {
        register_ = format.register_of(word);
        if (write) {
            return start_payload(word & format.count_mask, false);
        }
    } else if (type == 2) {
        if (format.word_bytes == 2) {
            register_ = format.register_of(word);
            type2_write_ = write;
            type2_count_ = 0;
            count_words_due_ = 2;
        } else if (write) {
            return start_payload(word & PacketFormat::TYPE2_COUNT_MASK, true);
        }
    }
    // Anything else is not a packet header and passes as one word.
    return ReaderEvent::None;
}

template <const PacketFormat& format>
ReaderEvent StreamReader<format>::start_payload(uint32_t count, bool type2)
{
    if (count == 0) {
        return ReaderEvent::None;
    }
    payload_words_ = count;
    payload_type2_ = type2;
    value_ = 0;
    if (register_ == fdri_) {
        start_frames(count);
    }
    return ReaderEvent::None;
}

// One word of a payload, taken on its own (frame data mostly goes through
// feed_frames). A value written as two 16-bit words counts once both are in.
template <const PacketFormat& format>
ReaderEvent StreamReader<format>::payload_word(uint32_t word)
{
    --payload_words_;
    ReaderEvent event = ReaderEvent::None;
    const uint32_t reg = register_;
    const bool idcode_register = reg < 64 && (register_signs_[reg] & IDCODE_HERE) != 0;
    if (reg == CRC_REGISTER) {
        if (format.word_bytes == 4) {
            event = check(CrcCheck::Write, word);
        } else {
            value_ = value_ << 16 | word;
        }
    } else if (reg == cmd_) {
        event = command_written(word);
    } else {
        feed(word);
        event = note_write(reg, word);
        if (idcode_register) {
            if (format.word_bytes == 4) {
                event = idcode_written(word);
            } else {
                value_ = value_ << 16 | word;
            }
        }
    }
    return payload_words_ == 0 && event == ReaderEvent::None && synced_ ? end_payload() : event;
}

template <const PacketFormat& format>
ReaderEvent StreamReader<format>::end_payload()
{
    const uint32_t reg = register_;
    if (format.word_bytes == 2 && reg == CRC_REGISTER) {
        return check(CrcCheck::Write, value_);
    }
    if (format.word_bytes == 2 && reg < 64 && (register_signs_[reg] & IDCODE_HERE) != 0) {
        return idcode_written(value_);
    }
    if (reg != fdri_) {
        return ReaderEvent::None;
    }
    const FamilyRules* rules = rules_of(group());
    if (rules != nullptr) {
        if (rules->autocrc == AutoCrc::AfterFdriWrite ||
            (rules->autocrc == AutoCrc::AfterType2FdriWrite && payload_type2_)) {
            autocrc_words_due_ = 4 / format.word_bytes;
            value_ = 0;
        }
    } else if (payload_type2_ &&
               groups_where(groups_, [](const FamilyRules& r) {
                   return r.autocrc == AutoCrc::AfterType2FdriWrite;
               }) != 0) {
        autocrc_may_follow_ = true;
    }
    return ReaderEvent::None;
}

template <const PacketFormat& format>
void StreamReader<format>::feed_frames(const uint8_t* bytes, size_t words)
{
    const uint32_t reg = register_;
    for_each_group(groups_, [this, bytes, words, reg](const FamilyRules& r) {
        uint32_t& crc = crc_[static_cast<size_t>(r.group)];
        crc = crc_feed_words(r, crc, bytes, words, reg);
    });
}

template class StreamReader<WORDS_32>;
template class StreamReader<WORDS_16>;

}  // namespace bitstream
