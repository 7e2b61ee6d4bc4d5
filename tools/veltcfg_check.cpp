// veltcfg-check [--idcode ID | --part NAME] [--json | --quiet] [--] FILE...
// veltcfg-check --list-devices [--json]
//
// Says whether a card would configure from each FILE, and why not, without a
// card: for each file in turn it runs the program itself, as veltcfg-sim
// runs it, on card 0 of a fresh simulated host, and listens to what the
// card's FPGA meets in the stream (check_report.h says what it learns and
// how it reports it). All offsets are bytes of the file.
//
// The card's FPGA is the device --idcode or --part names; without them, the
// device the .BIT header's part names, when the device table knows it (its
// family group then, as no IDCODE is there to compare); else the stream
// tells the group. --list-devices prints the table of devices instead.
//
// Exit status: 0 when a card would configure from every file, 1 when not
// from one or more, 2 for wrong arguments or a file that cannot be read
// (the other files are still checked and reported).
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/platform.h"
#include "app/upload_state.h"
#include "card/card.h"
#include "card/plx/sim/host_description.h"
#include "common/terminal_text.h"
#include "configfile/config_file.h"
#include "tools/check_report.h"

namespace {

using check::FileVerdict;
using State = sim::Fpga::State;

enum ExitStatus { CONFIGURES = 0, DOES_NOT_CONFIGURE = 1, CANNOT_CHECK = 2 };

const char* const USAGE =
    "usage: veltcfg-check [--idcode ID | --part NAME] [--json | --quiet] [--] FILE...\n"
    "       veltcfg-check --list-devices [--json]\n";

void print_help()
{
    std::printf(
        "%s"
        "Says whether a card would configure from each FILE (a .BIT file or a PROM\n"
        "image), and why not, by running veltcfg on a simulated card.\n"
        "\n"
        "  --idcode ID       the card's FPGA is the device with this IDCODE (decimal or 0x-hex)\n"
        "  --part NAME       the card's FPGA is this device (xc7a35t, XC7A35T-1CPG236C, 7a35tcpg236)\n"
        "  --json            one JSON document for the run, instead of the reports\n"
        "  --quiet           only each file's verdict line\n"
        "  --list-devices    the devices --part and --idcode know, one a line (or JSON)\n"
        "  --help            this text\n"
        "  --version         the version\n"
        "\n"
        "Exit status: 0 when a card would configure from every file, 1 when not from\n"
        "one or more, 2 for wrong arguments or a file that cannot be read.\n"
        "See man veltcfg-check.\n",
        USAGE);
}

struct Options {
    std::optional<uint32_t> idcode;  // given, or the IDCODE of --part's device
    bool json = false;
    bool quiet = false;
    bool list_devices = false;
    std::vector<const char*> files;
};

[[noreturn]] void wrong_arguments(const std::string& message)
{
    std::fputs(("veltcfg-check: " + message + "\n").c_str(), stderr);
    std::fputs(USAGE, stderr);
    std::exit(CANNOT_CHECK);
}

void take_part(const char* name, Options* options)
{
    const bitstream::FpgaDevice* device = bitstream::device_of_part(name);
    if (device == nullptr) {
        std::fputs("veltcfg-check: no device in the table is named ", stderr);
        put_terminal_text(stderr, name);
        const char* separator = "; the nearest known: ";
        for (const bitstream::FpgaDevice* near : bitstream::devices_near(name, 3)) {
            std::fprintf(stderr, "%s%s", separator, near->name);
            separator = ", ";
        }
        std::fputs("\n", stderr);
        std::exit(CANNOT_CHECK);
    }
    options->idcode = device->idcode;
}

void take_idcode(const char* text, Options* options)
{
    uint32_t idcode = 0;
    if (!sim::read_number(text, 0xFFFFFFFF, &idcode)) {
        std::fputs("veltcfg-check: not an IDCODE: ", stderr);
        put_terminal_text(stderr, text);
        std::fputs(" (a 32-bit number, decimal or 0x-hex)\n", stderr);
        std::exit(CANNOT_CHECK);
    }
    options->idcode = idcode;
}

// Options in any order, each before the files or among them, until "--";
// --idcode and --part take a value, as the next argument or after "=".
Options read_options(int argc, char** argv)
{
    Options options;
    bool device_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            options.files.insert(options.files.end(), argv + i + 1, argv + argc);
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            options.files.push_back(argv[i]);
            continue;
        }
        const std::string name = arg.substr(0, arg.find('='));
        const bool inline_value = name.size() != arg.size();
        if (name == "--idcode" || name == "--part") {
            if (device_given) {
                wrong_arguments("give the card's device once, with --idcode or --part");
            }
            if (!inline_value && i + 1 == argc) {
                wrong_arguments(name + " needs a value");
            }
            const char* value = inline_value ? argv[i] + name.size() + 1 : argv[++i];
            (name == "--idcode" ? take_idcode : take_part)(value, &options);
            device_given = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--list-devices") {
            options.list_devices = true;
        } else if (arg == "--help") {
            print_help();
            std::exit(CONFIGURES);
        } else if (arg == "--version") {
            std::printf("veltcfg-check %s\n", VELTCFG_VERSION);
            std::exit(CONFIGURES);
        } else {
            std::fputs("veltcfg-check: unknown option ", stderr);
            put_terminal_text(stderr, argv[i]);
            std::fputs("\n", stderr);
            std::fputs(USAGE, stderr);
            std::exit(CANNOT_CHECK);
        }
    }
    if (options.list_devices && (device_given || options.quiet || !options.files.empty())) {
        wrong_arguments("--list-devices takes --json alone, and no file");
    }
    if (options.files.empty() && !options.list_devices) {
        wrong_arguments("no file to check");
    }
    if (options.json && options.quiet) {
        wrong_arguments("give --json or --quiet, not both");
    }
    if (options.json && !check::json_available()) {
        wrong_arguments("this build has no JSON output (it was built without nlohmann-json)");
    }
    return options;
}

// What the card's FPGA meets, and where the file's configuration data starts.
struct RunFacts : check::StreamFacts {
    void cycle_started() override
    {
        // The program pulses the program line with the file standing at its
        // first configuration byte.
        data_offset = static_cast<uint64_t>(ftello(upload_state.config_file));
    }
    uint64_t at(uint64_t end, unsigned bytes) const { return data_offset + end - bytes; }
    uint64_t data_offset = 0;
};

// The program's failures come back here, thrown from on_failed_run, so that
// one run after another is made in this process.
int run_program(char* program, const char* file)
{
    char card[] = "0";
    char* arguments[] = {program, const_cast<char*>(file), card, nullptr};
    on_failed_run = [](int status) { throw status; };
    try {
        run_upload_tool(3, arguments);
        return 0;
    } catch (int status) {
        return status;
    }
}

// Leaves the process as a new run needs it: the file closed, the state as
// at start.
void end_run()
{
    if (upload_state.config_file != nullptr) {
        std::fclose(upload_state.config_file);
    }
    upload_state.~UploadState();
    new (&upload_state) UploadState{};
}

uint64_t file_size(const char* name)
{
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return 0;
    }
    const bool at_end = fseeko(file, 0, SEEK_END) == 0;
    const off_t size = ftello(file);
    std::fclose(file);
    return !at_end || size < 0 ? 0 : static_cast<uint64_t>(size);
}

// Why a card would not configure, as the FPGA saw the stream: a stable code
// and its words.
void find_reason(FileVerdict* v, const sim::Fpga& fpga, const RunFacts& facts)
{
    const RunFacts::Value* desync = facts.first_command(bitstream::DESYNC_COMMAND);
    const RunFacts::Value* start = facts.first_command(bitstream::START_COMMAND);
    auto reason = [v](const char* code, const std::string& text) {
        v->reason_code = code;
        v->reason_text = text;
    };
    char text[256];
    if (v->kind.empty()) {
        reason("refused", "veltcfg does not take the file");
    } else if (!v->sync_at) {
        reason("no_sync", std::string("the configuration data holds no sync word the FPGA takes") +
                              (v->half_sync_refused ? " (a Spartan-6 needs all of AA 99 55 66)" : ""));
    } else if (fpga.state() == State::IdError) {
        reason("id_error", "the stream is written for IDCODE " + check::idcode_text(v->idcodes.back().idcode) +
                               ", and the card's FPGA has IDCODE " + check::idcode_text(*v->card_idcode) +
                               "; the FPGA would stop in its ID error");
    } else if (fpga.state() == State::CrcError) {
        const FileVerdict::Check& bad = v->checks.back();
        std::snprintf(text, sizeof text,
                      "the CRC written at byte %llu (0x%0*X) does not match the one computed over "
                      "the stream (0x%0*X); the FPGA would not start up",
                      static_cast<unsigned long long>(bad.at), bad.digits, bad.written, bad.digits,
                      bad.computed);
        reason("crc_mismatch", text);
    } else if (fpga.state() == State::StartingUp) {
        std::snprintf(text, sizeof text,
                      "the file ends %llu bytes after DESYNC, and the FPGA needs %u before DONE "
                      "rises (veltcfg checks DONE before its 24 trailing bytes)",
                      static_cast<unsigned long long>(v->end->bytes_after), v->end->startup_bytes);
        reason("start_up_cut_short", text);
    } else if (fpga.state() == State::ShutDown) {
        reason("shut_down", "the stream shuts the FPGA down again after it started up (SHUTDOWN, "
                            "then RCRC)");
    } else if (fpga.restarted()) {
        reason("restarted", "the stream starts a new configuration after it started up (IPROG)");
    } else if (fpga.state() != State::Done && fpga.rules().end == bitstream::EndCommand::Desync &&
               desync != nullptr && (start == nullptr ||
                                     facts.first_command(bitstream::DESYNC_COMMAND, start->end) ==
                                         nullptr)) {
        std::snprintf(text, sizeof text,
                      "the stream has DESYNC at byte %llu but no START before it; the FPGA would "
                      "not start up",
                      static_cast<unsigned long long>(facts.at(desync->end, facts.sync_word_bytes)));
        reason("no_start", text);
    } else if (fpga.state() != State::Done) {
        reason("no_end", std::string("the stream has no ") +
                             (fpga.rules().end == bitstream::EndCommand::Start ? "START" : "DESYNC") +
                             " command; the FPGA would not finish its configuration");
    } else {
        reason("not_done", "the FPGA configured, but the card did not report DONE");
    }
}

// What the FPGA met in the stream, as places in the file.
void take_stream(FileVerdict* v, const sim::Fpga& fpga, const RunFacts& facts)
{
    v->packet_bits = facts.sync ? facts.sync_word_bytes * 8 : 0;
    v->group = fpga.group();
    v->half_sync_refused = facts.half_sync_refused;
    if (facts.sync) {
        v->sync_at = facts.at(facts.sync->end, facts.sync->value);
    }
    for (const RunFacts::Value& id : facts.idcodes) {
        v->idcodes.push_back({facts.at(id.end, 4), id.value});
    }
    for (const RunFacts::Check& c : facts.checks) {
        const uint32_t bits = bitstream::rules_of(c.group)->compared_bits;
        const int digits = bits > 0xFFFFFF ? 8 : bits > 0xFFFF ? 6 : 4;
        v->checks.push_back({c.check, facts.at(c.end, 4), c.written, c.computed, digits,
                             c.bypassed, c.passed});
    }
    if (fpga.done_at_byte() != 0) {
        const bool at_start = fpga.rules().end == bitstream::EndCommand::Start;
        const RunFacts::Value* start = facts.first_command(bitstream::START_COMMAND);
        const uint64_t end = at_start && start != nullptr ? start->end : fpga.done_at_byte();
        v->end = FileVerdict::End{at_start ? "START" : "DESYNC",
                                  facts.at(end, facts.sync_word_bytes), end != fpga.done_at_byte(),
                                  v->present - fpga.done_at_byte(),
                                  at_start ? 0 : fpga.startup_bytes()};
    }
}

// What the run that ended with `status` showed.
void take_run(FileVerdict* v, int status, const RunFacts& facts)
{
    const sim::Fpga& fpga = sim::host().card(0).fpga();
    v->status = status;
    v->outcome = status == 0 ? check::Outcome::Configures : check::Outcome::DoesNotConfigure;
    if (fpga.state() != State::Idle) {
        // The program took the file and started a configuration cycle.
        v->kind = upload_state.byte_sender == send_byte_reversed ? "bit" : "prom";
        v->announced = upload_state.config_length;
        v->present = file_size(v->name.c_str()) - facts.data_offset;
        take_stream(v, fpga, facts);
    }
    if (status != 0) {
        find_reason(v, fpga, facts);
    }
}

// Runs the program on card 0 of a fresh simulated host set up as `card0`;
// the host stays as the run left it.
int run_on_card(char* program, const char* name, const sim::CardSettings& card0, RunFacts* facts,
                bool silent)
{
    sim::Host host;
    host.add_card(card0).fpga().set_listener(facts);
    sim::host() = std::move(host);
    if (silent) {
        silence_output(true);
    }
    const int status = run_program(program, name);
    if (silent) {
        silence_output(false);
    }
    return status;
}

// A file the header's device does not take, and that wrote no IDCODE it
// read, may be written for another family: a card left to tell the family
// from the stream says which, and the reason names both.
void name_other_family(char* program, const char* name, sim::CardSettings card0, FileVerdict* v)
{
    card0.fpga.group = bitstream::FamilyGroup::Unknown;
    RunFacts facts;
    const int status = run_on_card(program, name, card0, &facts, true);
    const bitstream::FamilyGroup shown = sim::host().card(0).fpga().group();
    end_run();
    if (shown == bitstream::FamilyGroup::Unknown || shown == v->group) {
        return;
    }
    v->reason_code = "header_mismatch";
    v->reason_text = std::string("the header names the ") + v->header_device->name + " (" +
                     bitstream::family_group_name(v->group) + "), but the stream is written for " +
                     bitstream::family_group_name(shown) +
                     (status == 0 ? ", whose devices it would configure" : "");
}

// The four fields of a .BIT header, and the device its part names.
void read_header(FileVerdict* v, FILE* file)
{
    std::vector<char> text(65536);  // a field's length is 16 bits
    for (int field = 0; field < 4; ++field) {
        if (!read_bit_header_field(file, field, text.data(), text.size())) {
            v->header.clear();
            return;
        }
        v->header.push_back(text.data());
    }
    v->header_device = bitstream::device_of_part(v->header[1].c_str());
}

FileVerdict check_file(char* program, const char* name, const Options& options)
{
    FileVerdict v;
    v.name = name;
    v.card_idcode = options.idcode;
    // A file that opens but cannot be read (a folder, say) cannot be checked;
    // an empty one can, and is refused as the program refuses it.
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr || (std::fgetc(file) == EOF && std::ferror(file))) {
        v.error = std::strerror(errno);
        std::fputs("veltcfg-check: cannot read ", stderr);
        put_terminal_text(stderr, name);
        std::fprintf(stderr, ": %s\n", v.error.c_str());
        if (file != nullptr) {
            std::fclose(file);
        }
        return v;
    }
    read_header(&v, file);
    std::fclose(file);

    // Card 0 of a fresh simulated host, its FPGA the device the options or
    // the header name.
    sim::CardSettings card0 = sim::Host::make_default().card(0).settings();
    card0.fpga.idcode = options.idcode;
    if (options.idcode && bitstream::device_of_idcode(*options.idcode) != nullptr) {
        v.group_source = check::GroupSource::Device;
    } else if (v.header_device != nullptr) {
        card0.fpga.group = v.header_device->family->group;
        v.group_source = check::GroupSource::Header;
    }
    const bool own_words = options.json || options.quiet;
    if (!own_words) {
        put_terminal_text(stdout, name);
    }
    RunFacts facts;
    const int status = run_on_card(program, name, card0, &facts, own_words);
    take_run(&v, status, facts);
    end_run();
    if (v.group_source == check::GroupSource::Header &&
        v.outcome == check::Outcome::DoesNotConfigure && v.idcodes.empty()) {
        name_other_family(program, name, card0, &v);
    }
    return v;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader that stops reading (veltcfg-check FILE | head) must not
    // change the verdict into a signal.
    ignore_broken_pipes();
    const Options options = read_options(argc, argv);
    std::vector<FileVerdict> verdicts;
    int status = CONFIGURES;
    int output_error = 0;  // the first error writing the output, but a reader gone
    auto note_output = [&output_error] {
        if (std::fflush(stdout) != 0 && errno != EPIPE && output_error == 0) {
            output_error = errno;
        }
    };
    for (const char* name : options.files) {
        verdicts.push_back(check_file(argv[0], name, options));
        const FileVerdict& v = verdicts.back();
        if (!options.json) {
            options.quiet || v.outcome == check::Outcome::CannotCheck
                ? check::print_verdict_line(v)
                : check::print_report(v);
            note_output();
        }
        const int file_status = v.outcome == check::Outcome::Configures         ? CONFIGURES
                                : v.outcome == check::Outcome::DoesNotConfigure ? DOES_NOT_CONFIGURE
                                                                                : CANNOT_CHECK;
        status = std::max(status, file_status);
    }
    if (options.list_devices) {
        options.json ? check::print_devices_json() : check::print_devices();
        note_output();
    } else if (options.json) {
        check::print_json(verdicts);
        note_output();
    }
    if (output_error != 0) {
        std::fprintf(stderr, "veltcfg-check: the report could not be written: %s\n",
                     std::strerror(output_error));
        return CANNOT_CHECK;
    }
    return status;
}
