// Bit order reversal: entry i is the byte i with its bit order reversed (bit
// 0 becomes bit 7, bit 1 bit 6, and so on). The configuration data of a .BIT
// file is sent through it, and the card's wiring does the same to every byte
// on its way from the data port to the FPGA. Computed by the compiler and
// kept in read-only data: one lookup per byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::array<uint8_t, 256> make_bit_reverse_table()
{
    std::array<uint8_t, 256> table{};
    for (size_t i = 0; i < table.size(); ++i) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            if (i & (1u << bit)) {
                table[i] = static_cast<uint8_t>(table[i] | (0x80u >> bit));
            }
        }
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> bit_reverse_table = make_bit_reverse_table();

static_assert(bit_reverse_table[0x01] == 0x80 && bit_reverse_table[0x03] == 0xC0 &&
              bit_reverse_table[0x0F] == 0xF0 && bit_reverse_table[0x55] == 0xAA &&
              bit_reverse_table[0x99] == 0x99 && bit_reverse_table[0xFF] == 0xFF);
