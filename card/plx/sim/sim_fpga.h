// A behavioural model of the FPGA behind a simulated card: it reacts to the
// program line, drives the DONE status bit, and reads the configuration
// stream the way the device families found in real bitstreams do, until the
// stream's DESYNC command completes the configuration.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sim {

// The two packet formats. Both start after a sync word and are read as
// big-endian words whose top three bits give the packet type and the next
// two the opcode. A type-1 header names a register and a short word count; a
// type-2 header carries a long count: for 32-bit words in its own low 27
// bits, for the register of the type-1 header before it; for 16-bit words in
// the two words after it (high half first), for the register it names
// itself, where a type-1 header would.
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

// What the parsers met in the stream, for whoever wants to tell (the
// bitstream checker); the simulated card does not listen. `end` is where in
// the stream (bytes from the start of the cycle) the thing ends.
class StreamEvents {
public:
    virtual ~StreamEvents() = default;
    // The sync word, in the format with `word_bytes`.
    virtual void synced(unsigned word_bytes, uint64_t end) = 0;
    // A write to the CRC register: the value written and the CRC computed
    // over the stream.
    virtual void crc_compared(uint32_t written, uint32_t computed, uint64_t end) = 0;
    // A DESYNC command.
    virtual void desynced(unsigned word_bytes, uint64_t end) = 0;
};

enum class ParseEvent : uint8_t { None, Desync, CrcError };

// The CRC of a 32-bit stream: CRC-32C in reflected form, from 0, no final
// inversion, over each word written to a register (its 32 data bits, then
// the register's 5 address bits, lowest bit first). Writes to the CRC
// register compare instead of feeding, and RCRC clears it.
//
// Fed once per word of frame data, so it stays inline: 32 bits at once
// with the CRC32 instruction where the processor has it (the instruction
// computes this very polynomial), a byte at a time from a table elsewhere;
// the 5 address bits from a table.
extern const bool HAS_CRC_INSTRUCTION;
extern const std::array<uint32_t, 256> CRC_BYTE_TABLE;   // entry i: 8 bits fed into i
extern const std::array<uint32_t, 32> CRC_ADDRESS_TABLE; // entry i: 5 bits fed into i

inline uint32_t crc_feed(uint32_t crc, uint32_t word, uint32_t address)
{
#if defined(__x86_64__) || defined(__i386__)
    if (HAS_CRC_INSTRUCTION) {
        __asm__("crc32l %1, %0" : "+r"(crc) : "rm"(word));
    } else
#endif
    {
        crc ^= word;
        for (int byte = 0; byte < 4; ++byte) {
            crc = (crc >> 8) ^ CRC_BYTE_TABLE[crc & 0xFF];
        }
    }
    return (crc >> 5) ^ CRC_ADDRESS_TABLE[(crc ^ address) & 0x1F];
}

template <const PacketFormat& format>
class PacketParser {
public:
    using Word = std::conditional_t<format.word_bytes == 4, uint32_t, uint16_t>;

    void reset()
    {
        StreamEvents* const events = events_;
        *this = PacketParser();
        events_ = events;
    }
    void tell(StreamEvents* events) { events_ = events; }

    // Takes the next `count` bytes of the stream, which start `at` bytes
    // into it, up to the first that makes an event (set in *event) or that
    // makes checks_crc() true; returns how many it took.
    size_t consume(const uint8_t* bytes, size_t count, uint64_t at, ParseEvent* event);

    // Whether the stream is known to be of this format and its CRC is
    // checked: a 32-bit stream that detected the bus width before its sync
    // word, as those of Virtex-5 and later families do.
    bool checks_crc() const { return checks_crc_; }

private:
    ParseEvent take(uint8_t byte);
    ParseEvent handle_word(uint32_t word);
    ParseEvent register_word(uint32_t word);
    void start_payload(uint32_t count);

    StreamEvents* events_ = nullptr;
    uint64_t end_ = 0;              // of the byte being taken, for the events
    bool synced_ = false;
    bool just_synced_ = false;
    bool bus_width_detected_ = false;
    bool checks_crc_ = false;
    uint64_t window_ = 0;           // the last bytes while looking for sync
    uint32_t word_ = 0;
    unsigned word_bytes_ = 0;
    uint64_t skip_bytes_ = 0;       // payload passed over unchecked
    uint32_t crc_words_ = 0;        // payload words fed to the CRC on the fast path
    uint32_t register_words_ = 0;   // payload words for CMD or CRC, taken one by one
    uint32_t register_ = 0;         // of the last type-1 header
    unsigned count_words_due_ = 0;  // words of a type-2 count still to read
    bool type2_write_ = false;
    uint32_t type2_count_ = 0;
    uint32_t crc_ = 0;
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
        CrcError,     // the stream's CRC did not match: it will not start up
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

    // Bytes as the FPGA receives them (after the card's wiring), in order.
    void receive(const uint8_t* bytes, size_t count);

    // Whether it is taking a configuration stream now.
    bool configuring() const { return state_ == State::Configuring; }

    // Tells `events` what the parsers meet (none: nobody is told).
    void tell(StreamEvents* events);

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
    void end_cycle(ParseEvent event, int packet_format);

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
