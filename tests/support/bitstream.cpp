#include "bitstream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

std::string be16(uint32_t value)
{
    return std::string{static_cast<char>(value >> 8 & 0xFF), static_cast<char>(value & 0xFF)};
}

std::string be32(uint32_t value)
{
    return be16(value >> 16) + be16(value & 0xFFFF);
}

std::string bit_signature()
{
    return std::string("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x01" "a", 14);
}

std::string bit_file(const std::vector<std::string>& fields, uint32_t config_length,
                     const std::string& data)
{
    std::string file = bit_signature();
    const char keys[] = {'b', 'c', 'd', 'e'};
    for (size_t i = 0; i < fields.size(); ++i) {
        file += be16(static_cast<uint32_t>(fields[i].size())) + fields[i];
        file += keys[i % 4];
    }
    return file + be32(config_length) + data;
}

std::vector<std::string> standard_fields()
{
    using namespace std::string_literals;
    return {"top.ncd\0"s, "7a35tcpg236\0"s, "2026/12/08\0"s, "09:30:00\0"s};
}

std::string standard_bit_report(uint32_t config_length)
{
    return "\nLooks like a .BIT file:"
           "\n  Design name:          top.ncd"
           "\n  Part I.D.:            7a35tcpg236"
           "\n  Design date:          2026/12/08"
           "\n  Design time:          09:30:00"
           "\n  Configuration length: " +
           std::to_string(config_length) + " bytes\n";
}

std::string to_string(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> to_bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
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

std::string corpus_dir()
{
    const std::string dir = VELTCFG_CORPUS_DIR;
    struct stat info;
    return stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? dir : std::string();
}
