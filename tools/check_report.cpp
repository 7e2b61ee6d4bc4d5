#include "tools/check_report.h"

#include <cstdio>

#include "card/plx/sim/fpga_verdict.h"
#include "common/hex_text.h"
#include "common/terminal_text.h"

#ifdef VELTCFG_WITH_JSON
#include <nlohmann/json.hpp>
#endif

namespace check {

namespace {

// CRC checks shown at each end of a long list.
constexpr size_t SHOWN_CHECKS = 3;

const char* group_source_text(const FileVerdict& v)
{
    switch (v.group_source) {
    case GroupSource::Device:
        return " (of the card's device, named by --idcode or --part)";
    case GroupSource::Header:
        return " (of the device the header's part names: ";
    case GroupSource::Stream:
        break;
    }
    return " (inferred from the stream, not known from a device)";
}

void print_idcodes(const FileVerdict& v)
{
    for (const FileVerdict::Idcode& id : v.idcodes) {
        std::printf("IDCODE:               %s at byte %llu%s\n", bitstream::idcode_text(id.idcode).c_str(),
                    static_cast<unsigned long long>(id.at),
                    v.card_idcode ? "" : "; not compared (no --idcode or --part)");
    }
    if (v.idcodes.empty()) {
        std::printf("IDCODE:               none written%s\n",
                    v.card_idcode ? ": the card's FPGA has none to compare with its own" : "");
    }
}

void print_stream(const FileVerdict& v)
{
    std::printf("Packet format:        %u-bit words\n", v.packet_bits);
    std::printf("Family group:         %s%s", bitstream::family_group_name(v.group),
                group_source_text(v));
    if (v.group_source == GroupSource::Header) {
        std::printf("%s)", v.header_device->name);
    }
    std::printf("\nSync word:            at byte %llu\n", static_cast<unsigned long long>(*v.sync_at));
    print_idcodes(v);
    // The first and last few CRC checks, and every mismatch; of a stream
    // that checks after each frame, not the thousands that match between.
    size_t left_out = 0;
    for (size_t i = 0; i < v.checks.size(); ++i) {
        const FileVerdict::Check& c = v.checks[i];
        if (c.passed && i >= SHOWN_CHECKS && i + SHOWN_CHECKS < v.checks.size()) {
            ++left_out;
            continue;
        }
        if (left_out != 0) {
            std::printf("CRC check:            %zu more, each a match\n", left_out);
            left_out = 0;
        }
        std::printf("CRC check:            %s at byte %llu: written %s, ",
                    c.check == bitstream::CrcCheck::AutoCrc ? "AutoCRC" : "CRC write",
                    static_cast<unsigned long long>(c.at), hex_text(c.written, c.digits).c_str());
        if (c.bypassed) {
            std::printf("the CRC check bypassed\n");
        } else {
            std::printf("computed %s, %s\n", hex_text(c.computed, c.digits).c_str(),
                        c.passed ? "match" : "MISMATCH");
        }
    }
    if (v.end) {
        std::printf("End of configuration: %s at byte %llu%s; %llu bytes follow it",
                    v.end->command.c_str(),
                    static_cast<unsigned long long>(v.end->at),
                    v.end->then_check ? ", then the CRC check after it" : "",
                    static_cast<unsigned long long>(v.end->bytes_after));
        if (v.end->startup_bytes != 0) {
            std::printf(", of which the start-up needs %u", v.end->startup_bytes);
        }
        std::printf("\n");
    }
}

// The kinds of stream the FPGA met, and what each means on the card.
void print_features(bitstream::Features features)
{
    size_t count = 0;
    const sim::FeatureText* texts = sim::feature_texts(&count);
    std::string codes;
    for (size_t i = 0; i < count; ++i) {
        if ((features & texts[i].feature) != 0) {
            codes += (codes.empty() ? "" : ", ") + std::string(texts[i].code);
        }
    }
    if (codes.empty()) {
        return;  // a plain full configuration
    }
    std::printf("Features:             %s\n", codes.c_str());
    for (size_t i = 0; i < count; ++i) {
        if ((features & texts[i].feature) != 0) {
            std::printf("                      %s: %s\n", texts[i].code, texts[i].meaning);
        }
    }
}

}  // namespace


namespace {

// The verdict line's words after the file name.
std::string verdict_text(const FileVerdict& v)
{
    switch (v.outcome) {
    case Outcome::Configures:
        return "a card would configure";
    case Outcome::DoesNotConfigure:
        return "a card would not configure: " + v.reason_text + " (veltcfg ends with status " +
               std::to_string(v.status) + ")";
    case Outcome::CannotCheck:
        break;
    }
    return "cannot check: " + v.error;
}

}  // namespace

void print_verdict_line(const FileVerdict& v)
{
    put_terminal_text(stdout, v.name.c_str());
    std::printf(": %s\n", verdict_text(v).c_str());
}

void print_quiet_line(const FileVerdict& v)
{
    put_terminal_text(stdout, v.name.c_str());
    std::string line = verdict_text(v);
    for (const FileVerdict::Note& note : v.notes) {
        line += "; note: " + note.text;
    }
    std::printf(": %s\n", line.c_str());
}

void print_report(const FileVerdict& v)
{
    std::printf("\n\n");
    if (v.taken()) {
        if (v.sync_at) {
            print_stream(v);
        } else {
            std::printf("Sync word:            none\n");
        }
        std::printf("Length:               %llu bytes announced, %llu bytes present\n",
                    static_cast<unsigned long long>(v.announced),
                    static_cast<unsigned long long>(v.present));
    }
    print_features(v.after_conversion ? v.after_conversion->features : v.features);
    for (const FileVerdict::Note& note : v.notes) {
        std::printf("Note:                 %s\n", note.text.c_str());
    }
    if (v.taken() || !v.notes.empty()) {
        std::printf("\n");
    }
    print_verdict_line(v);
}

void print_devices()
{
    for (const bitstream::FpgaDevice& d : bitstream::all_devices()) {
        const std::string bits = d.config_bits == 0 ? "-" : std::to_string(d.config_bits);
        std::printf("%-11s %s  %-19s %9s  %s\n", d.name, hex_text(d.idcode, 8).c_str(),
                    d.family->name, bits.c_str(), bitstream::family_group_name(d.family->group));
    }
}

#ifdef VELTCFG_WITH_JSON

namespace {

using json = nlohmann::ordered_json;

json device_json(const bitstream::FpgaDevice* device)
{
    return device == nullptr ? json(nullptr)
                             : json{{"name", device->name}, {"family", device->family->name}};
}

const char* const OUTCOMES[] = {"configures", "does_not_configure", "cannot_check"};

json features_json(bitstream::Features features)
{
    json codes = json::array();
    size_t count = 0;
    const sim::FeatureText* texts = sim::feature_texts(&count);
    for (size_t i = 0; i < count; ++i) {
        if ((features & texts[i].feature) != 0) {
            codes.push_back(texts[i].code);
        }
    }
    return codes;
}

json verdict_json(const FileVerdict& v)
{
    static const char* const SOURCES[] = {"device", "header", "stream"};
    json file = {{"name", v.name}, {"verdict", OUTCOMES[static_cast<int>(v.outcome)]}};
    file["status"] = v.status < 0 ? json(nullptr) : json(v.status);
    if (v.outcome == Outcome::CannotCheck) {
        file["error"] = v.error;
        return file;
    }
    file["kind"] = v.kind.empty() ? json(nullptr) : json(v.kind);
    file["configurations"] = json::array();
    for (size_t i = 0; i < v.addresses.size(); ++i) {
        file["configurations"].push_back({{"image", i + 1}, {"address", v.addresses[i]}});
    }
    file["header"] = v.header.size() == 4 ? json{{"design", v.header[0]}, {"part", v.header[1]},
                                                 {"date", v.header[2]}, {"time", v.header[3]}}
                                          : json(nullptr);
    file["header_device"] = device_json(v.header_device);
    file["card_idcode"] = v.card_idcode ? json(hex_text(*v.card_idcode, 8)) : json(nullptr);
    file["packet_format"] = v.packet_bits == 0 ? json(nullptr) : json(v.packet_bits);
    file["family_group"] = v.group == bitstream::FamilyGroup::Unknown
                               ? json(nullptr)
                               : json(bitstream::family_group_name(v.group));
    file["family_group_from"] = SOURCES[static_cast<int>(v.group_source)];
    file["sync_at"] = v.sync_at ? json(*v.sync_at) : json(nullptr);
    file["idcodes"] = json::array();
    for (const FileVerdict::Idcode& id : v.idcodes) {
        file["idcodes"].push_back({{"at", id.at},
                                   {"idcode", hex_text(id.idcode, 8)},
                                   {"device", device_json(bitstream::device_of_idcode(id.idcode))}});
    }
    file["crc_checks"] = json::array();
    for (const FileVerdict::Check& c : v.checks) {
        file["crc_checks"].push_back(
            {{"check", c.check == bitstream::CrcCheck::AutoCrc ? "autocrc" : "crc_write"},
             {"at", c.at},
             {"written", hex_text(c.written, c.digits)},
             {"computed", hex_text(c.computed, c.digits)},
             {"bypassed", c.bypassed},
             {"match", c.passed}});
    }
    file["end_of_configuration"] =
        v.end ? json{{"command", v.end->command},
                     {"at", v.end->at},
                     {"then_crc_check", v.end->then_check},
                     {"bytes_after", v.end->bytes_after},
                     {"startup_bytes", v.end->startup_bytes}}
              : json(nullptr);
    file["length"] = {{"announced", v.announced}, {"present", v.present}};
    file["features"] = features_json(v.features);
    file["notes"] = json::array();
    for (const FileVerdict::Note& note : v.notes) {
        file["notes"].push_back({{"code", note.code}, {"text", note.text}});
    }
    file["after_conversion"] =
        v.after_conversion
            ? json{{"verdict", OUTCOMES[static_cast<int>(v.after_conversion->outcome)]},
                   {"status", v.after_conversion->status},
                   {"reason", v.after_conversion->outcome == Outcome::Configures
                                  ? json(nullptr)
                                  : json{{"code", v.after_conversion->reason_code},
                                         {"text", v.after_conversion->reason_text}}},
                   {"features", features_json(v.after_conversion->features)}}
            : json(nullptr);
    file["reason"] = v.outcome == Outcome::Configures
                         ? json(nullptr)
                         : json{{"code", v.reason_code}, {"text", v.reason_text}};
    return file;
}

}  // namespace

bool json_available()
{
    return true;
}

void print_json(const std::vector<FileVerdict>& verdicts)
{
    json document = {{"schema", JSON_SCHEMA}, {"files", json::array()}};
    for (const FileVerdict& v : verdicts) {
        document["files"].push_back(verdict_json(v));
    }
    // Names that are not UTF-8 are shown with U+FFFD in place of the bytes.
    std::printf("%s\n", document.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

void print_devices_json()
{
    json document = {{"schema", JSON_SCHEMA}, {"devices", json::array()}};
    for (const bitstream::FpgaDevice& d : bitstream::all_devices()) {
        document["devices"].push_back(
            {{"name", d.name},
             {"idcode", hex_text(d.idcode, 8)},
             {"family", d.family->name},
             {"family_group", bitstream::family_group_name(d.family->group)},
             {"config_bits", d.config_bits == 0 ? json(nullptr) : json(d.config_bits)}});
    }
    std::printf("%s\n", document.dump(2).c_str());
}

#else

bool json_available()
{
    return false;
}

void print_json(const std::vector<FileVerdict>&)
{
}

void print_devices_json()
{
}

#endif

}  // namespace check
