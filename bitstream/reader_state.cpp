// What a stream reader keeps whatever its packet format (stream_reader.h):
// the sync word's detection, the groups still possible and what they make
// of each register, the CRCs, the IDCODE, the commands and the record.
#include <algorithm>
#include <iterator>

#include "bitstream/crc.h"
#include "bitstream/stream_reader.h"

namespace bitstream {

namespace {

// The low 12 bits of the families' IDCODEs: the maker's JEDEC code above the
// 1 that JTAG puts at bit 0.
constexpr uint32_t IDCODE_MAKER_MASK = 0xFFF;
constexpr uint32_t IDCODE_MAKER = 0x093;
// How often a stream must write LOUT, or check its CRC, between frame
// writes to be a debug or per-frame CRC stream: more than once, as a stream
// split into a few frame writes may well check its CRC at one of the seams.
constexpr unsigned BETWEEN_FRAMES_SIGN = 2;

}  // namespace

// ---------------------------------------------------------------- FormatDetector

unsigned FormatDetector::take(uint8_t byte)
{
    window_ = window_ << 8 | byte;
    if (window_ == BUS_WIDTH_DETECTION) {
        bus_width_detected_ = true;
    }
    if (after_sync_ == 0) {
        after_sync_ = (window_ & 0xFFFF) == SYNC_HALF ? 2 : 0;
        return 0;
    }
    ++after_sync_;
    if (after_sync_ == 4) {
        whole_sync_ = (window_ & 0xFFFF) == (SYNC_WORD & 0xFFFF);
        return whole_sync_ ? 0 : 2;
    }
    if (after_sync_ == 8) {
        return starts_32_bit_packets(static_cast<uint32_t>(window_)) ? 4 : 2;
    }
    return 0;
}

size_t FormatDetector::replay(uint8_t* bytes) const
{
    for (unsigned i = 0; i < after_sync_; ++i) {
        bytes[i] = static_cast<uint8_t>(window_ >> 8 * (after_sync_ - 1 - i));
    }
    return after_sync_;
}

// ---------------------------------------------------------------- ReaderState

const FamilyRules& ReaderState::rules() const
{
    return *rules_of(first_group(groups_));
}

// What the groups still possible make of each register and of the sync
// word, kept so that a write or a byte asks no table.
void ReaderState::regroup()
{
    const GroupSet groups = groups_;
    auto all = [groups](auto test) { return groups_where(groups, test) == groups; };
    for (uint32_t reg = 0; reg < 64; ++reg) {
        register_signs_[reg] = static_cast<uint8_t>(
            (groups_where(groups, [reg](const FamilyRules& r) { return r.idcode == reg; }) != 0 ? IDCODE_HERE : 0) |
            (groups_where(groups, [reg](const FamilyRules& r) { return r.decrypt_register == reg; }) != 0
                 ? DECRYPTOR_HERE
                 : 0) |
            (all([reg](const FamilyRules& r) { return r.mfwr == reg; }) ? MFWR_HERE : 0) |
            (all([reg](const FamilyRules& r) { return r.lout == reg; }) ? LOUT_HERE : 0) |
            (all([reg](const FamilyRules& r) { return r.iv_register == reg; }) ? IV_HERE : 0));
    }
    needs_whole_sync_ = all([](const FamilyRules& r) { return r.sync_word == SYNC_WORD; });
}

// Only `groups` are possible from here on. A 16-bit device that needs the
// whole sync word, found to be one only now, had not synced on AA 99 alone.
void ReaderState::narrow(GroupSet groups)
{
    if (groups == groups_ || groups == 0) {
        return;
    }
    groups_ = groups;
    regroup();
    const bool needs_whole = needs_whole_sync_;
    if (synced_ && needs_whole && !whole_sync_) {
        lose_sync();
        record_.half_sync_refused = true;
        record_.sync_bytes = 0;
    }
}

void ReaderState::lose_sync()
{
    synced_ = false;
    whole_sync_ = false;
    sync_tail_due_ = false;
    window_ = 0;
    word_bytes_ = 0;
    payload_words_ = 0;
    count_words_due_ = 0;
    autocrc_words_due_ = 0;
    autocrc_may_follow_ = false;
}

void ReaderState::restart_configuration()
{
    lose_sync();
    bus_width_detected_ = false;
    std::fill(std::begin(crc_), std::end(crc_), 0);
    written_ = 0;
    idcode_seen_ = false;
    lout_since_frames_ = check_since_frames_ = shut_down_ = false;
}

void ReaderState::feed(uint32_t word)
{
    const uint32_t reg = register_;
    for_each_group(groups_, [this, word, reg](const FamilyRules& r) {
        uint32_t& crc = crc_[static_cast<size_t>(r.group)];
        crc = crc_after_write(r, crc, reg, word);
    });
}

// The frame data of one FDRI write starts: what it shows of the stream's
// kind, and of its group when no IDCODE came before it.
void ReaderState::start_frames(uint32_t count)
{
    if (!idcode_seen_) {
        narrow(groups_where(groups_, [](const FamilyRules& r) { return r.idcode == NO_REGISTER; }));
    }
    if (record_.frame_words != 0) {
        lout_between_frames_ += lout_since_frames_ ? 1 : 0;
        checks_between_frames_ += check_since_frames_ ? 1 : 0;
    }
    record_.features |= (lout_between_frames_ >= BETWEEN_FRAMES_SIGN ? DEBUG : 0) |
                        (checks_between_frames_ >= BETWEEN_FRAMES_SIGN ? PER_FRAME_CRC : 0) |
                        (shut_down_ ? PARTIAL : 0);
    lout_since_frames_ = check_since_frames_ = false;
    record_.frame_words += count;
}

// A register write, for what it shows of the stream's kind: by a register
// that every group the stream may be for names alike. Enabling a decryptor
// shows the group too: only the groups that have one there.
ReaderEvent ReaderState::note_write(uint32_t reg, uint32_t word)
{
    const uint8_t signs = reg < 64 ? register_signs_[reg] : 0;
    if (reg < 64) {
        registers_[reg] = word;
        written_ |= uint64_t{1} << reg;
    }
    if ((signs & MFWR_HERE) != 0) {
        record_.features |= COMPRESSED;
    }
    if (record_.frame_words != 0 && (signs & LOUT_HERE) != 0) {
        lout_since_frames_ = true;
    }
    if ((signs & IV_HERE) != 0) {
        record_.features |= ENCRYPTED;
    }
    if ((signs & DECRYPTOR_HERE) == 0) {
        return ReaderEvent::None;
    }
    const GroupSet decrypting = groups_where(groups_, [reg, word](const FamilyRules& r) {
        return r.decrypt_register == reg && (word & r.decrypt_bit) != 0;
    });
    if (decrypting == 0) {
        return ReaderEvent::None;
    }
    narrow(decrypting);
    record_.features |= ENCRYPTED;
    return ReaderEvent::Decrypt;
}

ReaderEvent ReaderState::idcode_written(uint32_t value)
{
    if (rules_of(group()) == nullptr) {  // the group is not known yet
        if ((value & IDCODE_MAKER_MASK) != IDCODE_MAKER) {
            return ReaderEvent::None;  // another register of a group that may be this one
        }
        const uint32_t reg = register_;
        GroupSet named = groups_where(groups_, [reg](const FamilyRules& r) { return r.idcode == reg; });
        if (const FpgaDevice* device = device_of_idcode(value)) {
            named &= group_bit(device->family->group);
        }
        if (named == 0) {
            return ReaderEvent::None;
        }
        narrow(named);
        if (!synced_) {
            return ReaderEvent::None;
        }
    }
    idcode_seen_ = true;
    idcode_ = value;
    record_.idcodes.push_back({value, end_});
    return ReaderEvent::Idcode;
}

// The command is CMD[4:0]; the word feeds the CRC as the group takes it.
// DESYNC leaves a device that ends its configuration with it looking for
// the sync word again.
ReaderEvent ReaderState::command_written(uint32_t value)
{
    command_ = value & COMMAND_FIELD;
    feed(value);
    const uint32_t code = command_;
    if (groups_where(groups_, [code](const FamilyRules& r) { return r.iprog_command == code; }) != 0) {
        record_.features |= MULTIBOOT;
    }
    if (code == SHUTDOWN_COMMAND && record_.frame_words == 0) {
        shut_down_ = true;
    }
    if (code == DESYNC_COMMAND &&
        groups_where(groups_, [](const FamilyRules& r) { return r.end == EndCommand::Desync; }) != 0) {
        lose_sync();
    }
    return ReaderEvent::Command;
}

// A device of a known family bypasses its CRC check as the family does;
// otherwise as the group's families can.
const CrcBypass* ReaderState::bypass(const FamilyRules& rules) const
{
    const FpgaFamily* family = family_;
    if (family == nullptr && idcode_seen_) {
        const FpgaDevice* device = device_of_idcode(idcode_);
        family = device == nullptr ? nullptr : device->family;
    }
    return family != nullptr && family->group == rules.group ? family->bypass
                                                             : group_crc_bypass(rules.group);
}

// Compares what was written with the CRC of each group the stream may be
// for; a CRC check bypassed as the device allows passes. The groups whose
// check fails are ruled out; when none is left the check has failed.
ReaderEvent ReaderState::check(CrcCheck check, uint32_t written)
{
    auto bypassed = [this, written](const FamilyRules& r) {
        const CrcBypass* b = bypass(r);
        const uint32_t* options = b == nullptr ? nullptr : register_value(b->option_register);
        return options != nullptr && (*options & b->bit) != 0 &&
               ((written ^ b->crc) & r.compared_bits) == 0;
    };
    const GroupSet passed = groups_where(groups_, [&](const FamilyRules& r) {
        return bypassed(r) ||
               ((written ^ crc_[static_cast<size_t>(r.group)]) & r.compared_bits) == 0;
    });
    const GroupSet shown = passed != 0 ? passed : groups_;
    const FamilyRules& r = *rules_of(first_group(shown));
    record_.checks.push_back({r.group, check, written & r.compared_bits,
                              crc_[static_cast<size_t>(r.group)] & r.compared_bits, bypassed(r),
                              passed != 0, end_});
    if (check == CrcCheck::Write && record_.frame_words != 0) {
        check_since_frames_ = true;
    }
    for_each_group(groups_, [this](const FamilyRules& g) {
        if (g.reset_after_check) {
            crc_[static_cast<size_t>(g.group)] = 0;
        }
    });
    if (passed == 0) {
        return ReaderEvent::CrcError;
    }
    narrow(passed);
    return ReaderEvent::CrcPassed;
}

}  // namespace bitstream
