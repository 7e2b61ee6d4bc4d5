// The two packet formats of a configuration stream, and how their packets
// are encoded.
//
// After the sync word a stream is a sequence of big-endian words. The top
// three bits of a packet header give its type, the next two its opcode:
//
//   32-bit words  type 1: [31:29] 001, [28:27] opcode, [26:18] reserved,
//                         [17:13] register, [12:11] reserved, [10:0] count
//                 type 2: [31:29] 010, [28:27] opcode, [26:0] count, for the
//                         register of the type-1 header before it
//   16-bit words  type 1: [15:13] 001, [12:11] opcode, [10:5] register,
//                         [4:0] count
//                 type 2: as type 1 with count 0, the count in the two words
//                         after it (high half first)
//
// A NOOP is a type-1 header with opcode 0 and nothing else set.
#pragma once

#include <cstdint>

namespace bitstream {

enum Opcode : uint32_t { NOOP = 0, READ = 1, WRITE = 2 };

struct PacketFormat {
    unsigned word_bytes;
    unsigned register_shift;  // where a type-1 header keeps its register
    uint32_t register_mask;
    uint32_t count_mask;      // and its word count, in the lowest bits

    constexpr unsigned type_shift() const { return 8 * word_bytes - 3; }
    constexpr uint32_t type_of(uint32_t header) const { return header >> type_shift(); }
    constexpr uint32_t opcode_of(uint32_t header) const
    {
        return (header >> (type_shift() - 2)) & 0x3;
    }
    constexpr uint32_t register_of(uint32_t header) const
    {
        return (header >> register_shift) & register_mask;
    }

    // A type-1 header.
    constexpr uint32_t type1(Opcode opcode, uint32_t reg, uint32_t count) const
    {
        return 1u << type_shift() | opcode << (type_shift() - 2) | reg << register_shift | count;
    }
    constexpr uint32_t noop() const { return type1(NOOP, 0, 0); }
    // A type-2 header: with 32-bit words its count is in it, with 16-bit
    // words it names the register and the count follows it.
    constexpr uint32_t type2(Opcode opcode, uint32_t reg_or_count) const
    {
        return 2u << type_shift() | opcode << (type_shift() - 2) |
               (word_bytes == 4 ? reg_or_count & TYPE2_COUNT_MASK : reg_or_count << register_shift);
    }
    // The count of a 32-bit type-2 header.
    static constexpr uint32_t TYPE2_COUNT_MASK = 0x07FFFFFF;
};

inline constexpr PacketFormat WORDS_32 = {4, 13, 0x1F, 0x7FF};
inline constexpr PacketFormat WORDS_16 = {2, 5, 0x3F, 0x1F};

// The sync words: all four bytes for 32-bit streams and Spartan-6; the
// first two alone for Spartan-3A.
constexpr uint32_t SYNC_WORD = 0xAA995566;
constexpr uint32_t SYNC_HALF = 0xAA99;

// The words Virtex-5 and later streams write before the sync word, for the
// SelectMAP interface to detect its width.
constexpr uint64_t BUS_WIDTH_DETECTION = 0x000000BB11220044;

// Whether a word is what a 32-bit stream may hold right after its sync
// word: a NOOP with no register named, or a type-1 or type-2 read or write
// header with its reserved bits clear. A 16-bit stream's first two words
// never are (their register bits fall into the reserved ones, and two
// 16-bit NOOPs name register 1), which is how a stream that starts
// AA 99 55 66 tells its packet format.
constexpr bool starts_32_bit_packets(uint32_t word)
{
    const uint32_t type = WORDS_32.type_of(word);
    const uint32_t opcode = WORDS_32.opcode_of(word);
    if (type == 1) {
        return opcode == NOOP ? (word & 0x07FFE000) == 0 : opcode != 3 && (word & 0x07FC1800) == 0;
    }
    return type == 2 && (opcode == READ || opcode == WRITE);
}

}  // namespace bitstream
