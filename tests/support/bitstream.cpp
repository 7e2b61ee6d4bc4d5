#include "tests/support/bitstream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

const char* const FIELD_LABELS[4] = {
    "\n  Design name:          ",
    "\n  Part I.D.:            ",
    "\n  Design date:          ",
    "\n  Design time:          ",
};

}  // namespace

std::string be16(uint32_t value)
{
    return std::string{static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string be32(uint32_t value)
{
    return be16(value >> 16) + be16(value & 0xFFFF);
}

std::string to_string(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string BitFile::header() const
{
    std::string file = signature;
    for (int i = 0; i < 4; ++i) {
        const uint32_t length =
            declared[i] < 0 ? static_cast<uint32_t>(fields[i].size()) : uint32_t(declared[i]);
        file += be16(length) + fields[i] + keys[i];
    }
    return file + be32(config_length);
}

size_t BitFile::field_offset(int i) const
{
    size_t at = signature.size();
    for (int k = 0; k < i; ++k) {
        at += 2 + fields[k].size() + 1;
    }
    return at;
}

std::string BitFile::report_through(int last) const
{
    std::string text = "\nLooks like a .BIT file:";
    for (int i = 0; i <= last; ++i) {
        text += FIELD_LABELS[i] + shown(fields[i]);
    }
    return text;
}

std::string BitFile::report() const
{
    return report_through(3) + "\n  Configuration length: " + std::to_string(config_length) +
           " bytes\n";
}

BitFile bit_file(const std::vector<std::string>& texts, uint32_t config_length,
                 const std::string& data)
{
    BitFile file;
    for (size_t i = 0; i < 4 && i < texts.size(); ++i) {
        file.fields[i] = texts[i] + '\0';
    }
    file.config_length = config_length;
    file.data = data;
    return file;
}

BitFile standard_bit_file(uint32_t config_length, const std::string& data)
{
    return bit_file({"top.ncd", "7a35tcpg236", "2026/12/08", "09:30:00"}, config_length, data);
}

BitFile sample_bit_file(const sample::Design& design)
{
    const std::string data = to_string(sample::ConfigStream(design).bytes());
    return bit_file({design.name, design.part, design.date, design.time},
                    static_cast<uint32_t>(data.size()), data);
}

namespace {

// The length of the valid UTF-8 sequence at `at` that ends before `end`, and
// its code point; 0 when there is none.
size_t utf8_sequence(const std::string& text, size_t at, size_t end, uint32_t* code_point)
{
    const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > end) {
        return 0;
    }
    uint32_t value = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *code_point = value;
    return length;
}

}  // namespace

std::string shown(const std::string& text)
{
    std::string result;
    char escaped[8];
    const auto escape = [&](unsigned char u) {
        std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
        result += escaped;
    };
    const size_t end = std::min(text.find('\0'), text.size());
    for (size_t at = 0; at < end;) {
        const unsigned char u = static_cast<unsigned char>(text[at]);
        uint32_t code_point = 0;
        const size_t length = u >= 0x80 ? utf8_sequence(text, at, end, &code_point) : 0;
        if (length != 0) {
            for (size_t i = 0; i < length; ++i) {
                if (code_point <= 0x9F) {
                    escape(static_cast<unsigned char>(text[at + i]));
                } else {
                    result += text[at + i];
                }
            }
            at += length;
            continue;
        }
        if ((u < 0x20 && u != '\t') || (u >= 0x7F && u <= 0x9F)) {
            escape(u);
        } else {
            result += text[at];
        }
        ++at;
    }
    return result;
}

std::string prom_report(uint64_t length)
{
    return "\nLooks like a PROM file:\n  Configuration length: " + std::to_string(length) +
           " bytes\n";
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/veltcfg-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const
{
    const std::string file = path_ + "/" + name;
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
        std::fclose(out) != 0) {
        throw std::runtime_error("cannot write " + file);
    }
    return file;
}

std::string read_file(const std::string& path)
{
    std::string bytes;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.append(buffer, n);
    }
    std::fclose(in);
    return bytes;
}

std::string corpus_dir()
{
    const std::string dir = VELTCFG_CORPUS_DIR;
    struct stat info;
    return stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? dir : std::string();
}
