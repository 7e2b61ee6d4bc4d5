// Reading a configuration stream as a device does: the sync word, the
// packets (packet_format.h), the CRC checks, the IDCODE and the commands,
// each by the rules of the stream's family group (family_rules.h).
//
// A reader is told which groups the device may belong to: one, for a
// device that is known, or every group of a packet format, when only the
// stream can tell. It then narrows them down as the stream shows its group:
//
//   - bus width detection words before the sync word: Virtex-4 and later;
//   - an IDCODE (recognised by the maker's code in its low 12 bits) in
//     register 12 or 14 of a 32-bit stream: Virtex-4 and later or
//     Virtex-II; in a 16-bit stream its family bits 27:21 (0x20: Spartan-6);
//   - frame data written before any IDCODE: Virtex, the one group whose
//     streams write none;
//   - a word that is no packet header right after a 16-bit type-2 FDRI
//     write: the AutoCRC of Spartan-6;
//   - a CRC check: the groups whose CRC does not match are ruled out.
//
// Until one group is left, the CRC of each is kept, and a CRC check fails
// only when none matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "bitstream/family_rules.h"
#include "bitstream/packet_format.h"

namespace bitstream {

enum class CrcCheck : uint8_t { Write, AutoCrc };

// Whoever wants to know what the device meets in a stream (the bitstream
// checker). Each place is where the thing ends, in bytes from the start of
// the configuration cycle.
class StreamListener {
public:
    virtual ~StreamListener() = default;
    virtual void cycle_started() {}
    // The sync word, `sync_bytes` long, before packets of `word_bytes`.
    virtual void synced(unsigned /*word_bytes*/, unsigned /*sync_bytes*/, uint64_t /*end*/) {}
    // A device that needs the whole sync word turned out to be synced on
    // AA 99 alone: it looks for the sync word again.
    virtual void sync_refused(uint64_t /*end*/) {}
    virtual void idcode_written(uint32_t /*idcode*/, uint64_t /*end*/) {}
    // `written` and `computed` in the bits the group compares, for the
    // group whose CRC matched (or, when none did, the first left).
    virtual void crc_checked(FamilyGroup /*group*/, CrcCheck /*check*/, uint32_t /*written*/,
                             uint32_t /*computed*/, bool /*bypassed*/, bool /*passed*/,
                             uint64_t /*end*/)
    {
    }
    virtual void command(uint32_t /*code*/, uint64_t /*end*/) {}
};

// What a reader stops at, for the device to act on.
enum class ReaderEvent : uint8_t {
    None,
    Idcode,     // an IDCODE was written: idcode()
    Command,    // a command was written: command()
    CrcPassed,  // a CRC check passed
    CrcError,   // a CRC check failed
};

// Tells the packet format of a stream whose group is not known, from its
// sync word: AA 99 not followed by 55 66 starts 16-bit packets; after
// AA 99 55 66 the next word starts 32-bit packets if it is one
// (starts_32_bit_packets), else 16-bit ones.
class FormatDetector {
public:
    // Takes the next byte; the word bytes of the format once it is told, 0
    // until then.
    unsigned take(uint8_t byte);
    // The last bytes taken, from the sync word on, for the reader of the
    // format told to read again.
    size_t replay(uint8_t* bytes) const;
    bool bus_width_detected() const { return bus_width_detected_; }

private:
    uint64_t window_ = 0;
    unsigned after_sync_ = 0;  // bytes taken since AA 99
    bool bus_width_detected_ = false;
};

template <const PacketFormat& format>
class StreamReader {
public:
    using Word = std::conditional_t<format.word_bytes == 4, uint32_t, uint16_t>;

    // Starts over for a new configuration cycle, for a device of one of
    // `groups` (all of this packet format: those of groups_with_words()).
    void restart(StreamListener* listener, GroupSet groups, bool bus_width_detected = false);

    // Takes the next `count` bytes of the stream, which start `at` bytes into
    // it, up to the first that makes an event (set in *event); returns how
    // many it took.
    size_t consume(const uint8_t* bytes, size_t count, uint64_t at, ReaderEvent* event);

    FamilyGroup group() const { return only_group(groups_); }
    // The rules of the group, or while it is not known, of the first group
    // still possible.
    const FamilyRules& rules() const;
    uint32_t idcode() const { return idcode_; }
    uint32_t command() const { return command_; }
    // The last word written to register `reg`, or null if none was.
    const uint32_t* register_value(uint32_t reg) const
    {
        return reg < 64 && (written_ >> reg & 1) != 0 ? &registers_[reg] : nullptr;
    }

private:
    ReaderEvent take(uint8_t byte);
    ReaderEvent sync_byte(uint8_t byte);
    ReaderEvent handle_word(uint32_t word);
    ReaderEvent header(uint32_t word);
    ReaderEvent start_payload(uint32_t count, bool type2);
    ReaderEvent payload_word(uint32_t word);
    ReaderEvent end_payload();
    ReaderEvent idcode_written(uint32_t value);
    ReaderEvent command_written(uint32_t value);
    ReaderEvent check(CrcCheck check, uint32_t written);
    void narrow(GroupSet groups);
    void lose_sync();
    void feed(uint32_t word);
    void feed_frames(const uint8_t* bytes, size_t words);

    StreamListener* listener_ = nullptr;
    GroupSet groups_ = 0;
    uint32_t fdri_ = 0, cmd_ = 0;  // the same in every group of the format
    uint64_t end_ = 0;  // of the byte being taken, for the listener
    bool synced_ = false;
    bool whole_sync_ = false;     // 16-bit: synced on AA 99 55 66, not AA 99 alone
    bool sync_tail_due_ = false;  // 16-bit: synced on AA 99; a 55 66 may follow
    bool bus_width_detected_ = false;
    uint64_t window_ = 0;  // the last bytes while looking for sync
    uint32_t word_ = 0;
    unsigned word_bytes_ = 0;

    uint32_t register_ = 0;         // of the last header
    uint32_t payload_words_ = 0;    // still to come for register_
    bool payload_type2_ = false;
    unsigned count_words_due_ = 0;  // of a 16-bit type-2 count, high half first
    bool type2_write_ = false;
    uint32_t type2_count_ = 0;
    uint32_t value_ = 0;            // a value written as two 16-bit words
    unsigned autocrc_words_due_ = 0;
    bool autocrc_may_follow_ = false;  // 16-bit, group not known: Spartan-6's may

    bool idcode_seen_ = false;
    uint32_t idcode_ = 0;
    uint32_t command_ = 0;
    uint32_t registers_[64] = {};
    uint64_t written_ = 0;  // which of registers_ hold a value
    uint32_t crc_[8] = {};  // of each group still possible, by FamilyGroup
};

}  // namespace bitstream
