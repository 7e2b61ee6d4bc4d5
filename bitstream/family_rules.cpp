#include "bitstream/family_rules.h"

#include <algorithm>
#include <iterator>

namespace bitstream {

namespace {

// Registers of the 32-bit groups and of the 16-bit ones.
enum : uint32_t { FDRI_32 = 2, CMD_32 = 4, LOUT_32 = 8, COR_32 = 9 };
enum : uint32_t { FDRI_16 = 3, CMD_16 = 5, LOUT_16 = 9, COR1_16 = 10, COR2_16 = 11, CSBO_16 = 18 };

// Virtex and Spartan-II have neither IDCODE nor DESYNC: their devices start
// up at START, and a stream writes the CRC check after it. Virtex-II and the
// Spartan-3 generation put the IDCODE in register 14, Virtex-4 and later in
// register 12. Spartan-3A syncs on AA 99, Spartan-6 on AA 99 55 66. LOUT
// (the daisy-chain output) feeds no group's CRC, so debug streams, which
// write it after every frame, check as their devices check them; nor does
// CSBO in 16-bit streams.
const FamilyRules FAMILY_RULES[] = {
    {FamilyGroup::Virtex, "Virtex, Spartan-II", &WORDS_32, SYNC_WORD,
     FDRI_32, CMD_32, NO_REGISTER, {LOUT_32, NO_REGISTER},
     CrcKind::Crc16, 4, 0xFFFF, true, AutoCrc::None,
     NO_REGISTER, 0, 0,
     EndCommand::Start, NO_REGISTER, 0, 0, NO_COMMAND},
    {FamilyGroup::VirtexII, "Virtex-II, Virtex-II Pro, Spartan-3, Spartan-3E", &WORDS_32, SYNC_WORD,
     FDRI_32, CMD_32, 14, {LOUT_32, NO_REGISTER},
     CrcKind::Crc16, 5, 0xFFFF, true, AutoCrc::AfterFdriWrite,
     COR_32, 1u << 29, 0x0000DEFC,
     EndCommand::Desync, COR_32, 12, 1, NO_COMMAND},
    {FamilyGroup::Virtex4On, "Virtex-4 and later", &WORDS_32, SYNC_WORD,
     FDRI_32, CMD_32, 12, {LOUT_32, NO_REGISTER},
     CrcKind::Crc32c, 5, 0xFFFFFFFF, true, AutoCrc::None,
     COR_32, 1u << 28, 0x9876DEFC,
     EndCommand::Desync, COR_32, 12, 1, 15},
    {FamilyGroup::Spartan3A, "Spartan-3A, Spartan-3AN, Spartan-3A DSP", &WORDS_16, SYNC_HALF,
     FDRI_16, CMD_16, 14, {LOUT_16, CSBO_16},
     CrcKind::Crc22, 6, 0x3FFFFF, false, AutoCrc::None,
     COR1_16, 1u << 4, 0x9876DEFC,
     EndCommand::Desync, COR2_16, 9, 0, 14},
    {FamilyGroup::Spartan6, "Spartan-6", &WORDS_16, SYNC_WORD,
     FDRI_16, CMD_16, 14, {LOUT_16, CSBO_16},
     CrcKind::Crc22, 6, 0x3FFFFF, false, AutoCrc::AfterType2FdriWrite,
     COR1_16, 1u << 4, 0x9876DEFC,
     EndCommand::Desync, COR2_16, 9, 0, 14},
};

}  // namespace

const FamilyRules* rules_of(FamilyGroup group)
{
    const auto row = std::find_if(std::begin(FAMILY_RULES), std::end(FAMILY_RULES),
                                  [group](const FamilyRules& rules) { return rules.group == group; });
    return row == std::end(FAMILY_RULES) ? nullptr : &*row;
}

const char* family_group_name(FamilyGroup group)
{
    const FamilyRules* rules = rules_of(group);
    return rules == nullptr ? "not known" : rules->name;
}

GroupSet groups_with_words(unsigned word_bytes)
{
    GroupSet groups = 0;
    for (const FamilyRules& rules : FAMILY_RULES) {
        if (rules.format->word_bytes == word_bytes) {
            groups |= group_bit(rules.group);
        }
    }
    return groups;
}

FamilyGroup only_group(GroupSet groups)
{
    for (const FamilyRules& rules : FAMILY_RULES) {
        if (groups == group_bit(rules.group)) {
            return rules.group;
        }
    }
    return FamilyGroup::Unknown;
}

unsigned startup_bytes(const FamilyRules& rules, const uint32_t* done_cycle_register_value)
{
    unsigned phase = DEFAULT_DONE_PHASE;
    if (done_cycle_register_value != nullptr && rules.done_cycle_register != NO_REGISTER) {
        phase = ((*done_cycle_register_value >> rules.done_cycle_shift) & 0x7) +
                rules.done_phase_offset;
    }
    return FLUSH_BYTES + std::min(phase, 7u) + 1;
}

}  // namespace bitstream
