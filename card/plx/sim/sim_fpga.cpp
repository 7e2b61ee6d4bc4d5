#include "sim_fpga.h"

namespace sim {

namespace {

constexpr uint32_t OPCODE_WRITE = 2;
constexpr uint32_t DESYNC_COMMAND = 0x0000000D;

constexpr uint32_t SYNC_WORD_32 = 0xAA995566;
constexpr uint32_t CMD_REGISTER_32 = 4;

constexpr uint16_t SYNC_WORD_16 = 0xAA99;
constexpr uint16_t SYNC_TAIL_16 = 0x5566;
constexpr uint32_t CMD_REGISTER_16 = 5;

}  // namespace

void PacketParser32::reset()
{
    *this = PacketParser32();
}

bool PacketParser32::take(uint8_t byte)
{
    if (!synced_) {
        window_ = window_ << 8 | byte;
        if (window_ == SYNC_WORD_32) {
            synced_ = true;
        }
        return false;
    }
    word_ = word_ << 8 | byte;
    if (++word_bytes_ < 4) {
        return false;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

bool PacketParser32::handle_word(uint32_t word)
{
    if (command_words_ != 0) {
        --command_words_;
        if (word == DESYNC_COMMAND) {
            reset();
            return true;
        }
        return false;
    }
    const uint32_t type = word >> 29;
    const uint32_t opcode = (word >> 27) & 0x3;
    if (type == 1) {
        const uint32_t reg = (word >> 13) & 0x1F;
        const uint32_t count = word & 0x7FF;
        if (opcode == OPCODE_WRITE && count != 0) {
            if (reg == CMD_REGISTER_32) {
                command_words_ = count;
            } else {
                skip_bytes_ = uint64_t{count} * 4;
            }
        }
    } else if (type == 2) {
        if (opcode == OPCODE_WRITE) {
            skip_bytes_ = uint64_t{word & 0x07FFFFFF} * 4;
        }
    }
    // Anything else is not a packet header and passes as one word.
    return false;
}

void PacketParser16::reset()
{
    *this = PacketParser16();
}

bool PacketParser16::take(uint8_t byte)
{
    if (!synced_) {
        window_ = static_cast<uint16_t>(window_ << 8 | byte);
        if (window_ == SYNC_WORD_16) {
            synced_ = true;
            just_synced_ = true;
        }
        return false;
    }
    word_ = static_cast<uint16_t>(word_ << 8 | byte);
    if (++word_bytes_ < 2) {
        return false;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

bool PacketParser16::handle_word(uint16_t word)
{
    if (just_synced_) {
        just_synced_ = false;
        if (word == SYNC_TAIL_16) {
            return false;
        }
    }
    if (count_words_due_ != 0) {
        // A type-2 header is followed by its 32-bit word count, high half first.
        type2_count_ = type2_count_ << 16 | word;
        if (--count_words_due_ == 0 && type2_write_) {
            skip_bytes_ = uint64_t{type2_count_} * 2;
        }
        return false;
    }
    if (command_words_ != 0) {
        --command_words_;
        if (word == DESYNC_COMMAND) {
            reset();
            return true;
        }
        return false;
    }
    const uint32_t type = word >> 13;
    const uint32_t opcode = (word >> 11) & 0x3;
    if (type == 1) {
        const uint32_t reg = (word >> 5) & 0x3F;
        const uint32_t count = word & 0x1F;
        if (opcode == OPCODE_WRITE && count != 0) {
            if (reg == CMD_REGISTER_16) {
                command_words_ = count;
            } else {
                skip_bytes_ = uint64_t{count} * 2;
            }
        }
    } else if (type == 2) {
        count_words_due_ = 2;
        type2_count_ = 0;
        type2_write_ = (opcode == OPCODE_WRITE);
    }
    return false;
}

void Fpga::set_program_line(bool high)
{
    if (!high) {
        // Held low: the FPGA drops its configuration and clears its memory.
        state_ = State::Cleared;
    } else if (!line_high_) {
        // Rising edge: a new configuration cycle starts.
        state_ = State::Configuring;
        parser32_.reset();
        parser16_.reset();
        bytes_received_ = 0;
        completed_by_ = 0;
        done_at_byte_ = 0;
    }
    line_high_ = high;
}

// DESYNC: the configuration is complete and the FPGA starts up.
void Fpga::complete(int packet_format)
{
    state_ = State::Done;
    completed_by_ = packet_format;
    done_at_byte_ = bytes_received_;
}

int Fpga::read_done()
{
    switch (state_) {
    case State::Idle:
        return done_at_power_up_ ? 1 : 0;
    case State::Cleared:
        return done_while_program_low ? 1 : 0;
    case State::Configuring:
    case State::Done:
        break;
    }
    if (!scripted_done.empty()) {
        const int reading = scripted_done.front();
        scripted_done.pop_front();
        return reading;
    }
    return state_ == State::Done ? 1 : 0;
}

}  // namespace sim
