// Hostile configuration files through the whole program on the simulated
// host: every cut of a valid file near its start and its end, thousands of
// seeded header mutations, header fields at their size limits, and files
// that are not regular files.
//
// Whatever the file, a run must end with one of the program's own endings:
// status 0, 102, 103 or 104 with exactly the matching report, never a signal
// or a hang; the card released; no raw control byte from the file on the
// terminal; and for a refused file, nothing sent to the card. Where the
// outcome follows from the file's layout, it is checked exactly.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/bit_reverse.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"
#include "tests/support/run_checks.h"

using namespace std::string_literals;

namespace {

// Under the address sanitizer every run costs several times as much (the
// child inherits the instrumented heap and checks it for leaks on exit), so
// a sanitized build runs a quarter of the random mutants; the exhaustive
// cases, the cuts and the field sizes stay as they are.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned RANDOM_SHARE = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr unsigned RANDOM_SHARE = 4;
#else
constexpr unsigned RANDOM_SHARE = 1;
#endif
#else
constexpr unsigned RANDOM_SHARE = 1;
#endif

// Runs counted over every suite here, reported once at the end.
uint64_t total_runs = 0;

class RunCountReport : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (total_runs != 0) {
            std::cout << "[ hostile  ] " << total_runs << " program runs on hostile files\n";
        }
    }
};
::testing::Environment* const run_count_report =
    ::testing::AddGlobalTestEnvironment(new RunCountReport);

// ------------------------------------------------------------ expectations

std::string hex_dump(const std::string& bytes, size_t limit = 160)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(bytes[i]));
        text += digits;
    }
    if (bytes.size() > limit) {
        text += "...";
    }
    return text + " (" + std::to_string(bytes.size()) + " bytes)";
}

// Runs the program on one file after another, checking each run, and
// reports the first few bad runs in full.
class HostileRunner {
public:
    ~HostileRunner()
    {
        ::testing::Test::RecordProperty("program_runs", static_cast<int>(runs_));
        EXPECT_EQ(bad_runs_, 0u) << "of " << runs_ << " runs";
    }

    ProgramRun run(const std::string& what, const std::string& file, const Expected& expected)
    {
        // Data bytes are logged only for runs that must refuse the file: no
        // byte may reach the card then, so the log stays short; a whole
        // logged upload would cost far more than the run.
        const bool refusal = expected.status == 103 || expected.status == 104;
        const std::string path = dir_.write("config", file);
        ProgramRun result = run_program({path, "0"}, [refusal](sim::Host&, recording::Recorder& recorder) {
            recorder.record_data_bytes = refusal;
        });
        ++runs_;
        ++total_runs;
        std::string problems = problems_of(result, expected);
        if (refusal && !result.data_bytes().empty()) {
            problems += "\n    " + std::to_string(result.data_bytes().size()) +
                        " data bytes reached the card";
        }
        if (!problems.empty() && ++bad_runs_ <= MAX_REPORTED) {
            ADD_FAILURE() << what << ": " << hex_dump(file) << problems;
        }
        return result;
    }

    unsigned runs() const { return runs_; }

private:
    static constexpr unsigned MAX_REPORTED = 12;
    TempDir dir_;
    unsigned runs_ = 0;
    unsigned bad_runs_ = 0;
};

// ------------------------------------------------------------ sample files

sample::Design small_design(bitstream::FamilyGroup group)
{
    sample::Design design = sample::design_for(group);
    design.frame_words = 2000;
    return design;
}

// Where the DESYNC command of a stream ends.
uint64_t desync_end(const std::string& data, bitstream::FamilyGroup group)
{
    const std::string command = group == bitstream::FamilyGroup::Virtex4On
                                    ? "\x30\x00\x80\x01\x00\x00\x00\x0D"s  // CMD <- DESYNC
                                    : "\x30\xA1\x00\x0D"s;
    const size_t at = data.rfind(command);
    return at == std::string::npos ? 0 : at + command.size();
}

// The bytes the FPGA takes after DESYNC before DONE rises: 8 to flush its
// packet buffer, then the clocks through start-up phase 4 (phases 0 to 4).
constexpr uint64_t STARTUP_BYTES = 13;

// A recognised file whose data part holds `data` bytes: it configures the
// FPGA if the data reaches the DESYNC command and the start-up clocks after
// it, else DONE is never reached.
Expected programmed(const std::string& report, uint64_t data, uint64_t desync)
{
    Expected e = data >= desync + STARTUP_BYTES ? exactly(0, "") : exactly(102, NOT_DONE);
    e.report_starts = report + PROGRAMMING;
    e.data_bytes = data;
    return e;
}

// A full or cut .BIT file of `length` bytes. Cut inside the header, it shows
// as much of the header as it holds.
Expected cut_bit(const BitFile& parts, size_t length, uint64_t desync)
{
    const size_t header = parts.header().size();
    if (length < header) {
        Expected e = exactly(103, END_OF_FILE);
        e.report_prefix_of = parts.report_through(3);
        return e;
    }
    return programmed(parts.report(), length - header, desync);
}

// A full or cut PROM image of `length` bytes; the length shown is the file's.
Expected cut_prom(size_t length, uint64_t desync)
{
    if (length < 14) {
        Expected e = exactly(103, END_OF_FILE);
        e.report = "";
        return e;
    }
    return programmed(prom_report(length), length, desync);
}

// ------------------------------------------------------------ (a) cuts

struct CutFile {
    const char* name;
    bitstream::FamilyGroup group;
    bool prom;
};

void PrintTo(const CutFile& file, std::ostream* os)
{
    *os << file.name;
}

class HostileTruncation : public ::testing::TestWithParam<CutFile> {};

TEST_P(HostileTruncation, EveryCutNearTheStartAndTheEndEndsAsItsLayoutSays)
{
    const CutFile& c = GetParam();
    const sample::Design design = small_design(c.group);
    const BitFile parts = sample_bit_file(design);
    const std::string file =
        c.prom ? to_string(sample::prom_image(design)) : parts.file();
    std::string stream = c.prom ? file : parts.data;
    if (c.prom) {
        for (char& byte : stream) {
            byte = static_cast<char>(bit_reverse_table[static_cast<uint8_t>(byte)]);
        }
    }
    const uint64_t desync = desync_end(stream, design.group);
    ASSERT_GT(desync, 200u);
    ASSERT_GT(file.size(), 264u);

    HostileRunner runner;
    // The whole file first: it must configure the FPGA exactly at its DESYNC.
    const ProgramRun full = runner.run(
        "whole file", file,
        c.prom ? cut_prom(file.size(), desync) : cut_bit(parts, file.size(), desync));
    ASSERT_EQ(full.exit_status, 0) << full.err;
    ASSERT_EQ(full.cards.at(0).done_at_byte, desync);

    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 200; ++length) {
        lengths.push_back(length);
    }
    for (size_t length = file.size() - 64; length < file.size(); ++length) {
        lengths.push_back(length);
    }
    for (size_t length : lengths) {
        runner.run("cut to " + std::to_string(length) + " bytes", file.substr(0, length),
                   c.prom ? cut_prom(length, desync) : cut_bit(parts, length, desync));
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileTruncation,
                         ::testing::Values(CutFile{"bit32", bitstream::FamilyGroup::Virtex4On, false},
                                           CutFile{"prom32", bitstream::FamilyGroup::Virtex4On, true},
                                           CutFile{"bit16", bitstream::FamilyGroup::Spartan6, false},
                                           CutFile{"prom16", bitstream::FamilyGroup::Spartan6, true}),
                         [](const ::testing::TestParamInfo<CutFile>& info) {
                             return std::string(info.param.name);
                         });

// ------------------------------------------------------------ (b) mutations

// One mutated file and what it must do.
struct Mutant {
    std::string what;
    std::string file;
    Expected expected;
};

using Rng = std::mt19937;

unsigned pick(Rng& rng, unsigned low, unsigned high)
{
    return std::uniform_int_distribution<unsigned>(low, high)(rng);
}

// A byte for header text: NULs, control bytes, DEL, high bytes and plain
// text, in about equal measure.
char hostile_byte(Rng& rng)
{
    switch (pick(rng, 0, 4)) {
    case 0:
        return '\0';
    case 1:
        return static_cast<char>(pick(rng, 0x01, 0x1F));
    case 2:
        return '\x7F';
    case 3:
        return static_cast<char>(pick(rng, 0x80, 0xFF));
    default:
        return static_cast<char>(pick(rng, 0x20, 0x7E));
    }
}

char nonzero_byte(Rng& rng)
{
    char c;
    do {
        c = hostile_byte(rng);
    } while (c == '\0');
    return c;
}

std::string hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// Expected outcome of a field made longer than its text: the text's NUL ends
// it early, so the header is cut short right after that field.
Expected longer_field(const BitFile& parts, int field)
{
    Expected e = exactly(103, END_OF_FILE);
    e.report = parts.report_through(field);
    return e;
}

Expected recognised(const BitFile& parts)
{
    Expected e = exactly(0, "");
    e.report_starts = parts.report() + PROGRAMMING;
    e.data_bytes = parts.data.size();
    return e;
}

// A kind of mutation: `count` distinct random mutants, or with a count of 0,
// every mutant of the kind, case `index` after case `index`, until there are
// no more.
struct MutationKind {
    const char* name;
    unsigned count;
    std::optional<Mutant> (*make)(Rng& rng, unsigned index, const BitFile& parts,
                                  const std::string& prom);
};

// Case `index` of one per byte of the texts of the four fields (but for
// `spare` bytes at each text's end): the field and the byte's offset.
std::optional<std::pair<int, unsigned>> text_position(const BitFile& parts, unsigned index,
                                                      unsigned spare)
{
    for (int field = 0; field < 4; ++field) {
        const unsigned size = static_cast<unsigned>(parts.fields[field].size()) - spare;
        if (index < size) {
            return std::make_pair(field, index);
        }
        index -= size;
    }
    return std::nullopt;
}

const MutationKind MUTATION_KINDS[] = {
    // A byte the .BIT test looks at: no longer a .BIT file, and not a PROM.
    {"signature_tested_byte", 150,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const unsigned positions[] = {0, 1, 11, 12, 13};
         const unsigned at = positions[pick(rng, 0, 4)];
         const unsigned old = static_cast<unsigned char>(parts.signature[at]);
         const unsigned value = (old + pick(rng, 1, 255)) & 0xFF;
         parts.signature[at] = static_cast<char>(value);
         Expected e = exactly(103, UNKNOWN_TYPE);
         e.report = "";
         return Mutant{"signature byte " + std::to_string(at) + " = " + hex2(value),
                       parts.file(), e};
     }},
    // Bytes 2 to 10 are not looked at.
    {"signature_untested_byte", 200,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const unsigned at = pick(rng, 2, 10);
         const unsigned value = pick(rng, 0, 255);
         parts.signature[at] = static_cast<char>(value);
         return Mutant{"signature byte " + std::to_string(at) + " = " + hex2(value),
                       parts.file(), recognised(parts)};
     }},
    // A length past the field's NUL: the field reads short.
    {"field_length_longer", 250,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const int field = static_cast<int>(pick(rng, 0, 3));
         // Just past the text, or anywhere up to the largest length.
         const unsigned size = static_cast<unsigned>(parts.fields[field].size());
         const unsigned length =
             pick(rng, 0, 1) ? pick(rng, size + 1, size + 8) : pick(rng, size + 1, 65535);
         parts.declared[field] = static_cast<int>(length);
         return Mutant{"field " + std::to_string(field) + " length " + std::to_string(length),
                       parts.file(), longer_field(parts, field)};
     }},
    // Every length short of the field's end: the rest of the header is read
    // out of step, and anything may follow.
    {"field_length_shorter", 0,
     [](Rng&, unsigned index, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         const auto position = text_position(original, index, 0);
         if (!position) {
             return std::nullopt;
         }
         const auto [field, length] = *position;
         BitFile parts = original;
         parts.declared[field] = static_cast<int>(length);
         // Whatever comes after, the field itself is shown as far as it goes.
         Expected e = anything();
         BitFile as_read = parts;
         as_read.fields[field].resize(length);
         e.report_starts = as_read.report_through(field);
         return Mutant{"field " + std::to_string(field) + " length " + std::to_string(length),
                       parts.file(), e};
     }},
    // Every one-bit change of every field length.
    {"field_length_bit_flip", 0,
     [](Rng&, unsigned index, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         if (index >= 4 * 16) {
             return std::nullopt;
         }
         BitFile parts = original;
         const int field = static_cast<int>(index / 16);
         const unsigned size = static_cast<unsigned>(parts.fields[field].size());
         const unsigned length = size ^ (1u << (index % 16));
         parts.declared[field] = static_cast<int>(length);
         return Mutant{"field " + std::to_string(field) + " length " + std::to_string(length),
                       parts.file(), length > size ? longer_field(parts, field) : anything()};
     }},
    // A NUL in every place inside every text ends it before its length.
    {"text_nul", 0,
     [](Rng&, unsigned index, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         const auto position = text_position(original, index, 1);
         if (!position) {
             return std::nullopt;
         }
         const auto [field, at] = *position;
         BitFile parts = original;
         parts.fields[field][at] = '\0';
         return Mutant{"field " + std::to_string(field) + " NUL at " + std::to_string(at),
                       parts.file(), longer_field(parts, field)};
     }},
    // Any other byte in the text is shown, escaped if need be.
    {"text_byte", 300,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const int field = static_cast<int>(pick(rng, 0, 3));
         std::string what = "field " + std::to_string(field);
         for (unsigned n = pick(rng, 1, 4); n > 0; --n) {
             const unsigned at = pick(rng, 0, unsigned(parts.fields[field].size()) - 2);
             const char c = nonzero_byte(rng);
             parts.fields[field][at] = c;
             what += " [" + std::to_string(at) + "]=" + hex2(static_cast<unsigned char>(c));
         }
         return Mutant{what, parts.file(), recognised(parts)};
     }},
    // Bytes inserted into the text, its length grown to match.
    {"text_insert", 300,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const int field = static_cast<int>(pick(rng, 0, 3));
         const unsigned at = pick(rng, 0, unsigned(parts.fields[field].size()) - 1);
         std::string inserted;
         for (unsigned n = pick(rng, 1, 8); n > 0; --n) {
             inserted += hostile_byte(rng);
         }
         parts.fields[field].insert(at, inserted);
         const bool nul = inserted.find('\0') != std::string::npos;
         return Mutant{"field " + std::to_string(field) + " insert at " + std::to_string(at) +
                           " " + hex_dump(inserted),
                       parts.file(), nul ? longer_field(parts, field) : recognised(parts)};
     }},
    // Bytes inserted into the text, its length left as it was.
    {"text_insert_length_kept", 300,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const int field = static_cast<int>(pick(rng, 0, 3));
         parts.declared[field] = static_cast<int>(parts.fields[field].size());
         const unsigned at = pick(rng, 0, unsigned(parts.fields[field].size()));
         std::string inserted;
         for (unsigned n = pick(rng, 1, 8); n > 0; --n) {
             inserted += hostile_byte(rng);
         }
         parts.fields[field].insert(at, inserted);
         return Mutant{"field " + std::to_string(field) + " insert at " + std::to_string(at) +
                           " " + hex_dump(inserted),
                       parts.file(), anything()};
     }},
    // The key letters are never read.
    {"key_letter", 150,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         const unsigned key = pick(rng, 0, 3);
         parts.keys[key] = static_cast<char>(pick(rng, 0, 255));
         return Mutant{"key " + std::to_string(key) + " = " +
                           hex2(static_cast<unsigned char>(parts.keys[key])),
                       parts.file(), recognised(parts)};
     }},
    // The announced length is shown, not trusted: the data runs to the end
    // of the file.
    {"config_length", 150,
     [](Rng& rng, unsigned, const BitFile& original,
        const std::string&) -> std::optional<Mutant> {
         BitFile parts = original;
         switch (pick(rng, 0, 3)) {
         case 0:
             parts.config_length = 0;
             break;
         case 1:
             parts.config_length = 0xFFFFFFFFu - pick(rng, 0, 3);
             break;
         case 2:
             parts.config_length ^= 1u << pick(rng, 0, 31);
             break;
         default:
             parts.config_length = static_cast<uint32_t>(rng());
             break;
         }
         return Mutant{"length " + std::to_string(parts.config_length), parts.file(),
                       recognised(parts)};
     }},
    // A few header bytes anywhere, set to anything.
    {"header_bytes", 400,
     [](Rng& rng, unsigned, const BitFile& parts,
        const std::string&) -> std::optional<Mutant> {
         std::string header = parts.header();
         std::string what = "header";
         for (unsigned n = pick(rng, 1, 4); n > 0; --n) {
             const unsigned at = pick(rng, 0, unsigned(header.size()) - 1);
             header[at] = pick(rng, 0, 1) ? hostile_byte(rng) : static_cast<char>(rng());
             what += " [" + std::to_string(at) + "]=" +
                     hex2(static_cast<unsigned char>(header[at]));
         }
         return Mutant{what, header + parts.data, anything()};
     }},
    // Header bytes removed or added.
    {"header_splice", 300,
     [](Rng& rng, unsigned, const BitFile& parts,
        const std::string&) -> std::optional<Mutant> {
         std::string header = parts.header();
         const unsigned at = pick(rng, 0, unsigned(header.size()) - 1);
         const unsigned count = pick(rng, 1, 16);
         std::string what;
         if (pick(rng, 0, 1)) {
             header.erase(at, count);
             what = "header erase " + std::to_string(count) + " at " + std::to_string(at);
         } else {
             std::string inserted;
             for (unsigned n = count; n > 0; --n) {
                 inserted += hostile_byte(rng);
             }
             header.insert(at, inserted);
             what = "header insert at " + std::to_string(at) + " " + hex_dump(inserted);
         }
         return Mutant{what, header + parts.data, anything()};
     }},
    // PROM: a byte the test looks at. Not a PROM image, and never a .BIT file
    // (its bytes 11 to 13 are the image's own).
    {"prom_tested_byte", 120,
     [](Rng& rng, unsigned, const BitFile&,
        const std::string& original) -> std::optional<Mutant> {
         std::string prom = original;
         const unsigned positions[] = {0, 4, 5, 6, 7};
         const unsigned at = positions[pick(rng, 0, 4)];
         const unsigned value =
             (static_cast<unsigned char>(prom[at]) + pick(rng, 1, 255)) & 0xFF;
         prom[at] = static_cast<char>(value);
         Expected e = exactly(103, UNKNOWN_TYPE);
         e.report = "";
         return Mutant{"byte " + std::to_string(at) + " = " + hex2(value), prom, e};
     }},
    // PROM: bytes 1 to 3 are not looked at. They are part of the dummy word
    // before the sync word; kept from forming a sync word of their own (no
    // 0x55, which the card's wiring turns into 0xAA), they change nothing.
    {"prom_untested_byte", 100,
     [](Rng& rng, unsigned, const BitFile&,
        const std::string& original) -> std::optional<Mutant> {
         std::string prom = original;
         std::string what = "bytes";
         for (unsigned at = 1; at <= 3; ++at) {
             if (pick(rng, 0, 1)) {
                 unsigned value;
                 do {
                     value = pick(rng, 0, 255);
                 } while (value == 0x55);
                 prom[at] = static_cast<char>(value);
                 what += " [" + std::to_string(at) + "]=" + hex2(value);
             }
         }
         Expected e = exactly(0, "");
         e.report_starts = prom_report(prom.size()) + PROGRAMMING;
         e.data_bytes = prom.size();
         return Mutant{what, prom, e};
     }},
    // PROM: any of its first 8 bytes, set to anything.
    {"prom_first_bytes", 102,
     [](Rng& rng, unsigned, const BitFile&,
        const std::string& original) -> std::optional<Mutant> {
         std::string prom = original;
         std::string what = "bytes";
         for (unsigned at = 0; at < 8; ++at) {
             if (pick(rng, 0, 2) == 0) {
                 prom[at] = static_cast<char>(pick(rng, 0, 255));
                 what += " [" + std::to_string(at) + "]=" +
                         hex2(static_cast<unsigned char>(prom[at]));
             }
         }
         const bool still_prom = prom.compare(0, 1, "\xFF") == 0 &&
                                 prom.compare(4, 4, "\x55\x99\xAA\x66") == 0;
         Expected e = still_prom ? anything() : exactly(103, UNKNOWN_TYPE);
         if (!still_prom) {
             e.report = "";
         }
         return Mutant{what, prom, e};
     }},
};

void PrintTo(const MutationKind& kind, std::ostream* os)
{
    *os << kind.name;
}

class HostileMutation : public ::testing::TestWithParam<MutationKind> {};

TEST_P(HostileMutation, SeededHeaderMutationsEndWithAReport)
{
    const MutationKind& kind = GetParam();
    const sample::Design design = small_design(bitstream::FamilyGroup::Virtex4On);
    const BitFile parts = sample_bit_file(design);
    const std::string prom = to_string(sample::prom_image(design));
    ASSERT_EQ(parts.file(), to_string(sample::bit_file(design)));

    // A generator per kind, seeded from its name: changing one kind leaves
    // the others' files as they were.
    uint32_t seed = 20261208u;
    for (const char* c = kind.name; *c != '\0'; ++c) {
        seed = seed * 31 + static_cast<unsigned char>(*c);
    }
    Rng rng(seed);
    HostileRunner runner;
    std::set<std::string> distinct;
    auto run = [&](unsigned index, const Mutant& mutant) {
        runner.run("#" + std::to_string(index) + " (" + mutant.what + ")", mutant.file,
                   mutant.expected);
    };
    if (kind.count == 0) {
        // Every case, each a file of its own.
        for (unsigned index = 0;; ++index) {
            const std::optional<Mutant> mutant = kind.make(rng, index, parts, prom);
            if (!mutant) {
                break;
            }
            EXPECT_TRUE(distinct.insert(mutant->file).second) << "case " << mutant->what;
            run(index, *mutant);
        }
        EXPECT_GT(runner.runs(), 40u);
    } else {
        // Random mutants, each file run once.
        const unsigned wanted = kind.count / RANDOM_SHARE;
        for (unsigned attempt = 0; distinct.size() < wanted && attempt < 50 * wanted;
             ++attempt) {
            const std::optional<Mutant> mutant = kind.make(rng, attempt, parts, prom);
            if (mutant && distinct.insert(mutant->file).second) {
                run(attempt, *mutant);
            }
        }
        EXPECT_EQ(runner.runs(), wanted);
    }
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileMutation, ::testing::ValuesIn(MUTATION_KINDS),
                         [](const ::testing::TestParamInfo<MutationKind>& info) {
                             return std::string(info.param.name);
                         });

// ------------------------------------------------------------ (c) field sizes

// `count` text bytes running through 0x01..0xFF from `first` on: every byte
// value a text can hold without ending early.
std::string every_byte_text(size_t count, unsigned first)
{
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        text += static_cast<char>(1 + (first - 1 + i) % 255);
    }
    return text;
}

struct FieldSizeCase {
    std::string name;
    std::string file;
    Expected expected;
};

std::vector<FieldSizeCase> field_size_cases()
{
    const sample::Design design = small_design(bitstream::FamilyGroup::Virtex4On);
    const BitFile base = sample_bit_file(design);
    std::vector<FieldSizeCase> cases;
    for (int field = 0; field < 4; ++field) {
        const std::string n = "field" + std::to_string(field);
        BitFile parts = base;
        parts.fields[field] = "";
        cases.push_back({n + "_empty", parts.file(), recognised(parts)});

        parts.fields[field] = every_byte_text(65534, 1 + 60 * field) + '\0';
        cases.push_back({n + "_65535_with_nul", parts.file(), recognised(parts)});

        parts.fields[field] = every_byte_text(65535, 1 + 60 * field);
        cases.push_back({n + "_65535_without_nul", parts.file(), recognised(parts)});

        // A NUL inside ends the text there: the header is cut short.
        parts.fields[field][1000] = '\0';
        cases.push_back({n + "_65535_nul_inside", parts.file(), longer_field(parts, field)});

        // The file ends 2000 bytes into the longest field.
        parts.fields[field] = every_byte_text(65535, 7);
        const std::string cut = parts.file().substr(0, parts.field_offset(field) + 2 + 2000);
        BitFile as_read = parts;
        as_read.fields[field].resize(2000);
        Expected ends_inside = exactly(103, END_OF_FILE);
        ends_inside.report = as_read.report_through(field);
        cases.push_back({n + "_65535_file_ends_inside", cut, ends_inside});
    }
    BitFile parts = base;
    for (int field = 0; field < 4; ++field) {
        parts.fields[field] = field % 2 ? every_byte_text(65534, 1 + 64 * field) + '\0'
                                        : every_byte_text(65535, 1 + 64 * field);
    }
    cases.push_back({"all_fields_65535", parts.file(), recognised(parts)});
    for (std::string& field : parts.fields) {
        field.clear();
    }
    cases.push_back({"all_fields_empty", parts.file(), recognised(parts)});
    return cases;
}

TEST(HostileFieldSize, FieldsOfNoneAndOfTheLargestLengthAreShownOrRefusedExactly)
{
    HostileRunner runner;
    const std::vector<FieldSizeCase> cases = field_size_cases();
    for (const FieldSizeCase& c : cases) {
        runner.run(c.name, c.file, c.expected);
    }
}

// ------------------------------------------------------------ special files

// Files that are not regular files end with a report too. (Directories and
// anonymous pipes are covered with the recognition tests.)
TEST(HostileSpecialFiles, NamedPipeWithAWholeFileIsRefusedNotWaitedOn)
{
    TempDir dir;
    const sample::Design design = small_design(bitstream::FamilyGroup::Virtex4On);
    const std::string bit = dir.write("whole.bit", to_string(sample::bit_file(design)));
    const std::string prom = dir.write("whole.prom", to_string(sample::prom_image(design)));
    const std::string fifo = dir.path() + "/config.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // The writer sends a whole file into the pipe, or nothing at all; the
    // program, which must seek to read the header, cannot use it either way.
    const std::vector<std::pair<std::string, std::string>> writers = {
        {"bit", "cat '" + bit + "'"},
        {"prom", "cat '" + prom + "'"},
        {"nothing", "true"},
    };
    for (const auto& writer : writers) {
        SCOPED_TRACE(writer.first);
        const ProgramRun run = run_executable(
            "/bin/bash",
            {"-c", "(" + writer.second + ") > '" + fifo + "' & exec '" + VELTCFG_SIM_PATH + "' '" +
                       fifo + "' 0"},
            30);
        ++total_runs;
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_status, 103);
        EXPECT_EQ(run.err, error_report(END_OF_FILE));
        EXPECT_EQ(mask_memory_base(run.out), banner() + card_report(0));
    }
}

TEST(HostileSpecialFiles, CharacterDevicesEndWithAReport)
{
    struct Device {
        const char* path;
        std::string message;
    };
    // /dev/null reads nothing; /dev/zero never ends but is no known file.
    const Device devices[] = {{"/dev/null", END_OF_FILE}, {"/dev/zero", UNKNOWN_TYPE}};
    for (const Device& device : devices) {
        SCOPED_TRACE(device.path);
        const ProgramRun run = run_program({device.path, "0"}, [](sim::Host&, recording::Recorder& recorder) {
            recorder.record_data_bytes = false;
        });
        ++total_runs;
        Expected expected = exactly(103, device.message);
        expected.report = "";
        const std::string problems = problems_of(run, expected);
        EXPECT_EQ(problems, "");
    }
}

}  // namespace
