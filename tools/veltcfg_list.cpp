// veltcfg-list [--simulated] [--json]
//
// Lists the PCI9056 cards, one line per card, numbered as veltcfg numbers
// them (the card layer's own search, list_card in card/): the PCI address
// (first, for veltcfg's card argument), the number, the model (or a word
// that the card is none of ours), the subsystem IDs, the I/O base and control port, BAR 3's bus
// address, the path veltcfg would take to the card (its sysfs files, or
// VFIO for a card bound to vfio-pci), whether the FPGA is configured (DONE,
// read from the control register, which is never written), and whatever
// keeps veltcfg from the card; under the kernel's lockdown, what the VFIO
// path lacks. With --simulated, the cards of the simulated host as veltcfg-sim
// numbers them; with --json, one JSON document (schema 2), which names the
// host and the program's version, so that the listings of a fleet can be
// told apart.
//
// Exit status: 0 when the cards were listed (none included), 1 when they
// could not be (the host's PCI devices unreadable, or the listing could not
// be written), 2 for wrong arguments.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "app/driver.h"
#include "card/card.h"
#include "card/plx/sim/host_description.h"
#include "common/hex_text.h"
#include "common/terminal_text.h"

#ifdef VELTCFG_WITH_JSON
#include <nlohmann/json.hpp>
#endif

namespace {

enum ExitStatus { LISTED = 0, NOT_LISTED = 1, WRONG_ARGUMENTS = 2 };

constexpr int SCHEMA = 2;  // raised when a key changes meaning or goes

const char* const USAGE = "usage: veltcfg-list [--simulated] [--json]\n";

// One value of an enum as JSON names it (`key`) and as the listing line says
// it (`words`).
template <typename Kind>
struct Named {
    Kind kind;
    const char* key;
    const char* words;
};

constexpr Named<PLX_HINDRANCE_KIND> HINDRANCES[] = {
    {PLX_HINDRANCE_NOT_PERMITTED, "not_permitted", "not permitted"},
    {PLX_HINDRANCE_LOCKDOWN, "lockdown", "lockdown"},
    {PLX_HINDRANCE_OTHER_DRIVER, "driver", "driver"},
    {PLX_HINDRANCE_DECODING_OFF, "decoding_off", "decoding off"},
    {PLX_HINDRANCE_IN_USE, "in_use", "in use"},
    {PLX_HINDRANCE_NO_DATA_WINDOW, "no_data_window", "no data window"},
    {PLX_HINDRANCE_UNREADABLE, "unreadable", "unreadable"},
};

constexpr Named<CardState> STATES[] = {
    {CardState::Configured, "configured", "configured"},
    {CardState::NotConfigured, "not_configured", "not configured"},
    {CardState::NotAnswering, "not_answering", "not answering"},
    {CardState::Unknown, "unknown", "unknown"},
};

// Whether `table` names each of the enum's `count` values once, in the
// enum's order (a value is its row's index), and no two rows share a key or
// words.
template <typename Kind, size_t N>
constexpr bool names_each_once(const Named<Kind> (&table)[N], size_t count)
{
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (std::string_view(table[i].key) == table[j].key ||
                std::string_view(table[i].words) == table[j].words) {
                return false;
            }
        }
        if (static_cast<size_t>(table[i].kind) != i) {
            return false;
        }
    }
    return N == count;
}
static_assert(names_each_once(HINDRANCES, PLX_HINDRANCE_KINDS));
static_assert(names_each_once(STATES, static_cast<size_t>(CardState::Count)));

// The cards veltcfg can number, and whether more follow them.
std::vector<CardListing> all_cards(bool* more)
{
    std::vector<CardListing> cards;
    CardListing card;
    while (cards.size() <= HIGHEST_CARD_NUMBER &&
           list_card(static_cast<uint32_t>(cards.size()), &card)) {
        cards.push_back(card);
    }
    *more = cards.size() > HIGHEST_CARD_NUMBER && list_card(HIGHEST_CARD_NUMBER + 1, &card);
    return cards;
}

void print_lines(const std::vector<CardListing>& cards, bool more)
{
    if (cards.empty()) {
        std::printf("No PCI9056 card found.\n");
        return;
    }
    std::printf("%-13s %-5s %-8s %-10s %-7s %-8s %-11s %-9s %s\n", "ADDRESS", "CARD", "MODEL",
                "SUBSYSTEM", "I/O", "CONTROL", "MEMORY", "PATH", "STATE");
    for (size_t n = 0; n < cards.size(); ++n) {
        const CardListing& card = cards[n];
        const std::string subsystem =
            hex_text(card.key.subsystem_vendor_id, 4, false).substr(2) + ":" +
            hex_text(card.key.subsystem_device_id, 4, false).substr(2);
        std::printf("%-13s %-5zu %-8s %-10s %-7s %-8s %-11s %-9s %s",
                    pci_address(card.key).c_str(), n, card.model ? card.model : "unknown",
                    subsystem.c_str(), card.io_base_read ? hex_text(card.io_base, 4).c_str() : "-",
                    card.io_base_read ? hex_text(card.control_port, 4).c_str() : "-",
                    card.memory_bar_read ? hex_text(card.memory_bar, 8).c_str() : "-",
                    card.survey.path, STATES[static_cast<int>(card.state)].words);
        if (card.model == nullptr) {
            std::printf("; unknown model: not an RV80 card, but numbered all the same");
        }
        bool locked_down = false;
        for (uint32_t i = 0; i < card.survey.hindrance_count; ++i) {
            const PLX_HINDRANCE& hindrance = card.survey.hindrances[i];
            locked_down |= hindrance.kind == PLX_HINDRANCE_LOCKDOWN;
            std::printf("; %s: ", HINDRANCES[hindrance.kind].words);
            put_terminal_text(stdout, hindrance.detail);
        }
        // The VFIO path is the way past the lockdown.
        for (uint32_t i = 0; locked_down && i < card.survey.vfio_missing_count; ++i) {
            std::printf("; VFIO lacks: ");
            put_terminal_text(stdout, card.survey.vfio_missing[i]);
        }
        std::printf("\n");
    }
    if (more) {
        std::printf("More cards follow card %u; veltcfg takes card numbers 0 to %u.\n",
                    HIGHEST_CARD_NUMBER, HIGHEST_CARD_NUMBER);
    }
}

#ifdef VELTCFG_WITH_JSON
// Nothing stands in veltcfg's way, and the card answers.
bool reachable(const CardListing& card)
{
    return card.survey.hindrance_count == 0 &&
           (card.state == CardState::Configured || card.state == CardState::NotConfigured);
}

void print_json(const std::vector<CardListing>& cards, bool more, bool simulated)
{
    using nlohmann::ordered_json;
    ordered_json listed = ordered_json::array();
    for (size_t n = 0; n < cards.size(); ++n) {
        const CardListing& card = cards[n];
        ordered_json hindrances = ordered_json::array();
        for (uint32_t i = 0; i < card.survey.hindrance_count; ++i) {
            const PLX_HINDRANCE& hindrance = card.survey.hindrances[i];
            hindrances.push_back(
                {{"kind", HINDRANCES[hindrance.kind].key}, {"detail", hindrance.detail}});
        }
        ordered_json vfio_missing = ordered_json::array();
        for (uint32_t i = 0; i < card.survey.vfio_missing_count; ++i) {
            vfio_missing.push_back(card.survey.vfio_missing[i]);
        }
        const bool held = card.survey.holder_pid > 0;
        listed.push_back({
            {"card", n},
            {"address", pci_address(card.key)},
            {"model", card.model ? ordered_json(card.model) : ordered_json()},
            {"subsystem_vendor", hex_text(card.key.subsystem_vendor_id, 4, false)},
            {"subsystem_device", hex_text(card.key.subsystem_device_id, 4, false)},
            {"io_base",
             card.io_base_read ? ordered_json(hex_text(card.io_base, 4)) : ordered_json()},
            {"control_port",
             card.io_base_read ? ordered_json(hex_text(card.control_port, 4)) : ordered_json()},
            {"memory_bar",
             card.memory_bar_read ? ordered_json(hex_text(card.memory_bar, 8)) : ordered_json()},
            {"path", card.survey.path},
            {"state", STATES[static_cast<int>(card.state)].key},
            {"reachable", reachable(card)},
            {"holder_pid", held ? ordered_json(card.survey.holder_pid) : ordered_json()},
            {"hindrances", hindrances},
            {"vfio_missing", vfio_missing},
        });
    }
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    const ordered_json document = {{"schema", SCHEMA},
                                   {"host", host},
                                   {"version", VELTCFG_VERSION},
                                   {"simulated", simulated},
                                   {"cards", listed},
                                   {"more_cards", more}};
    // Details are text from files and the system: shown as UTF-8 where they
    // are, escaped where they are not.
    const std::string text = document.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}
#endif

void print_help()
{
    std::printf("%s", USAGE);
    std::printf(
        "Lists the PCI9056 cards: address and number (veltcfg takes either as its\n"
        "card), model, subsystem IDs, I/O base and control port, BAR 3's bus address,\n"
        "the path veltcfg would take (sysfs, or vfio for a card bound to vfio-pci),\n"
        "whether the FPGA is configured (DONE), and what keeps veltcfg from a card.\n"
        "It only reads: it writes nothing to a card and waits for none.\n"
        "\n"
        "  --simulated  the cards of the simulated host (VELTCFG_SIM_HOST), as\n"
        "               veltcfg-sim numbers them\n"
        "  --json       one JSON document (schema %d), for scripts\n"
        "  --help       this text\n"
        "  --version    the program's version\n"
        "\n"
        "Exit status: 0 listed (no card included), 1 the cards could not be listed,\n"
        "2 wrong arguments. See veltcfg(1).\n",
        SCHEMA);
}

}  // namespace

int main(int argc, char** argv)
{
    bool json = false, simulated = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            print_help();
            return std::fflush(stdout) == 0 ? LISTED : NOT_LISTED;
        } else if (option == "--version") {
            std::printf("veltcfg-list %s\n", VELTCFG_VERSION);
            return std::fflush(stdout) == 0 ? LISTED : NOT_LISTED;
        } else if (option == "--json") {
            json = true;
        } else if (option == "--simulated") {
            simulated = true;
        } else {
            std::fputs("veltcfg-list: unknown argument: ", stderr);
            put_terminal_text(stderr, argv[i]);
            std::fprintf(stderr, "\n%s", USAGE);
            return WRONG_ARGUMENTS;
        }
    }
#ifndef VELTCFG_WITH_JSON
    if (json) {
        std::fputs("veltcfg-list: --json is not in this build: it needs nlohmann-json "
                   "(Debian: nlohmann-json3-dev) when configuring\n",
                   stderr);
        return WRONG_ARGUMENTS;
    }
#endif
    if (simulated) {
        sim::use_simulated_host("veltcfg-list");
    }
    PLX_DEVICE_SURVEY why;
    if (!cards_can_be_listed(&why)) {
        std::fputs("veltcfg-list: the PCI devices cannot be listed: ", stderr);
        put_terminal_text(stderr, why.hindrance_count > 0 ? why.hindrances[0].detail : "");
        std::fputc('\n', stderr);
        return NOT_LISTED;
    }
    bool more = false;
    const std::vector<CardListing> cards = all_cards(&more);
#ifdef VELTCFG_WITH_JSON
    if (json) {
        print_json(cards, more, simulated);
    } else
#endif
    {
        print_lines(cards, more);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "veltcfg-list: the listing could not be written: %s\n",
                     std::strerror(errno));
        return NOT_LISTED;
    }
    return LISTED;
}
