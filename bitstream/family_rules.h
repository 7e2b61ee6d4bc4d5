// How each group of device families reads its configuration stream: one
// row per group, in FAMILY_RULES (family_rules.cpp), and nowhere else.
//
// A row says which packet format and sync word the group's devices take,
// where their registers are, how their CRC is fed and compared, whether an
// AutoCRC follows the frame data, which command ends the configuration, how
// many clocks their start-up needs, and which signs in a stream tell the
// group. What differs between the families of a group (the bus width
// detection Virtex-5 and later need, the CRC bypass of the older families)
// is in the family table (devices.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitstream/packet_format.h"

namespace bitstream {

enum class FamilyGroup : uint8_t { Unknown, Virtex, VirtexII, Virtex4On, Spartan3A, Spartan6 };

// How many groups there are, Unknown included: the size of anything kept
// per group.
constexpr size_t GROUP_COUNT = static_cast<size_t>(FamilyGroup::Spartan6) + 1;

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
// are reserved. Every group numbers them alike but IPROG (a column).
constexpr uint32_t COMMAND_FIELD = 0x1F;
enum : uint32_t {
    WCFG_COMMAND = 1,
    START_COMMAND = 5,
    RCRC_COMMAND = 7,
    SHUTDOWN_COMMAND = 11,
    DESYNC_COMMAND = 13,
};

// A CRC check bypassed: with `bit` set in `option_register`, a CRC check
// whose compared bits are `crc`'s passes whatever was computed.
struct CrcBypass {
    uint32_t option_register, bit, crc;
};

struct FamilyRules {
    FamilyGroup group;
    const char* name;  // the families, for people
    const PacketFormat* format;
    uint32_t sync_word;  // SYNC_WORD, or SYNC_HALF for a device that syncs on AA 99
    // Registers.
    uint32_t fdri, cmd;
    uint32_t idcode;      // NO_REGISTER: the group's streams write none
    uint32_t lout;        // the daisy-chain output
    uint32_t csbo;        // 16-bit: the daisy-chain count; NO_REGISTER elsewhere
    uint32_t far;         // the frame address the samples set; NO_REGISTER: left at reset
    uint32_t mfwr;        // multiple frame writes (compressed streams)
    uint32_t wbstar;      // where a device in a master mode restarts after IPROG
    uint32_t decrypt_register, decrypt_bit;  // the decryptor's enable
    uint32_t iv_register;                    // the decryptor's initial vector
    // The CRC: how it is fed, which of its bits a check compares, and
    // whether a check resets it.
    CrcKind crc;
    unsigned address_bits;
    uint32_t compared_bits;
    bool reset_after_check;
    AutoCrc autocrc;
    // Start-up: the command that ends the configuration, and where the
    // phase DONE rises in is kept (phase = field + done_phase_offset).
    EndCommand end;
    uint32_t done_cycle_register;
    unsigned done_cycle_shift;
    unsigned done_phase_offset;
    uint32_t iprog_command;  // restarts the configuration; NO_COMMAND: none
    // Signs of the group in a stream: the bus width detection words before
    // the sync word.
    bool bus_width_detection;
    // The option registers as the FPGA tools write them by default (a
    // second, when the DONE phase is in another register), and one more the
    // tools write before the IDCODE (NO_REGISTER: none).
    uint32_t options_register, options_value;
    uint32_t done_options_value;
    uint32_t extra_options_register;
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
static_assert(GROUP_COUNT <= 8 * sizeof(GroupSet), "a group set holds every group");
// The groups whose streams have packets of `word_bytes`.
GroupSet groups_with_words(unsigned word_bytes);
// The one group in `groups`, or Unknown when it holds none or several.
FamilyGroup only_group(GroupSet groups);
// The first group in `groups` (Unknown when it is empty).
FamilyGroup first_group(GroupSet groups);
// The groups in `groups` whose rules `test` holds for.
template <typename Test>
GroupSet groups_where(GroupSet groups, Test test)
{
    GroupSet matching = 0;
    for (size_t group = 1; group < GROUP_COUNT; ++group) {
        const FamilyRules* rules = rules_of(static_cast<FamilyGroup>(group));
        if ((groups >> group & 1) != 0 && test(*rules)) {
            matching |= group_bit(rules->group);
        }
    }
    return matching;
}

// Calls f(rules) for each group in `groups`.
template <typename F>
void for_each_group(GroupSet groups, F f)
{
    for (size_t group = 1; group < GROUP_COUNT; ++group) {
        if ((groups >> group & 1) != 0) {
            f(*rules_of(static_cast<FamilyGroup>(group)));
        }
    }
}

// After DESYNC the device flushes its packet buffer (64 bits: 8 bytes on the
// card's 8-bit port) and then runs its start-up phases 0 to 7, one per
// clock; DONE rises in the phase the option register names (phase 4 when
// the stream does not set it). A device that starts up at START has no
// buffer to flush. The bytes the port must take after the command that ends
// the configuration before DONE is high: the flush and the clocks through
// that phase.
constexpr unsigned FLUSH_BYTES = 8;
constexpr unsigned DEFAULT_DONE_PHASE = 4;
unsigned startup_bytes(const FamilyRules& rules, const uint32_t* done_cycle_register_value);

}  // namespace bitstream
