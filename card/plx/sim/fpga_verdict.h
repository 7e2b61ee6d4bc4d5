// Why the simulated FPGA is not configured, as it decides it: a reason, the
// byte of the stream where it decided, and what it compared. Each reason has
// a stable code and one sentence, in REASONS (fpga_verdict.cpp) and nowhere
// else; veltcfg-check shows them, and its manual page lists the codes.
//
// And what kinds of stream it met (bitstream::Feature), each with a code and
// a sentence on what it means on the card.
#pragma once

#include <cstdint>
#include <string>

#include "bitstream/stream_reader.h"

namespace sim {

enum class Reason : uint8_t {
    None,             // configured
    NoSync,           // no sync word it takes
    HalfSync,         // synced on AA 99 alone, as its device does not
    BusWidth,         // no bus width detection before the sync word
    NoStart,          // DESYNC without START
    NoEnd,            // no command that ends the configuration
    IdError,          // written for another device
    CrcMismatch,      // a CRC check failed
    DebugCrc,         // a CRC check of a debug bitstream failed
    Encrypted,        // it holds no key
    Iprog,            // IPROG before start-up, and no sync word after it
    StartupCutShort,  // the stream ended before DONE's start-up phase
    ShutDown,         // SHUTDOWN and RCRC after start-up
    Restarted,        // IPROG after start-up, and no configuration after it
    NotDone,          // configured, but DONE reads low (a card fault)
};

// How a verdict's values are shown.
enum class Shown : uint8_t { Hex, Idcode, Count };

struct Verdict {
    Reason reason = Reason::NoSync;
    uint64_t at = 0;  // the end of what decided it, in bytes from the cycle's start
    uint32_t expected = 0, found = 0;
    Shown shown = Shown::Hex;
    int digits = 8;            // of Hex values
    bool has_found = false;    // an optional value was found (IPROG's restart address)
    const char* command = "";  // the command that ends the group's configuration
    const char* family = "";   // the families of the group, where the sentence names them
};

// The verdict's stable code ("crc_mismatch") and its sentence, with the
// places shown as bytes of a file whose stream starts at `data_offset`.
const char* reason_code(Reason reason);
std::string describe(const Verdict& verdict, uint64_t data_offset);

// Each feature in `features`, as its code and its sentence, in table order.
struct FeatureText {
    bitstream::Feature feature;
    const char* code;
    const char* meaning;
};
const FeatureText* feature_texts(size_t* count);

}  // namespace sim
