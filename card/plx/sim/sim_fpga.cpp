#include "sim_fpga.h"

#include <algorithm>
#include <array>

namespace sim {

namespace {

enum : uint32_t { OPCODE_WRITE = 2, CRC_REGISTER = 0 };
enum : uint32_t { RCRC_COMMAND = 0x07, DESYNC_COMMAND = 0x0D };  // written to CMD
// Written before the sync word by Virtex-5 and later families, for the
// SelectMAP interface to detect its width.
constexpr uint64_t BUS_WIDTH_DETECTION = 0x000000BB11220044;

constexpr uint32_t CRC_POLYNOMIAL = 0x82F63B78;  // CRC-32C, reflected

// Tables for feeding k bits at once: entry i is the CRC of k zero bits fed
// into a CRC of i.
template <unsigned bits, unsigned entries>
constexpr std::array<uint32_t, entries> crc_table()
{
    std::array<uint32_t, entries> table{};
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t crc = i;
        for (unsigned bit = 0; bit < bits; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ CRC_POLYNOMIAL : crc >> 1;
        }
        table[i] = crc;
    }
    return table;
}

}  // namespace

constexpr std::array<uint32_t, 256> CRC_BYTE_TABLE = crc_table<8, 256>();
constexpr std::array<uint32_t, 32> CRC_ADDRESS_TABLE = crc_table<5, 32>();

#if defined(__x86_64__) || defined(__i386__)
const bool HAS_CRC_INSTRUCTION = [] {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("sse4.2") != 0;
}();
#else
const bool HAS_CRC_INSTRUCTION = false;
#endif

template <const PacketFormat& format>
size_t PacketParser<format>::consume(const uint8_t* bytes, size_t count, uint64_t at,
                                     ParseEvent* event)
{
    *event = ParseEvent::None;
    size_t i = 0;
    while (i < count) {
        // The bulk of a bitstream is frame data: passed over, or when the CRC
        // is checked, fed to it a word at a time.
        if (skip_bytes_ != 0) {
            const uint64_t passed = std::min<uint64_t>(skip_bytes_, count - i);
            skip_bytes_ -= passed;
            i += static_cast<size_t>(passed);
            continue;
        }
        if (crc_words_ != 0) {
            if (word_bytes_ == 0 && count - i >= 4) {
                const size_t words = std::min<size_t>(crc_words_, (count - i) / 4);
                uint32_t crc = crc_;
                for (const uint8_t* word = bytes + i; word != bytes + i + 4 * words; word += 4) {
                    crc = crc_feed(crc,
                                   uint32_t{word[0]} << 24 | uint32_t{word[1]} << 16 |
                                       uint32_t{word[2]} << 8 | word[3],
                                   register_);
                }
                crc_ = crc;
                crc_words_ -= static_cast<uint32_t>(words);
                i += 4 * words;
                continue;
            }
            // A word split between deliveries: a byte at a time.
            word_ = word_ << 8 | bytes[i++];
            if (++word_bytes_ == format.word_bytes) {
                word_bytes_ = 0;
                --crc_words_;
                crc_ = crc_feed(crc_, word_, register_);
            }
            continue;
        }
        end_ = at + i + 1;
        const bool checked = checks_crc_;
        *event = take(bytes[i++]);
        if (*event != ParseEvent::None || checks_crc_ != checked) {
            return i;
        }
    }
    return count;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::take(uint8_t byte)
{
    if (!synced_) {
        window_ = window_ << 8 | byte;
        if (window_ == BUS_WIDTH_DETECTION) {
            bus_width_detected_ = true;
        }
        if (static_cast<Word>(window_) == format.sync) {
            synced_ = true;
            just_synced_ = true;
            checks_crc_ = format.word_bytes == 4 && bus_width_detected_;
            if (events_ != nullptr) {
                events_->synced(format.word_bytes, end_);
            }
        }
        return ParseEvent::None;
    }
    word_ = static_cast<Word>(word_ << 8 | byte);
    if (++word_bytes_ < format.word_bytes) {
        return ParseEvent::None;
    }
    word_bytes_ = 0;
    return handle_word(word_);
}

template <const PacketFormat& format>
void PacketParser<format>::start_payload(uint32_t count)
{
    if (register_ == format.cmd_register || register_ == CRC_REGISTER) {
        register_words_ = count;  // taken a word at a time
    } else if (checks_crc_) {
        crc_words_ = count;
    } else {
        skip_bytes_ = uint64_t{count} * format.word_bytes;
    }
}

// A payload word written to CMD or to the CRC register.
template <const PacketFormat& format>
ParseEvent PacketParser<format>::register_word(uint32_t word)
{
    --register_words_;
    if (register_ == CRC_REGISTER) {
        if (checks_crc_) {
            const uint32_t computed = crc_;
            crc_ = 0;
            if (events_ != nullptr) {
                events_->crc_compared(word, computed, end_);
            }
            if (word != computed) {
                return ParseEvent::CrcError;
            }
        }
        return ParseEvent::None;
    }
    if (word == RCRC_COMMAND) {
        crc_ = 0;
        return ParseEvent::None;
    }
    if (checks_crc_) {
        crc_ = crc_feed(crc_, word, register_);
    }
    if (word == DESYNC_COMMAND) {
        if (events_ != nullptr) {
            events_->desynced(format.word_bytes, end_);
        }
        reset();
        return ParseEvent::Desync;
    }
    return ParseEvent::None;
}

template <const PacketFormat& format>
ParseEvent PacketParser<format>::handle_word(uint32_t word)
{
    constexpr bool SHORT_WORDS = format.word_bytes == 2;
    constexpr unsigned TYPE_SHIFT = 8 * format.word_bytes - 3;
    if (just_synced_) {
        just_synced_ = false;
        if (SHORT_WORDS && word == 0x5566) {
            return ParseEvent::None;
        }
    }
    if (count_words_due_ != 0) {
        // A type-2 count that follows its header, high half first.
        type2_count_ = type2_count_ << 16 | word;
        if (--count_words_due_ == 0 && type2_write_) {
            start_payload(type2_count_);
        }
        return ParseEvent::None;
    }
    if (register_words_ != 0) {
        return register_word(word);
    }
    const uint32_t type = word >> TYPE_SHIFT;
    const bool write = ((word >> (TYPE_SHIFT - 2)) & 0x3) == OPCODE_WRITE;
    if (type == 1) {
        register_ = (word >> format.register_shift) & format.register_mask;
        const uint32_t count = word & format.count_mask;
        if (write && count != 0) {
            start_payload(count);
        }
    } else if (type == 2) {
        if (SHORT_WORDS) {
            // 16-bit type-2 headers name their register themselves.
            register_ = (word >> format.register_shift) & format.register_mask;
            type2_write_ = write;
            type2_count_ = 0;
            count_words_due_ = 2;
        } else if (write) {
            start_payload(word & 0x07FFFFFFu);
        }
    }
    // Anything else is not a packet header and passes as one word.
    return ParseEvent::None;
}

template class PacketParser<WORDS_32>;
template class PacketParser<WORDS_16>;

void Fpga::tell(StreamEvents* events)
{
    parser32_.tell(events);
    parser16_.tell(events);
}

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

void Fpga::receive(const uint8_t* bytes, size_t count)
{
    while (count != 0) {
        switch (state_) {
        case State::Clearing:
            if (std::chrono::steady_clock::now() - released_at_ < CLEAR_TIME) {
                return;  // not ready: the bytes are lost
            }
            state_ = State::Configuring;
            break;
        case State::Configuring: {
            // The family is not known in advance, so both formats are read
            // side by side until the stream shows it is a 32-bit one.
            const bool known = parser32_.checks_crc();
            ParseEvent event = ParseEvent::None;
            size_t used = parser32_.consume(bytes, count, bytes_received_, &event);
            int format = 32;
            if (!known) {
                ParseEvent event16 = ParseEvent::None;
                const size_t used16 = parser16_.consume(bytes, used, bytes_received_, &event16);
                if (event16 != ParseEvent::None && (event == ParseEvent::None || used16 < used)) {
                    used = used16;
                    event = event16;
                    format = 16;
                }
            }
            bytes_received_ += used;
            bytes += used;
            count -= used;
            if (event != ParseEvent::None) {
                end_cycle(event, format);
            }
            break;
        }
        case State::Done:
        case State::CrcError:
            bytes_received_ += count;  // start-up clocks, or bytes it no longer takes
            return;
        case State::Idle:
        case State::Cleared:
            return;  // not taking a configuration
        }
    }
}

// DESYNC: the configuration is complete and the FPGA starts up. A CRC
// error: it never does, whatever follows, until the program line is pulsed.
void Fpga::end_cycle(ParseEvent event, int packet_format)
{
    if (event == ParseEvent::CrcError) {
        state_ = State::CrcError;
        return;
    }
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
    case State::CrcError:
        return 0;
    case State::Done:
        return fault_ == CardFault::NoDone ? 0 : 1;
    }
    return 0;
}

}  // namespace sim
