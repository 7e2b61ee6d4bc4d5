// The simulated PCI host: a behavioural model of PCI9056 cards on a PCI bus,
// standing in for real hardware behind the card layer's eight operations.
//
// Each card has its PCI identity, configuration space, a 256-byte register
// block in I/O space (the control/status register at offset 0x6C), a memory
// BAR 3 whose first byte is the data port, and an FPGA that takes the bytes
// written there. Any operation can be made to fail on request, and every call,
// register write and data byte is logged in order.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/plx/plx_api.h"
#include "sim_fpga.h"

namespace sim {

enum class Op : uint8_t {
    DeviceFind,
    DeviceOpen,
    PciRegisterRead,
    PciBarMap,
    PciBarUnmap,
    DeviceClose,
    IoPortRead,
    IoPortWrite,
};
constexpr int OP_COUNT = 8;
const char* op_name(Op op);

struct Event {
    enum class Kind : uint8_t {
        Call,           // one of the eight operations
        RegisterWrite,  // a value stored into a card's control/status register
        DataByte,       // a byte written to a card's data port
        Output,         // bytes the program wrote to stdout (card 1) or stderr (2),
                        // noted by a test harness to place them among the calls
    };
    Kind kind = Kind::Call;
    Op op = Op::DeviceFind;         // Call
    PLX_STATUS status = 0;          // Call: what it returned
    std::string args;               // Call: its arguments; Output: the bytes
    int card = -1;                  // which card (-1: none)
    uint32_t value = 0;             // Call: value read or written; else the value stored

    std::string describe() const;
};

// How a successful BAR map is made to go wrong.
enum class MapFault { None, Null, AllOnes };

struct CardIdentity {
    uint16_t vendor_id = 0x10B5;
    uint16_t device_id = 0x9056;
    uint8_t bus = 0;
    uint8_t slot = 0;
    uint8_t function = 0;
    uint16_t subsystem_vendor_id = 0x10B5;
    uint16_t subsystem_device_id = 0x3427;
    uint32_t io_register = 0x0000E001;  // configuration register 0x14
    uint32_t control = 0x0000000E;      // control/status register at power-up
};

// The bit-order reversal of the card's wiring, entry i being i reversed.
extern const std::array<uint8_t, 256> WIRING;

class Card {
public:
    static constexpr uint32_t CONTROL_OFFSET = 0x6C;
    static constexpr uint32_t IO_BLOCK_SIZE = 256;
    static constexpr size_t DATA_WINDOW_SIZE = 4096;

    explicit Card(const CardIdentity& identity);

    const CardIdentity& identity() const { return identity_; }
    uint32_t io_base() const { return identity_.io_register & 0xFFFFFFFCu; }
    uint32_t config_read(uint16_t offset) const;

    // The control/status register as the bridge presents it: the bits last
    // written, with bit 1 driven by the FPGA's DONE output.
    uint32_t read_control();
    void write_control(uint32_t value);
    uint32_t control_bits() const { return control_; }

    uint8_t* data_window() { return bar3_.get(); }
    // A byte stored at the data port; the card's wiring reverses its bit
    // order on the way to the FPGA.
    void write_data(uint8_t byte)
    {
        bar3_[0] = byte;
        fpga_.receive(WIRING[byte]);
    }

    Fpga& fpga() { return fpga_; }
    const Fpga& fpga() const { return fpga_; }

    bool open = false;
    int mappings = 0;

private:
    CardIdentity identity_;
    uint32_t control_;
    std::unique_ptr<uint8_t[]> bar3_;
    Fpga fpga_;
};

class Host {
public:
    Host() = default;
    Host(Host&&) = default;
    Host& operator=(Host&&) = default;

    // The two cards of veltcfg-sim's built-in host.
    static Host make_default();

    Card& add_card(const CardIdentity& identity);
    Card& card(size_t index) { return *cards_.at(index); }
    size_t card_count() const { return cards_.size(); }

    // Fault injection: the nth call (from 1) of op returns `status` and does
    // nothing else; with `and_later`, so does every call after it.
    void fail_call(Op op, unsigned nth = 1, PLX_STATUS status = PLX_STATUS_FAILED,
                   bool and_later = false);
    MapFault map_fault = MapFault::None;
    // Runs `action` once, right after the nth byte has reached a data port.
    void after_data_bytes(uint64_t nth, std::function<void()> action);

    // The log. Data bytes are logged only while record_data_bytes is set
    // (a long bitstream would fill memory); they are always counted.
    bool record_data_bytes = true;
    const std::vector<Event>& log() const { return log_; }
    uint64_t data_bytes_written() const { return data_bytes_written_; }
    void note_output(int stream, const char* bytes, size_t count);

    // The eight operations, as the backend's PlxPci_ functions call them.
    PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number);
    PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device);
    uint32_t pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                               PLX_STATUS* status);
    PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va);
    PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va);
    PLX_STATUS device_close(PLX_DEVICE_OBJECT* device);
    PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                            uint32_t byte_count, PLX_ACCESS_TYPE access);
    PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                             uint32_t byte_count, PLX_ACCESS_TYPE access);

    // A store to a data port, from the data-port seam: once per byte of a
    // bitstream, so the common case stays inline.
    [[gnu::always_inline]] void data_port_write(volatile uint8_t* port, uint8_t value)
    {
        Card* card = last_port_card_;
        if (card == nullptr || const_cast<uint8_t*>(port) != card->data_window()) {
            card = port_owner(port);
        }
        card->write_data(value);
        ++data_bytes_written_;
        if (record_data_bytes || action_at_byte_ != 0) {
            data_byte_slow(card, value);
        }
    }

private:
    struct Fault {
        Op op;
        unsigned nth;
        PLX_STATUS status;
        bool and_later;
    };

    // Counts the call and tells whether a fault stands in for it.
    bool injected(Op op, PLX_STATUS* status);
    PLX_STATUS record(Op op, PLX_STATUS status, std::string args, int card = -1,
                      uint32_t value = 0);
    std::vector<Card*> in_bus_order() const;
    Card* find_card(uint8_t bus, uint8_t slot, uint8_t function) const;
    Card* opened_card(const PLX_DEVICE_OBJECT* device) const;
    int index_of(const Card* card) const;
    Card* port_owner(volatile uint8_t* port);
    void data_byte_slow(Card* card, uint8_t value);

    std::vector<std::unique_ptr<Card>> cards_;
    std::vector<Fault> faults_;
    std::vector<Event> log_;
    unsigned call_counts_[OP_COUNT] = {};
    uint64_t data_bytes_written_ = 0;
    uint64_t action_at_byte_ = 0;
    std::function<void()> action_;
    Card* last_port_card_ = nullptr;  // where the previous data byte went
};

// The process's simulated host, the one the PlxPci_ functions act on. It
// starts out as Host::make_default(); tests replace it before a run.
extern Host process_host;
Host& host();

// The log in a line-per-event text form and back, for handing it across a
// process boundary.
std::string serialize_log(const std::vector<Event>& log);
std::vector<Event> parse_log(const std::string& text);

}  // namespace sim
