#include "bitstream/family_rules.h"

#include <algorithm>
#include <iterator>

namespace bitstream {

namespace {

// Registers of the 32-bit groups and of the 16-bit ones, as the devices'
// configuration user guides number them.
enum : uint32_t {
    FAR_32 = 1, FDRI_32 = 2, CMD_32 = 4, CTL_32 = 5, LOUT_32 = 8, COR_32 = 9, MFWR_32 = 10,
    CBC_V4 = 11, IDCODE_V4 = 12, COR1_V4 = 14, WBSTAR_V4 = 16, CBC_V2 = 13, IDCODE_V2 = 14,
};
enum : uint32_t {
    FDRI_16 = 3, CMD_16 = 5, CTL_16 = 6, LOUT_16 = 9, COR1_16 = 10, COR2_16 = 11, IDCODE_16 = 14,
    CSBO_16 = 18, MFWR_S6 = 27, CBC_S6 = 34,
};
constexpr uint32_t NONE = NO_REGISTER;
// The decryptor's enable: DEC, bit 6 of the control register.
constexpr uint32_t DEC_BIT = 1u << 6;

// Virtex and Spartan-II have neither IDCODE nor DESYNC: their devices start
// up at START, and a stream writes the CRC check after it. Virtex-II and the
// Spartan-3 generation put the IDCODE in register 14, Virtex-4 and later in
// register 12. Spartan-3A syncs on AA 99, Spartan-6 on AA 99 55 66. LOUT
// (the daisy-chain output) feeds no group's CRC, nor does CSBO in 16-bit
// streams. Only Virtex-4 and later streams write the bus width detection
// words, and only they name the address a master restarts from after IPROG
// in one register (WBSTAR).
constexpr FamilyRules FAMILY_RULES[] = {
#include "bitstream/family_rules.inc"
};

// One row per group, in the order of FamilyGroup, so that a group's row is
// found by its number; every register a row names is one its packet format
// can address.
constexpr bool rows_in_order()
{
    for (size_t i = 0; i < std::size(FAMILY_RULES); ++i) {
        if (static_cast<size_t>(FAMILY_RULES[i].group) != i + 1) {
            return false;
        }
    }
    return std::size(FAMILY_RULES) + 1 == GROUP_COUNT;
}
static_assert(rows_in_order(), "FAMILY_RULES holds each group once, in the order of FamilyGroup");

constexpr bool addressable(const FamilyRules& r, uint32_t reg)
{
    return reg == NONE || reg <= r.format->register_mask;
}
constexpr bool registers_addressable()
{
    for (const FamilyRules& r : FAMILY_RULES) {
        for (const uint32_t reg : {r.fdri, r.cmd, r.idcode, r.lout, r.csbo, r.far, r.mfwr, r.wbstar,
                                   r.decrypt_register, r.iv_register, r.done_cycle_register,
                                   r.options_register, r.extra_options_register}) {
            if (!addressable(r, reg) || reg == CRC_REGISTER) {
                return false;
            }
        }
    }
    return true;
}
static_assert(registers_addressable(), "every register of a row fits its packet format");

}  // namespace

const FamilyRules* rules_of(FamilyGroup group)
{
    const size_t index = static_cast<size_t>(group);
    return index == 0 || index >= GROUP_COUNT ? nullptr : &FAMILY_RULES[index - 1];
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

FamilyGroup first_group(GroupSet groups)
{
    for (const FamilyRules& rules : FAMILY_RULES) {
        if ((groups & group_bit(rules.group)) != 0) {
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
    const unsigned flush = rules.end == EndCommand::Desync ? FLUSH_BYTES : 0;
    return flush + std::min(phase, 7u) + 1;
}

}  // namespace bitstream
