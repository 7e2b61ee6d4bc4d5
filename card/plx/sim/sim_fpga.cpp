#include "card/plx/sim/sim_fpga.h"

namespace sim {

void Fpga::set_program_line(bool high)
{
    if (!high) {
        // Held low: the FPGA drops its configuration and clears its memory.
        state_ = State::Cleared;
        awaiting_start_check_ = false;
    } else if (!line_high_) {
        // Rising edge: a new configuration cycle starts once the memory is
        // cleared.
        state_ = State::Clearing;
        released_at_ = std::chrono::steady_clock::now();
        parser32_.restart(listener_);
        parser16_.restart(listener_);
        bytes_received_ = 0;
        done_at_byte_ = 0;
        word_bytes_ = 0;
        done_readings_ = 0;
        if (listener_ != nullptr) {
            listener_->cycle_started();
        }
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
        case State::Configuring:
        case State::Done:
        case State::CrcError:
        case State::IdError:
            if (!reading_stream()) {
                bytes_received_ += count;  // start-up clocks, or bytes it no longer takes
                return;
            } else {
                const size_t used = parse(bytes, count);
                bytes += used;
                count -= used;
            }
            break;
        case State::Idle:
        case State::Cleared:
            return;  // not taking a configuration
        }
    }
}

FamilyGroup Fpga::group() const
{
    return word_bytes_ == 4   ? parser32_.group()
           : word_bytes_ == 2 ? parser16_.group()
                              : FamilyGroup::Unknown;
}

// Hands bytes to the parser of the stream's packet format, up to the first
// event; until the stream shows its format, to both side by side, and the
// event that comes first counts.
size_t Fpga::parse(const uint8_t* bytes, size_t count)
{
    ParseEvent event = ParseEvent::None;
    size_t used = 0;
    if (word_bytes_ == 4) {
        used = parser32_.consume(bytes, count, bytes_received_, &event);
    } else if (word_bytes_ == 2) {
        used = parser16_.consume(bytes, count, bytes_received_, &event);
    } else {
        used = parser32_.consume(bytes, count, bytes_received_, &event);
        ParseEvent event16 = ParseEvent::None;
        const size_t used16 = parser16_.consume(bytes, used, bytes_received_, &event16);
        const bool first16 =
            event16 != ParseEvent::None && (event == ParseEvent::None || used16 < used);
        if (first16) {
            used = used16;
            event = event16;
        }
        // A parser that has found its group, or met the end of the
        // configuration, is the one to follow.
        if (event != ParseEvent::None &&
            (event == ParseEvent::End ||
             (first16 ? parser16_.group() : parser32_.group()) != FamilyGroup::Unknown)) {
            word_bytes_ = first16 ? 2 : 4;
        }
    }
    bytes_received_ += used;
    act_on(event);
    return used;
}

void Fpga::act_on(ParseEvent event)
{
    switch (event) {
    case ParseEvent::Started:
        // Virtex has no DESYNC: it starts up at START, unless the CRC check
        // written after it fails.
        state_ = State::Done;
        done_at_byte_ = bytes_received_;
        awaiting_start_check_ = true;
        break;
    case ParseEvent::End:
        state_ = State::Done;
        done_at_byte_ = bytes_received_;
        awaiting_start_check_ = false;
        break;
    case ParseEvent::CrcError:
        state_ = State::CrcError;
        awaiting_start_check_ = false;
        break;
    case ParseEvent::Idcode: {
        // Another device's stream: the FPGA stops in its ID error.
        const uint32_t written = word_bytes_ == 4 ? parser32_.idcode() : parser16_.idcode();
        const std::optional<uint32_t>& own = settings_.idcode;
        if (own && ((written ^ *own) & IDCODE_COMPARED_BITS) != 0) {
            state_ = State::IdError;
        }
        break;
    }
    case ParseEvent::None:
    case ParseEvent::GroupFound:
        break;
    }
}

int Fpga::read_done()
{
    switch (state_) {
    case State::Idle:
        return done_at_power_up_ ? 1 : 0;
    case State::Cleared:
        return fault_ == CardFault::Busy ? 0 : 1;
    case State::Clearing:
    case State::Configuring:
    case State::CrcError:
    case State::IdError:
        return 0;
    case State::Done:
        if (fault_ == CardFault::NoDone) {
            return 0;
        }
        return settings_.done_falls_after == 0 || done_readings_++ < settings_.done_falls_after
                   ? 1
                   : 0;
    }
    return 0;
}

}  // namespace sim
