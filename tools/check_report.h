// What veltcfg-check finds out about one file, and the forms it reports it
// in: text for people (the report after the program's output, or one
// verdict line) and JSON for build pipelines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bitstream/devices.h"
#include "bitstream/stream_reader.h"

namespace check {

// The version of the JSON document's layout; it changes only when a key
// changes its meaning or goes away.
constexpr int JSON_SCHEMA = 2;

enum class Outcome { Configures, DoesNotConfigure, CannotCheck };

// Where the card's FPGA took its family group from.
enum class GroupSource { Device, Header, Stream };

struct FileVerdict {
    std::string name;
    Outcome outcome = Outcome::CannotCheck;
    std::string error;   // why it cannot be checked
    int status = -1;     // the status veltcfg would end with; -1: not run
    // The file as the program recognised it, "bit" or "prom"; or, of a file
    // it does not take, what the file is (filekind::kind_name).
    std::string kind;
    bool taken() const { return kind == "bit" || kind == "prom"; }
    std::vector<std::string> header;  // design name, part, date, time
    const bitstream::FpgaDevice* header_device = nullptr;  // named by the part
    std::optional<uint32_t> card_idcode;  // --idcode, or --part's device
    // The stream, as the card's FPGA met it; places are bytes of the file.
    unsigned packet_bits = 0;  // 32 or 16; 0: no sync word the FPGA took
    bitstream::FamilyGroup group = bitstream::FamilyGroup::Unknown;
    GroupSource group_source = GroupSource::Stream;
    std::optional<uint64_t> sync_at;
    struct Idcode {
        uint64_t at;
        uint32_t idcode;
    };
    std::vector<Idcode> idcodes;
    struct Check {
        bitstream::CrcCheck check;
        uint64_t at;
        uint32_t written, computed;
        int digits;  // hexadecimal digits of the bits the group compares
        bool bypassed, passed;
    };
    std::vector<Check> checks;
    struct End {
        std::string command;  // as the FPGA names it
        uint64_t at;
        bool then_check;        // confirmed by the CRC check after it
        uint64_t bytes_after;
        unsigned startup_bytes;  // what the start-up needs of them
    };
    std::optional<End> end;
    bitstream::Features features = 0;
    uint64_t announced = 0, present = 0;
    // What the report remarks on beside the verdict: a stable code and its
    // words.
    struct Note {
        std::string code, text;
    };
    std::vector<Note> notes;
    // Why a card would not configure: a stable code and its text.
    std::string reason_code, reason_text;
    // Of a file veltcfg does not take: the addresses of the configurations
    // it holds (in an Intel HEX file), and how a card would take the .BIT
    // file veltcfg-convert makes of the first.
    std::vector<uint64_t> addresses;
    struct Converted {
        Outcome outcome;
        int status;
        std::string reason_code, reason_text;
        bitstream::Features features;
    };
    std::optional<Converted> after_conversion;
};

// The text report after the program's output, ending with the verdict line.
void print_report(const FileVerdict& verdict);
// The verdict line alone: "NAME: a card would configure" and the like.
void print_verdict_line(const FileVerdict& verdict);
// The verdict line with the report's notes after it, for --quiet.
void print_quiet_line(const FileVerdict& verdict);
// Whether this build writes JSON (it needs nlohmann-json when built).
bool json_available();
// One JSON document for the run, in the layout JSON_SCHEMA names.
void print_json(const std::vector<FileVerdict>& verdicts);

// The device table, one device a line: name, IDCODE, family, configuration
// length in bits ("-" where no guide gives it) and family group.
void print_devices();
// The device table as one JSON document, in the layout JSON_SCHEMA names.
void print_devices_json();

}  // namespace check
