// veltcfg-check [--idcode ID] FILE
//
// Says whether a card would configure from FILE, and why not, without a
// card: it runs the program itself, as veltcfg-sim runs it, on card 0 of the
// simulated host, and listens to what the card's FPGA meets in the stream.
// After the program's own output it tells the packet format, the family
// group and how it was known, where the sync word is, the IDCODE the stream
// writes and the device it names, each CRC check, where the configuration
// ends and what follows it, and the announced length against the actual
// one; all offsets are bytes of the file.
//
// The card's FPGA is the device --idcode names; without it, the device the
// .BIT header's part names, when the device table knows it (its family group
// then, as no IDCODE is there to compare); else the stream tells the group.
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
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/platform.h"
#include "app/upload_state.h"
#include "bitstream/devices.h"
#include "card/plx/sim/host_description.h"
#include "common/terminal_text.h"
#include "configfile/config_file.h"

namespace {

using bitstream::FamilyGroup;

enum ExitStatus { CONFIGURES = 0, DOES_NOT_CONFIGURE = 1, CANNOT_CHECK = 2 };

// What the FPGA met in the stream, each place where the thing ends, in bytes
// from the start of the configuration cycle.
struct StreamFacts : bitstream::StreamListener {
    struct Value {
        uint32_t value;
        uint64_t end;
    };
    struct Check {
        FamilyGroup group;
        bitstream::CrcCheck check;
        uint32_t written, computed;
        bool bypassed, passed;
        uint64_t end;
    };

    void cycle_started() override
    {
        // The program pulses the program line with the file standing at its
        // first configuration byte.
        data_offset = static_cast<uint64_t>(ftello(upload_state.config_file));
    }
    void synced(unsigned word_bytes, unsigned sync_bytes, uint64_t end) override
    {
        if (!sync) {
            sync = Value{sync_bytes, end};
            sync_word_bytes = word_bytes;
        }
    }
    void sync_refused(uint64_t) override
    {
        sync.reset();
        half_sync_refused = true;
    }
    void idcode_written(uint32_t idcode, uint64_t end) override { idcodes.push_back({idcode, end}); }
    void crc_checked(FamilyGroup group, bitstream::CrcCheck check, uint32_t written,
                     uint32_t computed, bool bypassed, bool passed, uint64_t end) override
    {
        checks.push_back({group, check, written, computed, bypassed, passed, end});
    }
    void command(uint32_t code, uint64_t end) override { commands.push_back({code, end}); }

    // Where in the file a thing of `bytes` bytes that ends at `end` starts.
    unsigned long long at(uint64_t end, unsigned bytes) const { return data_offset + end - bytes; }
    const Value* first_command(uint32_t code) const
    {
        for (const Value& c : commands) {
            if (c.value == code) {
                return &c;
            }
        }
        return nullptr;
    }

    uint64_t data_offset = 0;
    std::optional<Value> sync;  // its length in bytes, and its end
    unsigned sync_word_bytes = 0;  // of the packets after it
    bool half_sync_refused = false;
    std::vector<Value> idcodes;
    std::vector<Check> checks;
    std::vector<Value> commands;
};

StreamFacts stream;
const char* file_name = nullptr;
std::optional<uint32_t> card_idcode;           // --idcode
const bitstream::FpgaDevice* header_device = nullptr;  // the device the header's part names

// An IDCODE and the device it names.
void print_idcode(uint32_t idcode)
{
    const bitstream::FpgaDevice* device = bitstream::device_of_idcode(idcode);
    std::printf("0x%08X ", idcode);
    if (device == nullptr) {
        std::printf("(a device not in the table)");
    } else {
        std::printf("(%s, %s)", device->name, device->family->name);
    }
}

uint64_t file_size()
{
    FILE* file = std::fopen(file_name, "rb");
    if (file == nullptr) {
        return 0;
    }
    const bool at_end = fseeko(file, 0, SEEK_END) == 0;
    const off_t size = ftello(file);
    std::fclose(file);
    return !at_end || size < 0 ? 0 : static_cast<uint64_t>(size);
}

void print_group(const sim::Fpga& fpga)
{
    std::printf("Family group:         %s", bitstream::family_group_name(fpga.group()));
    if (fpga.device_group() == FamilyGroup::Unknown) {
        std::printf(" (inferred from the stream, not known from a device)\n");
    } else if (card_idcode && bitstream::device_of_idcode(*card_idcode) != nullptr) {
        std::printf(" (of the device --idcode names)\n");
    } else {
        std::printf(" (of the device the header's part names: %s)\n", header_device->name);
    }
}

// The IDCODE lines: each one written, and a note when a .BIT header's part
// names another device. A card goes by the IDCODE.
void print_idcodes()
{
    for (const StreamFacts::Value& id : stream.idcodes) {
        std::printf("IDCODE:               ");
        print_idcode(id.value);
        std::printf(" at byte %llu%s\n", stream.at(id.end, 4),
                    card_idcode ? "" : "; not compared (no --idcode)");
        const bitstream::FpgaDevice* named = bitstream::device_of_idcode(id.value);
        if (header_device != nullptr && named != nullptr && named != header_device) {
            std::printf("Note:                 the header names the %s; the card goes by the "
                        "IDCODE\n",
                        header_device->name);
        }
    }
    if (stream.idcodes.empty()) {
        std::printf("IDCODE:               none written%s\n",
                    card_idcode ? ": the card's FPGA has none to compare with --idcode" : "");
    }
}

// Hexadecimal digits of the CRC values a group compares.
int crc_digits(FamilyGroup group)
{
    const uint32_t bits = bitstream::rules_of(group)->compared_bits;
    return bits > 0xFFFFFF ? 8 : bits > 0xFFFF ? 6 : 4;
}

void print_checks()
{
    for (const StreamFacts::Check& c : stream.checks) {
        const int digits = crc_digits(c.group);
        std::printf("CRC check:            %s at byte %llu: written 0x%0*X, ",
                    c.check == bitstream::CrcCheck::AutoCrc ? "AutoCRC" : "CRC write",
                    stream.at(c.end, 4), digits, c.written);
        if (c.bypassed) {
            std::printf("the CRC check bypassed\n");
        } else {
            std::printf("computed 0x%0*X, %s\n", digits, c.computed, c.passed ? "match" : "MISMATCH");
        }
    }
}

void print_end(const sim::Fpga& fpga, unsigned word_bytes)
{
    if (fpga.done_at_byte() == 0) {
        return;
    }
    const bool at_start = fpga.rules().end == bitstream::EndCommand::Start;
    const StreamFacts::Value* start = stream.first_command(bitstream::START_COMMAND);
    const uint64_t end = at_start && start != nullptr ? start->end : fpga.done_at_byte();
    std::printf("End of configuration: %s at byte %llu", at_start ? "START" : "DESYNC",
                stream.at(end, word_bytes));
    if (end != fpga.done_at_byte()) {
        std::printf(", then the CRC check after it");
    }
    std::printf("; %llu bytes follow it",
                static_cast<unsigned long long>(file_size() - stream.data_offset -
                                                fpga.done_at_byte()));
    if (!at_start) {
        std::printf(", of which the start-up needs %u", fpga.startup_bytes());
    }
    std::printf("\n");
}

void print_length()
{
    const uint64_t present = file_size() - stream.data_offset;
    const uint32_t announced = upload_state.config_length;
    std::printf("Length:               %lu bytes announced, %llu bytes present",
                static_cast<unsigned long>(announced), static_cast<unsigned long long>(present));
    if (present < announced) {
        std::printf("; the file ends %llu bytes before the length its header announces",
                    static_cast<unsigned long long>(announced - present));
    }
    std::printf("\n");
}

// Why a card would not configure, as the FPGA saw the stream.
void print_reason(const sim::Fpga& fpga, unsigned word_bytes)
{
    using State = sim::Fpga::State;
    const bitstream::FamilyRules& rules = fpga.rules();
    const StreamFacts::Value* desync = stream.first_command(bitstream::DESYNC_COMMAND);
    if (word_bytes == 0 || !stream.sync) {
        std::printf("the configuration data holds no sync word the FPGA takes%s",
                    stream.half_sync_refused ? " (a Spartan-6 needs all of AA 99 55 66)" : "");
    } else if (fpga.state() == State::IdError) {
        std::printf("the stream is written for IDCODE ");
        print_idcode(stream.idcodes.back().value);
        std::printf(", and the card's FPGA has IDCODE ");
        print_idcode(*card_idcode);
        std::printf("; the FPGA would stop in its ID error");
    } else if (fpga.state() == State::CrcError) {
        const StreamFacts::Check& bad = stream.checks.back();
        const int digits = crc_digits(bad.group);
        std::printf("the CRC written at byte %llu (0x%0*X) does not match the one computed over "
                    "the stream (0x%0*X); the FPGA would not start up",
                    stream.at(bad.end, 4), digits, bad.written, digits, bad.computed);
    } else if (fpga.state() == State::StartingUp) {
        std::printf("the file ends %llu bytes after DESYNC, and the FPGA needs %u before DONE "
                    "rises (veltcfg checks DONE before its 24 trailing bytes)",
                    static_cast<unsigned long long>(file_size() - stream.data_offset -
                                                    fpga.done_at_byte()),
                    fpga.startup_bytes());
    } else if (fpga.state() == State::ShutDown) {
        std::printf("the stream shuts the FPGA down again after it started up (SHUTDOWN, then "
                    "RCRC)");
    } else if (fpga.done_at_byte() != 0 && fpga.state() != State::Done) {
        std::printf("the stream starts a new configuration after it started up (IPROG)");
    } else if (fpga.state() != State::Done && rules.end == bitstream::EndCommand::Desync &&
               desync != nullptr && stream.first_command(bitstream::START_COMMAND) == nullptr) {
        std::printf("the stream has DESYNC at byte %llu but no START before it; the FPGA would "
                    "not start up",
                    stream.at(desync->end, word_bytes));
    } else if (fpga.state() != State::Done) {
        std::printf("the stream has no %s command; the FPGA would not finish its configuration",
                    rules.end == bitstream::EndCommand::Start ? "START" : "DESYNC");
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
    const unsigned word_bytes = stream.sync_word_bytes;
    std::printf("\n\n");
    if (word_bytes == 0 || !stream.sync) {
        std::printf("Sync word:            none\n");
    } else {
        std::printf("Packet format:        %u-bit words\n", word_bytes * 8);
        print_group(fpga);
        std::printf("Sync word:            at byte %llu\n",
                    stream.at(stream.sync->end, stream.sync->value));
        print_idcodes();
        print_checks();
        print_end(fpga, word_bytes);
    }
    print_length();
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

// The device the file's .BIT header names in its part field, if the table
// knows it.
void read_header_device(FILE* file)
{
    char part[256];
    if (read_bit_header_field(file, 1, part, sizeof part)) {
        header_device = bitstream::device_of_part(part);
    }
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
    read_header_device(file);
    std::fclose(file);

    // Card 0 of the simulated host, its FPGA the device --idcode or the
    // header names.
    put_terminal_text(stdout, file_name);
    sim::CardSettings card0 = sim::host().card(0).settings();
    card0.fpga.idcode = card_idcode;
    if (header_device != nullptr &&
        !(card_idcode && bitstream::device_of_idcode(*card_idcode) != nullptr)) {
        card0.fpga.group = header_device->family->group;
    }
    sim::Host host;
    host.add_card(card0).fpga().set_listener(&stream);
    sim::host() = std::move(host);
    on_failed_run = report;
    char card[] = "0";
    char* program_arguments[] = {argv[0], argv[first], card, nullptr};
    run_upload_tool(3, program_arguments);
    report(0);
}
