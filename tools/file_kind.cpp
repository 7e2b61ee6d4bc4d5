#include "tools/file_kind.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "bitstream/devices.h"
#include "bitstream/packet_format.h"
#include "bitstream/stream_reader.h"
#include "common/bit_reverse.h"
#include "configfile/file_signatures.h"
#include "tools/file_kind_text.h"

namespace filekind {

namespace {

constexpr size_t HEAD_BYTES = 64 * 1024;  // read first, to tell the kind
constexpr size_t CHUNK_BYTES = 1 << 20;
// Kept free before a stream that is read whole, for the .BIT header
// bit_file puts before it.
constexpr size_t HEADER_ROOM = 4096;

const struct {
    Kind kind;
    const char* name;
    const char* order;  // of an Intel HEX file's image
    const char* text;   // the file, for people
} KINDS[] = {
    {Kind::Null, "null", "",
     "no configuration stream: not a .BIT file or a PROM image, and no sync word in any byte order"},
    {Kind::Bit, "bit", ".BIT file", "a .BIT file, which veltcfg takes"},
    {Kind::Prom, "prom", "PROM image", "a PROM image, which veltcfg takes"},
    {Kind::Stream, "stream", "natural bit order",
     "a configuration stream in natural bit order without a header, as SPI flash images and "
     "bare bitstreams hold it"},
    {Kind::StreamBitReversed, "stream_bit_reversed", "bits reversed",
     "a configuration stream with each byte's bits reversed, as PROM images hold it, but not "
     "starting as veltcfg's PROM images do (0xFF, then the sync word at byte 4)"},
    {Kind::StreamByteSwapped, "stream_byte_swapped", "bytes swapped",
     "a configuration stream with the bytes of each 32-bit word swapped"},
    {Kind::StreamSmapx32, "stream_smapx32", "bits reversed and bytes swapped",
     "a configuration stream with each byte's bits reversed and the bytes of each 32-bit word "
     "swapped, as written for a 32-bit parallel port"},
    {Kind::IntelHex, "intel_hex", "", "Intel HEX records"},
    {Kind::AsciiBits, "ascii_bits", "", "a text of 0 and 1 characters after a header (.rbt)"},
};

const auto& row_of(Kind kind)
{
    return *std::find_if(std::begin(KINDS), std::end(KINDS),
                         [kind](const auto& row) { return row.kind == kind; });
}

bool word_swapped(Kind order)
{
    return order == Kind::StreamByteSwapped || order == Kind::StreamSmapx32;
}

// Stores natural bytes as `order` does, or the other way: each is its own
// inverse. The byte-swapped orders take whole 32-bit words.
void reorder(Kind order, uint8_t* bytes, size_t count)
{
    if (order == Kind::StreamBitReversed || order == Kind::StreamSmapx32 || order == Kind::Prom) {
        for (uint8_t* byte = bytes; byte != bytes + count; ++byte) {
            *byte = bit_reverse_table[*byte];
        }
    }
    if (word_swapped(order)) {
        for (uint8_t* word = bytes; word + 4 <= bytes + count; word += 4) {
            std::reverse(word, word + 4);
        }
    }
}

// Where the first sync word is, and the order it is stored in.
struct Sync {
    bool found = false;
    size_t at = 0;
    Kind order = Kind::Null;
};

// The sync word as `order` stores it, and AA 99 after a dummy half-word
// (FF FF) and before a 16-bit type-1 header, as 16-bit streams that sync
// on AA 99 alone have it (those are never word-swapped).
bool sync_at(const uint8_t* bytes, size_t left, Kind order, size_t* sync)
{
    uint8_t pattern[6] = {static_cast<uint8_t>(bitstream::SYNC_WORD >> 24),
                          static_cast<uint8_t>(bitstream::SYNC_WORD >> 16),
                          static_cast<uint8_t>(bitstream::SYNC_WORD >> 8),
                          static_cast<uint8_t>(bitstream::SYNC_WORD)};
    reorder(order, pattern, 4);
    if (left >= 4 && std::memcmp(bytes, pattern, 4) == 0) {
        *sync = 0;
        return true;
    }
    if (word_swapped(order) || left < 5) {
        return false;
    }
    uint8_t half[5] = {0xFF, 0xFF, static_cast<uint8_t>(bitstream::SYNC_HALF >> 8),
                       static_cast<uint8_t>(bitstream::SYNC_HALF), bytes[4]};
    reorder(order, half, 5);
    if (std::memcmp(bytes, half, 4) != 0 ||
        bitstream::WORDS_16.type_of(static_cast<uint32_t>(half[4]) << 8) != 1) {
        return false;
    }
    *sync = 2;
    return true;
}

// The first sync word in bytes[from..].
Sync find_sync(const std::vector<uint8_t>& bytes, size_t from)
{
    static const Kind ORDERS[] = {Kind::Stream, Kind::StreamBitReversed, Kind::StreamByteSwapped,
                                  Kind::StreamSmapx32};
    for (size_t at = from; at + 4 <= bytes.size(); ++at) {
        const uint8_t first = bytes[at];
        if (first != 0xAA && first != 0x55 && first != 0x66 && first != 0xFF) {
            continue;
        }
        for (const Kind order : ORDERS) {
            size_t offset = 0;
            if (sync_at(&bytes[at], bytes.size() - at, order, &offset)) {
                return {true, at + offset, order};
            }
        }
    }
    return {};
}

// 0xFF bytes after the configuration's last command are erased flash.
void trim_padding(std::vector<uint8_t>* stream)
{
    const auto last = std::find_if(stream->rbegin(), stream->rend(), [](uint8_t b) { return b != 0xFF; });
    const size_t end = static_cast<size_t>(stream->rend() - last);
    stream->resize(std::min(stream->size(), end + TRAILING_PADDING_KEPT));
}

// The configuration in `bytes`, whose sync word `sync` is, as an image:
// from LEAD_KEPT bytes before the sync word, in natural order, its padding
// trimmed. A word-swapped stream's words are whole from the sync word back.
Image make_image(std::vector<uint8_t> bytes, const Sync& sync, uint64_t address)
{
    const size_t lead = std::min(sync.at, LEAD_KEPT);
    const size_t start = sync.at - (word_swapped(sync.order) ? lead / 4 * 4 : lead);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(start));
    if (word_swapped(sync.order)) {
        bytes.resize(bytes.size() / 4 * 4);  // a word cut short has no place
    }
    reorder(sync.order, bytes.data(), bytes.size());
    trim_padding(&bytes);
    return {address, sync.order, std::move(bytes)};
}

// Reads the rest of `in` onto `bytes`, leaving room for a header: into
// the room reserved as long as the file is as long as it was, so that the
// bytes are held once.
bool read_rest(FILE* in, std::vector<uint8_t>* bytes, uint64_t file_left)
{
    bytes->reserve(bytes->size() + static_cast<size_t>(file_left) + HEADER_ROOM);
    for (;;) {
        const size_t room = bytes->capacity() - bytes->size();
        if (append_from(in, *bytes, room > HEADER_ROOM ? room - HEADER_ROOM : room != 0 ? room : CHUNK_BYTES) == 0) {
            return std::ferror(in) == 0;
        }
    }
}

uint64_t bytes_left(FILE* in)
{
    const off_t here = ftello(in);
    if (here < 0 || fseeko(in, 0, SEEK_END) != 0) {
        return 0;
    }
    const off_t end = ftello(in);
    fseeko(in, here, SEEK_SET);
    return end > here ? static_cast<uint64_t>(end - here) : 0;
}

uint32_t big_endian(const uint8_t* bytes, unsigned count)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// A .BIT file, whole in `bytes`: its fields and the configuration its
// length announces.
void take_bit_file(std::vector<uint8_t> bytes, FileContents* out)
{
    size_t at = BIT_FIRST_FIELD_OFFSET;
    std::string* fields[] = {&out->fields.design, &out->fields.part, &out->fields.date, &out->fields.time};
    for (std::string* field : fields) {
        const size_t length = at + 2 <= bytes.size() ? big_endian(&bytes[at], 2) : 0;
        if (at + 2 + length + 1 > bytes.size()) {
            out->error = "its .BIT header is cut short";
            return;
        }
        field->assign(reinterpret_cast<const char*>(&bytes[at + 2]), length);
        field->resize(std::strlen(field->c_str()));  // up to its NUL
        at += 2 + length + 1;
    }
    if (at + 4 > bytes.size() || big_endian(&bytes[at], 4) > bytes.size() - at - 4) {
        out->error = "its configuration data is cut short of the length its .BIT header announces";
        return;
    }
    const uint32_t length = big_endian(&bytes[at], 4);
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(at + 4));
    bytes.resize(length);
    trim_padding(&bytes);
    out->images.push_back({0, Kind::Bit, std::move(bytes)});
}

// A file of neither text kind: the stream from its first sync word on. Until
// that is found only the last bytes are kept, so that a file that holds
// none is not held whole.
void take_binary(FILE* in, std::vector<uint8_t> bytes, uint64_t file_left, FileContents* out)
{
    constexpr size_t KEPT_WHILE_LOOKING = LEAD_KEPT + 8;
    uint64_t dropped = 0;
    Sync sync = find_sync(bytes, 0);
    while (!sync.found) {
        if (bytes.size() > KEPT_WHILE_LOOKING) {
            const size_t drop = bytes.size() - KEPT_WHILE_LOOKING;
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(drop));
            dropped += drop;
        }
        const size_t searched = bytes.size() > 5 ? bytes.size() - 5 : 0;
        if (append_from(in, bytes, CHUNK_BYTES) == 0) {
            break;
        }
        sync = find_sync(bytes, searched);
    }
    out->kind = sync.found ? sync.order : Kind::Null;
    const uint64_t read = dropped + bytes.size();
    if (sync.found && read_rest(in, &bytes, file_left > read ? file_left - read : 0)) {
        out->images.push_back(make_image(std::move(bytes), sync, 0));
    }
}

// The configurations of an Intel HEX file: each segment of consecutive
// addresses that holds a sync word.
void take_intel_hex(FILE* in, std::vector<uint8_t> head, FileContents* out)
{
    std::vector<Segment> segments;
    out->error = read_intel_hex(in, std::move(head), &segments);
    if (!out->error.empty()) {
        return;
    }
    for (Segment& segment : segments) {
        const Sync sync = find_sync(segment.bytes, 0);
        if (sync.found) {
            out->images.push_back(make_image(std::move(segment.bytes), sync, segment.address));
        }
    }
}

void take_ascii_bits(FILE* in, std::vector<uint8_t> head, FileContents* out)
{
    std::vector<uint8_t> bytes;
    out->error = read_ascii_bits(in, std::move(head), &bytes, &out->fields);
    const Sync sync = find_sync(bytes, 0);
    if (sync.found) {
        out->images.push_back(make_image(std::move(bytes), sync, 0));
    }
}

std::string describe(const FileContents& contents)
{
    std::string text = row_of(contents.kind).text;
    char number[64];
    if (contents.kind == Kind::IntelHex) {
        text += contents.images.empty() ? " holding no configuration (no sync word in any byte order)"
                                        : " holding " + std::to_string(contents.images.size()) +
                                              (contents.images.size() == 1 ? " configuration:" : " configurations:");
        for (size_t i = 0; i < contents.images.size(); ++i) {
            const Image& image = contents.images[i];
            std::snprintf(number, sizeof number, "%s %zu at 0x%06llX (", i == 0 ? "" : ",", i + 1,
                          static_cast<unsigned long long>(image.address));
            text += number + std::string(row_of(image.order).order) + ")";
        }
    } else if (contents.kind == Kind::AsciiBits && contents.images.empty()) {
        text += ", holding no configuration (no sync word in any byte order)";
    }
    if (contents.images.size() == 1) {
        std::snprintf(number, sizeof number, "; %llu bytes of configuration",
                      static_cast<unsigned long long>(contents.images[0].stream.size()));
        text += number;
    }
    return text;
}

std::string local_time(std::time_t when, const char* format)
{
    char text[32];
    const std::tm* parts = std::localtime(&when);
    return parts != nullptr && std::strftime(text, sizeof text, format, parts) != 0 ? text : "";
}

}  // namespace

const char* kind_name(Kind kind)
{
    return row_of(kind).name;
}

FileContents read_contents(FILE* in)
{
    FileContents out;
    const uint64_t file_left = bytes_left(in);
    std::vector<uint8_t> head;
    append_from(in, head, HEAD_BYTES);
    if (head.size() >= SIGNATURE_SIZE && (is_bit_file(head.data()) || is_prom_file(head.data()))) {
        out.kind = is_bit_file(head.data()) ? Kind::Bit : Kind::Prom;
        if (read_rest(in, &head, file_left - std::min<uint64_t>(file_left, head.size()))) {
            if (out.kind == Kind::Bit) {
                take_bit_file(std::move(head), &out);
            } else {
                out.images.push_back(make_image(std::move(head), {true, 4, Kind::Prom}, 0));
            }
        }
    } else if (looks_like_intel_hex(head)) {
        out.kind = Kind::IntelHex;
        take_intel_hex(in, std::move(head), &out);
    } else if (looks_like_ascii_bits(head)) {
        out.kind = Kind::AsciiBits;
        take_ascii_bits(in, std::move(head), &out);
    } else {
        take_binary(in, std::move(head), file_left, &out);
    }
    if (std::ferror(in) != 0 && out.error.empty()) {
        out.error = std::string("cannot read it: ") + std::strerror(errno);
    }
    if (!out.error.empty()) {
        out.images.clear();
        out.fields = {};
    }
    out.description = describe(out);
    return out;
}

uint32_t stream_idcode(const std::vector<uint8_t>& stream)
{
    bitstream::FormatDetector detector;
    unsigned word_bytes = 0;
    for (size_t at = 0; at < stream.size() && word_bytes == 0; ++at) {
        word_bytes = detector.take(stream[at]);
    }
    const auto idcode = [&](auto& reader) -> uint32_t {
        reader.restart(bitstream::groups_with_words(word_bytes), nullptr, detector.bus_width_detected());
        bitstream::ReaderEvent event = bitstream::ReaderEvent::None;
        for (size_t at = 0; at < stream.size() && event != bitstream::ReaderEvent::Idcode;) {
            at += reader.consume(&stream[at], stream.size() - at, at, &event);
        }
        return event == bitstream::ReaderEvent::Idcode ? reader.idcode() : 0;
    };
    bitstream::StreamReader<bitstream::WORDS_32> reader32;
    bitstream::StreamReader<bitstream::WORDS_16> reader16;
    return word_bytes == 4 ? idcode(reader32) : word_bytes == 2 ? idcode(reader16) : 0;
}

BitFields converted_fields(const FileContents& contents, const Image& image, const Naming& naming)
{
    BitFields fields = contents.fields;
    if (fields.design.empty()) {
        fields.design = naming.file_name;
    }
    if (fields.part.empty()) {
        fields.part = naming.part;
    }
    if (fields.part.empty()) {
        const bitstream::FpgaDevice* device = bitstream::device_of_idcode(stream_idcode(image.stream));
        fields.part = device != nullptr ? device->name : "";
    }
    if (fields.date.empty() || fields.time.empty()) {
        fields.date = local_time(naming.when, "%Y/%m/%d");
        fields.time = local_time(naming.when, "%H:%M:%S");
    }
    return fields;
}

std::vector<uint8_t> bit_header(const BitFields& fields, uint32_t length)
{
    std::vector<uint8_t> out(SIGNATURE_SIZE);
    const uint8_t signature[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'a'};
    std::copy(std::begin(signature), std::end(signature), out.begin());
    const std::string* texts[] = {&fields.design, &fields.part, &fields.date, &fields.time};
    const char keys[] = {'b', 'c', 'd', 'e'};
    const auto put = [&out](uint32_t value, unsigned bytes) {
        for (unsigned i = bytes; i-- > 0;) {
            out.push_back(static_cast<uint8_t>(value >> 8 * i));
        }
    };
    for (size_t i = 0; i < 4; ++i) {
        const size_t length_kept = std::min<size_t>(texts[i]->size(), 0xFFFE);
        put(static_cast<uint32_t>(length_kept + 1), 2);  // with its NUL
        out.insert(out.end(), texts[i]->begin(), texts[i]->begin() + static_cast<ptrdiff_t>(length_kept));
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(keys[i]));
    }
    put(length, 4);
    return out;
}

std::vector<uint8_t> bit_file(const BitFields& fields, std::vector<uint8_t> stream)
{
    const std::vector<uint8_t> header = bit_header(fields, static_cast<uint32_t>(stream.size()));
    stream.insert(stream.begin(), header.begin(), header.end());
    return stream;
}

}  // namespace filekind
