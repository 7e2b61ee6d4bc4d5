// Building configuration files for tests: raw .BIT headers byte by byte,
// PROM images, and a temporary folder to put them in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sample_bitstream.h"

std::string be16(uint32_t value);
std::string be32(uint32_t value);

// The 14 bytes a .BIT file starts with.
std::string bit_signature();

// A .BIT file: the signature, each text as a field (2-byte length, the text
// as given, key letters b, c, d, e after them), then the length and data.
std::string bit_file(const std::vector<std::string>& fields, uint32_t config_length,
                     const std::string& data);

// The usual four fields, with their NULs.
std::vector<std::string> standard_fields();

// Its report, exactly as the program prints it, for standard_fields().
std::string standard_bit_report(uint32_t config_length);

std::string to_string(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> to_bytes(const std::string& text);

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

// What the corpus folder beside the checkout holds, or "" when it is absent.
std::string corpus_dir();
