#include "card/plx/sim/host_description.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/terminal_text.h"

namespace sim {

namespace {

// The keys that take a number: the highest it may be, and where it goes.
struct NumberKey {
    const char* key;
    uint32_t highest;
    void (*set)(CardSettings* card, uint32_t value);
};

const NumberKey NUMBER_KEYS[] = {
    {"bus", 255, [](CardSettings* card, uint32_t n) { card->bus = static_cast<uint8_t>(n); }},
    {"slot", 31, [](CardSettings* card, uint32_t n) { card->slot = static_cast<uint8_t>(n); }},
    {"function", 7,
     [](CardSettings* card, uint32_t n) { card->function = static_cast<uint8_t>(n); }},
    {"subsystem", 0xFFFF,
     [](CardSettings* card, uint32_t n) { card->subsystem_device_id = static_cast<uint16_t>(n); }},
    {"io", 0xFFFC, [](CardSettings* card, uint32_t n) { card->io_register = n | 1; }},  // I/O BAR
    {"idcode", 0xFFFFFFFF, [](CardSettings* card, uint32_t n) { card->fpga.idcode = n; }},
    {"done-holds", 0xFFFFFFFF, [](CardSettings* card, uint32_t n) { card->fpga.done_holds = n; }},
};

const struct {
    const char* name;
    CardFault fault;
} FAULTS[] = {{"none", CardFault::None}, {"open", CardFault::Open},     {"map", CardFault::Map},
              {"busy", CardFault::Busy}, {"no-done", CardFault::NoDone}, {"gone", CardFault::Gone},
              {"in-use", CardFault::InUse}, {"not-answering", CardFault::NotAnswering}};

// Whether the FPGA reads DONE at power-up: bit 1 of the control/status
// register the card starts with.
bool take_configured(const std::string& value, CardSettings* card)
{
    if (value != "yes" && value != "no") {
        return false;
    }
    card->control = value == "yes" ? card->control | DONE_STATUS_BIT
                                   : card->control & ~DONE_STATUS_BIT;
    return true;
}

// What is wrong with one key=value item, or "" when it is taken into *card.
std::string take_item(const std::string& item, CardSettings* card)
{
    const size_t equals = item.find('=');
    if (equals == std::string::npos) {
        return "\"" + item + "\": not key=value";
    }
    const std::string key = item.substr(0, equals);
    const std::string value = item.substr(equals + 1);
    if (key == "fault") {
        const auto known = std::find_if(std::begin(FAULTS), std::end(FAULTS),
                                        [&value](const auto& f) { return value == f.name; });
        if (known == std::end(FAULTS)) {
            return "\"" + item +
                   "\": unknown fault (none, open, map, busy, no-done, gone, in-use, not-answering)";
        }
        card->fault = known->fault;
        return "";
    }
    if (key == "configured") {
        return take_configured(value, card) ? ""
                                             : "\"" + item + "\": configured must be yes or no";
    }
    const auto number = std::find_if(std::begin(NUMBER_KEYS), std::end(NUMBER_KEYS),
                                     [&key](const NumberKey& n) { return key == n.key; });
    if (number == std::end(NUMBER_KEYS)) {
        return "\"" + item +
               "\": unknown key (bus, slot, function, subsystem, io, idcode, done-holds, configured, "
               "fault)";
    }
    uint32_t n = 0;
    if (!read_number(value, number->highest, &n) || (key == "io" && n % 4 != 0)) {
        char range[64];
        std::snprintf(range, sizeof range, number->highest > 255 ? "0 to 0x%X" : "0 to %u",
                      number->highest);
        return "\"" + item + "\": " + key + " must be a number from " + range +
               (key == "io" ? ", a multiple of 4" : "");
    }
    number->set(card, n);
    return "";
}

// One card's items; "" when they make a card, else what is wrong.
std::string describe_card(const std::string& text, CardSettings* card)
{
    std::vector<std::string> seen;
    size_t at = 0;
    while ((at = text.find_first_not_of(" ,\t", at)) != std::string::npos) {
        const size_t end = std::min(text.find_first_of(" ,\t", at), text.size());
        const std::string item = text.substr(at, end - at);
        at = end;
        const std::string key = item.substr(0, item.find('='));
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            return "\"" + item + "\": " + key + " given twice";
        }
        seen.push_back(key);
        const std::string problem = take_item(item, card);
        if (!problem.empty()) {
            return problem;
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
        CardSettings card;
        std::string problem = describe_card(item, &card);
        if (problem.empty() && described.at_location(card.bus, card.slot, card.function) != nullptr) {
            problem = "a second card at the same bus, slot and function";
        }
        if (!problem.empty()) {
            *error = "card " + std::to_string(number) + ": " + problem;
            return false;
        }
        described.add_card(card);
        ++number;
    }
    if (described.card_count() == 0) {
        *error = "card 1: nothing described";
        return false;
    }
    *host = std::move(described);
    return true;
}

void describe_host_from_environment(const char* program)
{
    const char* text = std::getenv("VELTCFG_SIM_HOST");
    if (text == nullptr || *text == '\0') {
        return;
    }
    std::string error;
    if (!describe_host(text, &host(), &error)) {
        std::fprintf(stderr, "%s: VELTCFG_SIM_HOST cannot be read: ", program);
        put_terminal_text(stderr, error.c_str());
        std::fputc('\n', stderr);
        std::exit(2);
    }
}

void use_simulated_host(const char* program)
{
    describe_host_from_environment(program);
    plx_backend = &plx_sim_backend;
}

}  // namespace sim
