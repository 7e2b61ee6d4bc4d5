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
constexpr int JSON_SCHEMA = 1;

enum class Outcome { Configures, DoesNotConfigure, CannotCheck };

// Where the card's FPGA took its family group from.
enum class GroupSource { Device, Header, Stream };

struct FileVerdict {
    std::string name;
    Outcome outcome = Outcome::CannotCheck;
    std::string error;   // why it cannot be checked
    int status = -1;     // the status veltcfg would end with; -1: not run
    // The file as the program recognised it: "bit", "prom" or "" (refused).
    std::string kind;
    std::vector<std::string> header;  // design name, part, date, time
    const bitstream::FpgaDevice* header_device = nullptr;  // named by the part
    std::optional<uint32_t> card_idcode;  // --idcode, or --part's device
    // The stream.
    unsigned packet_bits = 0;  // 32 or 16; 0: no sync word the FPGA took
    bitstream::FamilyGroup group = bitstream::FamilyGroup::Unknown;
    GroupSource group_source = GroupSource::Stream;
    std::optional<uint64_t> sync_at;
    bool half_sync_refused = false;  // synced on AA 99 alone, as Spartan-6 does not
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
        const char* command;  // "START" or "DESYNC"
        uint64_t at;
        bool then_check;        // START, confirmed by the CRC check after it
        uint64_t bytes_after;
        unsigned startup_bytes;  // what the start-up needs of them (DESYNC)
    };
    std::optional<End> end;
    uint64_t announced = 0, present = 0;
    // Why a card would not configure: a stable code and its text.
    std::string reason_code, reason_text;
};

// Collects what the card's FPGA meets in the stream.
struct StreamFacts : bitstream::StreamListener {
    struct Value {
        uint32_t value;
        uint64_t end;  // bytes from the start of the configuration cycle
    };
    struct Check {
        bitstream::FamilyGroup group;
        bitstream::CrcCheck check;
        uint32_t written, computed;
        bool bypassed, passed;
        uint64_t end;
    };
    void synced(unsigned word_bytes, unsigned sync_bytes, uint64_t end) override;
    void sync_refused(uint64_t end) override;
    void idcode_written(uint32_t idcode, uint64_t end) override { idcodes.push_back({idcode, end}); }
    void crc_checked(bitstream::FamilyGroup group, bitstream::CrcCheck check, uint32_t written,
                     uint32_t computed, bool bypassed, bool passed, uint64_t end) override
    {
        checks.push_back({group, check, written, computed, bypassed, passed, end});
    }
    void command(uint32_t code, uint64_t end) override { commands.push_back({code, end}); }
    // The first `code` command that ends after `after`, or null.
    const Value* first_command(uint32_t code, uint64_t after = 0) const;

    std::optional<Value> sync;  // its length in bytes, and its end
    unsigned sync_word_bytes = 0;
    bool half_sync_refused = false;
    std::vector<Value> idcodes;
    std::vector<Check> checks;
    std::vector<Value> commands;
};

// An IDCODE and the device it names: "0x0362D093 (xc7a35t, Artix-7)".
std::string idcode_text(uint32_t idcode);

// The text report after the program's output, ending with the verdict line.
void print_report(const FileVerdict& verdict);
// The verdict line alone: "NAME: a card would configure" and the like.
void print_verdict_line(const FileVerdict& verdict);
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
