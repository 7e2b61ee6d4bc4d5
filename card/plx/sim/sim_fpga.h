// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream the way the device families found in real bitstreams do, until the
// stream's DESYNC command completes the configuration.
#pragma once

#include <cstdint>
#include <deque>

namespace sim {

// The packet format of the 32-bit families (Spartan-3/3E, Virtex-4 and later):
// sync word AA 99 55 66, then big-endian 32-bit words.
class PacketParser32 {
public:
    void reset();
    // Takes one byte of the stream; true when it completed a DESYNC command.
    bool feed(uint8_t byte)
    {
        if (skip_bytes_ != 0) {  // the bulk of a bitstream: frame data
            --skip_bytes_;
            return false;
        }
        return take(byte);
    }
    bool synced() const { return synced_; }

private:
    bool take(uint8_t byte);
    bool handle_word(uint32_t word);

    bool synced_ = false;
    uint32_t window_ = 0;        // last four bytes while looking for sync
    uint32_t word_ = 0;
    unsigned word_bytes_ = 0;
    uint64_t skip_bytes_ = 0;    // payload still to pass over
    uint32_t command_words_ = 0; // payload words of a write to CMD still due
};

// The packet format of the 16-bit families (Spartan-3A, Spartan-6): sync word
// AA 99 (a following 55 66 belongs to it), then big-endian 16-bit words.
class PacketParser16 {
public:
    void reset();
    bool feed(uint8_t byte)
    {
        if (skip_bytes_ != 0) {
            --skip_bytes_;
            return false;
        }
        return take(byte);
    }
    bool synced() const { return synced_; }

private:
    bool take(uint8_t byte);
    bool handle_word(uint16_t word);

    bool synced_ = false;
    bool just_synced_ = false;
    uint16_t window_ = 0;
    uint16_t word_ = 0;
    unsigned word_bytes_ = 0;
    uint64_t skip_bytes_ = 0;
    uint32_t command_words_ = 0;
    unsigned count_words_due_ = 0;  // words of a type-2 count still to read
    bool type2_write_ = false;
    uint32_t type2_count_ = 0;
};

class Fpga {
public:
    enum class State {
        Idle,         // never programmed since power-up
        Cleared,      // program line held low: configuration memory cleared
        Configuring,  // program line released: taking the configuration stream
        Done,         // DESYNC seen: configured and started up
    };

    explicit Fpga(bool done_at_power_up) : done_at_power_up_(done_at_power_up) {}

    // Knobs for tests.
    bool done_while_program_low = true;  // what DONE reads while the line is low
    // DONE readings to report, in order, from the program line's rising edge
    // on, in place of the model's own; the model takes over when it runs out.
    std::deque<int> scripted_done;

    // The program line as the card drives it.
    void set_program_line(bool high);
    // One byte as the FPGA receives it (after the card's wiring).
    void receive(uint8_t byte)
    {
        if (state_ == State::Configuring) {
            ++bytes_received_;
            // Both formats are read side by side: the family is not known in
            // advance.
            const bool desync32 = parser32_.feed(byte);
            const bool desync16 = parser16_.feed(byte);
            if (desync32 || desync16) {
                complete(desync32 ? 32 : 16);
            }
        } else if (state_ == State::Done) {
            ++bytes_received_;  // start-up clocks
        }
    }
    // One reading of the DONE status bit.
    int read_done();

    State state() const { return state_; }
    // Bytes taken since the program line rose.
    uint64_t bytes_received() const { return bytes_received_; }
    // Which format's DESYNC completed the cycle (32 or 16; 0 while not done),
    // and how many bytes the FPGA had taken by then.
    int completed_by() const { return completed_by_; }
    uint64_t done_at_byte() const { return done_at_byte_; }

private:
    void complete(int packet_format);

    bool done_at_power_up_;
    bool line_high_ = true;
    int completed_by_ = 0;
    uint64_t done_at_byte_ = 0;
    State state_ = State::Idle;
    uint64_t bytes_received_ = 0;
    PacketParser32 parser32_;
    PacketParser16 parser16_;
};

}  // namespace sim
