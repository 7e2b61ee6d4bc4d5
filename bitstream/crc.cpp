#include "bitstream/crc.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace bitstream {

#if defined(__x86_64__)
const bool HAS_CRC_INSTRUCTION = [] {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
}();
const bool HAS_CARRYLESS_MULTIPLY = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0 && __builtin_cpu_supports("avx2") != 0 &&
           __builtin_cpu_supports("vpclmulqdq") != 0;
}();
#else
const bool HAS_CRC_INSTRUCTION = false;
const bool HAS_CARRYLESS_MULTIPLY = false;
#endif

namespace {

constexpr uint32_t CRC32C_POLYNOMIAL = 0x82F63B78;
constexpr uint32_t CRC16_POLYNOMIAL = 0xA001;
constexpr uint32_t CRC22_POLYNOMIAL = 0x9081;  // x^15+x^12+x^7+1: x^22, reduced
constexpr uint32_t CRC22_MASK = 0x3FFFFF;

// A reflected CRC register holding `value`, fed `bits` zero bits.
constexpr uint32_t reflected_zeros(uint32_t value, unsigned bits, uint32_t polynomial)
{
    for (unsigned i = 0; i < bits; ++i) {
        value = (value & 1) != 0 ? (value >> 1) ^ polynomial : value >> 1;
    }
    return value;
}

// The 22-bit register times x^bits, modulo its polynomial.
constexpr uint32_t crc22_shift(uint32_t value, unsigned bits)
{
    for (unsigned i = 0; i < bits; ++i) {
        value = ((value << 1) & CRC22_MASK) ^ ((value >> 21 & 1) != 0 ? CRC22_POLYNOMIAL : 0);
    }
    return value;
}

// A linear map of 32-bit words, as the XOR of what it makes of each byte.
struct WordMap {
    uint32_t of_byte[4][256];

    constexpr uint32_t operator()(uint32_t x) const
    {
        return of_byte[0][x & 0xFF] ^ of_byte[1][x >> 8 & 0xFF] ^ of_byte[2][x >> 16 & 0xFF] ^
               of_byte[3][x >> 24];
    }
};

template <typename Map>
constexpr WordMap word_map(const Map& map)
{
    WordMap table{};
    for (unsigned byte = 0; byte < 4; ++byte) {
        for (uint32_t value = 0; value < 256; ++value) {
            table.of_byte[byte][value] = map(value << 8 * byte);
        }
    }
    return table;
}

// A reflected CRC's step for a word and `address_bits` address bits (the
// address's own part aside), and that step `2^doublings` times over.
constexpr WordMap reflected_step(uint32_t polynomial, unsigned address_bits, unsigned doublings = 0)
{
    WordMap step = word_map([polynomial, address_bits](uint32_t x) {
        return reflected_zeros(x, 32 + address_bits, polynomial);
    });
    for (unsigned i = 0; i < doublings; ++i) {
        step = word_map([&step](uint32_t x) { return step(step(x)); });
    }
    return step;
}

// The address's part of a step: entry a, for the address a.
template <unsigned address_bits>
constexpr auto address_part(uint32_t polynomial)
{
    struct {
        uint32_t of[1u << address_bits];
    } table{};
    for (uint32_t address = 0; address < (1u << address_bits); ++address) {
        table.of[address] = reflected_zeros(address, address_bits, polynomial);
    }
    return table;
}

// Frame data goes in runs of words, five runs at a time, 64 words long
// while there are enough, then 8: each run but the first starts from 0,
// and each run's register is shifted over the words after it (the step
// taken as many times as the run is long) before the next is added. The
// address's part of a run is the same for every run of its length.
constexpr unsigned LONG_RUN_DOUBLINGS = 6, SHORT_RUN_DOUBLINGS = 3;
constexpr size_t RUNS = 5;

// A run of `2^doublings` words: its shift, and entry a its address's part.
template <unsigned address_bits>
struct Run {
    WordMap shift;
    uint32_t address[1u << address_bits];
};

template <unsigned address_bits>
constexpr Run<address_bits> run_of(uint32_t polynomial, unsigned doublings)
{
    Run<address_bits> run{reflected_step(polynomial, address_bits, doublings), {}};
    const WordMap step = reflected_step(polynomial, address_bits);
    for (uint32_t address = 0; address < (1u << address_bits); ++address) {
        const uint32_t part = reflected_zeros(address, address_bits, polynomial);
        for (size_t word = 0; word < (size_t{1} << doublings); ++word) {
            run.address[address] = step(run.address[address]) ^ part;
        }
    }
    return run;
}

// A reflected CRC's tables: its step, the address's part of a step, and
// its runs.
template <unsigned address_bits>
struct ReflectedTables {
    WordMap step;
    decltype(address_part<address_bits>(0)) address;
    Run<address_bits> long_run, short_run;
};

template <unsigned address_bits>
constexpr ReflectedTables<address_bits> reflected_tables(uint32_t polynomial)
{
    return {reflected_step(polynomial, address_bits), address_part<address_bits>(polynomial),
            run_of<address_bits>(polynomial, LONG_RUN_DOUBLINGS),
            run_of<address_bits>(polynomial, SHORT_RUN_DOUBLINGS)};
}

constexpr ReflectedTables<5> CRC32C = reflected_tables<5>(CRC32C_POLYNOMIAL);
constexpr ReflectedTables<4> CRC16_4 = reflected_tables<4>(CRC16_POLYNOMIAL);
constexpr ReflectedTables<5> CRC16_5 = reflected_tables<5>(CRC16_POLYNOMIAL);

// The 22-bit CRC eight words at a time: the register times x^8 plus each
// word times x^(7-i) comes to fewer than 30 bits, and entry h reduces h
// times x^22.
constexpr auto CRC22_REDUCTION = [] {
    struct {
        uint32_t of[256];
    } table{};
    for (uint32_t high = 0; high < 256; ++high) {
        table.of[high] = crc22_shift(high, 22);
    }
    return table;
}();

uint32_t big_endian_32(const uint8_t* bytes)
{
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return __builtin_bswap32(word);
}

uint32_t big_endian_16(const uint8_t* bytes)
{
    return uint32_t{bytes[0]} << 8 | bytes[1];
}

// The register fed a word and 5 zero bits, by the CRC32 instruction: the
// word 27 bits up in 64 fed to an empty register is 27 zero bits (which
// leave it empty), the word, and 5 zero bits.
[[gnu::always_inline]] inline uint32_t crc32c_step_by_instruction(uint32_t x)
{
#if defined(__x86_64__)
    uint64_t crc = 0;
    __asm__("crc32q %1, %0" : "+r"(crc) : "r"(uint64_t{x} << 27));
    return static_cast<uint32_t>(crc);
#else
    return CRC32C.step(x);
#endif
}

#if defined(__x86_64__)
// CRC-32C sixteen words at a time, by carry-less multiplication. The
// product of two reflected values, fed to an empty register by the CRC32
// instruction, is their product times x^33 modulo the polynomial; so word j
// of a group of sixteen, multiplied by x^(37(16-j)-33) modulo the
// polynomial, adds to the register what its step and those after it make
// of it, and the group's sixteen products add up before one reduction.
constexpr unsigned GROUP_DOUBLINGS = 4;
constexpr size_t GROUP_WORDS = size_t{1} << GROUP_DOUBLINGS;
constexpr uint32_t X_TO_THE_0 = 0x80000000;  // 1, reflected
alignas(32) constexpr auto GROUP_FACTORS = [] {
    struct {
        uint64_t of[GROUP_WORDS];
    } factors{};
    for (size_t j = 0; j < GROUP_WORDS; ++j) {
        factors.of[j] = reflected_zeros(X_TO_THE_0, unsigned(37 * (GROUP_WORDS - j) - 33),
                                        CRC32C_POLYNOMIAL);
    }
    return factors;
}();
constexpr Run<5> CRC32C_GROUP = run_of<5>(CRC32C_POLYNOMIAL, GROUP_DOUBLINGS);

// Groups of sixteen words, as many as there are; `bytes` and `words` are
// left at what remains.
[[gnu::target("sse4.2,avx2,vpclmulqdq")]] uint32_t crc32c_groups(uint32_t crc, const uint8_t*& next,
                                                                 size_t& left, uint32_t address)
{
    const uint8_t* bytes = next;
    size_t words = left;
    // Four words, each zero-extended to 64 bits, big-endian.
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, -1, -1, -1, -1, 11, 10, 9, 8, -1, -1, -1, -1,
                                          3, 2, 1, 0, -1, -1, -1, -1, 11, 10, 9, 8, -1, -1, -1, -1);
    __m256i factors[GROUP_WORDS / 4];
    for (size_t q = 0; q < GROUP_WORDS / 4; ++q) {
        factors[q] = _mm256_load_si256(reinterpret_cast<const __m256i*>(GROUP_FACTORS.of + 4 * q));
    }
    const uint32_t address_part = CRC32C_GROUP.address[address];
    for (; words >= GROUP_WORDS; words -= GROUP_WORDS, bytes += 4 * GROUP_WORDS) {
        __m256i sum = _mm256_setzero_si256();
        for (size_t q = 0; q < GROUP_WORDS / 4; ++q) {
            const __m256i four = _mm256_shuffle_epi8(
                _mm256_cvtepu32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * q))),
                swap);
            sum = _mm256_xor_si256(sum, _mm256_clmulepi64_epi128(four, factors[q], 0x00));
            sum = _mm256_xor_si256(sum, _mm256_clmulepi64_epi128(four, factors[q], 0x11));
        }
        const __m128i halves =
            _mm_xor_si128(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
        const auto added = static_cast<uint32_t>(_mm_crc32_u64(0, _mm_cvtsi128_si64(halves)));
        crc = CRC32C_GROUP.shift(crc) ^ added ^ address_part;
    }
    next = bytes;
    left = words;
    return crc;
}
#endif

// RUNS runs of 2^doublings words at a time, as many times as they are
// there; `bytes` and `words` are left at what remains.
template <unsigned doublings, unsigned address_bits, typename Step>
uint32_t feed_runs(uint32_t crc, const uint8_t*& bytes, size_t& words, const Step& step,
                   const Run<address_bits>& tables, uint32_t address)
{
    constexpr size_t run = size_t{1} << doublings;
    for (; words >= RUNS * run; words -= RUNS * run, bytes += 4 * RUNS * run) {
        uint32_t c[RUNS] = {crc};
        for (size_t i = 0; i < run; ++i) {
            for (size_t r = 0; r < RUNS; ++r) {
                c[r] = step(c[r] ^ big_endian_32(bytes + 4 * (r * run + i)));
            }
        }
        const uint32_t address_part = tables.address[address];
        crc = c[0] ^ address_part;
        for (size_t r = 1; r < RUNS; ++r) {
            crc = tables.shift(crc) ^ c[r] ^ address_part;
        }
    }
    return crc;
}

// 32-bit words through a reflected CRC's step.
template <unsigned address_bits, typename Step>
uint32_t feed_words(const ReflectedTables<address_bits>& tables, const Step& step, uint32_t crc,
                    const uint8_t* bytes, size_t words, uint32_t address)
{
    address &= (1u << address_bits) - 1;
    crc = feed_runs<LONG_RUN_DOUBLINGS>(crc, bytes, words, step, tables.long_run, address);
    crc = feed_runs<SHORT_RUN_DOUBLINGS>(crc, bytes, words, step, tables.short_run, address);
    for (; words != 0; --words, bytes += 4) {
        crc = step(crc ^ big_endian_32(bytes)) ^ tables.address.of[address];
    }
    return crc;
}

}  // namespace

uint32_t crc32c_feed(uint32_t crc, uint32_t word, uint32_t address)
{
    const uint32_t x = crc ^ word;
    return (HAS_CRC_INSTRUCTION ? crc32c_step_by_instruction(x) : CRC32C.step(x)) ^
           CRC32C.address.of[address & 0x1F];
}

uint32_t crc16_feed(uint32_t crc, uint32_t word, uint32_t address, unsigned address_bits)
{
    return address_bits == 4 ? CRC16_4.step(crc ^ word) ^ CRC16_4.address.of[address & 0x0F]
                             : CRC16_5.step(crc ^ word) ^ CRC16_5.address.of[address & 0x1F];
}

uint32_t crc22_feed(uint32_t crc, uint32_t word, uint32_t address)
{
    return crc22_shift(crc, 1) ^ ((address & 0x3F) << 16 | (word & 0xFFFF));
}

uint32_t crc_feed(const FamilyRules& rules, uint32_t crc, uint32_t word, uint32_t address)
{
    switch (rules.crc) {
    case CrcKind::Crc32c:
        return crc32c_feed(crc, word, address);
    case CrcKind::Crc16:
        return crc16_feed(crc, word, address, rules.address_bits);
    case CrcKind::Crc22:
        break;
    }
    return crc22_feed(crc, word, address);
}

uint32_t crc32c_words_by_instruction(uint32_t crc, const uint8_t* bytes, size_t words,
                                     uint32_t address)
{
    return feed_words(CRC32C, crc32c_step_by_instruction, crc, bytes, words, address);
}

uint32_t crc32c_words_by_table(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address)
{
    return feed_words(CRC32C, CRC32C.step, crc, bytes, words, address);
}

uint32_t crc32c_words_by_multiply(uint32_t crc, const uint8_t* bytes, size_t words,
                                  uint32_t address)
{
#if defined(__x86_64__)
    crc = crc32c_groups(crc, bytes, words, address & 0x1F);
#endif
    return crc32c_words_by_instruction(crc, bytes, words, address);
}

uint32_t crc32c_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address)
{
    return HAS_CARRYLESS_MULTIPLY ? crc32c_words_by_multiply(crc, bytes, words, address)
           : HAS_CRC_INSTRUCTION  ? crc32c_words_by_instruction(crc, bytes, words, address)
                                  : crc32c_words_by_table(crc, bytes, words, address);
}

uint32_t crc16_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address,
                          unsigned address_bits)
{
    return address_bits == 4 ? feed_words(CRC16_4, CRC16_4.step, crc, bytes, words, address)
                             : feed_words(CRC16_5, CRC16_5.step, crc, bytes, words, address);
}

uint32_t crc22_feed_words(uint32_t crc, const uint8_t* bytes, size_t words, uint32_t address)
{
    const uint32_t address_part = (address & 0x3F) << 16;
    uint32_t address_parts = 0;  // the address's part of each of eight words
    for (unsigned i = 0; i < 8; ++i) {
        address_parts ^= address_part << i;
    }
    for (; words >= 8; words -= 8, bytes += 16) {
        uint32_t x = crc << 8 ^ address_parts;
        for (unsigned i = 0; i < 8; ++i) {
            x ^= big_endian_16(bytes + 2 * i) << (7 - i);
        }
        crc = (x & CRC22_MASK) ^ CRC22_REDUCTION.of[x >> 22];
    }
    for (; words != 0; --words, bytes += 2) {
        crc = crc22_feed(crc, big_endian_16(bytes), address);
    }
    return crc;
}

uint32_t crc_feed_words(const FamilyRules& rules, uint32_t crc, const uint8_t* bytes, size_t words,
                        uint32_t address)
{
    switch (rules.crc) {
    case CrcKind::Crc32c:
        return crc32c_feed_words(crc, bytes, words, address);
    case CrcKind::Crc16:
        return crc16_feed_words(crc, bytes, words, address, rules.address_bits);
    case CrcKind::Crc22:
        break;
    }
    return crc22_feed_words(crc, bytes, words, address);
}

}  // namespace bitstream
