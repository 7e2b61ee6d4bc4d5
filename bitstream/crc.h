// The three CRCs configuration streams carry. Every word written to a
// register is fed in with the register's address; a write to the CRC
// register checks instead.
//
//   CRC-32C  the Castagnoli polynomial in reflected form: 32 data bits, then
//            5 address bits, lowest bit first
//   CRC-16   x^16+x^15+x^2+1 in reflected form (0xA001): 32 data bits, then
//            4 or 5 address bits, lowest bit first
//   22-bit   one step per 16-bit word, the 6-bit address above the word
//
// They start at 0 and have no final inversion. Which a group computes is in
// its row of the family rules (family_rules.h). The streams they check are
// megabytes of frame data, one feed per word, so the feeds stay inline: the
// CRC-32C through the processor's CRC32 instruction where it has one, the
// others a byte (and the address bits) at a time through tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bitstream/family_rules.h"

namespace bitstream {

// Entry i: the register after `bits` zero bits fed into i, for a reflected
// polynomial.
template <uint32_t polynomial, unsigned bits, unsigned entries>
constexpr std::array<uint32_t, entries> reflected_crc_table()
{
    std::array<uint32_t, entries> table{};
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t crc = i;
        for (unsigned bit = 0; bit < bits; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr uint32_t CRC32C_POLYNOMIAL = 0x82F63B78;
constexpr uint32_t CRC16_POLYNOMIAL = 0xA001;

inline constexpr auto CRC32C_BYTE_TABLE = reflected_crc_table<CRC32C_POLYNOMIAL, 8, 256>();
inline constexpr auto CRC32C_ADDRESS_TABLE = reflected_crc_table<CRC32C_POLYNOMIAL, 5, 32>();
inline constexpr auto CRC16_BYTE_TABLE = reflected_crc_table<CRC16_POLYNOMIAL, 8, 256>();
inline constexpr auto CRC16_ADDRESS_TABLE_5 = reflected_crc_table<CRC16_POLYNOMIAL, 5, 32>();
inline constexpr auto CRC16_ADDRESS_TABLE_4 = reflected_crc_table<CRC16_POLYNOMIAL, 4, 16>();

// Whether the processor has the CRC32 instruction, which computes CRC-32C.
extern const bool HAS_CRC_INSTRUCTION;

inline uint32_t crc32c_feed(uint32_t crc, uint32_t word, uint32_t address)
{
#if defined(__x86_64__) || defined(__i386__)
    if (HAS_CRC_INSTRUCTION) {
        __asm__("crc32l %1, %0" : "+r"(crc) : "rm"(word));
    } else
#endif
    {
        crc ^= word;
        for (int byte = 0; byte < 4; ++byte) {
            crc = (crc >> 8) ^ CRC32C_BYTE_TABLE[crc & 0xFF];
        }
    }
    return (crc >> 5) ^ CRC32C_ADDRESS_TABLE[(crc ^ address) & 0x1F];
}

template <unsigned address_bits>
inline uint32_t crc16_feed(uint32_t crc, uint32_t word, uint32_t address)
{
    static_assert(address_bits == 4 || address_bits == 5, "4 or 5 address bits");
    crc ^= word;  // the register is 16 bits: the upper data bits go in as it shifts
    for (int byte = 0; byte < 4; ++byte) {
        crc = (crc >> 8) ^ CRC16_BYTE_TABLE[crc & 0xFF];
    }
    if constexpr (address_bits == 5) {
        return (crc >> 5) ^ CRC16_ADDRESS_TABLE_5[(crc ^ address) & 0x1F];
    } else {
        return (crc >> 4) ^ CRC16_ADDRESS_TABLE_4[(crc ^ address) & 0x0F];
    }
}

inline uint32_t crc22_feed(uint32_t crc, uint32_t word, uint32_t address)
{
    const uint32_t feedback = (crc >> 21) & 1 ? 0x9081 : 0;
    return ((crc << 1) & 0x3FFFFF) ^ ((address & 0x3F) << 16 | (word & 0xFFFF)) ^ feedback;
}

// One word written to `address`, through the CRC the group of `rules`
// computes.
inline uint32_t crc_feed(const FamilyRules& rules, uint32_t crc, uint32_t word, uint32_t address)
{
    switch (rules.crc) {
    case CrcKind::Crc32c:
        return crc32c_feed(crc, word, address);
    case CrcKind::Crc16:
        return rules.address_bits == 5 ? crc16_feed<5>(crc, word, address)
                                       : crc16_feed<4>(crc, word, address);
    case CrcKind::Crc22:
        break;
    }
    return crc22_feed(crc, word, address);
}

// Whole words of frame data written to `address` (big-endian, of the
// group's word size), through the group's CRC.
uint32_t crc_feed_words(const FamilyRules& rules, uint32_t crc, const uint8_t* bytes, size_t words,
                        uint32_t address);

// How a group's CRC takes a word written to register `reg`: fed in with the
// register's address, but for RCRC, which resets it, and the registers it
// leaves out: the CRC register itself (a write there is a check) and the
// daisy-chain ones (LOUT, CSBO).
inline uint32_t crc_after_write(const FamilyRules& rules, uint32_t crc, uint32_t reg, uint32_t word)
{
    if (reg == rules.cmd && (word & COMMAND_FIELD) == RCRC_COMMAND) {
        return 0;
    }
    if (reg == CRC_REGISTER || reg == rules.lout || reg == rules.csbo) {
        return crc;
    }
    return crc_feed(rules, crc, word, reg);
}

}  // namespace bitstream
