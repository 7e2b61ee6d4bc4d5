#include "card/plx/sim/sim_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>

#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sim {

// ---------------------------------------------------------------- bytes waiting

namespace {

#if defined(__x86_64__)
// 32 bytes at a time, while 32 are left: each byte's two nibbles swap
// places, each reversed through a table of sixteen. How many it wired.
[[gnu::target("avx2")]] size_t wire_by_avx2(uint8_t* bytes, size_t count)
{
    const __m256i reversed_low = _mm256_setr_epi8(
        0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF,  //
        0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
    const __m256i reversed_high = _mm256_slli_epi16(reversed_low, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        __m256i* at = reinterpret_cast<__m256i*>(bytes + i);
        const __m256i x = _mm256_loadu_si256(at);
        const __m256i low = _mm256_and_si256(x, nibble);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
        _mm256_storeu_si256(at, _mm256_or_si256(_mm256_shuffle_epi8(reversed_high, low),
                                                _mm256_shuffle_epi8(reversed_low, high)));
    }
    return i;
}
#endif

// The card's wiring: the bit order of each byte reversed, on its way to the
// FPGA.
void wire(uint8_t* bytes, size_t count)
{
    size_t i = 0;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        i = wire_by_avx2(bytes, count);
    }
#endif
    for (; i < count; ++i) {
        bytes[i] = bit_reverse_table[bytes[i]];
    }
}

Card* waiting_card = nullptr;  // whose window holds the bytes waiting

// A card that is going away takes nothing more.
void forget_waiting(const Card* card)
{
    if (waiting_card == card) {
        waiting_card = nullptr;
        waiting_count = 0;
        waiting_limit = 0;
    }
}

}  // namespace

void pass_on_waiting()
{
    if (waiting_count != 0 && waiting_card != nullptr) {
        waiting_card->pass_on(waiting_count);
    }
    waiting_count = 0;
    waiting_limit = 0;  // the next store finds out how many may wait
}

size_t data_stored(volatile uint8_t* port)
{
    Card* card = DataWindow::of(port)->card;
    if (card->mappings == 0) {
        store_outside_mapped_bar(port);
    }
    waiting_card = card;
    card->pass_on(waiting_count);
    waiting_count = 0;
    int mapped = 0;
    for (size_t i = 0; i < host().card_count(); ++i) {
        mapped += host().card(i).mappings;
    }
    return mapped == 1 && card->fpga().reading_stream() ? DataWindow::SIZE : 1;
}

// ---------------------------------------------------------------- Card

Card::Card(const CardSettings& settings)
    : settings_(settings),
      key_{0, settings.bus, settings.slot, settings.function, settings.vendor_id,
           settings.device_id, settings.subsystem_vendor_id, settings.subsystem_device_id},
      control_(settings.control & ~DONE_STATUS_BIT),
      window_(new DataWindow{this, {}}),
      fpga_((settings.control & DONE_STATUS_BIT) != 0, settings.fault, settings.fpga)
{
}

Card::~Card()
{
    forget_waiting(this);
}

bool Card::answering()
{
    pass_on_waiting();
    if (settings_.fault == CardFault::NotAnswering) {
        return false;
    }
    if (settings_.fault == CardFault::Gone) {
        return data_taken_ == 0;
    }
    return true;
}

void Card::pass_on(size_t count)
{
    wire(window_->bytes, count);
    take(window_->bytes, count);
}

Fpga& Card::fpga()
{
    pass_on_waiting();
    return fpga_;
}

uint32_t Card::config_read(uint16_t offset) const
{
    switch (offset) {
    case 0x00:
        return uint32_t{settings_.device_id} << 16 | settings_.vendor_id;
    case 0x04:
        return 0x02900007;  // status; I/O, memory and bus-master enabled
    case 0x08:
        return 0x068000BA;  // bridge device, other; revision BA
    case 0x10:
        return 0xF7E00000;  // BAR 0: the bridge's registers in memory space
    case IO_BASE_REGISTER:
        return settings_.io_register;
    case DATA_WINDOW_BAR_REGISTER:
        return 0xF7D00000;  // BAR 3: the data window
    case 0x2C:
        return uint32_t{settings_.subsystem_device_id} << 16 | settings_.subsystem_vendor_id;
    default:
        return 0;
    }
}

uint32_t Card::read_control()
{
    if (!answering()) {
        return 0xFFFFFFFF;
    }
    return (control_ & ~DONE_STATUS_BIT) | (fpga().read_done() ? DONE_STATUS_BIT : 0);
}

void Card::write_control(uint32_t value)
{
    if (!answering()) {
        return;
    }
    control_ = value & ~DONE_STATUS_BIT;  // DONE is the FPGA's to drive
    // With the enables off the bridge leaves the program line released.
    const bool driven = (value & CONTROL_ENABLE_BITS) == CONTROL_ENABLE_BITS;
    fpga_.set_program_line(!driven || (value & PROGRAM_LINE_BIT) != 0);
}

// ---------------------------------------------------------------- Host

Host Host::make_default()
{
    // Card 0 an RV80-A at 04:00.0, card 1 an RV80-C at 05:02.0.
    Host host;
    CardSettings card0;
    card0.bus = 4;
    host.add_card(card0);
    CardSettings card1;
    card1.bus = 5;
    card1.slot = 2;
    card1.subsystem_device_id = CARD_MODELS[2].subsystem_device_id;
    card1.io_register = 0xD000 | 1;
    host.add_card(card1);
    return host;
}

Card& Host::add_card(const CardSettings& settings)
{
    cards_.push_back(std::make_unique<Card>(settings));
    return *cards_.back();
}

std::vector<Card*> Host::in_location_order() const
{
    std::vector<Card*> order;
    for (const auto& card : cards_) {
        order.push_back(card.get());
    }
    std::stable_sort(order.begin(), order.end(), [](const Card* a, const Card* b) {
        return std::make_tuple(a->settings().bus, a->settings().slot, a->settings().function) <
               std::make_tuple(b->settings().bus, b->settings().slot, b->settings().function);
    });
    return order;
}

Card* Host::at_location(uint8_t bus, uint8_t slot, uint8_t function) const
{
    for (const auto& card : cards_) {
        const CardSettings& identity = card->settings();
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

Card* Host::card_opened_as(const PLX_DEVICE_OBJECT* device) const
{
    return plx_open_entry(device, cards_, [](const Card& card) {
        return card.open ? &card.key() : nullptr;
    });
}

Host& host()
{
    static Host process_host = Host::make_default();
    return process_host;
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
        if (plx_key_matches(*key, card->key()) && seen++ == device_number) {
            *key = card->key();
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
    if (card == nullptr || !plx_key_matches(*key, card->key())) {
        return PLX_STATUS_NO_DEVICE;
    }
    if (card->fault() == CardFault::Open) {
        return PLX_STATUS_ACCESS_DENIED;
    }
    if (card->open || card->fault() == CardFault::InUse) {
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
    Card* card = host().card_opened_as(device);
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
    pass_on_waiting();
    *va = card->data_port();
    ++card->mappings;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    Card* card = host().card_opened_as(device);
    if (va == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    if (card == nullptr) {
        return PLX_STATUS_NOT_OPEN;
    }
    if (card->mappings == 0 || *va != card->data_port()) {
        return PLX_STATUS_INVALID_ADDRESS;
    }
    pass_on_waiting();
    --card->mappings;
    *va = nullptr;
    return PLX_STATUS_SUCCESS;
}

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    Card* card = host().card_opened_as(device);
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
    *card = host().card_opened_as(device);
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

// What a listing finds of a card: the faults it is set up with that keep a
// program from it, whether this process has it open, and its control/status
// register, read as the bridge presents it.
PLX_STATUS device_survey(const PLX_DEVICE_KEY* key, uint64_t port, PLX_DEVICE_SURVEY* survey)
{
    if (survey == nullptr) {
        return PLX_STATUS_NULL_PARAM;
    }
    *survey = PLX_DEVICE_SURVEY{};
    std::snprintf(survey->path, sizeof survey->path, "simulated");
    survey->register_status = PLX_STATUS_FAILED;
    if (key == nullptr) {
        return PLX_STATUS_SUCCESS;  // the simulated host's cards can always be listed
    }
    Card* card = host().at_location(key->bus, key->slot, key->function);
    if (card == nullptr || !plx_key_matches(*key, card->key())) {
        return PLX_STATUS_NO_DEVICE;
    }
    if (card->fault() == CardFault::Open) {
        plx_survey_note(survey, PLX_HINDRANCE_NOT_PERMITTED,
                        "set up with fault=open: the card cannot be opened");
    } else if (card->fault() == CardFault::Map) {
        plx_survey_note(survey, PLX_HINDRANCE_NO_DATA_WINDOW,
                        "set up with fault=map: BAR 3 cannot be mapped");
    }
    if (card->open) {
        survey->holder_pid = static_cast<int32_t>(getpid());
        plx_survey_note(survey, PLX_HINDRANCE_IN_USE, "open in this process");
    } else if (card->fault() == CardFault::InUse) {
        plx_survey_note(survey, PLX_HINDRANCE_IN_USE,
                        "set up with fault=in-use: held by another process");
    }
    if (port == uint64_t{card->io_base()} + CONTROL_REGISTER_OFFSET) {
        survey->register_value = card->read_control();
        survey->register_status = PLX_STATUS_SUCCESS;
    } else {
        survey->register_status = PLX_STATUS_INVALID_ADDRESS;
    }
    return PLX_STATUS_SUCCESS;
}

}  // namespace

}  // namespace sim

const PlxBackend plx_sim_backend = {
    sim::device_find,  sim::device_open,  sim::pci_register_read, sim::pci_bar_map,
    sim::pci_bar_unmap, sim::device_close, sim::io_port_read,      sim::io_port_write,
    sim::device_survey,
};
