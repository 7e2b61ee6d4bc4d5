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
// its row of the family rules (family_rules.h).
//
// Each step is linear: a word w written to address a takes the register c
// to M(c ^ w) ^ M(a), M the register fed that many zero bits (for the
// 22-bit CRC, c times x plus the word and the address, modulo its
// polynomial). A word is fed through tables of M, or for CRC-32C through
// the processor's CRC32 instruction where it has one. The streams they
// check are megabytes of frame data, all written to one address: those go
// in blocks, several runs of words at once, each run's register then
// shifted over the words after it, so that the processor is never left
// waiting for one step to finish before it starts the next.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitstream/family_rules.h"

namespace bitstream {

// Whether the processor has the CRC32 instruction, which computes CRC-32C;
// and with it, carry-less multiplication of four 64-bit lanes at a time.
extern const bool HAS_CRC_INSTRUCTION;
extern const bool HAS_CARRYLESS_MULTIPLY;

// One word written to `address`.
uint32_t crc32c_feed(uint32_t crc, uint32_t word, uint32_t address);
uint32_t crc16_feed(uint32_t crc, uint32_t word, uint32_t address, unsigned address_bits);
uint32_t crc22_feed(uint32_t crc, uint32_t word, uint32_t address);
// The same, through the CRC the group of `rules` computes.
uint32_t crc_feed(const FamilyRules& rules, uint32_t crc, uint32_t word, uint32_t address);

// Frame data: `words` big-endian words at `bytes` (of 32 bits; of 16 for
// the 22-bit CRC), every one written to `address`; what feeding them one at
// a time gives.
uint32_t crc32c_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address);
uint32_t crc16_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address,
                          unsigned address_bits);
uint32_t crc22_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address);
// The same, through the CRC the group of `rules` computes.
uint32_t crc_feed_words(const FamilyRules& rules, uint32_t crc, const uint8_t* bytes, size_t words,
                        uint32_t address);

// CRC-32C's three ways with frame data: by carry-less multiplication (only
// where HAS_CARRYLESS_MULTIPLY), by the CRC32 instruction (only where
// HAS_CRC_INSTRUCTION), and by tables. crc32c_feed_words takes the first the
// processor allows.
uint32_t crc32c_words_by_multiply(uint32_t crc, const uint8_t* bytes, size_t words,
                                  uint32_t address);
uint32_t crc32c_words_by_instruction(uint32_t crc, const uint8_t* bytes, size_t words,
                                     uint32_t address);
uint32_t crc32c_words_by_table(uint32_t crc, const uint8_t* bytes, size_t words,
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
