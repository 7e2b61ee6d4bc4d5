// veltcfg-check [--idcode ID] FILE
//
// Says whether a card would configure from FILE, and why not, without a
// card: it runs the program itself, as veltcfg-sim runs it, on card 0 of the
// simulated host, and listens to what the card's FPGA meets in the stream.
// After the program's own output it tells the packet format, the family
// group, where the sync word is, the IDCODE the stream writes and the device
// it names, each CRC comparison, where the configuration ends and what
// follows it, and the announced length against the actual one; all offsets
// are bytes of the file. With --idcode the card's FPGA is the device with
// that IDCODE, and refuses a stream written for another.
//
// Exit status: 0 when a card would configure, 1 when it would not, 2 for
// wrong arguments or a file that cannot be read.
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "app/driver.h"
#include "app/platform.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "configfile/config_file.h"
#include "common/terminal_text.h"
#include "tools/fpga_devices.h"
#include "card/plx/sim/host_description.h"

namespace {

enum ExitStatus { CONFIGURES = 0, DOES_NOT_CONFIGURE = 1, CANNOT_CHECK = 2 };

// What the FPGA met in the stream, each place an offset in the stream.
struct StreamReport : sim::StreamListener {
    struct Compare {
        unsigned word_bytes;
        sim::CrcCheck check;
        uint32_t written, computed;
        uint64_t end;
    };
    struct Idcode {
        unsigned word_bytes;
        uint32_t idcode;
        uint64_t end;
    };
    struct End {
        unsigned word_bytes;
        sim::EndCommand command;
        uint64_t end;
    };

    void cycle_started() override
    {
        // The program pulses the program line with the file standing at its
        // first configuration byte.
        data_offset = static_cast<uint64_t>(ftello(upload_state.config_file));
    }
    void synced(unsigned word_bytes, uint64_t end) override
    {
        // Where AA 99 55 66, or AA 99, starts.
        sync_at[word_bytes == 4] = end - word_bytes;
        synced_in[word_bytes == 4] = true;
    }
    void idcode_written(unsigned word_bytes, uint32_t idcode, uint64_t end) override
    {
        idcodes.push_back({word_bytes, idcode, end});
    }
    void crc_compared(unsigned word_bytes, sim::CrcCheck check, uint32_t written,
                      uint32_t computed, uint64_t end) override
    {
        compares.push_back({word_bytes, check, written, computed, end});
    }
    void configuration_ended(unsigned word_bytes, sim::EndCommand command, uint64_t end) override
    {
        ends.push_back({word_bytes, command, end});
    }

    uint64_t data_offset = 0;
    bool synced_in[2] = {false, false};  // [1]: 32-bit words
    uint64_t sync_at[2] = {0, 0};
    std::vector<Idcode> idcodes;
    std::vector<Compare> compares;
    std::vector<End> ends;
};

StreamReport stream;
const char* file_name = nullptr;
std::optional<uint32_t> card_idcode;  // --idcode

// An IDCODE and the device it names.
void print_idcode(uint32_t idcode)
{
    const FpgaDevice* device = device_of_idcode(idcode);
    std::printf("0x%08X ", idcode);
    if (device == nullptr) {
        std::printf("(a device not in the table)");
    } else {
        std::printf("(%s, %s)", device->name, device->family);
    }
}

// The device a .BIT file's header names in its part field, if the table
// knows it.
const FpgaDevice* device_of_header()
{
    if (upload_state.byte_sender != send_byte_reversed) {
        return nullptr;  // a PROM image has no header
    }
    char part[256];
    FILE* file = std::fopen(file_name, "rb");
    const bool read = file != nullptr && read_bit_header_field(file, 1, part, sizeof part);
    if (file != nullptr) {
        std::fclose(file);
    }
    return read ? device_of_part(part) : nullptr;
}

// The IDCODE lines: each one written, and a note when a .BIT header's part
// names another device. A card goes by the IDCODE.
void print_idcodes(unsigned word_bytes)
{
    bool written = false;
    for (const StreamReport::Idcode& id : stream.idcodes) {
        if (id.word_bytes != word_bytes) {
            continue;
        }
        written = true;
        std::printf("IDCODE:               ");
        print_idcode(id.idcode);
        std::printf(" at byte %llu\n",
                    static_cast<unsigned long long>(stream.data_offset + id.end - 4));
        const FpgaDevice* named = device_of_header();
        if (named != nullptr && named != device_of_idcode(id.idcode)) {
            std::printf("Note:                 the header names the %s; the card goes by the "
                        "IDCODE\n",
                        named->name);
        }
    }
    if (!written) {
        std::printf("IDCODE:               none written\n");
    }
}

uint64_t file_size()
{
    FILE* file = std::fopen(file_name, "rb");
    if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const off_t size = ftello(file);
    std::fclose(file);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

// Hexadecimal digits of the CRC values a group compares.
int crc_digits(sim::FamilyGroup group)
{
    const uint32_t bits = sim::compared_crc_bits(group);
    return bits > 0xFFFFFF ? 8 : bits > 0xFFFF ? 6 : 4;
}

const char* end_command_name(sim::EndCommand command)
{
    return command == sim::EndCommand::Start ? "START" : "DESYNC";
}

// The lines on the stream, for the packet format the FPGA followed.
void print_stream(const sim::Fpga& fpga, unsigned word_bytes)
{
    const uint64_t base = stream.data_offset;
    const sim::FamilyGroup group = fpga.group();
    const int digits = crc_digits(group);
    std::printf("Packet format:        %u-bit words\n", word_bytes * 8);
    std::printf("Family group:         %s\n", sim::family_group_name(group));
    std::printf("Sync word:            at byte %llu\n",
                static_cast<unsigned long long>(base + stream.sync_at[word_bytes == 4]));
    print_idcodes(word_bytes);
    for (const StreamReport::Compare& c : stream.compares) {
        if (c.word_bytes == word_bytes) {
            std::printf("CRC check:            %s at byte %llu: written 0x%0*X, computed 0x%0*X, %s\n",
                        c.check == sim::CrcCheck::AutoCrc ? "AutoCRC" : "CRC write",
                        static_cast<unsigned long long>(base + c.end - 4), digits, c.written,
                        digits, c.computed, c.written == c.computed ? "match" : "MISMATCH");
        }
    }
    for (const StreamReport::End& e : stream.ends) {
        if (e.word_bytes == word_bytes && fpga.state() == sim::Fpga::State::Done) {
            std::printf("End of configuration: %s at byte %llu", end_command_name(e.command),
                        static_cast<unsigned long long>(base + e.end - word_bytes));
            if (e.end != fpga.done_at_byte()) {
                std::printf(", then the CRC check after it");
            }
            std::printf("; %llu bytes follow it\n",
                        static_cast<unsigned long long>(file_size() - base - fpga.done_at_byte()));
        }
    }
}

// Why a card would not configure, as the FPGA saw the stream.
void print_reason(const sim::Fpga& fpga, unsigned word_bytes)
{
    if (word_bytes == 0) {
        std::printf("the configuration data holds no sync word");
    } else if (fpga.state() == sim::Fpga::State::IdError) {
        std::printf("the stream is written for IDCODE ");
        print_idcode(stream.idcodes.back().idcode);
        std::printf(", and the card's FPGA has IDCODE ");
        print_idcode(*card_idcode);
        std::printf("; the FPGA would stop in its ID error");
    } else if (fpga.state() == sim::Fpga::State::CrcError) {
        const StreamReport::Compare& bad = stream.compares.back();
        const int digits = crc_digits(fpga.group());
        std::printf("the CRC written at byte %llu (0x%0*X) does not match the one computed over "
                    "the stream (0x%0*X); the FPGA would not start up",
                    static_cast<unsigned long long>(stream.data_offset + bad.end - 4), digits,
                    bad.written, digits, bad.computed);
    } else if (fpga.state() != sim::Fpga::State::Done) {
        std::printf("the stream has no %s command; the FPGA would not finish its configuration",
                    fpga.group() == sim::FamilyGroup::Virtex ? "START" : "DESYNC");
    } else {
        std::printf("the FPGA configured, but the card did not report DONE");
    }
}

// Reports on the run that ended with `status`, and ends the process with
// the verdict.
[[noreturn]] void report(int status)
{
    sim::Fpga& fpga = sim::host().card(0).fpga();
    if (fpga.state() == sim::Fpga::State::Idle) {
        // Refused before a configuration cycle began.
        std::printf("\n\nA card would not configure: veltcfg does not take the file (it ends "
                    "with status %d).\n",
                    status);
        std::exit(DOES_NOT_CONFIGURE);
    }
    // The packet format the FPGA followed, or else the one whose sync word
    // it found.
    const unsigned word_bytes = fpga.word_bytes() != 0 ? fpga.word_bytes()
                                : stream.synced_in[1]  ? 4
                                : stream.synced_in[0]  ? 2
                                                       : 0;
    std::printf("\n\n");
    if (word_bytes == 0) {
        std::printf("Sync word:            none\n");
    } else {
        print_stream(fpga, word_bytes);
    }
    const uint64_t present = file_size() - stream.data_offset;
    std::printf("Length:               %lu bytes announced, %llu bytes present\n",
                static_cast<unsigned long>(upload_state.config_length),
                static_cast<unsigned long long>(present));
    if (status == 0) {
        std::printf("\nA card would configure.\n");
        std::exit(CONFIGURES);
    }
    std::printf("\nA card would not configure: ");
    print_reason(fpga, word_bytes);
    std::printf(" (veltcfg ends with status %d)\n", status);
    std::exit(DOES_NOT_CONFIGURE);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: veltcfg-check [--idcode ID] FILE\n");
    std::exit(CANNOT_CHECK);
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that stops reading (veltcfg-check FILE | head) must not
    // change the verdict into a signal.
    ignore_broken_pipes();
    int first = 1;
    if (argc == 4 && std::strcmp(argv[1], "--idcode") == 0) {
        uint32_t idcode = 0;
        if (!sim::read_number(argv[2], 0xFFFFFFFF, &idcode)) {
            std::fputs("veltcfg-check: not an IDCODE: ", stderr);
            put_terminal_text(stderr, argv[2]);
            std::fputs(" (a 32-bit number, decimal or 0x-hex)\n", stderr);
            return CANNOT_CHECK;
        }
        card_idcode = idcode;
        first = 3;
    } else if (argc != 2) {
        usage();
    }
    file_name = argv[first];
    // A file that opens but cannot be read (a folder, say) cannot be checked;
    // an empty one can, and is refused as the program refuses it.
    FILE* file = std::fopen(file_name, "rb");
    if (file == nullptr || (std::fgetc(file) == EOF && std::ferror(file))) {
        const int error = errno;
        std::fputs("veltcfg-check: cannot read ", stderr);
        put_terminal_text(stderr, file_name);
        std::fprintf(stderr, ": %s\n", std::strerror(error));
        return CANNOT_CHECK;
    }
    std::fclose(file);

    // Card 0 of the simulated host, its FPGA the device --idcode names.
    put_terminal_text(stdout, file_name);
    sim::CardSettings card0 = sim::host().card(0).settings();
    card0.fpga.idcode = card_idcode;
    sim::Host host;
    host.add_card(card0).fpga().set_listener(&stream);
    sim::host() = std::move(host);
    on_failed_run = report;
    char card[] = "0";
    char* program_arguments[] = {argv[0], argv[first], card, nullptr};
    run_upload_tool(3, program_arguments);
    report(0);
}
