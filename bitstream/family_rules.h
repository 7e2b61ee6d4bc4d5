// How each group of device families reads its configuration stream: one
// row per group, in FAMILY_RULES (family_rules.cpp), and nowhere else.
//
// A row says which packet format and sync word the group's devices take,
// where their registers are, how their CRC is fed and compared, whether an
// AutoCRC follows the frame data, how the CRC check is bypassed, which
// command ends the configuration, and how many clocks their start-up needs.
#pragma once

#include <cstdint>

#include "bitstream/packet_format.h"

namespace bitstream {

enum class FamilyGroup : uint8_t { Unknown, Virtex, VirtexII, Virtex4On, Spartan3A, Spartan6 };

enum class CrcKind : uint8_t {
    Crc32c,  // Castagnoli, reflected; 32 data bits then the address bits
    Crc16,   // x^16+x^15+x^2+1, reflected; 32 data bits then the address bits
    Crc22,   // one step per 16-bit word, the address above it
};

enum class AutoCrc : uint8_t {
    None,
    AfterFdriWrite,       // one word after every non-empty FDRI write
    AfterType2FdriWrite,  // two words after every type-2 FDRI write
};

// The command after which a configured device starts up.
enum class EndCommand : uint8_t {
    Start,   // START itself; a CRC check written after it still counts
    Desync,  // DESYNC after START, once the CRC checks have passed
};

constexpr uint32_t NO_REGISTER = 0xFFFFFFFF;
constexpr uint32_t NO_COMMAND = 0xFFFFFFFF;
constexpr uint32_t CRC_REGISTER = 0;

// Commands, written to CMD; only CMD[4:0] is the command, the bits above
// are reserved.
constexpr uint32_t COMMAND_FIELD = 0x1F;
enum : uint32_t {
    START_COMMAND = 5,
    RCRC_COMMAND = 7,
    SHUTDOWN_COMMAND = 11,
    DESYNC_COMMAND = 13,
};

struct FamilyRules {
    FamilyGroup group;
    const char* name;  // the families, for people
    const PacketFormat* format;
    uint32_t sync_word;  // SYNC_WORD, or SYNC_HALF for a device that syncs on AA 99
    // Registers.
    uint32_t fdri, cmd;
    uint32_t idcode;       // NO_REGISTER: the group's streams write none
    uint32_t not_fed[2];   // registers whose writes do not feed the CRC
    // The CRC: how it is fed, which of its bits a check compares, and
    // whether a check resets it.
    CrcKind crc;
    unsigned address_bits;
    uint32_t compared_bits;
    bool reset_after_check;
    AutoCrc autocrc;
    // With bypass_bit set in bypass_register, a CRC check whose value is
    // bypass_crc passes whatever was computed (CRC disabled).
    uint32_t bypass_register, bypass_bit, bypass_crc;
    // Start-up: the command that ends the configuration, and where the
    // phase DONE rises in is kept (phase = field + done_phase_offset).
    EndCommand end;
    uint32_t done_cycle_register;
    unsigned done_cycle_shift;
    unsigned done_phase_offset;
    uint32_t iprog_command;  // restarts the configuration; NO_COMMAND: none
};

// The rules of a group; null for FamilyGroup::Unknown.
const FamilyRules* rules_of(FamilyGroup group);
// The families of a group ("Virtex-4 and later"), or "not known".
const char* family_group_name(FamilyGroup group);

// A set of groups, as a stream reader narrows down the ones a stream may be
// written for.
using GroupSet = uint8_t;
constexpr GroupSet group_bit(FamilyGroup group)
{
    return static_cast<GroupSet>(1u << static_cast<unsigned>(group));
}
// The groups whose streams have packets of `word_bytes`.
GroupSet groups_with_words(unsigned word_bytes);
// The one group in `groups`, or Unknown when it holds none or several.
FamilyGroup only_group(GroupSet groups);

// After DESYNC the device flushes its packet buffer (64 bits: 8 bytes on the
// card's 8-bit port) and then runs its start-up phases 0 to 7, one per
// clock; DONE rises in the phase the option register names (phase 4 when
// the stream does not set it). The bytes the port must take after DESYNC
// before DONE is high: the flush and the clocks through that phase.
constexpr unsigned FLUSH_BYTES = 8;
constexpr unsigned DEFAULT_DONE_PHASE = 4;
unsigned startup_bytes(const FamilyRules& rules, const uint32_t* done_cycle_register_value);

}  // namespace bitstream
