// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream as its device does (bitstream/stream_reader.h): it checks the
// stream's IDCODE and CRC, starts up after START (and DESYNC), raises DONE
// once its start-up clocks have come, and says why when it does not
// (fpga_verdict.h).
//
// A device of a known family reads its own packet format. Otherwise the
// sync word tells: after AA 99 alone only 16-bit packets can follow, after
// AA 99 55 66 either format can, and the FPGA reads the stream both ways
// until one is ruled out: a CRC check that passes, an IDCODE of a known
// device or a start-up in one way rules the other out. Until then the word
// after the sync word is the guess, and what the guessed way meets is what
// the FPGA says.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bitstream/devices.h"
#include "bitstream/stream_reader.h"
#include "card/plx/sim/fpga_verdict.h"

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
    // device table names its family. None: it takes a stream written for
    // any device.
    std::optional<uint32_t> idcode;
    // Its device when the IDCODE does not name it (the bitstream checker
    // takes it from a .BIT header's part); no IDCODE is compared then. With
    // neither, the FPGA tells the group from the stream, as
    // bitstream/stream_reader.h says.
    const bitstream::FpgaDevice* device = nullptr;
    // Readings of DONE after start-up before it falls again, as from an FPGA
    // that resets itself; 0: DONE holds.
    uint32_t done_holds = 0;
};

class Fpga {
public:
    enum class State {
        Idle,         // never programmed since power-up
        Cleared,      // program line held low: configuration memory cleared
        Clearing,     // clearing memory, bytes ignored
        Configuring,  // taking the configuration stream
        StartingUp,   // the configuration ended: flushing, then its start-up phases
        Done,         // configured and started up; it goes on reading
        ShutDown,     // shut down by the stream after start-up
        CrcError,     // the stream's CRC did not match: it will not start up
        IdError,      // the stream is written for another device
        Halted,       // it stopped reading the stream (encrypted, no bus width)
    };

    // How long the FPGA takes to clear its configuration memory once the
    // program line is released; bytes sent sooner are lost.
    static constexpr std::chrono::microseconds CLEAR_TIME{1000};
    // After IPROG it clears itself while the stream goes on: the bytes that
    // arrive meanwhile, one per clock, are lost.
    static constexpr uint64_t IPROG_CLEAR_BYTES = 8192;

    Fpga(bool done_at_power_up, CardFault fault, const FpgaSettings& settings);

    // The program line as the card drives it.
    void set_program_line(bool high);

    // Bytes as the FPGA receives them (after the card's wiring), in order.
    void receive(const uint8_t* bytes, size_t count);

    // Whether it reads a configuration stream now.
    bool reading_stream() const { return state_ == State::Configuring; }

    // One reading of the DONE status bit.
    int read_done();

    // What it tells of its last configuration cycle: its state, the stream's
    // family group, why it is not configured, what the stream showed, the
    // bytes it took since the program line rose (those lost while clearing
    // after it not counted), and the command that ended the configuration.
    struct Report {
        State state = State::Idle;
        bitstream::FamilyGroup group = bitstream::FamilyGroup::Unknown;
        Verdict verdict;
        const bitstream::StreamRecord* record = nullptr;  // null before any stream
        // The kinds of stream it met: the record's, and a partial
        // configuration told by the frames it wrote, against the length of a
        // full one of the device (the card's, else the stream's IDCODE's).
        bitstream::Features features = 0;
        uint64_t bytes = 0;
        const char* end_command = nullptr;  // null: the configuration did not end
        uint64_t end_at = 0;
        uint64_t checked_at = 0;  // of the CRC check that confirmed a START; 0: none
        unsigned startup_bytes = 0;
    };
    Report report() const;
    State state() const { return report().state; }

private:
    enum : size_t { LANE_32, LANE_16, LANES };
    struct Lane {
        State state = State::Configuring;
        bool started = false;               // START taken
        bool awaiting_start_check = false;  // started at START; a CRC check may follow
        bool shutdown_pending = false;      // SHUTDOWN taken after start-up
        uint64_t checked_at = 0;            // of the CRC check that confirmed START
        uint64_t end_at = 0;                // of the command that ended the configuration
        uint64_t started_up_at = 0;         // the byte after which DONE rises
        uint64_t cleared_at = 0;            // after IPROG
        unsigned startup_bytes = 0;
        Verdict verdict;
    };

    void start_cycle();
    void start_lane(size_t lane, bitstream::GroupSet groups, const bitstream::FpgaFamily* family,
                    bool bus_width_detected);
    size_t detect(const uint8_t* bytes, size_t count);
    void read_lane(size_t lane, const uint8_t* bytes, size_t count, uint64_t at);
    size_t read(size_t lane, const uint8_t* bytes, size_t count, uint64_t at);
    void act_on(size_t lane, bitstream::ReaderEvent event, uint64_t end);
    void command(size_t lane, uint32_t code, uint64_t end, uint64_t at);
    void begin_startup(size_t lane, uint64_t end);
    void fail(size_t lane, State state, Verdict verdict);
    void rule_out(size_t lane);
    void note_not_done();
    size_t shown_lane() const;
    bitstream::ReaderState& reader(size_t lane);
    const bitstream::ReaderState& reader(size_t lane) const;

    bool done_at_power_up_;
    CardFault fault_;
    FpgaSettings settings_;
    const bitstream::FpgaDevice* device_;  // known from the settings, or null
    const bitstream::FpgaFamily* device_family_;
    uint32_t done_readings_ = 0;  // since it started up
    bool line_high_ = true;
    std::chrono::steady_clock::time_point released_at_{};
    State state_ = State::Idle;  // until a stream is read; then the lanes have theirs
    uint64_t bytes_ = 0;
    bitstream::FormatDetector detector_;
    unsigned live_ = 0;      // which lanes are candidates, a bit each
    size_t preferred_ = 0;   // the lane shown while both are: the guess
    Lane lanes_[LANES];
    bitstream::StreamReader<bitstream::WORDS_32> reader32_;
    bitstream::StreamReader<bitstream::WORDS_16> reader16_;
};

}  // namespace sim
