// The signatures of the two kinds of configuration file the program takes
// (config_file.cpp describes both), tested on a file's first SIGNATURE_SIZE
// bytes: a shorter file is neither. The program and the tools that tell
// what a file is share them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SIGNATURE_SIZE = 14;
constexpr size_t BIT_FIRST_FIELD_OFFSET = 14;

inline bool is_bit_file(const uint8_t* probe)
{
    return probe[0] == 0x00 && probe[1] == 0x09 && probe[11] == 0x00 && probe[12] == 0x01 &&
           probe[13] == 0x61;
}

inline bool is_prom_file(const uint8_t* probe)
{
    return probe[0] == 0xFF && probe[4] == 0x55 && probe[5] == 0x99 && probe[6] == 0xAA &&
           probe[7] == 0x66;
}
