#include "app/driver.h"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/platform.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "configfile/config_file.h"
#include "common/terminal_text.h"
#include "upload/upload.h"

void (*on_failed_run)(int exit_code) = nullptr;

namespace {

// Whether nothing but white space is left from p on.
bool only_space_follows(const unsigned char* p)
{
    while (std::isspace(*p)) {
        ++p;
    }
    return *p == '\0';
}

// The card number as "%u" reads it: leading white space, an optional sign,
// then digits. Unlike "%u", anything but white space after the digits, a
// value that does not fit in 32 bits, or a minus sign before anything but
// zero, is refused instead of naming another card than the one meant.
bool parse_card_number(const char* text, uint32_t* number)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (!std::isdigit(*p)) {
        return false;
    }
    uint64_t value = 0;
    for (; std::isdigit(*p); ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) {
            return false;
        }
    }
    if ((negative && value != 0) || !only_space_follows(p)) {
        return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

// Whether `text` has the shape of `pattern`, with white space after it: each
// 'h' of the pattern stands for a hexadecimal digit, and each other
// character for itself, which ends a field. The fields' values go to
// `fields`, in order.
bool match_hex_fields(const unsigned char* text, const char* pattern, uint32_t* fields)
{
    *fields = 0;
    for (; *pattern != '\0'; ++pattern, ++text) {
        if (*pattern != 'h') {
            if (*text != *pattern) {
                return false;
            }
            *++fields = 0;
        } else if (std::isxdigit(*text)) {
            const int digit = std::isdigit(*text) ? *text - '0' : std::tolower(*text) - 'a' + 10;
            *fields = *fields * 16 + static_cast<uint32_t>(digit);
        } else {
            return false;
        }
    }
    return only_space_follows(text);
}

// A PCI address as lspci writes it, DDDD:BB:SS.F or, in domain 0, BB:SS.F,
// with white space around it.
bool parse_card_address(const char* text, CardAddress* address)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) {
        ++p;
    }
    uint32_t fields[4] = {0, 0, 0, 0};  // domain, bus, slot, function
    if (!match_hex_fields(p, "hhhh:hh:hh.h", fields)) {
        fields[0] = 0;
        if (!match_hex_fields(p, "hh:hh.h", fields + 1)) {
            return false;
        }
    }
    address->domain = static_cast<uint16_t>(fields[0]);
    address->bus = static_cast<uint8_t>(fields[1]);
    address->slot = static_cast<uint8_t>(fields[2]);
    address->function = static_cast<uint8_t>(fields[3]);
    return true;
}

// The card argument: a card number from 0 to 15, or the PCI address of the
// card, which stands for the number the card search gives the card there.
// Only an address needs the search, so a number is checked before any PCI
// access, and an address before the card is opened.
bool parse_card_argument(const char* text, uint32_t* card_number)
{
    CardAddress address;
    if (parse_card_number(text, card_number)) {
        return *card_number <= HIGHEST_CARD_NUMBER;
    }
    return parse_card_address(text, &address) && card_number_at(address, card_number);
}

// Once the card is open, a request to stop (see catch_interrupts) is noted
// instead; the upload stops at the next block and leaves the card as a
// failed run does (see interrupted_exit). Before that, it ends the program
// as it always would.
bool note_interrupt(int request)
{
    if (upload_state.device_open == 0) {
        return false;
    }
    upload_state.interrupt_signal = request;
    return true;
}

// Releases the card and starts a report on standard error with the
// program's heading; the message and a newline follow. With `flush_output`,
// what standard output still holds is written out first, so that a log of
// both streams (`> log 2>&1`) reads in order: the banner and the last count
// before the report. The card is released before that write, which a reader
// that has stopped reading can hold up.
void begin_report(bool flush_output)
{
    release_card();
    if (flush_output) {
        std::fflush(stdout);
    }
    std::fprintf(stderr, "\n\n\a%s:\n", PROGRAM_NAME);
}

// Ends a failed run with exit_code, through on_failed_run where it is set.
[[noreturn]] void end_failed_run(int exit_code)
{
    if (on_failed_run != nullptr) {
        on_failed_run(exit_code);
    }
    std::exit(exit_code);
}

// Ends the report with a newline, and the run with exit_code.
[[noreturn]] void end_report(int exit_code)
{
    std::fputc('\n', stderr);
    end_failed_run(exit_code);
}

// fatal_exit for a message that ends with text the operator typed: the text
// is shown as header text is, so that it cannot act on the terminal.
[[noreturn]] void fatal_exit_showing(int exit_code, const char* message, const char* typed)
{
    begin_report(true);
    std::fputs(message, stderr);
    put_terminal_text(stderr, typed);
    end_report(exit_code);
}

void print_usage()
{
    std::printf("\n%s program usage:\n%s filename.ext card", PROGRAM_NAME, PROGRAM_NAME);
    std::printf("\nWhere:");
    std::printf("\nfilename.ext specifies the name of the configuration file to be loaded.");
    std::printf("\ncard is the number of the PCI card.  (For use with multiple 9056 cards.)");
    std::printf("\nPurpose: 9056 configuration upload.");
    std::printf("\n");
}

void print_banner()
{
    std::printf("\nVELTCFG version 1.0\n");
    std::printf("Orlenta 9056 configuration utility for Windows.\n");
}

}  // namespace

void parse_arguments(int argc, char** argv)
{
    if (argc != 3) {
        print_usage();
        end_failed_run(100);
    }

    upload_state.config_file = std::fopen(argv[1], "rb");
    if (upload_state.config_file == nullptr) {
        fatal_exit_showing(101, "File not found: ", argv[1]);
    }
    // The data is read in 16 KiB blocks straight into transfer_buffer. A
    // stream buffer would only split each block into two reads and a copy;
    // the few small reads of the header do not need one either.
    std::setvbuf(upload_state.config_file, nullptr, _IONBF, 0);

    uint32_t card_number = 0;
    if (!parse_card_argument(argv[2], &card_number)) {
        fatal_exit_showing(101, "Invalid card number: ", argv[2]);
    }

    open_card(card_number);
    identify_config_file();
}

int run_upload_tool(int argc, char** argv)
{
    catch_interrupts(note_interrupt);
    print_banner();
    parse_arguments(argc, argv);
    upload_configuration();
    release_card();
    std::printf("\n\nFunction complete.\n");
    return 0;
}

void fatal_exit(int exit_code, const char* format, ...)
{
    begin_report(true);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    end_report(exit_code);
}

void interrupted_exit()
{
    const int request = upload_state.interrupt_signal;
    // Standard output is not flushed: a reader that has stopped reading
    // would hold the program here. The countdown was flushed block by block.
    begin_report(false);
    std::fputs("Programming interrupted.\n", stderr);
    // End as the request would have ended the program, so that the caller
    // sees it.
    end_as_interrupted(request);
}
