#include "sim_host.h"

#include "common/terminal_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>

namespace sim {

namespace {


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

}  // namespace

// ---------------------------------------------------------------- Card

Card::Card(const CardIdentity& identity, CardFault fault)
    : identity_(identity),
      fault_(fault),
      control_(identity.control & ~DONE_STATUS_BIT),
      window_(new DataWindow{this, {}}),
      fpga_((identity.control & DONE_STATUS_BIT) != 0, fault, identity.idcode)
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
    case IO_BASE_REGISTER:
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
    return (control_ & ~DONE_STATUS_BIT) | (fpga().read_done() ? DONE_STATUS_BIT : 0);
}

void Card::write_control(uint32_t value)
{
    deliver_batch();
    control_ = value & ~DONE_STATUS_BIT;  // DONE is the FPGA's to drive
    // With the enables off the bridge leaves the program line released.
    const bool driven = (value & CONTROL_ENABLE_BITS) == CONTROL_ENABLE_BITS;
    fpga_.set_program_line(!driven || (value & PROGRAM_LINE_BIT) != 0);
}

// ---------------------------------------------------------------- Host

Host Host::make_default()
{
    Host host;
    std::string error;
    // Card 0 an RV80-A, card 1 an RV80-C.
    describe_host("bus=4 slot=0 subsystem=0x3427 io=0xE000; bus=5 slot=2 subsystem=0x3429 io=0xD000",
                  &host, &error);
    return host;
}

Card& Host::add_card(const CardIdentity& identity, CardFault fault)
{
    cards_.push_back(std::make_unique<Card>(identity, fault));
    return *cards_.back();
}

std::vector<Card*> Host::in_location_order() const
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

Card* Host::at_location(uint8_t bus, uint8_t slot, uint8_t function) const
{
    for (const auto& card : cards_) {
        const CardIdentity& identity = card->identity();
        if (identity.bus == bus && identity.slot == slot && identity.function == function) {
            return card.get();
        }
    }
    return nullptr;
}

int32_t Host::index_of(const Card* card) const
{
    for (size_t i = 0; i < cards_.size(); ++i) {
        if (cards_[i].get() == card) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

Card* Host::opened(const PLX_DEVICE_OBJECT* device) const
{
    if (device == nullptr || device->open_tag != PLX_DEVICE_OPEN_TAG || device->handle < 0 ||
        static_cast<size_t>(device->handle) >= cards_.size()) {
        return nullptr;
    }
    Card* card = cards_[static_cast<size_t>(device->handle)].get();
    return card->open ? card : nullptr;
}

Host& host()
{
    static Host process_host = Host::make_default();
    return process_host;
}

// ---------------------------------------------------------------- descriptions

bool read_number(const std::string& text, uint32_t highest, uint32_t* value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
            std::string::npos) {
        return false;
    }
    const unsigned long long number = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (number > highest) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

namespace {

// One card's key=value items; "" when they make a card, else what is wrong.
std::string describe_card(const std::string& text, CardIdentity* identity, CardFault* fault)
{
    static const struct {
        const char* key;
        uint32_t highest;
    } NUMBERS[] = {{"bus", 255},          {"slot", 31}, {"function", 7}, {"subsystem", 0xFFFF},
                   {"io", 0xFFFC},        {"idcode", 0xFFFFFFFF}};
    static const struct {
        const char* name;
        CardFault fault;
    } FAULTS[] = {{"none", CardFault::None}, {"open", CardFault::Open}, {"map", CardFault::Map},
                  {"busy", CardFault::Busy}, {"no-done", CardFault::NoDone}};

    std::vector<std::string> seen;
    size_t at = 0;
    while ((at = text.find_first_not_of(" ,\t", at)) != std::string::npos) {
        const size_t end = std::min(text.find_first_of(" ,\t", at), text.size());
        const std::string item = text.substr(at, end - at);
        at = end;
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        if (equals == std::string::npos) {
            return "\"" + item + "\": not key=value";
        }
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return "\"" + item + "\": " + key + " given twice";
        }
        seen.push_back(key);
        if (key == "fault") {
            const auto known = std::find_if(std::begin(FAULTS), std::end(FAULTS),
                                            [&value](const auto& f) { return value == f.name; });
            if (known == std::end(FAULTS)) {
                return "\"" + item + "\": unknown fault (none, open, map, busy, no-done)";
            }
            *fault = known->fault;
            continue;
        }
        const auto number = std::find_if(std::begin(NUMBERS), std::end(NUMBERS),
                                         [&key](const auto& n) { return key == n.key; });
        if (number == std::end(NUMBERS)) {
            return "\"" + item + "\": unknown key (bus, slot, function, subsystem, io, idcode, fault)";
        }
        uint32_t n = 0;
        if (!read_number(value, number->highest, &n) || (key == "io" && n % 4 != 0)) {
            char range[64];
            std::snprintf(range, sizeof range, number->highest > 255 ? "0 to 0x%X" : "0 to %u",
                          number->highest);
            return "\"" + item + "\": " + key + " must be a number from " + range +
                   (key == "io" ? ", a multiple of 4" : "");
        }
        if (key == "bus") {
            identity->bus = static_cast<uint8_t>(n);
        } else if (key == "slot") {
            identity->slot = static_cast<uint8_t>(n);
        } else if (key == "function") {
            identity->function = static_cast<uint8_t>(n);
        } else if (key == "subsystem") {
            identity->subsystem_device_id = static_cast<uint16_t>(n);
        } else if (key == "idcode") {
            identity->idcode = n;
        } else {
            identity->io_register = n | 1;  // an I/O BAR
        }
    }
    for (const char* required : {"bus", "slot"}) {
        if (std::find(seen.begin(), seen.end(), required) == seen.end()) {
            return std::string("no ") + required + " given";
        }
    }
    return "";
}

}  // namespace

// Items between the ';' that hold nothing (as a trailing ';' or ";;" leave)
// are passed over; a description with no card in it at all is refused.
bool describe_host(const std::string& text, Host* host, std::string* error)
{
    Host described;
    int number = 1;
    for (size_t start = 0; start <= text.size(); ++start) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string item = text.substr(start, end - start);
        start = end;
        if (item.find_first_not_of(" ,\t") == std::string::npos) {
            continue;
        }
        CardIdentity identity;
        CardFault fault = CardFault::None;
        std::string problem = describe_card(item, &identity, &fault);
        if (problem.empty() &&
            described.at_location(identity.bus, identity.slot, identity.function) != nullptr) {
            problem = "a second card at the same bus, slot and function";
        }
        if (!problem.empty()) {
            *error = "card " + std::to_string(number) + ": " + problem;
            return false;
        }
        described.add_card(identity, fault);
        ++number;
    }
    if (described.card_count() == 0) {
        *error = "card 1: nothing described";
        return false;
    }
    *host = std::move(described);
    return true;
}

void describe_host_from_environment()
{
    const char* text = std::getenv("VELTCFG_SIM_HOST");
    if (text == nullptr || *text == '\0') {
        return;
    }
    std::string error;
    if (!describe_host(text, &host(), &error)) {
        std::fputs("veltcfg-sim: VELTCFG_SIM_HOST cannot be read: ", stderr);
        put_terminal_text(stderr, error.c_str());
        std::fputc('\n', stderr);
        std::exit(2);
    }
}

void store_outside_mapped_bar(volatile uint8_t* port)
{
    // On real hardware a store through a stale or wild pointer would fault;
    // make it just as loud here.
    std::fprintf(stderr, "simulated host: data port write to %p, outside every mapped BAR\n",
                 static_cast<void*>(const_cast<uint8_t*>(port)));
    std::abort();
}

// ---------------------------------------------------------------- the eight operations

namespace {

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    if (key == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    unsigned seen = 0;
    for (Card* card : host().in_location_order()) {
        const CardIdentity& identity = card->identity();
        if (key_matches(*key, identity) && seen++ == device_number) {
            key->domain = 0;
            key->bus = identity.bus;
            key->slot = identity.slot;
            key->function = identity.function;
            key->vendor_id = identity.vendor_id;
            key->device_id = identity.device_id;
            key->subsystem_vendor_id = identity.subsystem_vendor_id;
            key->subsystem_device_id = identity.subsystem_device_id;
            return PLX_STATUS_SUCCESS;
        }
    }
    return PLX_STATUS_NO_DEVICE;
}

PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    if (key == nullptr || device == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    Card* card = host().at_location(key->bus, key->slot, key->function);
    if (card == nullptr || !key_matches(*key, card->identity())) {
        return PLX_STATUS_NO_DEVICE;
    }
    if (card->fault() == CardFault::Open) {
        return PLX_STATUS_ACCESS_DENIED;
    }
    if (card->open) {
        return PLX_STATUS_BUSY;
    }
    card->open = true;
    device->open_tag = PLX_DEVICE_OPEN_TAG;
    device->key = *key;
    device->handle = host().index_of(card);
    return PLX_STATUS_SUCCESS;
}

uint32_t pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                           PLX_STATUS* status)
{
    PLX_STATUS result = PLX_STATUS_SUCCESS;
    uint32_t value = 0xFFFFFFFF;  // what a read of nothing returns on PCI
    const Card* card = host().at_location(bus, slot, function);
    if (card == nullptr) {
        result = PLX_STATUS_NO_DEVICE;
    } else if (offset >= 256 || offset % 4 != 0) {
        result = PLX_STATUS_INVALID_ADDRESS;
    } else {
        value = card->config_read(offset);
    }
    if (status != nullptr) {
        *status = result;
    }
    return value;
}

PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    Card* card = host().opened(device);
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    if (card == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (bar_index != DATA_WINDOW_BAR) {
        return PLX_STATUS_INVALID_BAR;
    }
    if (card->fault() == CardFault::Map) {
        return PLX_STATUS_FAILED;
    }
    *va = card->data_port();
    ++card->mappings;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    Card* card = host().opened(device);
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    if (card == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (card->mappings == 0 || *va != card->data_port()) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    --card->mappings;
    *va = nullptr;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    Card* card = host().opened(device);
    if (card == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    card->open = false;
    device->open_tag = 0;
    return PLX_STATUS_SUCCESS;
}

// The card whose control/status register a 32-bit access at `port` reaches;
// only that register is modelled in the I/O block.
PLX_STATUS control_register(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                            uint32_t byte_count, PLX_ACCESS_TYPE access, Card** card)
{
    *card = host().opened(device);
    if (buffer == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    if (*card == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (byte_count != 4 || access != PLX_ACCESS_32_BIT) {
        return PLX_STATUS_INVALID_ACCESS;
    }
    if (port != uint64_t{(*card)->io_base()} + CONTROL_REGISTER_OFFSET) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                        uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Card* card = nullptr;
    const PLX_STATUS status = control_register(device, port, buffer, byte_count, access, &card);
    if (status == PLX_STATUS_SUCCESS) {
        const uint32_t value = card->read_control();
        std::memcpy(buffer, &value, sizeof value);
    }
    return status;
}

PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                         uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Card* card = nullptr;
    const PLX_STATUS status = control_register(device, port, buffer, byte_count, access, &card);
    if (status == PLX_STATUS_SUCCESS) {
        uint32_t value = 0;
        std::memcpy(&value, buffer, sizeof value);
        card->write_control(value);
    }
    return status;
}

}  // namespace

}  // namespace sim

const PlxBackend plx_sim_backend = {
    "simulated host",     sim::device_find,  sim::device_open,  sim::pci_register_read,
    sim::pci_bar_map,     sim::pci_bar_unmap, sim::device_close, sim::io_port_read,
    sim::io_port_write,
};
