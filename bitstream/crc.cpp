#include "bitstream/crc.h"

namespace bitstream {

#if defined(__x86_64__) || defined(__i386__)
const bool HAS_CRC_INSTRUCTION = [] {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
}();
#else
const bool HAS_CRC_INSTRUCTION = false;
#endif

namespace {

template <unsigned word_bytes, uint32_t (*feed)(uint32_t, uint32_t, uint32_t)>
uint32_t feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address)
{
    for (const uint8_t* word = bytes; word != bytes + words * word_bytes; word += word_bytes) {
        uint32_t value = 0;
        for (unsigned i = 0; i < word_bytes; ++i) {
            value = value << 8 | word[i];
        }
        crc = feed(crc, value, address);
    }
    return crc;
}

}  // namespace

uint32_t crc_feed_words(const FamilyRules& rules, uint32_t crc, const uint8_t* bytes, size_t words,
                        uint32_t address)
{
    switch (rules.crc) {
    case CrcKind::Crc32c:
        return feed_words<4, crc32c_feed>(crc, bytes, words, address);
    case CrcKind::Crc16:
        return rules.address_bits == 5 ? feed_words<4, crc16_feed<5>>(crc, bytes, words, address)
                                       : feed_words<4, crc16_feed<4>>(crc, bytes, words, address);
    case CrcKind::Crc22:
        break;
    }
    return feed_words<2, crc22_feed>(crc, bytes, words, address);
}

}  // namespace bitstream
