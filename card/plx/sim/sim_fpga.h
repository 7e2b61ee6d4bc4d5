// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream as its device does (bitstream/stream_reader.h): it checks the
// stream's IDCODE and CRC, starts up after START and DESYNC, and raises DONE
// once its start-up clocks have come.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bitstream/stream_reader.h"

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
    InUse,   // another process holds the card, so it cannot be opened
    NotAnswering,  // its control/status register reads all ones from the start
};

// How the FPGA behind a card behaves.
struct FpgaSettings {
    // Its own IDCODE, against which it checks the one a stream writes; the
    // device table names its family group. None: it takes a stream written
    // for any device.
    std::optional<uint32_t> idcode;
    // Its family group when the IDCODE does not name it (the bitstream
    // checker takes it from a .BIT header's part). With neither, the FPGA
    // tells the group from the stream, as bitstream/stream_reader.h says.
    bitstream::FamilyGroup group = bitstream::FamilyGroup::Unknown;
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
        StartingUp,   // DESYNC after START: flushing, then its start-up phases
        Done,         // configured and started up; it goes on reading
        ShutDown,     // shut down by the stream after start-up
        CrcError,     // the stream's CRC did not match: it will not start up
        IdError,      // the stream is written for another device
    };

    // How long the FPGA takes to clear its configuration memory once the
    // program line is released (or the stream asks for a new configuration).
    // Bytes sent sooner are lost.
    static constexpr std::chrono::microseconds CLEAR_TIME{1000};

    Fpga(bool done_at_power_up, CardFault fault, const FpgaSettings& settings);

    // The program line as the card drives it.
    void set_program_line(bool high);

    // Bytes as the FPGA receives them (after the card's wiring), in order.
    void receive(const uint8_t* bytes, size_t count);

    // Whether it reads the configuration stream now.
    bool reading_stream() const
    {
        return state_ == State::Configuring || state_ == State::StartingUp ||
               state_ == State::Done || state_ == State::ShutDown;
    }

    // Tells `listener` what it meets in each stream (none: nobody is told).
    void set_listener(bitstream::StreamListener* listener) { listener_ = listener; }

    // One reading of the DONE status bit.
    int read_done();

    State state() const { return state_; }
    // Bytes taken since the program line rose (those lost while the memory
    // was being cleared are not counted).
    uint64_t bytes_received() const { return bytes_received_; }
    // What the stream of the last cycle showed: its family group, where the
    // command that ended its configuration ends (0: none yet), the bytes its
    // start-up needs after it, and whether it then asked for a new
    // configuration (IPROG).
    bitstream::FamilyGroup group() const;
    uint64_t done_at_byte() const { return done_at_byte_; }
    unsigned startup_bytes() const { return startup_bytes_; }
    bool restarted() const { return restarted_; }
    // The rules of that group, or while it is not known, of the first group
    // the stream may still be for.
    const bitstream::FamilyRules& rules() const;

private:
    void start_cycle();
    size_t parse(const uint8_t* bytes, size_t count);
    size_t read(const uint8_t* bytes, size_t count, uint64_t at);
    void act_on(bitstream::ReaderEvent event, uint64_t end);
    void command(uint32_t code, uint64_t end);

    bool done_at_power_up_;
    CardFault fault_;
    FpgaSettings settings_;
    bitstream::FamilyGroup device_group_;
    uint32_t done_readings_ = 0;  // since it started up
    bitstream::StreamListener* listener_ = nullptr;
    bool line_high_ = true;
    std::chrono::steady_clock::time_point released_at_{};
    State state_ = State::Idle;
    uint64_t bytes_received_ = 0;
    uint64_t done_at_byte_ = 0;
    uint64_t started_up_at_ = 0;  // the byte after which DONE rises
    unsigned startup_bytes_ = 0;
    unsigned word_bytes_ = 0;     // of the reader followed
    bool started_ = false;        // START taken
    bool awaiting_start_check_ = false;  // started at START; a CRC check may follow
    bool shutdown_pending_ = false;      // SHUTDOWN taken after start-up
    bool restarted_ = false;             // IPROG taken after start-up
    bitstream::FormatDetector detector_;
    bitstream::StreamReader<bitstream::WORDS_32> reader32_;
    bitstream::StreamReader<bitstream::WORDS_16> reader16_;
};

}  // namespace sim
