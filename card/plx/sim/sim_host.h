// The simulated PCI host: a behavioural model of PCI9056 cards on a PCI bus,
// standing in for real hardware behind the card layer's eight operations.
//
// Each card has its PCI identity, configuration space, a register block in
// I/O space (the control/status register at offset 0x6C), a memory BAR 3
// whose first byte is the data port, and an FPGA that takes the bytes
// written there. A card can be set up with a fault to rehearse a failure;
// VELTCFG_SIM_HOST describes cards in text (host_description.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "card/plx/card_registers.h"
#include "common/bit_reverse.h"
#include "card/plx/plx_api.h"
#include "card/plx/sim/sim_fpga.h"

namespace sim {

// A card as it is set up: its PCI identity, its registers at power-up, and
// how it and its FPGA behave.
struct CardSettings {
    uint8_t bus = 0, slot = 0, function = 0;
    uint16_t vendor_id = PLX_VENDOR_ID, device_id = PCI9056_DEVICE_ID;
    uint16_t subsystem_vendor_id = PLX_VENDOR_ID, subsystem_device_id = CARD_MODELS[0].subsystem_device_id;
    uint32_t io_register = 0x0000E001;  // configuration register 0x14
    uint32_t control = 0x0000000E;      // control/status register at power-up
    CardFault fault = CardFault::None;
    FpgaSettings fpga;
};


class Card;

// A card's BAR 3. The card it belongs to is kept just before the data port,
// so that a store to the port reaches its card without a search. The bytes
// stored at the port that the card has yet to pass on to its FPGA wait in
// the window from the port on (see data_port_write): nothing else of it is
// read.
struct DataWindow {
    static constexpr size_t SIZE = 4096;

    Card* card;
    alignas(64) uint8_t bytes[SIZE];

    static DataWindow* of(volatile uint8_t* port)
    {
        return reinterpret_cast<DataWindow*>(const_cast<uint8_t*>(port) -
                                              offsetof(DataWindow, bytes));
    }
};

class Card {
public:
    explicit Card(const CardSettings& settings);
    ~Card();

    const CardSettings& settings() const { return settings_; }
    // The card as a search finds it: its location (in domain 0) and IDs.
    const PLX_DEVICE_KEY& key() const { return key_; }
    CardFault fault() const { return settings_.fault; }
    uint32_t io_base() const { return settings_.io_register & 0xFFFFFFFCu; }
    uint32_t config_read(uint16_t offset) const;

    // The control/status register as the bridge presents it: the bits last
    // written, with bit 1 driven by the FPGA's DONE output; all ones once the
    // card has stopped answering.
    uint32_t read_control();
    void write_control(uint32_t value);

    volatile uint8_t* data_port() { return window_->bytes; }
    // Passes the first `count` bytes waiting in its window on to the FPGA,
    // in order, through the card's wiring, which reverses their bit order.
    void pass_on(size_t count);

    Fpga& fpga();

    bool open = false;
    int mappings = 0;

private:
    // A card set up to go (CardFault::Gone) stops answering once it has
    // taken a block of data, or at the first register access after taking
    // any, as if pulled out during the first block of a load: its registers
    // read all ones, and what is written to it is lost.
    static constexpr uint64_t GONE_AFTER_BYTES = 16384;
    bool answering();
    // Bytes on their way to the FPGA, but those after its first block when
    // the card goes: however they come, it takes that block and loses the
    // rest.
    void take(const uint8_t* bytes, size_t count)
    {
        if (settings_.fault == CardFault::Gone) {
            const uint64_t room = GONE_AFTER_BYTES - std::min(data_taken_, GONE_AFTER_BYTES);
            data_taken_ += count;
            count = static_cast<size_t>(std::min<uint64_t>(count, room));
        }
        fpga_.receive(bytes, count);
    }

    CardSettings settings_;
    PLX_DEVICE_KEY key_;
    uint32_t control_;
    uint64_t data_taken_ = 0;  // by a card set up to go

    std::unique_ptr<DataWindow> window_;
    Fpga fpga_;
};

class Host {
public:
    // The two cards of veltcfg-sim's built-in host.
    static Host make_default();

    Card& add_card(const CardSettings& settings);
    Card& card(size_t index) { return *cards_.at(index); }
    size_t card_count() const { return cards_.size(); }

    std::vector<Card*> in_location_order() const;
    Card* at_location(uint8_t bus, uint8_t slot, uint8_t function) const;
    int32_t index_of(const Card* card) const;
    // The card an open device object stands for, or null.
    Card* card_opened_as(const PLX_DEVICE_OBJECT* device) const;

private:
    std::vector<std::unique_ptr<Card>> cards_;
};

// The process's simulated host, the one the backend acts on. It starts out as
// Host::make_default().
Host& host();

// A store to the data port at `port`, which must be a mapped card's.
[[noreturn]] void store_outside_mapped_bar(volatile uint8_t* port);

// The bytes stored at a data port wait in its window until the card passes
// them on to its FPGA: `waiting_count` of them, up to `waiting_limit`. The
// store that reaches the limit passes them on (data_stored); whatever looks
// at an FPGA, accesses a control/status register, or maps or unmaps a BAR
// passes on what waits first (pass_on_waiting), so that the FPGA has taken
// every byte stored before it, and sets the limit to 0, so that the next
// store goes to data_stored too. Two variables of their own, whose address
// is never taken: a byte store cannot change them, and the program's
// per-byte loop keeps them in registers.
inline size_t waiting_count = 0;
inline size_t waiting_limit = 0;

// Passes on the bytes waiting at `port`, the last one just stored, and
// returns how many may wait from now: a block while the port's card is the
// only one mapped and its FPGA reads a stream; else 1, each passed on at
// once (an FPGA clearing its memory takes a byte or not by the clock). A
// store that comes here to a port that is not mapped ends the process.
size_t data_stored(volatile uint8_t* port);
void pass_on_waiting();

// One byte into the bytes waiting at the port.
[[gnu::always_inline]] inline void data_port_write(volatile uint8_t* port, uint8_t value)
{
    DataWindow::of(port)->bytes[waiting_count] = value;
    if (__builtin_expect(++waiting_count >= waiting_limit, 0)) {
        waiting_limit = data_stored(port);
        waiting_count = 0;
    }
}

}  // namespace sim

extern const PlxBackend plx_sim_backend;
