// Reading a configuration stream as a device does: the sync word, the
// packets (packet_format.h), the CRC checks, the IDCODE and the commands,
// each by the rules of the stream's family group (family_rules.h).
//
// A reader is told which groups the device may belong to: one, for a
// device that is known, or every group of a packet format, when only the
// stream can tell. It then narrows them down as the stream shows its group,
// by the signs the family rules and the device table name:
//
//   - bus width detection words before the sync word: the groups whose
//     streams write them;
//   - an IDCODE (recognised by the maker's code in its low 12 bits) in a
//     group's IDCODE register: the group of the device the table names, or
//     the groups that keep their IDCODE in that register;
//   - frame data written before any IDCODE: the groups whose streams write
//     none;
//   - a word that is no packet header right after a 16-bit type-2 FDRI
//     write: the groups with an AutoCRC there;
//   - a CRC check: the groups whose CRC does not match are ruled out.
//
// Until one group is left, the CRC of each is kept, and a CRC check fails
// only when none matches. What the reader meets on the way (the sync word,
// IDCODEs, CRC checks, the kinds of stream it shows) it keeps in a
// StreamRecord.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "bitstream/devices.h"
#include "bitstream/family_rules.h"
#include "bitstream/packet_format.h"

namespace bitstream {

enum class CrcCheck : uint8_t { Write, AutoCrc };

// What kind of stream it is, beside a plain full configuration; a set of
// these bits.
enum Feature : uint16_t {
    PARTIAL = 1,         // a part of the device's frames, or frames after a shutdown
    DEBUG = 2,           // LOUT written between frames
    PER_FRAME_CRC = 4,   // a CRC check between frames
    COMPRESSED = 8,      // multiple frame writes
    MULTIBOOT = 16,      // IPROG
    ENCRYPTED = 32,      // the decryptor enabled, or its initial vector written
};
using Features = uint16_t;

// What a reader met in one configuration cycle's stream. Each place is where
// the thing ends, in bytes from the start of the cycle.
struct StreamRecord {
    unsigned word_bytes = 0;   // of the packets after the sync word
    unsigned sync_bytes = 0;   // 0: no sync word taken
    uint64_t sync_end = 0;
    bool half_sync_refused = false;   // synced on AA 99 alone, as its device does not
    bool bus_width_detected = false;  // the detection pattern came before the sync word
    bool bus_width_refused = false;   // a sync word its device took not, for want of it
    struct Idcode {
        uint32_t value;
        uint64_t end;
    };
    std::vector<Idcode> idcodes;
    struct Check {
        FamilyGroup group;  // whose CRC matched, or when none did, the first left
        CrcCheck check;
        uint32_t written, computed;  // in the bits the group compares
        bool bypassed, passed;
        uint64_t end;
    };
    std::vector<Check> checks;
    Features features = 0;
    uint64_t frame_words = 0;  // written to FDRI
};

// What a reader stops at, for the device to act on.
enum class ReaderEvent : uint8_t {
    None,
    Idcode,     // an IDCODE was written: idcode()
    Command,    // a command was written: command()
    CrcPassed,  // a CRC check passed
    CrcError,   // a CRC check failed
    Decrypt,    // the decryptor was enabled
};

// Tells the packet format of a stream whose group is not known, from its
// sync word: AA 99 not followed by 55 66 starts 16-bit packets; after
// AA 99 55 66 either format may follow, and the next word is the guess: 32
// bits if it starts 32-bit packets (starts_32_bit_packets), else 16.
class FormatDetector {
public:
    // Takes the next byte; once the formats are told, the word bytes of
    // the guess (4 or 2), 0 until then.
    unsigned take(uint8_t byte);
    // Whether the other format is still possible too.
    bool both_possible() const { return whole_sync_; }
    // The last bytes taken, from the sync word on, for the readers to read
    // again.
    size_t replay(uint8_t* bytes) const;
    bool bus_width_detected() const { return bus_width_detected_; }

private:
    uint64_t window_ = 0;
    unsigned after_sync_ = 0;  // bytes taken since AA 99
    bool whole_sync_ = false;
    bool bus_width_detected_ = false;
};

// What a reader keeps of the stream, whatever its packet format.
class ReaderState {
public:
    FamilyGroup group() const { return only_group(groups_); }
    // The rules of the group, or while it is not known, of the first group
    // still possible.
    const FamilyRules& rules() const;
    uint32_t idcode() const { return idcode_; }
    uint32_t command() const { return command_; }
    bool synced() const { return synced_; }
    // Whether the bus width detection pattern came before the sync word of
    // the configuration read now.
    bool bus_width_detected() const { return bus_width_detected_; }
    const StreamRecord& record() const { return record_; }
    // The last word written to register `reg`, or null if none was.
    const uint32_t* register_value(uint32_t reg) const
    {
        return reg < 64 && (written_ >> reg & 1) != 0 ? &registers_[reg] : nullptr;
    }
    // The device restarts its configuration (IPROG): it looks for the sync
    // word (and its bus width) again, with its CRC and registers reset. The
    // record goes on.
    void restart_configuration();

protected:
    // What a register is to the groups still possible: the IDCODE's (to one
    // of them), a decryptor's (to one), and to all of them alike the
    // multiple frame write, the daisy-chain output, the decryptor's initial
    // vector.
    enum RegisterSign : uint8_t {
        IDCODE_HERE = 1,
        DECRYPTOR_HERE = 2,
        MFWR_HERE = 4,
        LOUT_HERE = 8,
        IV_HERE = 16,
    };
    void regroup();
    void narrow(GroupSet groups);
    void lose_sync();
    void feed(uint32_t word);
    void start_frames(uint32_t count);
    ReaderEvent note_write(uint32_t reg, uint32_t word);
    ReaderEvent idcode_written(uint32_t value);
    ReaderEvent command_written(uint32_t value);
    ReaderEvent check(CrcCheck check, uint32_t written);
    const CrcBypass* bypass(const FamilyRules& rules) const;

    GroupSet groups_ = 0;
    uint8_t register_signs_[64] = {};  // of groups_, by register
    bool needs_whole_sync_ = false;    // every group of groups_ syncs on AA 99 55 66
    const FpgaFamily* family_ = nullptr;  // of the device, when known
    bool needs_bus_width_ = false;
    bool bus_width_detected_ = false;
    uint32_t fdri_ = 0, cmd_ = 0;  // the same in every group of the format
    uint64_t end_ = 0;  // of the byte being taken
    bool synced_ = false;
    bool whole_sync_ = false;     // 16-bit: synced on AA 99 55 66, not AA 99 alone
    bool sync_tail_due_ = false;  // 16-bit: synced on AA 99; a 55 66 may follow
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
    bool autocrc_may_follow_ = false;  // 16-bit, group not known: an AutoCRC may

    bool idcode_seen_ = false;
    uint32_t idcode_ = 0;
    uint32_t command_ = 0;
    uint32_t registers_[64] = {};
    uint64_t written_ = 0;  // which of registers_ hold a value
    uint32_t crc_[GROUP_COUNT] = {};  // of each group still possible
    // Between frame writes: LOUT written, a CRC checked, since the last one;
    // and how often each came between two.
    bool lout_since_frames_ = false, check_since_frames_ = false;
    unsigned lout_between_frames_ = 0, checks_between_frames_ = 0;
    bool shut_down_ = false;  // SHUTDOWN before any frames
    StreamRecord record_;
};

template <const PacketFormat& format>
class StreamReader : public ReaderState {
public:
    using Word = std::conditional_t<format.word_bytes == 4, uint32_t, uint16_t>;

    // Starts over for a new configuration cycle, for a device of one of
    // `groups` (all of this packet format: those of groups_with_words()),
    // of `family` when the device is known. A device of a family that needs
    // the bus width detected takes no sync word without it.
    void restart(GroupSet groups, const FpgaFamily* family = nullptr,
                 bool bus_width_detected = false);

    // Takes the next `count` bytes of the stream, which start `at` bytes into
    // it, up to the first that makes an event (set in *event); returns how
    // many it took.
    size_t consume(const uint8_t* bytes, size_t count, uint64_t at, ReaderEvent* event);

private:
    ReaderEvent take(uint8_t byte);
    ReaderEvent sync_byte(uint8_t byte);
    ReaderEvent handle_word(uint32_t word);
    ReaderEvent header(uint32_t word);
    ReaderEvent start_payload(uint32_t count, bool type2);
    ReaderEvent payload_word(uint32_t word);
    ReaderEvent end_payload();
    void feed_frames(const uint8_t* bytes, size_t words);
};

}  // namespace bitstream
