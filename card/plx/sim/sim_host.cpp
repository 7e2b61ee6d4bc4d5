#include "sim_host.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <tuple>
#include <utility>

namespace sim {

namespace {

constexpr uint32_t DONE_BIT = 0x00000002;
constexpr uint32_t PROGRAM_LINE_BIT = 0x00010000;
constexpr uint32_t CONTROL_ENABLE_BITS = 0x000C0000;
constexpr uint8_t DATA_BAR = 3;

std::string hex(uint64_t value, int digits = 0)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string key_field(uint64_t value, uint64_t any, bool in_hex)
{
    if (value == any) {
        return "any";
    }
    return in_hex ? hex(value, 4) : std::to_string(value);
}

std::string describe_key(const PLX_DEVICE_KEY& key)
{
    return "vendor=" + key_field(key.vendor_id, PLX_KEY_ANY_16, true) +
           " device=" + key_field(key.device_id, PLX_KEY_ANY_16, true) +
           " bus=" + key_field(key.bus, PLX_KEY_ANY_8, false) +
           " slot=" + key_field(key.slot, PLX_KEY_ANY_8, false) +
           " function=" + key_field(key.function, PLX_KEY_ANY_8, false);
}

bool key_matches(const PLX_DEVICE_KEY& key, const CardIdentity& identity)
{
    auto field = [](uint64_t wanted, uint64_t any, uint64_t actual) {
        return wanted == any || wanted == actual;
    };
    return field(key.domain, PLX_KEY_ANY_16, 0) &&
           field(key.bus, PLX_KEY_ANY_8, identity.bus) &&
           field(key.slot, PLX_KEY_ANY_8, identity.slot) &&
           field(key.function, PLX_KEY_ANY_8, identity.function) &&
           field(key.vendor_id, PLX_KEY_ANY_16, identity.vendor_id) &&
           field(key.device_id, PLX_KEY_ANY_16, identity.device_id) &&
           field(key.subsystem_vendor_id, PLX_KEY_ANY_16, identity.subsystem_vendor_id) &&
           field(key.subsystem_device_id, PLX_KEY_ANY_16, identity.subsystem_device_id);
}

constexpr std::array<uint8_t, 256> reversed_bytes()
{
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            r |= ((i >> bit) & 1u) << (7 - bit);
        }
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}

}  // namespace

constexpr std::array<uint8_t, 256> WIRING = reversed_bytes();

const char* op_name(Op op)
{
    switch (op) {
    case Op::DeviceFind:
        return "PlxPci_DeviceFind";
    case Op::DeviceOpen:
        return "PlxPci_DeviceOpen";
    case Op::PciRegisterRead:
        return "PlxPci_PciRegisterRead";
    case Op::PciBarMap:
        return "PlxPci_PciBarMap";
    case Op::PciBarUnmap:
        return "PlxPci_PciBarUnmap";
    case Op::DeviceClose:
        return "PlxPci_DeviceClose";
    case Op::IoPortRead:
        return "PlxPci_IoPortRead";
    case Op::IoPortWrite:
        return "PlxPci_IoPortWrite";
    }
    return "?";
}

std::string Event::describe() const
{
    switch (kind) {
    case Kind::Call: {
        std::string text = std::string(op_name(op)) + "(" + args + ") -> " + hex(status, 3);
        if (op == Op::IoPortRead || op == Op::IoPortWrite || op == Op::PciRegisterRead) {
            text += " value " + hex(value, 8);
        }
        return text;
    }
    case Kind::RegisterWrite:
        return "card " + std::to_string(card) + " control register <- " + hex(value, 8);
    case Kind::DataByte:
        return "card " + std::to_string(card) + " data port <- " + hex(value, 2);
    case Kind::Output: {
        std::string text = card == 2 ? "stderr: \"" : "stdout: \"";
        for (char c : args) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
                text += escaped;
            } else {
                text += c;
            }
        }
        return text + "\"";
    }
    }
    return "?";
}

// ---------------------------------------------------------------- Card

Card::Card(const CardIdentity& identity)
    : identity_(identity),
      control_(identity.control & ~DONE_BIT),
      bar3_(new uint8_t[DATA_WINDOW_SIZE]()),
      fpga_((identity.control & DONE_BIT) != 0)
{
}

uint32_t Card::config_read(uint16_t offset) const
{
    switch (offset) {
    case 0x00:
        return uint32_t{identity_.device_id} << 16 | identity_.vendor_id;
    case 0x04:
        return 0x02900007;  // status; I/O, memory and bus-master enabled
    case 0x08:
        return 0x068000BA;  // bridge device, other; revision BA
    case 0x10:
        return 0xF7E00000;  // BAR 0: the bridge's registers in memory space
    case 0x14:
        return identity_.io_register;
    case 0x1C:
        return 0xF7D00000;  // BAR 3: the data window
    case 0x2C:
        return uint32_t{identity_.subsystem_device_id} << 16 | identity_.subsystem_vendor_id;
    default:
        return 0;
    }
}

uint32_t Card::read_control()
{
    return (control_ & ~DONE_BIT) | (fpga_.read_done() ? DONE_BIT : 0);
}

void Card::write_control(uint32_t value)
{
    control_ = value & ~DONE_BIT;  // DONE is the FPGA's to drive
    // With the enables off the bridge leaves the program line released.
    const bool driven = (value & CONTROL_ENABLE_BITS) == CONTROL_ENABLE_BITS;
    fpga_.set_program_line(!driven || (value & PROGRAM_LINE_BIT) != 0);
}

// ---------------------------------------------------------------- Host

Host Host::make_default()
{
    Host host;
    CardIdentity card0;
    card0.bus = 4;
    card0.slot = 0;
    card0.subsystem_device_id = 0x3427;
    card0.io_register = 0x0000E001;
    host.add_card(card0);

    CardIdentity card1;
    card1.bus = 5;
    card1.slot = 2;
    card1.subsystem_device_id = 0x3429;
    card1.io_register = 0x0000D001;
    host.add_card(card1);

    // A bitstream can be long; keep only the count of data bytes.
    host.record_data_bytes = false;
    return host;
}

Card& Host::add_card(const CardIdentity& identity)
{
    cards_.push_back(std::make_unique<Card>(identity));
    return *cards_.back();
}

void Host::fail_call(Op op, unsigned nth, PLX_STATUS status, bool and_later)
{
    faults_.push_back(Fault{op, nth, status, and_later});
}

void Host::after_data_bytes(uint64_t nth, std::function<void()> action)
{
    action_at_byte_ = nth;
    action_ = std::move(action);
}

bool Host::injected(Op op, PLX_STATUS* status)
{
    const unsigned call = ++call_counts_[static_cast<int>(op)];
    for (const Fault& fault : faults_) {
        if (fault.op == op && (call == fault.nth || (fault.and_later && call > fault.nth))) {
            *status = fault.status;
            return true;
        }
    }
    return false;
}

PLX_STATUS Host::record(Op op, PLX_STATUS status, std::string args, int card, uint32_t value)
{
    Event event;
    event.kind = Event::Kind::Call;
    event.op = op;
    event.status = status;
    event.args = std::move(args);
    event.card = card;
    event.value = value;
    log_.push_back(std::move(event));
    return status;
}

std::vector<Card*> Host::in_bus_order() const
{
    std::vector<Card*> order;
    for (const auto& card : cards_) {
        order.push_back(card.get());
    }
    std::stable_sort(order.begin(), order.end(), [](const Card* a, const Card* b) {
        return std::make_tuple(a->identity().bus, a->identity().slot, a->identity().function) <
               std::make_tuple(b->identity().bus, b->identity().slot, b->identity().function);
    });
    return order;
}

Card* Host::find_card(uint8_t bus, uint8_t slot, uint8_t function) const
{
    for (const auto& card : cards_) {
        const CardIdentity& identity = card->identity();
        if (identity.bus == bus && identity.slot == slot && identity.function == function) {
            return card.get();
        }
    }
    return nullptr;
}

Card* Host::opened_card(const PLX_DEVICE_OBJECT* device) const
{
    if (device == nullptr || device->open_tag != PLX_DEVICE_OPEN_TAG || device->handle < 0 ||
        static_cast<size_t>(device->handle) >= cards_.size()) {
        return nullptr;
    }
    Card* card = cards_[static_cast<size_t>(device->handle)].get();
    return card->open ? card : nullptr;
}

int Host::index_of(const Card* card) const
{
    for (size_t i = 0; i < cards_.size(); ++i) {
        if (cards_[i].get() == card) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

PLX_STATUS Host::device_find(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    const std::string args =
        (key ? describe_key(*key) : std::string("key=null")) + " number=" + std::to_string(device_number);
    PLX_STATUS status;
    if (injected(Op::DeviceFind, &status)) {
        return record(Op::DeviceFind, status, args);
    }
    if (key == nullptr) {
        return record(Op::DeviceFind, PLX_STATUS_NULL_PARAM, args);
    }
    unsigned seen = 0;
    for (Card* card : in_bus_order()) {
        const CardIdentity& identity = card->identity();
        if (!key_matches(*key, identity)) {
            continue;
        }
        if (seen++ == device_number) {
            key->domain = 0;
            key->bus = identity.bus;
            key->slot = identity.slot;
            key->function = identity.function;
            key->vendor_id = identity.vendor_id;
            key->device_id = identity.device_id;
            key->subsystem_vendor_id = identity.subsystem_vendor_id;
            key->subsystem_device_id = identity.subsystem_device_id;
            return record(Op::DeviceFind, PLX_STATUS_SUCCESS, args, index_of(card));
        }
    }
    return record(Op::DeviceFind, PLX_STATUS_NO_DEVICE, args);
}

PLX_STATUS Host::device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    const std::string args = key ? describe_key(*key) : std::string("key=null");
    PLX_STATUS status;
    if (injected(Op::DeviceOpen, &status)) {
        return record(Op::DeviceOpen, status, args);
    }
    if (key == nullptr || device == nullptr) {
        return record(Op::DeviceOpen, PLX_STATUS_NULL_PARAM, args);
    }
    Card* card = find_card(key->bus, key->slot, key->function);
    if (card == nullptr || !key_matches(*key, card->identity())) {
        return record(Op::DeviceOpen, PLX_STATUS_NO_DEVICE, args);
    }
    const int index = index_of(card);
    if (card->open) {
        return record(Op::DeviceOpen, PLX_STATUS_BUSY, args, index);
    }
    card->open = true;
    device->open_tag = PLX_DEVICE_OPEN_TAG;
    device->key = *key;
    device->handle = index;
    return record(Op::DeviceOpen, PLX_STATUS_SUCCESS, args, index);
}

uint32_t Host::pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                 PLX_STATUS* status)
{
    const std::string args = "bus=" + std::to_string(bus) + " slot=" + std::to_string(slot) +
                             " function=" + std::to_string(function) +
                             " offset=" + hex(offset, 2);
    PLX_STATUS result = PLX_STATUS_SUCCESS;
    uint32_t value = 0xFFFFFFFF;  // what a read of nothing returns on PCI
    Card* card = nullptr;
    if (injected(Op::PciRegisterRead, &result)) {
        // the injected status stands
    } else if ((card = find_card(bus, slot, function)) == nullptr) {
        result = PLX_STATUS_NO_DEVICE;
    } else if (offset >= 256 || offset % 4 != 0) {
        result = PLX_STATUS_INVALID_ADDRESS;
    } else {
        value = card->config_read(offset);
    }
    if (status != nullptr) {
        *status = result;
    }
    record(Op::PciRegisterRead, result, args, card ? index_of(card) : -1, value);
    return value;
}

PLX_STATUS Host::pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    Card* card = opened_card(device);
    const int index = card ? index_of(card) : -1;
    const std::string args = "card=" + std::to_string(index) + " bar=" + std::to_string(bar_index);
    PLX_STATUS status;
    if (injected(Op::PciBarMap, &status)) {
        return record(Op::PciBarMap, status, args, index);
    }
    if (va == nullptr) {
        return record(Op::PciBarMap, PLX_STATUS_NULL_PARAM, args, index);
    }
    if (card == nullptr) {
        return record(Op::PciBarMap, PLX_STATUS_NOT_OPEN, args, index);
    }
    if (bar_index != DATA_BAR) {
        return record(Op::PciBarMap, PLX_STATUS_INVALID_BAR, args, index);
    }
    switch (map_fault) {
    case MapFault::None:
        *va = card->data_window();
        break;
    case MapFault::Null:
        *va = nullptr;
        break;
    case MapFault::AllOnes:
        *va = reinterpret_cast<volatile uint8_t*>(UINTPTR_MAX);
        break;
    }
    ++card->mappings;
    return record(Op::PciBarMap, PLX_STATUS_SUCCESS, args, index);
}

PLX_STATUS Host::pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    Card* card = opened_card(device);
    const int index = card ? index_of(card) : -1;
    const std::string args = "card=" + std::to_string(index);
    PLX_STATUS status;
    if (injected(Op::PciBarUnmap, &status)) {
        return record(Op::PciBarUnmap, status, args, index);
    }
    if (va == nullptr) {
        return record(Op::PciBarUnmap, PLX_STATUS_NULL_PARAM, args, index);
    }
    if (card == nullptr) {
        return record(Op::PciBarUnmap, PLX_STATUS_NOT_OPEN, args, index);
    }
    if (card->mappings == 0) {
        return record(Op::PciBarUnmap, PLX_STATUS_INVALID_ADDRESS, args, index);
    }
    --card->mappings;
    if (last_port_card_ == card) {
        last_port_card_ = nullptr;
    }
    *va = nullptr;
    return record(Op::PciBarUnmap, PLX_STATUS_SUCCESS, args, index);
}

PLX_STATUS Host::device_close(PLX_DEVICE_OBJECT* device)
{
    Card* card = opened_card(device);
    const int index = card ? index_of(card) : -1;
    const std::string args = "card=" + std::to_string(index);
    PLX_STATUS status;
    if (injected(Op::DeviceClose, &status)) {
        return record(Op::DeviceClose, status, args, index);
    }
    if (card == nullptr) {
        return record(Op::DeviceClose, PLX_STATUS_NOT_OPEN, args, index);
    }
    card->open = false;
    device->open_tag = 0;
    return record(Op::DeviceClose, PLX_STATUS_SUCCESS, args, index);
}

PLX_STATUS Host::io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                              uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Card* card = opened_card(device);
    const int index = card ? index_of(card) : -1;
    const std::string args = "card=" + std::to_string(index) + " port=" + hex(port, 4) +
                             " bytes=" + std::to_string(byte_count) +
                             " access=" + std::to_string(access);
    PLX_STATUS status;
    if (injected(Op::IoPortRead, &status)) {
        return record(Op::IoPortRead, status, args, index);
    }
    if (buffer == nullptr) {
        return record(Op::IoPortRead, PLX_STATUS_NULL_PARAM, args, index);
    }
    if (card == nullptr) {
        return record(Op::IoPortRead, PLX_STATUS_NOT_OPEN, args, index);
    }
    if (byte_count != 4 || access != PLX_ACCESS_32_BIT) {
        return record(Op::IoPortRead, PLX_STATUS_INVALID_ACCESS, args, index);
    }
    if (port != uint64_t{card->io_base()} + Card::CONTROL_OFFSET) {
        // Only the control/status register is modelled in the I/O block.
        return record(Op::IoPortRead, PLX_STATUS_INVALID_ADDRESS, args, index);
    }
    const uint32_t value = card->read_control();
    std::memcpy(buffer, &value, sizeof value);
    return record(Op::IoPortRead, PLX_STATUS_SUCCESS, args, index, value);
}

PLX_STATUS Host::io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                               uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Card* card = opened_card(device);
    const int index = card ? index_of(card) : -1;
    uint32_t value = 0;
    if (buffer != nullptr && byte_count >= sizeof value) {
        std::memcpy(&value, buffer, sizeof value);
    }
    const std::string args = "card=" + std::to_string(index) + " port=" + hex(port, 4) +
                             " bytes=" + std::to_string(byte_count) +
                             " access=" + std::to_string(access);
    PLX_STATUS status;
    if (injected(Op::IoPortWrite, &status)) {
        return record(Op::IoPortWrite, status, args, index, value);
    }
    if (buffer == nullptr) {
        return record(Op::IoPortWrite, PLX_STATUS_NULL_PARAM, args, index);
    }
    if (card == nullptr) {
        return record(Op::IoPortWrite, PLX_STATUS_NOT_OPEN, args, index, value);
    }
    if (byte_count != 4 || access != PLX_ACCESS_32_BIT) {
        return record(Op::IoPortWrite, PLX_STATUS_INVALID_ACCESS, args, index, value);
    }
    if (port != uint64_t{card->io_base()} + Card::CONTROL_OFFSET) {
        return record(Op::IoPortWrite, PLX_STATUS_INVALID_ADDRESS, args, index, value);
    }
    record(Op::IoPortWrite, PLX_STATUS_SUCCESS, args, index, value);
    card->write_control(value);
    Event stored;
    stored.kind = Event::Kind::RegisterWrite;
    stored.card = index;
    stored.value = value;
    log_.push_back(std::move(stored));
    return PLX_STATUS_SUCCESS;
}

Card* Host::port_owner(volatile uint8_t* port)
{
    for (const auto& candidate : cards_) {
        if (candidate->mappings > 0 && const_cast<uint8_t*>(port) == candidate->data_window()) {
            last_port_card_ = candidate.get();
            return last_port_card_;
        }
    }
    // On real hardware a store through a stale or wild pointer would fault;
    // make it just as loud here.
    std::fprintf(stderr, "simulated host: data port write to %p, outside every mapped BAR\n",
                 static_cast<void*>(const_cast<uint8_t*>(port)));
    std::abort();
}

void Host::data_byte_slow(Card* card, uint8_t value)
{
    if (record_data_bytes) {
        Event event;
        event.kind = Event::Kind::DataByte;
        event.card = index_of(card);
        event.value = value;
        log_.push_back(std::move(event));
    }
    if (action_at_byte_ != 0 && data_bytes_written_ == action_at_byte_) {
        std::function<void()> action = std::move(action_);
        action_ = nullptr;
        action_at_byte_ = 0;
        action();
    }
}

void Host::note_output(int stream, const char* bytes, size_t count)
{
    Event event;
    event.kind = Event::Kind::Output;
    event.card = stream;
    event.args.assign(bytes, count);
    log_.push_back(std::move(event));
}

// A plain global rather than a function-local static: the data-port seam
// reaches it once per byte, and a guarded static costs a check every time.
// Nothing touches it before main().
Host process_host = Host::make_default();

Host& host()
{
    return process_host;
}

// ---------------------------------------------------------------- log text

std::string serialize_log(const std::vector<Event>& log)
{
    std::string text;
    char line[64];
    for (const Event& event : log) {
        switch (event.kind) {
        case Event::Kind::Call:
            std::snprintf(line, sizeof line, "C %d %X %d %X ", static_cast<int>(event.op),
                          event.status, event.card, event.value);
            text += line;
            text += event.args;
            break;
        case Event::Kind::RegisterWrite:
            std::snprintf(line, sizeof line, "W %d %X", event.card, event.value);
            text += line;
            break;
        case Event::Kind::DataByte:
            std::snprintf(line, sizeof line, "D %d %X", event.card, event.value);
            text += line;
            break;
        case Event::Kind::Output:
            std::snprintf(line, sizeof line, "O %d ", event.card);
            text += line;
            for (char c : event.args) {
                std::snprintf(line, sizeof line, "%02X", static_cast<unsigned char>(c));
                text += line;
            }
            break;
        }
        text += '\n';
    }
    return text;
}

std::vector<Event> parse_log(const std::string& text)
{
    std::vector<Event> log;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        char kind = 0;
        fields >> kind;
        Event event;
        if (kind == 'C') {
            int op = 0;
            fields >> op >> std::hex >> event.status >> std::dec >> event.card >> std::hex >>
                event.value;
            event.op = static_cast<Op>(op);
            fields.get();  // the space before the arguments
            std::getline(fields, event.args);
        } else if (kind == 'O') {
            event.kind = Event::Kind::Output;
            std::string digits;
            fields >> event.card >> digits;
            for (size_t i = 0; i + 1 < digits.size(); i += 2) {
                event.args += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
            }
        } else if (kind == 'W' || kind == 'D') {
            event.kind = kind == 'W' ? Event::Kind::RegisterWrite : Event::Kind::DataByte;
            fields >> event.card >> std::hex >> event.value;
        } else {
            continue;
        }
        log.push_back(std::move(event));
    }
    return log;
}

}  // namespace sim
