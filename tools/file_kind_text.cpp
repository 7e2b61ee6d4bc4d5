#include "tools/file_kind_text.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace filekind {

namespace {

constexpr size_t CHUNK_BYTES = 1 << 20;

// A line without its trailing blanks and carriage return.
std::string_view trimmed(std::string_view line)
{
    const size_t end = line.find_last_not_of(" \t\r");
    return line.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

// The lines of a text: those in what was read first, then the rest of the
// file, a chunk at a time.
class LineReader {
public:
    LineReader(FILE* in, std::vector<uint8_t> head) : in_(in), buffer_(std::move(head)) {}

    // The next line, without its line end (LF or CR LF) and trailing blanks;
    // false after the last one.
    bool next(std::string_view* line)
    {
        for (;;) {
            const char* begin = reinterpret_cast<const char*>(buffer_.data()) + at_;
            const size_t left = buffer_.size() - at_;
            const void* end = std::memchr(begin, '\n', left);
            if (end != nullptr || (at_eof_ && left != 0)) {
                const size_t length = end != nullptr ? static_cast<const char*>(end) - begin : left;
                at_ += end != nullptr ? length + 1 : length;
                *line = trimmed(std::string_view(begin, length));
                ++number_;
                return true;
            }
            if (at_eof_) {
                return false;
            }
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(at_));
            at_ = 0;
            at_eof_ = append_from(in_, buffer_, CHUNK_BYTES) == 0;
        }
    }
    // Of the line last read, from 1.
    size_t number() const { return number_; }
    bool failed() const { return std::ferror(in_) != 0; }

private:
    FILE* in_;
    std::vector<uint8_t> buffer_;
    size_t at_ = 0;
    bool at_eof_ = false;
    size_t number_ = 0;
};

std::string line_error(const LineReader& lines, const std::string& what)
{
    return "line " + std::to_string(lines.number()) + ": " + what;
}

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

// A record's bytes: the colon, then pairs of hexadecimal digits.
bool decode_record(std::string_view line, std::vector<uint8_t>* bytes)
{
    if (line.empty() || line[0] != ':' || line.size() % 2 != 1) {
        return false;
    }
    bytes->clear();
    for (size_t i = 1; i < line.size(); i += 2) {
        const int high = hex_digit(line[i]), low = hex_digit(line[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

enum RecordType : uint8_t { DATA = 0, END_OF_FILE = 1, SEGMENT_ADDRESS = 2, SEGMENT_START = 3,
                            LINEAR_ADDRESS = 4, LINEAR_START = 5 };

// The data in address order, consecutive pieces joined; "" or what overlaps.
std::string join_segments(std::vector<Segment>* segments)
{
    std::stable_sort(segments->begin(), segments->end(),
                     [](const Segment& a, const Segment& b) { return a.address < b.address; });
    std::vector<Segment> joined;
    for (Segment& segment : *segments) {
        if (!joined.empty()) {
            Segment& last = joined.back();
            const uint64_t end = last.address + last.bytes.size();
            if (segment.address < end) {
                char text[80];
                std::snprintf(text, sizeof text, "data for address 0x%llX is given twice",
                              static_cast<unsigned long long>(segment.address));
                return text;
            }
            if (segment.address == end) {
                last.bytes.insert(last.bytes.end(), segment.bytes.begin(), segment.bytes.end());
                continue;
            }
        }
        joined.push_back(std::move(segment));
    }
    *segments = std::move(joined);
    return "";
}

// One record; "" or what is wrong with it. Data goes on the last segment
// when it follows it, else starts a new one.
std::string take_record(const std::vector<uint8_t>& r, uint64_t* base, bool* ended,
                        std::vector<Segment>* segments)
{
    if (r.size() < 5 || r.size() != r[0] + 5u) {
        return "not an Intel HEX record (its length does not match its byte count)";
    }
    uint8_t sum = 0;
    for (const uint8_t byte : r) {
        sum = static_cast<uint8_t>(sum + byte);
    }
    if (sum != 0) {
        char text[80];
        std::snprintf(text, sizeof text, "checksum error (the record's bytes sum to 0x%02X, not 0)", sum);
        return text;
    }
    const uint64_t offset = static_cast<uint64_t>(r[1]) << 8 | r[2];
    const uint64_t value = r[0] == 2 ? static_cast<uint64_t>(r[4]) << 8 | r[5] : 0;
    switch (r[3]) {
    case DATA:
        if (segments->empty() || segments->back().address + segments->back().bytes.size() != *base + offset) {
            segments->push_back({*base + offset, {}});
        }
        segments->back().bytes.insert(segments->back().bytes.end(), r.begin() + 4, r.end() - 1);
        return "";
    case END_OF_FILE:
        *ended = true;
        return "";
    case SEGMENT_ADDRESS:
    case LINEAR_ADDRESS:
        if (r[0] != 2) {
            return "an address record without its two bytes of address";
        }
        *base = r[3] == SEGMENT_ADDRESS ? value << 4 : value << 16;
        return "";
    case SEGMENT_START:
    case LINEAR_START:
        return "";
    default:
        return "record type " + std::to_string(r[3]) + ", which Intel HEX does not have";
    }
}

// Text month names, as a .rbt's date writes them.
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A date of the form "Sun Dec  3 02:23:37 2017" as a .BIT header writes
// it: "2017/12/03" and "02:23:37"; left empty when it is not of that form.
void take_date(std::string_view text, BitFields* fields)
{
    char weekday[4], month[4], time[9];
    unsigned day = 0, year = 0;
    int used = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%3s %3s %u %8s %u%n", weekday, month, &day, time, &year, &used) != 5 ||
        static_cast<size_t>(used) != copy.size() || std::strlen(time) != 8 || day < 1 || day > 31) {
        return;
    }
    const auto* found = std::find_if(std::begin(MONTHS), std::end(MONTHS),
                                     [&](const char* name) { return std::strcmp(name, month) == 0; });
    if (found == std::end(MONTHS)) {
        return;
    }
    char date[32];
    std::snprintf(date, sizeof date, "%04u/%02d/%02u", year % 10000, static_cast<int>(found - MONTHS) + 1, day);
    fields->date = date;
    fields->time = time;
}

// A header line "Key: value" of a .rbt.
void take_header_line(std::string_view line, BitFields* fields)
{
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    const std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    if (key == "Design name") {
        fields->design = std::string(value);
    } else if (key == "Part") {
        fields->part = std::string(value);
    } else if (key == "Date") {
        take_date(value, fields);
    }
}

bool is_text(const std::vector<uint8_t>& head)
{
    return std::none_of(head.begin(), head.end(), [](uint8_t byte) {
        return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F;
    });
}

bool is_bit_line(std::string_view line)
{
    return !line.empty() && line.find_first_not_of("01") == std::string_view::npos;
}

}  // namespace

size_t append_from(FILE* in, std::vector<uint8_t>& bytes, size_t count)
{
    const size_t old = bytes.size();
    bytes.resize(old + count);
    const size_t got = std::fread(bytes.data() + old, 1, count, in);
    bytes.resize(old + got);
    return got;
}

bool looks_like_intel_hex(const std::vector<uint8_t>& head)
{
    return !head.empty() && head[0] == ':';
}

bool looks_like_ascii_bits(const std::vector<uint8_t>& head)
{
    if (!is_text(head)) {
        return false;
    }
    // Whole lines only: the last one may go on after `head`.
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
        const std::string_view line = trimmed(text.substr(start, end - start));
        if (line.size() >= 8 && is_bit_line(line)) {
            return true;
        }
    }
    return false;
}

std::string read_intel_hex(FILE* in, std::vector<uint8_t> head, std::vector<Segment>* segments)
{
    LineReader lines(in, std::move(head));
    std::string_view line;
    std::vector<uint8_t> record;
    uint64_t base = 0;
    bool ended = false;
    while (!ended && lines.next(&line)) {
        if (line.empty()) {
            continue;
        }
        const std::string error = decode_record(line, &record)
                                      ? take_record(record, &base, &ended, segments)
                                      : "not an Intel HEX record (a colon, then pairs of hexadecimal digits)";
        if (!error.empty()) {
            return line_error(lines, error);
        }
    }
    if (lines.failed()) {
        return std::string("cannot read it: ") + std::strerror(errno);
    }
    if (!ended) {
        return "no end-of-file record: the file is cut short";
    }
    return join_segments(segments);
}

std::string read_ascii_bits(FILE* in, std::vector<uint8_t> head, std::vector<uint8_t>* bytes,
                            BitFields* fields)
{
    LineReader lines(in, std::move(head));
    std::string_view line;
    bool in_bits = false;
    uint8_t byte = 0;
    unsigned bits = 0;
    while (lines.next(&line)) {
        if (!in_bits && !is_bit_line(line)) {
            take_header_line(line, fields);
            continue;
        }
        in_bits = true;
        if (!line.empty() && !is_bit_line(line)) {
            return line_error(lines, "not a line of 0 and 1 characters");
        }
        for (const char c : line) {
            byte = static_cast<uint8_t>(byte << 1 | (c - '0'));
            if (++bits == 8) {
                bytes->push_back(byte);
                bits = 0;
            }
        }
    }
    if (lines.failed()) {
        return std::string("cannot read it: ") + std::strerror(errno);
    }
    return bits == 0 ? "" : "its bits do not make whole bytes";
}

}  // namespace filekind
