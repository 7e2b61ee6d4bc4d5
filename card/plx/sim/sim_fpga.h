// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream the way the device families found in real bitstreams do, until the
// stream's DESYNC command completes the configuration.
#pragma once

#include <chrono>
#include <cstdint>
#include <type_traits>

namespace sim {

// The two packet formats. Both start after a sync word and are read as
// big-endian words whose top three bits give the packet type and the next
// two the opcode. A type-1 header names a register and a short word count; a
// type-2 header carries a long count for the register of the type-1 header
// before it: in its own low 27 bits for 32-bit words, in the two words after
// it (high half first) for 16-bit words.
struct PacketFormat {
    unsigned word_bytes;
    uint32_t sync;            // for 16-bit words, a 55 66 right after it belongs to it
    uint32_t cmd_register;    // the register commands are written to
    unsigned register_shift;  // where a type-1 header keeps the register number
    uint32_t register_mask;
    uint32_t count_mask;      // and its word count, in the lowest bits
};

// 32-bit words (Spartan-3/3E, Virtex-4 and later): sync AA 99 55 66.
inline constexpr PacketFormat WORDS_32 = {4, 0xAA995566, 4, 13, 0x1F, 0x7FF};
// 16-bit words (Spartan-3A, Spartan-6): sync AA 99.
inline constexpr PacketFormat WORDS_16 = {2, 0xAA99, 5, 5, 0x3F, 0x1F};

template <const PacketFormat& format>
class PacketParser {
public:
    using Word = std::conditional_t<format.word_bytes == 4, uint32_t, uint16_t>;

    void reset() { *this = PacketParser(); }

    // Takes one byte of the stream; true when it completed a DESYNC command.
    bool feed(uint8_t byte)
    {
        if (skip_bytes_ != 0) {  // the bulk of a bitstream: frame data
            --skip_bytes_;
            return false;
        }
        return take(byte);
    }

private:
    bool take(uint8_t byte);
    bool handle_word(Word word);

    bool synced_ = false;
    bool just_synced_ = false;
    Word window_ = 0;            // the last bytes while looking for sync
    Word word_ = 0;
    unsigned word_bytes_ = 0;
    uint64_t skip_bytes_ = 0;    // payload still to pass over
    uint32_t command_words_ = 0; // payload words of a write to CMD still due
    unsigned count_words_due_ = 0;  // words of a type-2 count still to read
    bool type2_write_ = false;
    uint32_t type2_count_ = 0;
};

// What a card can be set up to do wrong, as a user rehearsing a lab script's
// failure handling would want it.
enum class CardFault {
    None,
    Open,    // the card cannot be opened
    Map,     // BAR 3 cannot be mapped
    Busy,    // DONE reads busy right after the program line goes low
    NoDone,  // the FPGA never reports DONE
};

class Fpga {
public:
    enum class State {
        Idle,         // never programmed since power-up
        Cleared,      // program line held low: configuration memory cleared
        Clearing,     // program line released: clearing memory, bytes ignored
        Configuring,  // taking the configuration stream
        Done,         // DESYNC seen: configured and started up
    };

    // How long the FPGA takes to clear its configuration memory once the
    // program line is released. Bytes sent sooner are lost.
    static constexpr std::chrono::microseconds CLEAR_TIME{1000};

    Fpga(bool done_at_power_up, CardFault fault)
        : done_at_power_up_(done_at_power_up), fault_(fault)
    {
    }

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
        } else if (state_ == State::Clearing) {
            receive_while_clearing(byte);
        }
    }

    // One reading of the DONE status bit.
    int read_done() const;

    State state() const { return state_; }
    // Bytes taken since the program line rose (those lost while the memory
    // was being cleared are not counted).
    uint64_t bytes_received() const { return bytes_received_; }
    // Which format's DESYNC completed the cycle (32 or 16; 0 while not done),
    // and how many bytes the FPGA had taken by then.
    int completed_by() const { return completed_by_; }
    uint64_t done_at_byte() const { return done_at_byte_; }

private:
    void complete(int packet_format);
    void receive_while_clearing(uint8_t byte);

    bool done_at_power_up_;
    CardFault fault_;
    bool line_high_ = true;
    std::chrono::steady_clock::time_point released_at_{};
    int completed_by_ = 0;
    uint64_t done_at_byte_ = 0;
    State state_ = State::Idle;
    uint64_t bytes_received_ = 0;
    PacketParser<WORDS_32> parser32_;
    PacketParser<WORDS_16> parser16_;
};

}  // namespace sim
