#include "card/plx/sim/sim_fpga.h"

#include <algorithm>

#include "bitstream/devices.h"

namespace sim {

using bitstream::FamilyGroup;
using bitstream::ReaderEvent;

namespace {

FamilyGroup group_of(const FpgaSettings& settings)
{
    if (settings.group != FamilyGroup::Unknown || !settings.idcode) {
        return settings.group;
    }
    const bitstream::FpgaDevice* device = bitstream::device_of_idcode(*settings.idcode);
    return device == nullptr ? FamilyGroup::Unknown : device->family->group;
}

}  // namespace

Fpga::Fpga(bool done_at_power_up, CardFault fault, const FpgaSettings& settings)
    : done_at_power_up_(done_at_power_up),
      fault_(fault),
      settings_(settings),
      device_group_(group_of(settings))
{
}

void Fpga::set_program_line(bool high)
{
    if (!high) {
        // Held low: the FPGA drops its configuration and clears its memory.
        state_ = State::Cleared;
    } else if (!line_high_) {
        // Rising edge: a new configuration cycle starts once the memory is
        // cleared.
        bytes_received_ = 0;
        done_at_byte_ = 0;
        restarted_ = false;
        if (listener_ != nullptr) {
            listener_->cycle_started();
        }
        start_cycle();
    }
    line_high_ = high;
}

// Clears the memory and reads the stream afresh: a device of a known group
// reads its own packet format only; otherwise the sync word tells it.
void Fpga::start_cycle()
{
    state_ = State::Clearing;
    released_at_ = std::chrono::steady_clock::now();
    started_ = false;
    awaiting_start_check_ = false;
    shutdown_pending_ = false;
    started_up_at_ = 0;
    startup_bytes_ = 0;
    done_readings_ = 0;
    detector_ = bitstream::FormatDetector();
    const bitstream::FamilyRules* device = bitstream::rules_of(device_group_);
    word_bytes_ = device == nullptr ? 0 : device->format->word_bytes;
    const bitstream::GroupSet groups = bitstream::group_bit(device_group_);
    if (word_bytes_ == 4) {
        reader32_.restart(listener_, groups);
    } else if (word_bytes_ == 2) {
        reader16_.restart(listener_, groups);
    }
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
        case State::StartingUp:
        case State::Configuring:
        case State::Done:
        case State::ShutDown: {
            // Start-up ends at its exact byte: what follows may shut it down.
            const size_t take = state_ == State::StartingUp
                                    ? static_cast<size_t>(std::min<uint64_t>(
                                          count, started_up_at_ - bytes_received_))
                                    : count;
            const size_t used = parse(bytes, take);
            bytes += used;
            count -= used;
            if (state_ == State::StartingUp && bytes_received_ >= started_up_at_) {
                state_ = State::Done;
            }
            break;
        }
        case State::CrcError:
        case State::IdError:
            bytes_received_ += count;  // bytes it no longer takes
            return;
        case State::Idle:
        case State::Cleared:
            return;  // not taking a configuration
        }
    }
}

FamilyGroup Fpga::group() const
{
    return word_bytes_ == 4   ? reader32_.group()
           : word_bytes_ == 2 ? reader16_.group()
                              : FamilyGroup::Unknown;
}

const bitstream::FamilyRules& Fpga::rules() const
{
    return word_bytes_ == 2 ? reader16_.rules() : reader32_.rules();
}

// Until the packet format is known the sync word is looked for; once it
// tells the format, the reader of that format reads the stream from its sync
// word on.
size_t Fpga::parse(const uint8_t* bytes, size_t count)
{
    if (word_bytes_ != 0) {
        const size_t used = read(bytes, count, bytes_received_);
        bytes_received_ += used;
        return used;
    }
    size_t used = 0;
    unsigned told = 0;
    while (used < count && told == 0) {
        told = detector_.take(bytes[used++]);
    }
    bytes_received_ += used;
    if (told == 0) {
        return used;
    }
    word_bytes_ = told;
    const bitstream::GroupSet groups = bitstream::groups_with_words(told);
    if (told == 4) {
        reader32_.restart(listener_, groups, detector_.bus_width_detected());
    } else {
        reader16_.restart(listener_, groups);
    }
    uint8_t replay[8];
    const size_t length = detector_.replay(replay);
    for (size_t at = 0; at < length && reading_stream();) {
        at += read(replay + at, length - at, bytes_received_ - length + at);
    }
    return used;
}

// The bytes at `at` in the stream, up to the first event the reader meets,
// which the FPGA then acts on; how many were read.
size_t Fpga::read(const uint8_t* bytes, size_t count, uint64_t at)
{
    ReaderEvent event = ReaderEvent::None;
    const size_t used = word_bytes_ == 4 ? reader32_.consume(bytes, count, at, &event)
                                         : reader16_.consume(bytes, count, at, &event);
    act_on(event, at + used);
    return used;
}

void Fpga::act_on(ReaderEvent event, uint64_t end)
{
    const bool configuring = state_ == State::Configuring || state_ == State::ShutDown;
    switch (event) {
    case ReaderEvent::Idcode: {
        // Another device's stream: the FPGA stops in its ID error.
        const uint32_t written = word_bytes_ == 4 ? reader32_.idcode() : reader16_.idcode();
        const std::optional<uint32_t>& own = settings_.idcode;
        if (configuring && own && ((written ^ *own) & bitstream::IDCODE_COMPARED_BITS) != 0) {
            state_ = State::IdError;
        }
        break;
    }
    case ReaderEvent::CrcError:
        if (configuring || (state_ == State::Done && awaiting_start_check_)) {
            state_ = State::CrcError;
        }
        awaiting_start_check_ = false;
        break;
    case ReaderEvent::CrcPassed:
        if (awaiting_start_check_) {
            done_at_byte_ = end;  // the check confirms the START before it
        }
        awaiting_start_check_ = false;
        break;
    case ReaderEvent::Command:
        command(word_bytes_ == 4 ? reader32_.command() : reader16_.command(), end);
        break;
    case ReaderEvent::None:
        break;
    }
}

// START begins the start-up: at once for a group that ends its
// configuration there, else after DESYNC. After start-up, SHUTDOWN and then
// RCRC shut the device down, and IPROG starts a new configuration.
void Fpga::command(uint32_t code, uint64_t end)
{
    const bitstream::FamilyRules& r = rules();
    const bool configuring = state_ == State::Configuring || state_ == State::ShutDown;
    const bool started_up = state_ == State::StartingUp || state_ == State::Done;
    if (code == bitstream::START_COMMAND && configuring) {
        started_ = true;
        if (r.end == bitstream::EndCommand::Start) {
            state_ = State::Done;
            done_at_byte_ = end;
            awaiting_start_check_ = true;
        }
    } else if (code == bitstream::DESYNC_COMMAND && configuring && started_ &&
               r.end == bitstream::EndCommand::Desync) {
        state_ = State::StartingUp;
        done_at_byte_ = end;
        startup_bytes_ = bitstream::startup_bytes(
            r, (word_bytes_ == 4 ? reader32_.register_value(r.done_cycle_register)
                                 : reader16_.register_value(r.done_cycle_register)));
        started_up_at_ = end + startup_bytes_;
    } else if (code == bitstream::SHUTDOWN_COMMAND && started_up) {
        shutdown_pending_ = true;
    } else if (code == bitstream::RCRC_COMMAND && shutdown_pending_ && started_up) {
        state_ = State::ShutDown;
        started_ = false;
        shutdown_pending_ = false;
    } else if (code == r.iprog_command && started_up) {
        restarted_ = true;
        start_cycle();
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
    case State::StartingUp:
    case State::ShutDown:
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
