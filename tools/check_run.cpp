// Running the program on a simulated card for veltcfg-check, and taking
// what the card's FPGA tells of the stream into a FileVerdict.
#include "tools/check_run.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
#include "tools/file_kind.h"

namespace check {

namespace {

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

// Where the file's configuration data starts: past a .BIT header, else at
// its first byte.
uint64_t data_offset_of(const char* name)
{
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return 0;
    }
    const int64_t offset = bit_data_offset(file);
    std::fclose(file);
    return offset < 0 ? 0 : static_cast<uint64_t>(offset);
}

// What the FPGA met in the stream, as places in the file.
void take_stream(FileVerdict* v, const sim::Fpga::Report& fpga, uint64_t data_offset)
{
    const bitstream::StreamRecord& record = *fpga.record;
    const unsigned word_bytes = record.word_bytes;
    v->packet_bits = record.sync_bytes != 0 ? word_bytes * 8 : 0;
    v->group = fpga.group;
    if (record.sync_bytes != 0) {
        v->sync_at = data_offset + record.sync_end - record.sync_bytes;
    }
    for (const bitstream::StreamRecord::Idcode& id : record.idcodes) {
        v->idcodes.push_back({data_offset + id.end - 4, id.value});
    }
    for (const bitstream::StreamRecord::Check& c : record.checks) {
        const uint32_t bits = bitstream::rules_of(c.group)->compared_bits;
        const int digits = bits > 0xFFFFFF ? 8 : bits > 0xFFFF ? 6 : 4;
        v->checks.push_back({c.check, data_offset + c.end - 4, c.written, c.computed, digits,
                             c.bypassed, c.passed});
    }
    if (fpga.end_command != nullptr) {
        v->end = FileVerdict::End{fpga.end_command, data_offset + fpga.end_at - word_bytes,
                                  fpga.checked_at != 0, v->present - fpga.end_at,
                                  fpga.startup_bytes};
    }
    v->features |= fpga.features;
}

// The remarks of the report: a header that names another device than the
// stream's IDCODE, a file shorter than its header says.
void take_notes(FileVerdict* v)
{
    for (const FileVerdict::Idcode& id : v->idcodes) {
        const bitstream::FpgaDevice* named = bitstream::device_of_idcode(id.idcode);
        if (v->header_device != nullptr && named != nullptr &&
            !bitstream::idcode_matches(*v->header_device, id.idcode)) {
            v->notes.push_back({"header_names_other_device",
                                std::string("the header names the ") + v->header_device->name +
                                    ", the stream's IDCODE the " + named->name +
                                    "; the card goes by the IDCODE"});
            break;
        }
    }
    if (v->present < v->announced) {
        v->notes.push_back({"shorter_than_announced",
                            "the file ends " + std::to_string(v->announced - v->present) +
                                " bytes before the length its header announces"});
    }
}

// What the run that ended with `status` showed: the FPGA's own account of
// the stream and, when a card would not configure, its verdict.
void take_run(FileVerdict* v, int status)
{
    const sim::Fpga::Report fpga = sim::host().card(0).fpga().report();
    const uint64_t data_offset = data_offset_of(v->name.c_str());
    v->status = status;
    v->outcome = status == 0 ? Outcome::Configures : Outcome::DoesNotConfigure;
    if (upload_state.byte_sender != nullptr) {
        // The program took the file and started a configuration cycle.
        v->kind = upload_state.byte_sender == send_byte_reversed ? "bit" : "prom";
        v->announced = upload_state.config_length;
        v->present = file_size(v->name.c_str()) - data_offset;
        if (fpga.record != nullptr) {
            take_stream(v, fpga, data_offset);
        }
        take_notes(v);
    }
    if (status == 0) {
        return;
    }
    if (!v->taken()) {
        v->reason_code = "refused";
        v->reason_text = "veltcfg does not take the file";
        return;
    }
    v->reason_code = sim::reason_code(fpga.verdict.reason);
    v->reason_text = sim::describe(fpga.verdict, data_offset);
}

// Runs the program on card 0 of a fresh simulated host set up as `card0`;
// the host stays as the run left it.
int run_on_card(char* program, const char* name, const sim::CardSettings& card0, bool silent)
{
    sim::Host host;
    host.add_card(card0);
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

// A stream the card's device does not take, and that wrote no IDCODE it
// read, may be written for another family than the device's, which the
// header or the options named: a card left to tell the family from the
// stream says which, and the reason names both.
void name_other_family(char* program, const char* name, sim::CardSettings card0, FileVerdict* v)
{
    card0.fpga.idcode.reset();
    card0.fpga.device = nullptr;
    const int status = run_on_card(program, name, card0, true);
    const bitstream::FamilyGroup shown = sim::host().card(0).fpga().report().group;
    end_run();
    if (shown == bitstream::FamilyGroup::Unknown || shown == v->group) {
        return;
    }
    const std::string stream = std::string(", but the stream is written for ") +
                               bitstream::family_group_name(shown) +
                               (status == 0 ? ", whose devices it would configure" : "");
    if (v->group_source == GroupSource::Header) {
        v->reason_code = "header_mismatch";
        v->reason_text = std::string("the header names the ") + v->header_device->name + " (" +
                         bitstream::family_group_name(v->group) + ")" + stream;
    } else {
        v->reason_code = "device_mismatch";
        v->reason_text = "the card's FPGA is " + bitstream::idcode_text(*v->card_idcode) + " (" +
                         bitstream::family_group_name(v->group) + ")" + stream;
    }
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

// The .BIT file veltcfg-convert would make of a file's first
// configuration, under a temporary name; "" when it cannot be written.
std::string write_converted(const char* name, filekind::FileContents contents)
{
    filekind::Image& image = contents.images.front();
    if (image.stream.size() > filekind::MAX_STREAM_BYTES) {
        return "";
    }
    const char* base = std::strrchr(name, '/');
    const filekind::BitFields fields =
        filekind::converted_fields(contents, image, {base == nullptr ? name : base + 1, "", std::time(nullptr)});
    const std::vector<uint8_t> bit = filekind::bit_file(fields, std::move(image.stream));
    const char* folder = std::getenv("TMPDIR");
    folder = folder != nullptr && *folder != '\0' ? folder : std::getenv("TEMP");
    std::string path = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                       "/veltcfg-check-XXXXXX";
    const int fd = mkstemp(&path[0]);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    const bool written = file != nullptr && std::fwrite(bit.data(), 1, bit.size(), file) == bit.size();
    if ((file != nullptr && std::fclose(file) != 0) || !written) {
        std::remove(path.c_str());
        return "";
    }
    return path;
}

// A file veltcfg does not take: what it is, and how a card would take the
// .BIT file veltcfg-convert makes of it, said in a note.
void judge_conversion(char* program, const char* name, FileVerdict* v)
{
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return;
    }
    filekind::FileContents contents = filekind::read_contents(file);
    std::fclose(file);
    v->kind = filekind::kind_name(contents.kind);
    if (!contents.error.empty() || contents.images.empty()) {
        v->notes.push_back({"not_a_configuration", contents.error.empty() ? contents.description : contents.error});
        return;
    }
    for (const filekind::Image& image : contents.images) {
        v->addresses.push_back(image.address);
    }
    const std::string description = contents.description;
    const std::string converted = write_converted(name, std::move(contents));
    if (converted.empty()) {
        return;
    }
    const FileVerdict c = check_file(program, converted.c_str(), v->card_idcode, true);
    std::remove(converted.c_str());
    v->after_conversion = FileVerdict::Converted{c.outcome, c.status, c.reason_code, c.reason_text, c.features};
    std::string out = name;
    const size_t dot = out.rfind('.');
    out = (dot == std::string::npos || dot < out.rfind('/') + 1 ? out : out.substr(0, dot)) + ".bit";
    v->notes.push_back({"convertible",
                        description + "; \"veltcfg-convert " + (v->addresses.size() > 1 ? "--image 1 " : "") +
                            name + " " + (out == name ? out + ".bit" : out) + "\" makes a .BIT file of it" +
                            (c.outcome == Outcome::Configures
                                 ? ", from which a card would configure"
                                 : ", from which a card would not configure: " + c.reason_text)});
}

}  // namespace

FileVerdict check_file(char* program, const char* name, std::optional<uint32_t> card_idcode,
                       bool silent)
{
    FileVerdict v;
    v.name = name;
    v.card_idcode = card_idcode;
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
    card0.fpga.idcode = card_idcode;
    if (card_idcode && bitstream::device_of_idcode(*card_idcode) != nullptr) {
        v.group_source = GroupSource::Device;
    } else if (v.header_device != nullptr) {
        card0.fpga.device = v.header_device;
        v.group_source = GroupSource::Header;
    }
    // The options the FPGA tools note in the design field.
    for (const auto& [option, feature] : {std::make_pair("PARTIAL=TRUE", bitstream::PARTIAL),
                                          std::make_pair("COMPRESS=TRUE", bitstream::COMPRESSED)}) {
        if (v.header.size() == 4 && v.header[0].find(option) != std::string::npos) {
            v.features |= feature;
        }
    }
    if (!silent) {
        put_terminal_text(stdout, name);
    }
    const int status = run_on_card(program, name, card0, silent);
    take_run(&v, status);
    end_run();
    if (v.group_source != GroupSource::Stream &&
        v.outcome == Outcome::DoesNotConfigure && v.idcodes.empty() && v.taken()) {
        name_other_family(program, name, card0, &v);
    }
    if (v.status == 103 && !v.taken()) {
        judge_conversion(program, name, &v);
    }
    return v;
}

}  // namespace check
