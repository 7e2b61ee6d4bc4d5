// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream as the device families do (packet_parser.h): it checks the stream's
// CRC and starts up once the command that ends the configuration has come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "card/plx/sim/packet_parser.h"

namespace sim {

// What a card can be set up to do wrong, as a user rehearsing a lab script's
// failure handling would want it.
enum class CardFault {
    None,
    Open,    // the card cannot be opened
    Map,     // BAR 3 cannot be mapped
    Busy,    // DONE reads busy right after the program line goes low
    NoDone,  // the FPGA never reports DONE
    Gone,    // the card stops answering during the first block of a load
};

// How the FPGA behind a card behaves.
struct FpgaSettings {
    // Its own IDCODE, against which it checks the one a stream writes; none:
    // it takes a stream written for any device.
    std::optional<uint32_t> idcode;
    // Readings of DONE after start-up before it falls again, as from an FPGA
    // that resets itself; 0: DONE holds.
    uint32_t done_falls_after = 0;
};

class Fpga {
public:
    enum class State {
        Idle,         // never programmed since power-up
        Cleared,      // program line held low: configuration memory cleared
        Clearing,     // program line released: clearing memory, bytes ignored
        Configuring,  // taking the configuration stream
        Done,         // configured and started up
        CrcError,     // the stream's CRC did not match: it will not start up
        IdError,      // the stream is written for another device
    };

    // How long the FPGA takes to clear its configuration memory once the
    // program line is released. Bytes sent sooner are lost.
    static constexpr std::chrono::microseconds CLEAR_TIME{1000};

    Fpga(bool done_at_power_up, CardFault fault, const FpgaSettings& settings)
        : done_at_power_up_(done_at_power_up), fault_(fault), settings_(settings)
    {
    }

    // The program line as the card drives it.
    void set_program_line(bool high);

    // Bytes as the FPGA receives them (after the card's wiring), in order.
    void receive(const uint8_t* bytes, size_t count);

    // Whether it reads the configuration stream now.
    bool reading_stream() const
    {
        return state_ == State::Configuring || (state_ == State::Done && awaiting_start_check_);
    }

    // Tells `listener` what it meets in each stream (none: nobody is told).
    void set_listener(StreamListener* listener) { listener_ = listener; }

    // One reading of the DONE status bit.
    int read_done();

    State state() const { return state_; }
    // Bytes taken since the program line rose (those lost while the memory
    // was being cleared are not counted).
    uint64_t bytes_received() const { return bytes_received_; }
    // What the stream of the last cycle showed: its packet format (word
    // bytes, 0 while not known), its family group, and how many bytes the
    // FPGA had taken when it stopped reading it (0 while it reads on).
    unsigned word_bytes() const { return word_bytes_; }
    FamilyGroup group() const;
    uint64_t done_at_byte() const { return done_at_byte_; }

private:
    size_t parse(const uint8_t* bytes, size_t count);
    void act_on(ParseEvent event);

    bool done_at_power_up_;
    CardFault fault_;
    FpgaSettings settings_;
    uint32_t done_readings_ = 0;  // since it started up
    StreamListener* listener_ = nullptr;
    bool line_high_ = true;
    std::chrono::steady_clock::time_point released_at_{};
    State state_ = State::Idle;
    uint64_t bytes_received_ = 0;
    uint64_t done_at_byte_ = 0;
    unsigned word_bytes_ = 0;            // of the parser followed
    bool awaiting_start_check_ = false;  // Virtex: started at START; a CRC check may follow
    PacketParser<WORDS_32> parser32_;
    PacketParser<WORDS_16> parser16_;
};

}  // namespace sim
