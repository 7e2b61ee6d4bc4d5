// The card: connection (find, open, report, map, release), the bridge's
// control/status register and the data port with its two byte senders; and
// a listing of the cards.
#pragma once

#include <array>
#include <cstdint>

#include "card/plx/plx_types.h"

// Connection.
void open_card(uint32_t card_number);
void release_card();

// A PCI location.
struct CardAddress {
    uint16_t domain;
    uint8_t bus, slot, function;
};

// The number of the card at `address`, as open_card numbers the cards;
// false when no card is there, or none that has a number from 0 to
// HIGHEST_CARD_NUMBER. Only searches: nothing is opened.
bool card_number_at(const CardAddress& address, uint32_t* card_number);

// Control/status register: each line operation is one read-modify-write.
void enable_control_lines();
void program_line_high();
void program_line_low();
int read_done_status();

// Data port: exactly one 8-bit store per call, in call order, once attached
// to the mapping in upload_state.data_window (by open_card, once the mapping
// is found valid) and until detached (by release_card, before the unmap).
void attach_data_port();
void detach_data_port();
void write_config_byte(uint8_t value);
void send_byte_reversed(uint8_t value);
void send_byte_direct(uint8_t value);

// Listing (veltcfg-list): card n as open_card finds it, read without opening
// it and without writing anything to it.
enum class CardState : uint8_t {
    Configured,     // DONE high
    NotConfigured,  // DONE low
    NotAnswering,   // its control/status register reads all ones
    Unknown,        // its control/status register could not be read
    Count           // how many states there are (not a state)
};

struct CardListing {
    PLX_DEVICE_KEY key;       // location and identity, as the search filled them in
    const char* model;        // "RV80-A", or null for a card of no model (by both subsystem IDs)
    bool io_base_read;        // whether the next two were read
    uint32_t io_base;
    uint32_t control_port;
    bool memory_bar_read;     // whether the next one was read
    uint64_t memory_bar;      // BAR 3's address on the bus, not in this process
    CardState state;
    PLX_DEVICE_SURVEY survey; // what stands in a program's way, if anything
};

// False when there is no card `card_number`.
bool list_card(uint32_t card_number, CardListing* listing);

// Whether the host's cards can be listed at all; if not, `why` holds the
// reason as its first hindrance.
bool cards_can_be_listed(PLX_DEVICE_SURVEY* why);
