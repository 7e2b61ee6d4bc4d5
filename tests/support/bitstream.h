// Configuration files for tests, and the reports the program prints for
// them: .BIT files put together field by field (any field, length or key
// letter may be set to anything), sample designs from the generator, and a
// temporary folder to put them in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sample_bitstream.h"

std::string be16(uint32_t value);
std::string be32(uint32_t value);
std::string to_string(const std::vector<uint8_t>& bytes);

// A .BIT file in its parts. The fields hold their texts as stored (with
// their NULs); a declared length of -1 is the text's own length.
struct BitFile {
    std::string signature = std::string("\x00\x09\x0F\xF0\x0F\xF0\x0F\xF0\x0F\xF0\x00\x00\x01" "a", 14);
    std::string fields[4];
    int declared[4] = {-1, -1, -1, -1};
    char keys[4] = {'b', 'c', 'd', 'e'};
    uint32_t config_length = 0;
    std::string data;

    std::string header() const;
    std::string file() const { return header() + data; }
    // Offset of field i's 2-byte length in the file.
    size_t field_offset(int i) const;

    // The report's lines for fields 0..last, as printed while reading them,
    // and the whole report with the length.
    std::string report_through(int last) const;
    std::string report() const;
};

// Texts stored with a NUL after each, `length` announced, then `data`.
BitFile bit_file(const std::vector<std::string>& texts, uint32_t config_length,
                 const std::string& data);
// The usual four fields: top.ncd, 7a35tcpg236, 2026/12/08, 09:30:00.
BitFile standard_bit_file(uint32_t config_length, const std::string& data);
// The generator's .BIT file of `design`, in parts.
BitFile sample_bit_file(const sample::Design& design);

// Text as the program shows it on a terminal: up to the first NUL, with C0
// controls but tab, DEL and C1 controls (a byte 0x80-0x9F outside valid
// UTF-8, and UTF-8 encoded U+0080-U+009F) written as \xHH.
std::string shown(const std::string& text);

// The report of a PROM image of `length` bytes.
std::string prom_report(uint64_t length);

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `bytes` to a file in the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// A file's bytes ("" when it cannot be read).
std::string read_file(const std::string& path);

// What the corpus folder beside the checkout holds, or "" when it is absent.
std::string corpus_dir();
