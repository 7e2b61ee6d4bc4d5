#include "card/plx/sim/sim_fpga.h"

#include <algorithm>

namespace sim {

using bitstream::FamilyGroup;
using bitstream::ReaderEvent;

namespace {

const bitstream::FpgaDevice* device_of(const FpgaSettings& settings)
{
    return settings.idcode ? bitstream::device_of_idcode(*settings.idcode) : settings.device;
}

// Written frames of less than half a full configuration of the device; a
// compressed stream writes fewer than its frames and cannot be told so.
bool partial(const bitstream::FpgaDevice* device, const bitstream::StreamRecord& record)
{
    return device != nullptr && device->config_bits != 0 &&
           (record.features & bitstream::COMPRESSED) == 0 &&
           record.frame_words * record.word_bytes * 8 * 2 < device->config_bits;
}

bool stopped(Fpga::State state)
{
    return state == Fpga::State::CrcError || state == Fpga::State::IdError ||
           state == Fpga::State::Halted;
}

}  // namespace

Fpga::Fpga(bool done_at_power_up, CardFault fault, const FpgaSettings& settings)
    : done_at_power_up_(done_at_power_up),
      fault_(fault),
      settings_(settings),
      device_(device_of(settings)),
      device_family_(device_ == nullptr ? nullptr : device_->family)
{
}

void Fpga::set_program_line(bool high)
{
    if (!high) {
        // Held low: the FPGA drops its configuration and clears its memory.
        state_ = State::Cleared;
        live_ = 0;
    } else if (!line_high_) {
        // Rising edge: a new configuration cycle starts once the memory is
        // cleared.
        start_cycle();
    }
    line_high_ = high;
}

// Clears the memory and reads the stream afresh: a device of a known family
// reads its own packet format only; otherwise the sync word tells.
void Fpga::start_cycle()
{
    state_ = State::Clearing;
    released_at_ = std::chrono::steady_clock::now();
    bytes_ = 0;
    done_readings_ = 0;
    detector_ = bitstream::FormatDetector();
    live_ = 0;
    preferred_ = LANE_32;
    for (Lane& lane : lanes_) {
        lane = Lane();
    }
    if (device_family_ != nullptr) {
        const bitstream::FamilyRules& rules = *bitstream::rules_of(device_family_->group);
        const size_t lane = rules.format->word_bytes == 4 ? LANE_32 : LANE_16;
        start_lane(lane, bitstream::group_bit(device_family_->group), device_family_, false);
        preferred_ = lane;
    }
}

void Fpga::start_lane(size_t lane, bitstream::GroupSet groups, const bitstream::FpgaFamily* family,
                      bool bus_width_detected)
{
    lanes_[lane] = Lane();
    if (lane == LANE_32) {
        reader32_.restart(groups, family, bus_width_detected);
    } else {
        reader16_.restart(groups, family, bus_width_detected);
    }
    live_ |= 1u << lane;
}

bitstream::ReaderState& Fpga::reader(size_t lane)
{
    return lane == LANE_32 ? static_cast<bitstream::ReaderState&>(reader32_) : reader16_;
}

const bitstream::ReaderState& Fpga::reader(size_t lane) const
{
    return lane == LANE_32 ? static_cast<const bitstream::ReaderState&>(reader32_) : reader16_;
}

void Fpga::receive(const uint8_t* bytes, size_t count)
{
    if (state_ == State::Clearing) {
        if (std::chrono::steady_clock::now() - released_at_ < CLEAR_TIME) {
            return;  // not ready: the bytes are lost
        }
        state_ = State::Configuring;
    }
    if (state_ != State::Configuring) {
        return;  // not taking a configuration
    }
    if (live_ == 0) {
        const size_t used = detect(bytes, count);
        bytes += used;
        count -= used;
    }
    const uint64_t at = bytes_;
    bytes_ += count;
    for (size_t lane = 0; lane < LANES; ++lane) {
        if ((live_ >> lane & 1) != 0) {
            read_lane(lane, bytes, count, at);
        }
    }
}

// Until the sync word tells the packet formats the stream may have, bytes
// go to the detector; then the lanes of those formats read the stream from
// its sync word on.
size_t Fpga::detect(const uint8_t* bytes, size_t count)
{
    size_t used = 0;
    unsigned told = 0;
    while (used < count && told == 0) {
        told = detector_.take(bytes[used++]);
    }
    bytes_ += used;
    if (told == 0) {
        return used;
    }
    preferred_ = told == 4 ? LANE_32 : LANE_16;
    const bool bus_width = detector_.bus_width_detected();
    start_lane(LANE_16, bitstream::groups_with_words(2), nullptr, bus_width);
    if (detector_.both_possible()) {
        start_lane(LANE_32, bitstream::groups_with_words(4), nullptr, bus_width);
    }
    uint8_t replay[8];
    const size_t length = detector_.replay(replay);
    for (size_t lane = 0; lane < LANES; ++lane) {
        if ((live_ >> lane & 1) != 0) {
            read_lane(lane, replay, length, bytes_ - length);
        }
    }
    return used;
}

// The bytes at `at` in the stream, as one lane's device takes them.
void Fpga::read_lane(size_t lane, const uint8_t* bytes, size_t count, uint64_t at)
{
    Lane& l = lanes_[lane];
    size_t done = 0;
    while (done < count && (live_ >> lane & 1) != 0) {
        const uint64_t here = at + done;
        if (l.state == State::Clearing) {
            const size_t lost = static_cast<size_t>(std::min<uint64_t>(count - done, l.cleared_at - here));
            done += lost;
            if (here + lost >= l.cleared_at) {
                l.state = State::Configuring;
            }
        } else if (stopped(l.state)) {
            return;  // it takes no more of this stream
        } else if (l.state == State::StartingUp) {
            // Start-up ends at its exact byte: what follows may shut it down.
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(count - done, l.started_up_at - here));
            done += read(lane, bytes + done, take, here);
            if (at + done >= l.started_up_at && l.state == State::StartingUp) {
                l.state = State::Done;
                l.verdict = Verdict{Reason::None};
            }
        } else {
            done += read(lane, bytes + done, count - done, here);
        }
    }
}

// The bytes at `at` in the stream, up to the first event the lane's reader
// meets, which the FPGA then acts on; how many were read.
size_t Fpga::read(size_t lane, const uint8_t* bytes, size_t count, uint64_t at)
{
    ReaderEvent event = ReaderEvent::None;
    const size_t used = lane == LANE_32 ? reader32_.consume(bytes, count, at, &event)
                                        : reader16_.consume(bytes, count, at, &event);
    act_on(lane, event, at + used);
    return used;
}

// A verdict's place is where the word that decided it starts: a value (an
// IDCODE, a CRC) is 4 bytes in either packet format, a command one word.
void Fpga::act_on(size_t lane, ReaderEvent event, uint64_t end)
{
    Lane& l = lanes_[lane];
    const bitstream::ReaderState& r = reader(lane);
    const uint64_t value_at = end - 4;
    const bool configuring = l.state == State::Configuring || l.state == State::ShutDown;
    switch (event) {
    case ReaderEvent::Idcode: {
        // An IDCODE of a known device tells the packet format, whatever the
        // device then makes of it.
        const uint32_t written = r.idcode();
        const std::optional<uint32_t>& own = settings_.idcode;
        const bitstream::FpgaDevice* device = bitstream::device_of_idcode(written);
        if (device != nullptr) {
            rule_out(lane ^ 1);
        }
        if (configuring && own && ((written ^ *own) & bitstream::IDCODE_COMPARED_BITS) != 0) {
            fail(lane, State::IdError,
                 Verdict{Reason::IdError, value_at, *own, written, Shown::Idcode});
        } else if (configuring && device != nullptr && device->family->needs_bus_width &&
                   !r.bus_width_detected()) {
            // The device the stream is for would never have taken its sync
            // word.
            Verdict v{Reason::BusWidth, value_at};
            v.family = device->family->name;
            fail(lane, State::Halted, v);
        }
        break;
    }
    case ReaderEvent::CrcError:
        if (configuring || l.awaiting_start_check) {
            const bitstream::StreamRecord::Check& c = r.record().checks.back();
            const bitstream::FamilyRules& rules = *bitstream::rules_of(c.group);
            Verdict v{(r.record().features & bitstream::DEBUG) != 0 ? Reason::DebugCrc
                                                                    : Reason::CrcMismatch,
                      value_at, c.computed, c.written};
            v.digits = rules.compared_bits > 0xFFFFFF ? 8 : rules.compared_bits > 0xFFFF ? 6 : 4;
            fail(lane, State::CrcError, v);
        }
        l.awaiting_start_check = false;
        break;
    case ReaderEvent::CrcPassed:
        if (l.awaiting_start_check) {
            l.checked_at = end;  // the check confirms the START before it
        }
        l.awaiting_start_check = false;
        if (!r.record().checks.back().bypassed) {
            rule_out(lane ^ 1);
        }
        break;
    case ReaderEvent::Decrypt:
        if (configuring) {
            fail(lane, State::Halted, Verdict{Reason::Encrypted, end - r.record().word_bytes});
        }
        break;
    case ReaderEvent::Command:
        command(lane, r.command(), end, end - r.record().word_bytes);
        break;
    case ReaderEvent::None:
        break;
    }
}

// START begins the start-up: at once for a group that ends its
// configuration there, else after DESYNC. IPROG restarts the configuration:
// the device clears itself and looks for the sync word again. After
// start-up, SHUTDOWN and then RCRC shut the device down.
void Fpga::command(size_t lane, uint32_t code, uint64_t end, uint64_t at)
{
    Lane& l = lanes_[lane];
    const bitstream::FamilyRules& r = reader(lane).rules();
    const bool configuring = l.state == State::Configuring || l.state == State::ShutDown;
    const bool started_up = l.state == State::StartingUp || l.state == State::Done;
    if (code == bitstream::START_COMMAND && configuring) {
        l.started = true;
        if (r.end == bitstream::EndCommand::Start) {
            begin_startup(lane, end);
            l.awaiting_start_check = true;
        }
    } else if (code == bitstream::DESYNC_COMMAND && configuring &&
               r.end == bitstream::EndCommand::Desync) {
        if (l.started) {
            begin_startup(lane, end);
        } else {
            l.verdict = Verdict{Reason::NoStart, at};
        }
    } else if (code == bitstream::SHUTDOWN_COMMAND && started_up) {
        l.shutdown_pending = true;
    } else if (code == bitstream::RCRC_COMMAND && l.shutdown_pending && started_up) {
        l.state = State::ShutDown;
        l.started = l.shutdown_pending = false;
        l.verdict = Verdict{Reason::ShutDown, at};
    } else if (code == r.iprog_command && (configuring || started_up)) {
        Verdict v{started_up ? Reason::Restarted : Reason::Iprog, at};
        if (const uint32_t* address = reader(lane).register_value(r.wbstar)) {
            v.found = *address;
            v.has_found = true;
        }
        l = Lane();
        l.state = State::Clearing;
        l.cleared_at = end + IPROG_CLEAR_BYTES;
        l.verdict = v;
        reader(lane).restart_configuration();
        rule_out(lane ^ 1);
    }
}

void Fpga::begin_startup(size_t lane, uint64_t end)
{
    Lane& l = lanes_[lane];
    const bitstream::ReaderState& r = reader(lane);
    l.state = State::StartingUp;
    l.end_at = end;
    l.startup_bytes = bitstream::startup_bytes(r.rules(), r.register_value(r.rules().done_cycle_register));
    l.started_up_at = end + l.startup_bytes;
    l.verdict = Verdict{Reason::StartupCutShort, end - r.record().word_bytes, l.startup_bytes};
    l.verdict.shown = Shown::Count;
    rule_out(lane ^ 1);
}

// The lane's device stops reading the stream. The other lane, if it still
// reads, may yet show the stream to be its own; until it does, the guess
// stands, and with it a failure of the guessed lane.
void Fpga::fail(size_t lane, State state, Verdict verdict)
{
    lanes_[lane].state = state;
    lanes_[lane].verdict = verdict;
}

// The other lane has shown the stream to be its own: this one is no longer
// a candidate.
void Fpga::rule_out(size_t lane)
{
    if ((live_ >> (lane ^ 1) & 1) != 0) {
        live_ &= ~(1u << lane);
        preferred_ = lane ^ 1;
    }
}

size_t Fpga::shown_lane() const
{
    return live_ == (1u << LANE_16) ? LANE_16 : live_ == (1u << LANE_32) ? LANE_32 : preferred_;
}

// DONE read low while the stream is read: the FPGA says why it is not
// configured from where it stands.
void Fpga::note_not_done()
{
    if (state_ != State::Configuring || live_ == 0) {
        return;
    }
    const size_t lane = shown_lane();
    Lane& l = lanes_[lane];
    const bitstream::ReaderState& r = reader(lane);
    const bitstream::FamilyRules& rules = r.rules();
    const char* end_command = rules.end == bitstream::EndCommand::Start ? "START" : "DESYNC";
    if (l.state == State::StartingUp) {
        l.verdict.found = static_cast<uint32_t>(bytes_ - l.end_at);
        l.verdict.command = end_command;
    } else if (l.state == State::Done) {
        l.verdict = Verdict{Reason::NotDone, bytes_};
    } else if (l.state == State::Configuring && r.synced()) {
        l.verdict = Verdict{Reason::NoEnd, bytes_};
        l.verdict.command = end_command;
    } else if (l.state == State::Configuring && l.verdict.reason == Reason::NoSync) {
        l.verdict.reason = r.record().half_sync_refused  ? Reason::HalfSync
                           : r.record().bus_width_refused ? Reason::BusWidth
                                                          : Reason::NoSync;
        l.verdict.family = device_family_ != nullptr ? device_family_->name : rules.name;
    }
}

int Fpga::read_done()
{
    const State state = this->state();
    int done = 0;
    switch (state) {
    case State::Idle:
        return done_at_power_up_ ? 1 : 0;
    case State::Cleared:
        return fault_ == CardFault::Busy ? 0 : 1;
    case State::Done:
        done = fault_ != CardFault::NoDone &&
               (settings_.done_holds == 0 || done_readings_++ < settings_.done_holds);
        break;
    default:
        break;
    }
    if (done == 0) {
        note_not_done();
    }
    return done;
}

Fpga::Report Fpga::report() const
{
    Report report;
    report.state = state_;
    report.bytes = bytes_;
    if (state_ != State::Configuring || live_ == 0) {
        static const bitstream::StreamRecord nothing_read;  // no sync word yet
        report.record = state_ == State::Configuring ? &nothing_read : nullptr;
        return report;
    }
    const size_t lane = shown_lane();
    const Lane& l = lanes_[lane];
    const bitstream::ReaderState& r = reader(lane);
    report.state = l.state;
    report.group = r.group();
    report.verdict = l.verdict;
    report.record = &r.record();
    const bitstream::FpgaDevice* device =
        device_ != nullptr || r.record().idcodes.empty()
            ? device_
            : bitstream::device_of_idcode(r.record().idcodes.back().value);
    report.features = r.record().features | (partial(device, r.record()) ? bitstream::PARTIAL : 0);
    if (l.end_at != 0) {
        report.end_command = r.rules().end == bitstream::EndCommand::Start ? "START" : "DESYNC";
        report.end_at = l.end_at;
        report.checked_at = l.checked_at;
        report.startup_bytes = l.startup_bytes;
    }
    return report;
}

}  // namespace sim
