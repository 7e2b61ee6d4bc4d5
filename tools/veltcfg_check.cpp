// veltcfg-check FILE
//
// Says whether a card would configure from FILE, and why not, without a
// card: the file goes through the program's own recognition (the same
// report), and its configuration bytes, as the program would send them,
// through the simulated card and its FPGA, which reads the packets, checks
// the stream's CRC and waits for DESYNC. It then tells the packet format,
// where the sync word is, each CRC comparison, where DESYNC is and what
// follows it, and the announced length against the actual one.
//
// Exit status: 0 when a card would configure, 1 when it would not, 2 for a
// wrong number of arguments or a file that cannot be read.
//
// The recognition ends a run through fatal_exit and sends bytes through the
// data-port store; this program supplies both, in place of the card program's.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "card/plx/plx_api.h"
#include "configfile/config_file.h"
#include "configfile/terminal_text.h"
#include "sim_host.h"

namespace {

enum ExitStatus { CONFIGURES = 0, DOES_NOT_CONFIGURE = 1, CANNOT_CHECK = 2 };

// Control/status register bits: the control-line enables, the program line.
enum : uint32_t { CONTROL_ENABLES = 0x000C0000, PROGRAM_LINE = 0x00010000 };

// What the FPGA's packet parsers met, with where in the stream (offsets from
// the first configuration byte).
struct Seen : sim::StreamEvents {
    struct Compare {
        uint64_t at;
        uint32_t written;
        uint32_t computed;
    };

    void synced(unsigned word_bytes, uint64_t end) override
    {
        // The sync word ends there: AA 99 55 66, or AA 99.
        sync_at[word_bytes == 4] = end - (word_bytes == 4 ? 4 : 2);
        synced_in[word_bytes == 4] = true;
    }
    void crc_compared(uint32_t written, uint32_t computed, uint64_t end) override
    {
        compares.push_back({end - 4, written, computed});
    }
    void desynced(unsigned word_bytes, uint64_t end) override
    {
        desync_end[word_bytes == 4] = end;
    }

    bool synced_in[2] = {false, false};  // [1]: 32-bit words
    uint64_t sync_at[2] = {0, 0};
    uint64_t desync_end[2] = {0, 0};
    std::vector<Compare> compares;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: veltcfg-check FILE\n");
    std::exit(CANNOT_CHECK);
}

}  // namespace

// The recognition refuses the file: the card program would end here with
// this message and exit_code, before touching a card.
void fatal_exit(int exit_code, const char* format, ...)
{
    std::fflush(stdout);
    std::printf("\n\nA card would not configure: ");
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::printf(" (veltcfg ends with status %d)\n", exit_code);
    std::exit(DOES_NOT_CONFIGURE);
}

// Every byte the senders store goes to the simulated card's data port.
void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    sim::data_port_write(port, value);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        usage();
    }
    // A file that opens but cannot be read (a folder, say) cannot be checked;
    // an empty one can, and is refused as the program refuses it.
    FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr || (std::fgetc(file) == EOF && std::ferror(file))) {
        std::fprintf(stderr, "veltcfg-check: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return CANNOT_CHECK;
    }
    std::rewind(file);
    std::setvbuf(file, nullptr, _IONBF, 0);
    upload_state.config_file = file;

    put_terminal_text(stdout, argv[1]);
    identify_config_file();  // the program's report, or its refusal

    // A card of the simulated host, its program line pulsed as the upload
    // does, its memory cleared.
    sim::Card card(sim::CardIdentity(), sim::CardFault::None);
    card.mappings = 1;
    upload_state.data_window = card.data_port();
    attach_data_port();
    Seen seen;
    card.fpga().tell(&seen);
    card.write_control(CONTROL_ENABLES);
    card.write_control(CONTROL_ENABLES | PROGRAM_LINE);
    usleep(static_cast<useconds_t>(2 * sim::Fpga::CLEAR_TIME.count()));

    uint64_t sent = 0;
    size_t count;
    while ((count = std::fread(upload_state.transfer_buffer, 1,
                               sizeof upload_state.transfer_buffer, file)) > 0) {
        for (size_t i = 0; i < count; ++i) {
            upload_state.byte_sender(upload_state.transfer_buffer[i]);
        }
        sent += count;
    }
    if (std::ferror(file)) {
        std::printf("\n\nThe file cannot be read to its end: %s\n", std::strerror(errno));
        return CANNOT_CHECK;
    }

    const sim::Fpga& fpga = card.fpga();
    const bool done = fpga.state() == sim::Fpga::State::Done;
    const bool crc_error = fpga.state() == sim::Fpga::State::CrcError;
    // Which format the stream is in: the one whose DESYNC ended it, or
    // whose CRC was checked; else the one that found a sync word.
    const bool words32 = done ? fpga.completed_by() == 32
                              : crc_error || !seen.compares.empty() || seen.synced_in[1];
    const int format = words32 ? 1 : 0;

    std::printf("\n");
    if (!seen.synced_in[format]) {
        std::printf("Sync word:            none\n");
        std::printf("\nA card would not configure: the configuration data holds no sync word.\n");
        return DOES_NOT_CONFIGURE;
    }
    std::printf("Packet format:        %s\n",
                !words32                          ? "16-bit words"
                : seen.compares.empty() && !crc_error
                    ? "32-bit words; CRC not checked (no bus width detection before the sync word)"
                    : "32-bit words; CRC checked");
    std::printf("Sync word:            at byte %llu of the configuration data\n",
                static_cast<unsigned long long>(seen.sync_at[format]));
    for (const Seen::Compare& compare : seen.compares) {
        std::printf("CRC check:            at byte %llu: written 0x%08X, computed 0x%08X, %s\n",
                    static_cast<unsigned long long>(compare.at), compare.written, compare.computed,
                    compare.written == compare.computed ? "match" : "MISMATCH");
    }
    if (done) {
        const uint64_t end = seen.desync_end[format];
        std::printf("DESYNC:               ends at byte %llu; %llu bytes follow it\n",
                    static_cast<unsigned long long>(end),
                    static_cast<unsigned long long>(sent - end));
    } else if (!crc_error) {
        std::printf("DESYNC:               none\n");
    }
    std::printf("Length:               %lu bytes announced, %llu bytes present\n",
                static_cast<unsigned long>(upload_state.config_length),
                static_cast<unsigned long long>(sent));

    if (crc_error) {
        const Seen::Compare& bad = seen.compares.back();
        std::printf("\nA card would not configure: the CRC written at byte %llu (0x%08X) does not "
                    "match the one computed over the stream (0x%08X); the FPGA would not start "
                    "up (veltcfg ends with status 102)\n",
                    static_cast<unsigned long long>(bad.at), bad.written, bad.computed);
        return DOES_NOT_CONFIGURE;
    }
    if (!done) {
        std::printf("\nA card would not configure: the stream has no DESYNC command; the FPGA "
                    "would not finish its configuration (veltcfg ends with status 102)\n");
        return DOES_NOT_CONFIGURE;
    }
    std::printf("\nA card would configure.\n");
    return CONFIGURES;
}
