// The simulated PCI host: a behavioural model of PCI9056 cards on a PCI bus,
// standing in for real hardware behind the card layer's eight operations.
//
// Each card has its PCI identity, configuration space, a register block in
// I/O space (the control/status register at offset 0x6C), a memory BAR 3
// whose first byte is the data port, and an FPGA that takes the bytes
// written there. A card can be set up with a fault to rehearse a failure;
// VELTCFG_SIM_HOST describes cards in text (host_description.h).
#pragma once

#include <array>
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
// so that a store to the port reaches its card without a search.
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
    // A byte stored at the data port; the card's wiring reverses its bit
    // order on the way to the FPGA. While the FPGA reads a configuration
    // stream the bytes reach it in batches, in order, so that it can read
    // whole words at a time; whatever looks at it or changes its program
    // line delivers the bytes waiting first.
    void write_data(uint8_t byte)
    {
        window_->bytes[0] = byte;
        const uint8_t wired = bit_reverse_table[byte];  // the card's wiring
        if (!fpga_.reading_stream()) {
            take(&wired, 1);
            return;
        }
        batch_[batch_count_] = wired;
        if (++batch_count_ == batch_.size()) {
            deliver_batch();
        }
    }

    Fpga& fpga()
    {
        deliver_batch();
        return fpga_;
    }

    bool open = false;
    int mappings = 0;

private:
    // A card set up to go (CardFault::Gone) stops answering once it has
    // taken a block of data, or at the first register access after taking
    // any, as if pulled out during the first block of a load: its registers
    // read all ones, and what is written to it is lost.
    static constexpr uint64_t GONE_AFTER_BYTES = 16384;
    bool answering();
    void deliver_batch()
    {
        take(batch_.data(), batch_count_);
        batch_count_ = 0;
    }
    // Bytes on their way to the FPGA, unless the card has gone.
    void take(const uint8_t* bytes, size_t count)
    {
        if (settings_.fault == CardFault::Gone) {
            data_taken_ += count;
            if (data_taken_ > GONE_AFTER_BYTES) {
                return;  // lost
            }
        }
        fpga_.receive(bytes, count);
    }

    CardSettings settings_;
    PLX_DEVICE_KEY key_;
    uint32_t control_;
    uint64_t data_taken_ = 0;  // by a card set up to go

    std::unique_ptr<DataWindow> window_;
    Fpga fpga_;
    std::array<uint8_t, 4096> batch_;
    size_t batch_count_ = 0;
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

[[gnu::always_inline]] inline void data_port_write(volatile uint8_t* port, uint8_t value)
{
    Card* card = DataWindow::of(port)->card;
    if (card->mappings == 0) {
        store_outside_mapped_bar(port);
    }
    card->write_data(value);
}

}  // namespace sim

extern const PlxBackend plx_sim_backend;
