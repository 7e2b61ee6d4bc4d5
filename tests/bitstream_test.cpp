// Streams of every family group, as the sample writer makes them, against
// CRCs computed here from their definitions, bit by bit: the CRC words the
// writer puts in them must be what the devices compute, and the simulated
// card must take them as a device of their group does.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bitstream/crc.h"
#include "bitstream/devices.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"

namespace {

using G = bitstream::FamilyGroup;

enum class Crc { Castagnoli, Crc16, Crc22 };

// What the devices' configuration guides say of each group's CRC: its kind,
// the register address bits fed after each word, the bits a check compares,
// whether a check resets it, the AutoCRC after frame data (in words), and
// the registers: CMD, FDRI, and the two whose writes are not fed (LOUT;
// CSBO in 16-bit streams).
const struct GroupFacts {
    G group;
    unsigned word_bytes;
    Crc crc;
    unsigned address_bits;
    uint32_t compared;
    bool resets;
    unsigned autocrc_words;
    uint32_t cmd, fdri, not_fed[2];
} GROUPS[] = {
    {G::Virtex, 4, Crc::Crc16, 4, 0xFFFF, true, 0, 4, 2, {8, 8}},
    {G::VirtexII, 4, Crc::Crc16, 5, 0xFFFF, true, 1, 4, 2, {8, 8}},
    {G::Virtex4On, 4, Crc::Castagnoli, 5, 0xFFFFFFFF, true, 0, 4, 2, {8, 8}},
    {G::Spartan3A, 2, Crc::Crc22, 6, 0x3FFFFF, false, 0, 5, 3, {9, 18}},
    {G::Spartan6, 2, Crc::Crc22, 6, 0x3FFFFF, false, 2, 5, 3, {9, 18}},
};

// A reflected CRC fed `count` bits of `bits`, lowest first.
uint32_t reflected(uint32_t crc, uint64_t bits, unsigned count, uint32_t polynomial)
{
    for (unsigned i = 0; i < count; ++i, bits >>= 1) {
        crc = ((crc ^ bits) & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
    }
    return crc;
}

// One word written to `reg`: 32 data bits then the address bits; for the
// 22-bit CRC the register times x, modulo x^22+x^15+x^12+x^7+1, plus the
// address and the word.
uint32_t crc_step(const GroupFacts& g, uint32_t crc, uint32_t word, uint32_t reg)
{
    const uint64_t bits = uint64_t{reg} << 32 | word;
    switch (g.crc) {
    case Crc::Castagnoli:
        return reflected(crc, bits, 32 + g.address_bits, 0x82F63B78);
    case Crc::Crc16:
        return reflected(crc, bits, 32 + g.address_bits, 0xA001);
    case Crc::Crc22:
        break;
    }
    const uint32_t shifted = crc << 1 ^ (reg << 16 | word);
    return (shifted & 0x400000) != 0 ? shifted ^ 0x409081 : shifted;
}

// Walks the packets after the sync word and compares every CRC word written
// (AutoCRC included) with the CRC computed here; how many it compared.
int compare_crcs(const GroupFacts& g, const std::string& stream)
{
    const unsigned w = g.word_bytes;
    size_t at = stream.find("\xAA\x99") + 2;
    at += w == 4 || stream.compare(at, 2, "\x55\x66") == 0 ? 2 : 0;
    auto next = [&]() -> uint32_t {
        uint32_t word = 0;
        for (unsigned i = 0; i < w; ++i) {
            word = word << 8 | static_cast<uint8_t>(stream.at(at++));
        }
        return word;
    };
    auto value = [&]() { return w == 4 ? next() : next() << 16 | next(); };
    uint32_t crc = 0, reg = 0;
    int compared = 0;
    auto check = [&](uint32_t written) {
        EXPECT_EQ(written & g.compared, crc & g.compared) << "check " << compared;
        ++compared;
        crc = g.resets ? 0 : crc;
    };
    while (at + w <= stream.size()) {
        const uint32_t header = next();
        const uint32_t type = header >> (8 * w - 3);
        uint32_t count = w == 4 ? header & 0x7FF : header & 0x1F;
        if (type == 1 || (type == 2 && w == 2)) {
            reg = w == 4 ? header >> 13 & 0x1F : header >> 5 & 0x3F;
        }
        if (type == 2) {
            count = w == 4 ? header & 0x07FFFFFF : value();
        }
        if ((type != 1 && type != 2) || (header >> (8 * w - 5) & 3) != 2 || count == 0) {
            continue;
        }
        if (reg == 0) {
            check(value());
            continue;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t word = next();
            if (reg == g.cmd && word == 7) {
                crc = 0;
            } else if (reg != g.not_fed[0] && reg != g.not_fed[1]) {
                crc = crc_step(g, crc, word, reg);
            }
        }
        if (reg == g.fdri && g.autocrc_words != 0) {
            check(value());
        }
    }
    return compared;
}

TEST(EveryFamilyGroup, SampleStreamsCarryTheCrcTheirDevicesComputeAndConfigureThem)
{
    TempDir dir;
    for (const GroupFacts& g : GROUPS) {
        SCOPED_TRACE(bitstream::family_group_name(g.group));
        sample::Design design = sample::design_for(g.group);
        design.frame_words = 3000;
        const std::string stream = to_string(sample::ConfigStream(design).bytes());
        // The CRC write (and the AutoCRC); Virtex's after START as well.
        const int checks = g.group == G::Virtex || g.autocrc_words != 0 ? 2 : 1;
        EXPECT_EQ(compare_crcs(g, stream), checks);

        const BitFile file = sample_bit_file(design);
        std::string flipped = file.file();
        flipped[file.header().size() + stream.size() / 2] ^= 0x08;
        // On a card of its own device (Virtex: any card, it writes no
        // IDCODE), of another group's device, and with a frame bit flipped.
        const std::string other = g.group == G::Virtex4On ? "0x04001093" : "0x0362D093";
        const struct {
            std::string file, card;
            int status;
        } runs[] = {
            {file.file(), "", 0},
            {file.file(), design.idcode != 0 ? std::to_string(design.idcode) : "", 0},
            {file.file(), other, 102},
            {flipped, "", 102},
        };
        for (const auto& r : runs) {
            const ProgramRun run = run_program(
                {dir.write("sample.bit", r.file), "0"}, [&r](sim::Host& host, recording::Recorder&) {
                    std::string error;
                    ASSERT_TRUE(r.card.empty() ||
                                sim::describe_host("bus=4 slot=0 idcode=" + r.card, &host, &error));
                });
            EXPECT_EQ(run.exit_status, r.status) << r.card << run.err;
            if (r.status == 0) {
                EXPECT_EQ(run.cards.at(0).group, g.group);
            }
        }
    }
}

// The CRCs as the program computes them, a word at a time and in blocks of
// frame data, against the ones computed here, on random words, addresses
// and registers, in blocks of every length the block feeding treats apart;
// CRC-32C both ways the processor allows.
TEST(EveryFamilyGroup, FastCrcsAreTheDefinedOnes)
{
    std::mt19937 random(34);
    using Block = uint32_t (*)(uint32_t, const uint8_t*, size_t, uint32_t);
    std::vector<Block> crc32c_ways = {bitstream::crc32c_words_by_table};
    if (bitstream::HAS_CRC_INSTRUCTION) {
        crc32c_ways.push_back(bitstream::crc32c_words_by_instruction);
    }
    if (bitstream::HAS_CARRYLESS_MULTIPLY) {
        crc32c_ways.push_back(bitstream::crc32c_words_by_multiply);
    }
    for (const GroupFacts& g : GROUPS) {
        SCOPED_TRACE(bitstream::family_group_name(g.group));
        const bitstream::FamilyRules& rules = *bitstream::rules_of(g.group);
        for (const size_t words : {0, 1, 7, 33, 300, 1100}) {
            std::vector<uint8_t> bytes(words * g.word_bytes);
            for (uint8_t& byte : bytes) {
                byte = static_cast<uint8_t>(random());
            }
            const uint32_t address = random() % (g.word_bytes == 4 ? 32 : 64);
            const uint32_t start = random() & g.compared;
            uint32_t expected = start, fed = start;
            for (size_t i = 0; i < bytes.size(); i += g.word_bytes) {
                const uint32_t word = g.word_bytes == 4 ? bytes[i] << 24 | bytes[i + 1] << 16 |
                                                              bytes[i + 2] << 8 | bytes[i + 3]
                                                        : bytes[i] << 8 | bytes[i + 1];
                expected = crc_step(g, expected, word, address);
                fed = bitstream::crc_feed(rules, fed, word, address);
            }
            EXPECT_EQ(fed, expected) << words << " words";
            EXPECT_EQ(bitstream::crc_feed_words(rules, start, bytes.data(), words, address), expected)
                << words << " words";
            for (size_t way = 0; g.crc == Crc::Castagnoli && way < crc32c_ways.size(); ++way) {
                EXPECT_EQ(crc32c_ways[way](start, bytes.data(), words, address), expected)
                    << words << " words, way " << way;
            }
        }
    }
}

// The device table names every device of the public list of IDCODEs beside
// the corpus (skipped when it is absent) as the list does.
TEST(DeviceTable, AgreesWithTheListOfIdcodes)
{
    const std::string path = std::string(VELTCFG_CORPUS_DIR) + "/../idcodes.tsv";
    std::ifstream list(path);
    if (!list) {
        GTEST_SKIP() << "no list of IDCODEs at " << path;
    }
    size_t rows = 0;
    for (std::string line; std::getline(list, line);) {
        std::istringstream fields(line);
        std::string idcode, name, family;
        if (line.empty() || line[0] == '#' || line.compare(0, 6, "idcode") == 0 ||
            !std::getline(fields, idcode, '\t') || !std::getline(fields, name, '\t') ||
            !std::getline(fields, family, '\t')) {
            continue;
        }
        ++rows;
        const bitstream::FpgaDevice* device = bitstream::device_of_part(name.c_str());
        ASSERT_NE(device, nullptr) << line;
        EXPECT_EQ(device->name, name) << line;
        EXPECT_EQ(device->family->name, family) << line;
        EXPECT_EQ(bitstream::devices_text(static_cast<uint32_t>(std::stoul(idcode, nullptr, 16))),
                  name + ", " + family)
            << line;
    }
    EXPECT_GT(rows, 0u);
}

// Parts as .BIT headers and people spell them, and the device each names.
TEST(DeviceTable, NamesTheDeviceOfEachPart)
{
    const struct {
        const char* part;
        const char* device;  // "": none
    } parts[] = {
        {"2s200fg456", "xc2s200"},          {"XCV200-4PQ240C", "xcv200"},
        {"v50ecs144", "xcv50e"},            {"3s2000fg676", "xc3s2000"},
        {"3s50atq144", "xc3s50a"},          {"3s50antqg144", "xc3s50an"},
        {"4vlx25ff668", "xc4vlx25"},        {"xc5vlx50t-1ff1136", "xc5vlx50t"},
        {"6slx25csg324", "xc6slx25"},       {"6slx25tcsg324", "xc6slx25t"},
        {"6vlx240tff1156", "xc6vlx240t"},   {"7a35tcpg236", "xc7a35t"},
        {"xc7z007sclg225-1", "xc7z007s"},   {"xczu9eg-ffvb1156-2-e", "xczu9eg"},
        {"xcvu9p-flga2104-2L-e", "xcvu9p"}, {"xck26-sfvc784-2LV-c", "xck26"},
        {"xc3s20", ""},                     {"xczu19eg-ffvc1760", ""},
    };
    for (const auto& p : parts) {
        const bitstream::FpgaDevice* device = bitstream::device_of_part(p.part);
        EXPECT_EQ(device == nullptr ? "" : device->name, std::string(p.device)) << p.part;
    }
}

}  // namespace
