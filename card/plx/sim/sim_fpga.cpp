#include "sim_fpga.h"

namespace sim {

namespace {

constexpr uint32_t OPCODE_WRITE = 2;
constexpr uint32_t DESYNC_COMMAND = 0x0000000D;

}  // namespace

template <const PacketFormat& format>
bool PacketParser<format>::take(uint8_t byte)
{
    if (!synced_) {
        window_ = static_cast<Word>(window_ << 8 | byte);
        if (window_ == format.sync) {
            synced_ = true;
            just_synced_ = true;
        }
        return false;
    }
    word_ = static_cast<Word>(word_ << 8 | byte);
    if (++word_bytes_ < format.word_bytes) {
        return false;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

template <const PacketFormat& format>
bool PacketParser<format>::handle_word(Word word)
{
    constexpr bool SHORT_WORDS = format.word_bytes == 2;
    constexpr unsigned TYPE_SHIFT = 8 * format.word_bytes - 3;
    if (just_synced_) {
        just_synced_ = false;
        if (SHORT_WORDS && word == 0x5566) {
            return false;
        }
    }
    if (count_words_due_ != 0) {
        // A type-2 count that follows its header, high half first.
        type2_count_ = type2_count_ << 16 | word;
        if (--count_words_due_ == 0 && type2_write_) {
            skip_bytes_ = uint64_t{type2_count_} * format.word_bytes;
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
    const uint32_t type = word >> TYPE_SHIFT;
    const bool write = ((word >> (TYPE_SHIFT - 2)) & 0x3) == OPCODE_WRITE;
    if (type == 1) {
        const uint32_t reg = (word >> format.register_shift) & format.register_mask;
        const uint32_t count = word & format.count_mask;
        if (write && count != 0) {
            if (reg == format.cmd_register) {
                command_words_ = count;
            } else {
                skip_bytes_ = uint64_t{count} * format.word_bytes;
            }
        }
    } else if (type == 2) {
        if (SHORT_WORDS) {
            type2_write_ = write;
            type2_count_ = 0;
            count_words_due_ = 2;
        } else if (write) {
            skip_bytes_ = uint64_t{word & 0x07FFFFFFu} * format.word_bytes;
        }
    }
    // Anything else is not a packet header and passes as one word.
    return false;
}

template class PacketParser<WORDS_32>;
template class PacketParser<WORDS_16>;

void Fpga::set_program_line(bool high)
{
    if (!high) {
        // Held low: the FPGA drops its configuration and clears its memory.
        state_ = State::Cleared;
    } else if (!line_high_) {
        // Rising edge: a new configuration cycle starts once the memory is
        // cleared.
        state_ = State::Clearing;
        released_at_ = std::chrono::steady_clock::now();
        parser32_.reset();
        parser16_.reset();
        bytes_received_ = 0;
        completed_by_ = 0;
        done_at_byte_ = 0;
    }
    line_high_ = high;
}

void Fpga::receive_while_clearing(uint8_t byte)
{
    if (std::chrono::steady_clock::now() - released_at_ < CLEAR_TIME) {
        return;  // not ready: the byte is lost
    }
    state_ = State::Configuring;
    receive(byte);
}

// DESYNC: the configuration is complete and the FPGA starts up.
void Fpga::complete(int packet_format)
{
    state_ = State::Done;
    completed_by_ = packet_format;
    done_at_byte_ = bytes_received_;
}

int Fpga::read_done() const
{
    switch (state_) {
    case State::Idle:
        return done_at_power_up_ ? 1 : 0;
    case State::Cleared:
        return fault_ == CardFault::Busy ? 0 : 1;
    case State::Clearing:
    case State::Configuring:
        return 0;
    case State::Done:
        return fault_ == CardFault::NoDone ? 0 : 1;
    }
    return 0;
}

}  // namespace sim
