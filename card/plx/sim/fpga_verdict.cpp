#include "card/plx/sim/fpga_verdict.h"

#include <cstdio>
#include <iterator>

#include "bitstream/devices.h"
#include "common/hex_text.h"

namespace sim {

namespace {

#include "card/plx/sim/fpga_texts.inc"

std::string value_text(const Verdict& v, uint32_t value)
{
    switch (v.shown) {
    case Shown::Idcode:
        return bitstream::idcode_text(value);
    case Shown::Count:
        return std::to_string(value);
    case Shown::Hex:
        break;
    }
    return hex_text(value, v.digits);
}

void replace_all(std::string* text, const std::string& name, const std::string& value)
{
    for (size_t at = text->find(name); at != std::string::npos; at = text->find(name, at)) {
        text->replace(at, name.size(), value);
        at += value.size();
    }
}

}  // namespace

const char* reason_code(Reason reason)
{
    for (const auto& row : REASONS) {
        if (row.reason == reason) {
            return row.code;
        }
    }
    return "";
}

std::string describe(const Verdict& v, uint64_t data_offset)
{
    std::string text;
    for (const auto& row : REASONS) {
        if (row.reason == v.reason) {
            text = row.sentence;
        }
    }
    replace_all(&text, "{found?}", v.has_found ? ", from address " + value_text(v, v.found) : "");
    replace_all(&text, "{at}", std::to_string(data_offset + v.at));
    replace_all(&text, "{expected}", value_text(v, v.expected));
    replace_all(&text, "{found}", value_text(v, v.found));
    replace_all(&text, "{command}", v.command);
    replace_all(&text, "{family}", v.family);
    return text;
}

const FeatureText* feature_texts(size_t* count)
{
    *count = std::size(FEATURES);
    return FEATURES;
}

}  // namespace sim
