// Reading a configuration stream as the device does: the sync word, the
// packets, the family group the stream is written for, its CRC and the
// command that ends the configuration.
//
// Both packet formats are read as big-endian words after a sync word. The
// top three bits of a header give the packet type and the next two the
// opcode. A type-1 header names a register and a short word count; a type-2
// header carries a long count: for 32-bit words in its own low 27 bits, for
// the register of the type-1 header before it; for 16-bit words in the two
// words after it (high half first), for the register it names itself.
//
// The family group decides the CRC and the end of configuration:
//
//   group        stream                            CRC       compared at          end
//   Virtex-4 on  32-bit, IDCODE to register 12     CRC-32C   CRC write, reset     DESYNC
//   Virtex-II    32-bit, IDCODE to register 14     CRC-16/5  CRC write (low 16    DESYNC
//                                                            bits) and AutoCRC,
//                                                            reset after each
//   Virtex       32-bit, no IDCODE before frames   CRC-16/4  CRC write, reset     START, then the
//                                                                                 CRC check after it
//   Spartan-3A   16-bit, IDCODE family not 0x20    22-bit    CRC write (two       DESYNC
//                                                            words, bits 21:0)
//   Spartan-6    16-bit, IDCODE family 0x20        22-bit    as Spartan-3A, and   DESYNC
//                                                            AutoCRC
//
// An AutoCRC is the word (Virtex-II: one, compared in its low 16 bits; after
// every non-empty FDRI write) or the two words (Spartan-6: after every type-2
// FDRI write) that follow the frame data without a packet header. It is
// compared and not fed; Spartan-3A and Spartan-6 never reset their CRC but
// through RCRC. RCRC (command 7) resets the CRC and is not fed; a CRC write
// is never fed; nor are LOUT in all but Virtex-4 on, and CSBO in 16-bit
// streams. A stream with bus width detection words before its sync word is
// Virtex-5 or later. An IDCODE is recognised by the maker's code in its low
// 12 bits; a stream whose group is not known yet is not compared against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sim {

struct PacketFormat {
    unsigned word_bytes;
    uint32_t sync;            // for 16-bit words, a 55 66 right after it belongs to it
    unsigned register_shift;  // where a header keeps the register number
    uint32_t register_mask;
    uint32_t count_mask;      // and a type-1 header its word count, in the lowest bits
    // Registers, and the commands written to CMD.
    uint32_t fdri, cmd, lout, csbo;
};

enum : uint32_t { CRC_REGISTER = 0, NO_REGISTER = 0xFFFFFFFF };
enum : uint32_t { START_COMMAND = 5, RCRC_COMMAND = 7, DESYNC_COMMAND = 13 };
// Where the IDCODE is written: 32-bit streams of Virtex-4 on, of Virtex-II,
// and 16-bit streams (two words, high half first).
enum : uint32_t { IDCODE_VIRTEX4 = 12, IDCODE_VIRTEX2 = 14, IDCODE_16 = 14 };

// 32-bit words: sync AA 99 55 66.
inline constexpr PacketFormat WORDS_32 = {4, 0xAA995566, 13, 0x1F, 0x7FF, 2, 4, 8, NO_REGISTER};
// 16-bit words (Spartan-3A, Spartan-6): sync AA 99.
inline constexpr PacketFormat WORDS_16 = {2, 0xAA99, 5, 0x3F, 0x1F, 3, 5, 9, 18};

// The bits of an IDCODE a device compares with its own: all but the silicon
// revision in bits 31:28, which streams write as 0.
constexpr uint32_t IDCODE_COMPARED_BITS = 0x0FFFFFFF;

enum class FamilyGroup : uint8_t { Unknown, Virtex, VirtexII, Virtex4On, Spartan3A, Spartan6 };

// The families of a group, for people.
const char* family_group_name(FamilyGroup group);

enum class CrcCheck : uint8_t { Write, AutoCrc };
enum class EndCommand : uint8_t { Start, Desync };

// The bits of the CRC a group compares.
uint32_t compared_crc_bits(FamilyGroup group);

// Whoever wants to know what the device meets in a stream (the bitstream
// checker): a configuration cycle starting, and then, from the parser of each
// packet format (`word_bytes`), with where in the stream each thing ends
// (bytes from the start of the cycle), the sync word, the group found, each
// IDCODE written, each CRC comparison and the command that ends the
// configuration. Until the stream shows its format both parsers read it, so
// a listener hears from the one not followed too.
class StreamListener {
public:
    virtual ~StreamListener() = default;
    virtual void cycle_started() {}
    virtual void synced(unsigned /*word_bytes*/, uint64_t /*end*/) {}
    virtual void group_found(unsigned /*word_bytes*/, FamilyGroup /*group*/, uint64_t /*end*/) {}
    virtual void idcode_written(unsigned /*word_bytes*/, uint32_t /*idcode*/, uint64_t /*end*/) {}
    virtual void crc_compared(unsigned /*word_bytes*/, CrcCheck /*check*/, uint32_t /*written*/,
                              uint32_t /*computed*/, uint64_t /*end*/)
    {
    }
    virtual void configuration_ended(unsigned /*word_bytes*/, EndCommand /*command*/,
                                     uint64_t /*end*/)
    {
    }
};

// What a parser stops at, for the device to act on.
enum class ParseEvent : uint8_t {
    None,
    GroupFound,  // the group is known from here on
    Idcode,      // an IDCODE was written: idcode()
    Started,     // Virtex: START; the CRC check after it, if any, still counts
    End,         // the configuration is complete
    CrcError,    // a comparison failed
};

template <const PacketFormat& format>
class PacketParser {
public:
    using Word = std::conditional_t<format.word_bytes == 4, uint32_t, uint16_t>;

    // Starts over for a new configuration cycle.
    void restart(StreamListener* listener)
    {
        *this = PacketParser();
        listener_ = listener;
    }

    // Takes the next `count` bytes of the stream, which start `at` bytes into
    // it, up to the first that makes an event (set in *event); returns how
    // many it took.
    size_t consume(const uint8_t* bytes, size_t count, uint64_t at, ParseEvent* event);

    FamilyGroup group() const { return group_; }
    uint32_t idcode() const { return idcode_; }

private:
    ParseEvent take(uint8_t byte);
    ParseEvent sync_byte(uint8_t byte);
    ParseEvent handle_word(uint32_t word);
    ParseEvent header(uint32_t word);
    ParseEvent payload_word(uint32_t word);
    ParseEvent register_value(uint32_t value);
    ParseEvent command(uint32_t value);
    ParseEvent compare(CrcCheck check, uint32_t written);
    ParseEvent start_payload(uint32_t count, bool type2);
    ParseEvent end_payload();
    ParseEvent idcode_written(uint32_t value);
    ParseEvent found(FamilyGroup group);
    void feed(uint32_t word);
    void feed_frames(const uint8_t* bytes, size_t words);
    bool fed(uint32_t reg) const;
    bool frame_register() const;

    StreamListener* listener_ = nullptr;
    uint64_t end_ = 0;  // of the byte being taken, for the listener
    bool synced_ = false;
    bool just_synced_ = false;
    bool bus_width_detected_ = false;
    uint64_t window_ = 0;  // the last bytes while looking for sync
    uint32_t word_ = 0;
    unsigned word_bytes_ = 0;

    uint32_t register_ = 0;         // of the last header
    uint32_t payload_words_ = 0;    // still to come for register_
    bool payload_autocrc_ = false;  // an AutoCRC follows this payload
    unsigned count_words_due_ = 0;  // of a 16-bit type-2 count, high half first
    bool type2_write_ = false;
    uint32_t type2_count_ = 0;
    uint32_t value_ = 0;            // a value written as two 16-bit words
    unsigned autocrc_words_due_ = 0;

    FamilyGroup group_ = FamilyGroup::Unknown;
    uint32_t idcode_ = 0;
    bool started_ = false;          // Virtex: START seen
    // While the group of a 32-bit stream is not known, each group's CRC is
    // kept; [0] is the one of the group known, and of 16-bit streams.
    uint32_t crc_[3] = {0, 0, 0};
};

}  // namespace sim
