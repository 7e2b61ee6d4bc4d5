#include "tests/support/recorder.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

#include "card/plx/sim/sim_host.h"
#include "common/hex_text.h"

namespace recording {

namespace {

std::string key_field(uint64_t value, uint64_t any, bool in_hex)
{
    if (value == any) {
        return "any";
    }
    return in_hex ? hex_text(value, 4) : std::to_string(value);
}

std::string describe_key(const PLX_DEVICE_KEY* key)
{
    if (key == nullptr) {
        return "key=null";
    }
    return "vendor=" + key_field(key->vendor_id, PLX_KEY_ANY_16, true) +
           " device=" + key_field(key->device_id, PLX_KEY_ANY_16, true) +
           " bus=" + key_field(key->bus, PLX_KEY_ANY_8, false) +
           " slot=" + key_field(key->slot, PLX_KEY_ANY_8, false) +
           " function=" + key_field(key->function, PLX_KEY_ANY_8, false);
}

// The device an object was opened on, as bus/slot.function.
std::string describe_device(const PLX_DEVICE_OBJECT* device)
{
    if (device == nullptr || device->open_tag != PLX_DEVICE_OPEN_TAG) {
        return "device=none";
    }
    return "device=" + std::to_string(device->key.bus) + "/" + std::to_string(device->key.slot) +
           "." + std::to_string(device->key.function);
}

std::string describe_port(const PLX_DEVICE_OBJECT* device, uint64_t port, uint32_t byte_count,
                          PLX_ACCESS_TYPE access)
{
    return describe_device(device) + " port=" + hex_text(port, 4) +
           " bytes=" + std::to_string(byte_count) + " access=" + std::to_string(access);
}

// ---------------------------------------------------------------- the table

PLX_STATUS device_find(PLX_DEVICE_KEY* key, uint16_t device_number)
{
    Recorder& r = recorder();
    std::string args = describe_key(key) + " number=" + std::to_string(device_number);
    PLX_STATUS status;
    if (!r.injected(Op::DeviceFind, &status)) {
        status = r.inner()->DeviceFind(key, device_number);
    }
    return r.record(Op::DeviceFind, status, std::move(args));
}

PLX_STATUS device_open(PLX_DEVICE_KEY* key, PLX_DEVICE_OBJECT* device)
{
    Recorder& r = recorder();
    PLX_STATUS status;
    if (!r.injected(Op::DeviceOpen, &status)) {
        status = r.inner()->DeviceOpen(key, device);
    }
    return r.record(Op::DeviceOpen, status, describe_key(key));
}

uint32_t pci_register_read(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                           PLX_STATUS* status)
{
    Recorder& r = recorder();
    PLX_STATUS result;
    uint32_t value = 0xFFFFFFFF;
    if (!r.injected(Op::PciRegisterRead, &result)) {
        value = r.inner()->PciRegisterRead(bus, slot, function, offset, &result);
    }
    if (status != nullptr) {
        *status = result;
    }
    r.record(Op::PciRegisterRead, result,
             "bus=" + std::to_string(bus) + " slot=" + std::to_string(slot) +
                 " function=" + std::to_string(function) + " offset=" + hex_text(offset, 2),
             value);
    return value;
}

PLX_STATUS pci_bar_map(PLX_DEVICE_OBJECT* device, uint8_t bar_index, volatile uint8_t** va)
{
    Recorder& r = recorder();
    std::string args = describe_device(device) + " bar=" + std::to_string(bar_index);
    PLX_STATUS status;
    if (!r.injected(Op::PciBarMap, &status)) {
        status = r.inner()->PciBarMap(device, bar_index, va);
        if (status == PLX_STATUS_SUCCESS && r.map_fault != MapFault::None) {
            // The caller is handed a bad address; the unmap gets the real one.
            r.real_mapping = *va;
            *va = r.map_fault == MapFault::Null ? nullptr
                                                : reinterpret_cast<volatile uint8_t*>(UINTPTR_MAX);
        }
    }
    return r.record(Op::PciBarMap, status, std::move(args));
}

PLX_STATUS pci_bar_unmap(PLX_DEVICE_OBJECT* device, volatile uint8_t** va)
{
    Recorder& r = recorder();
    std::string args = describe_device(device);
    PLX_STATUS status;
    if (!r.injected(Op::PciBarUnmap, &status)) {
        if (va != nullptr && r.real_mapping != nullptr) {
            *va = r.real_mapping;
            r.real_mapping = nullptr;
        }
        status = r.inner()->PciBarUnmap(device, va);
    }
    return r.record(Op::PciBarUnmap, status, std::move(args));
}

PLX_STATUS device_close(PLX_DEVICE_OBJECT* device)
{
    Recorder& r = recorder();
    std::string args = describe_device(device);
    PLX_STATUS status;
    if (!r.injected(Op::DeviceClose, &status)) {
        status = r.inner()->DeviceClose(device);
    }
    r.record(Op::DeviceClose, status, std::move(args));
    if (r.after_close) {
        r.after_close();
    }
    return status;
}

PLX_STATUS io_port_read(PLX_DEVICE_OBJECT* device, uint64_t port, void* buffer,
                        uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Recorder& r = recorder();
    PLX_STATUS status;
    uint32_t value = 0;
    if (!r.injected(Op::IoPortRead, &status)) {
        status = r.inner()->IoPortRead(device, port, buffer, byte_count, access);
        if (status == PLX_STATUS_SUCCESS && byte_count == sizeof value) {
            std::memcpy(&value, buffer, sizeof value);
        }
    }
    return r.record(Op::IoPortRead, status, describe_port(device, port, byte_count, access),
                    value);
}

PLX_STATUS io_port_write(PLX_DEVICE_OBJECT* device, uint64_t port, const void* buffer,
                         uint32_t byte_count, PLX_ACCESS_TYPE access)
{
    Recorder& r = recorder();
    uint32_t value = 0;
    if (buffer != nullptr && byte_count >= sizeof value) {
        std::memcpy(&value, buffer, sizeof value);
    }
    PLX_STATUS status;
    if (!r.injected(Op::IoPortWrite, &status)) {
        status = r.inner()->IoPortWrite(device, port, buffer, byte_count, access);
    }
    return r.record(Op::IoPortWrite, status, describe_port(device, port, byte_count, access),
                    value);
}

}  // namespace

const char* op_name(Op op)
{
    static const char* const names[OP_COUNT] = {
        "PlxPci_DeviceFind",  "PlxPci_DeviceOpen",   "PlxPci_PciRegisterRead",
        "PlxPci_PciBarMap",   "PlxPci_PciBarUnmap",  "PlxPci_DeviceClose",
        "PlxPci_IoPortRead",  "PlxPci_IoPortWrite",
    };
    return names[static_cast<int>(op)];
}

std::string Event::describe() const
{
    switch (kind) {
    case Kind::Call: {
        std::string line = std::string(op_name(op)) + "(" + text + ") -> " + hex_text(status, 3);
        if (op == Op::IoPortRead || op == Op::IoPortWrite || op == Op::PciRegisterRead) {
            line += " value " + hex_text(value, 8);
        }
        return line;
    }
    case Kind::DataByte:
        return "data port <- " + hex_text(value, 2);
    case Kind::Output: {
        std::string line = stream == 2 ? "stderr: \"" : "stdout: \"";
        for (char c : text) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
                line += "\\x" + hex_text(u, 2).substr(2);
            } else {
                line += c;
            }
        }
        return line + "\"";
    }
    }
    return "?";
}

void Recorder::reset(const PlxBackend* inner)
{
    *this = Recorder();
    inner_ = inner;
}

void Recorder::fail_call(Op op, unsigned nth, PLX_STATUS status, bool and_later)
{
    faults_.push_back(Fault{op, nth, status, and_later});
}

void Recorder::after_data_bytes(uint64_t nth, std::function<void()> action)
{
    action_at_byte_ = nth;
    action_ = std::move(action);
}

bool Recorder::injected(Op op, PLX_STATUS* status)
{
    const unsigned call = ++call_counts_[static_cast<int>(op)];
    for (const Fault& fault : faults_) {
        if (fault.op == op && (call == fault.nth || (fault.and_later && call > fault.nth))) {
            *status = fault.status;
            return true;
        }
    }
    return false;
}

void Recorder::after_call(Op op, unsigned nth, std::function<void()> action)
{
    actions_.push_back(Action{op, nth, std::move(action)});
}

PLX_STATUS Recorder::record(Op op, PLX_STATUS status, std::string args, uint32_t value)
{
    Event event;
    event.op = op;
    event.status = status;
    event.text = std::move(args);
    event.value = value;
    log_.push_back(std::move(event));
    for (Action& action : actions_) {
        if (action.op == op && action.nth == call_counts_[static_cast<int>(op)] && action.run) {
            std::function<void()> run = std::move(action.run);
            action.run = nullptr;
            run();
        }
    }
    return status;
}

void Recorder::data_byte(uint8_t value)
{
    ++data_bytes_written_;
    if (record_data_bytes) {
        Event event;
        event.kind = Event::Kind::DataByte;
        event.value = value;
        log_.push_back(std::move(event));
    }
    if (action_at_byte_ != 0 && data_bytes_written_ == action_at_byte_) {
        std::function<void()> action = std::move(action_);
        action_ = nullptr;
        action_at_byte_ = 0;
        action();
    }
}

void Recorder::after_output(std::string text, std::function<void()> action)
{
    output_text_ = std::move(text);
    output_action_ = std::move(action);
}

void Recorder::note_output(int stream, const char* bytes, size_t count)
{
    Event event;
    event.kind = Event::Kind::Output;
    event.stream = stream;
    event.text.assign(bytes, count);
    const bool act = output_action_ && event.text.find(output_text_) != std::string::npos;
    log_.push_back(std::move(event));
    if (act) {
        std::function<void()> action = std::move(output_action_);
        output_action_ = nullptr;
        action();
    }
}

Recorder& recorder()
{
    static Recorder instance = [] {
        Recorder fresh;
        fresh.reset(&plx_sim_backend);
        return fresh;
    }();
    return instance;
}

// ---------------------------------------------------------------- log text

std::string serialize_log(const std::vector<Event>& log)
{
    std::string text;
    char line[64];
    for (const Event& event : log) {
        switch (event.kind) {
        case Event::Kind::Call:
            std::snprintf(line, sizeof line, "C %d %X %X ", static_cast<int>(event.op),
                          event.status, event.value);
            text += line + event.text;
            break;
        case Event::Kind::DataByte:
            std::snprintf(line, sizeof line, "D %X", event.value);
            text += line;
            break;
        case Event::Kind::Output:
            std::snprintf(line, sizeof line, "O %d ", event.stream);
            text += line;
            for (char c : event.text) {
                std::snprintf(line, sizeof line, "%02X", static_cast<unsigned char>(c));
                text += line;
            }
            break;
        }
        text += '\n';
    }
    return text;
}

std::vector<Event> parse_log(const std::string& text)
{
    std::vector<Event> log;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        char kind = 0;
        fields >> kind;
        Event event;
        if (kind == 'C') {
            int op = 0;
            fields >> op >> std::hex >> event.status >> event.value;
            event.op = static_cast<Op>(op);
            fields.get();  // the space before the arguments
            std::getline(fields, event.text);
        } else if (kind == 'D') {
            event.kind = Event::Kind::DataByte;
            fields >> std::hex >> event.value;
        } else if (kind == 'O') {
            event.kind = Event::Kind::Output;
            std::string digits;
            fields >> event.stream >> digits;
            for (size_t i = 0; i + 1 < digits.size(); i += 2) {
                event.text += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
            }
        } else {
            continue;
        }
        log.push_back(std::move(event));
    }
    return log;
}

}  // namespace recording

const PlxBackend recording_backend = {
    recording::device_find,    recording::device_open,   recording::pci_register_read,
    recording::pci_bar_map,    recording::pci_bar_unmap, recording::device_close,
    recording::io_port_read,   recording::io_port_write, nullptr,  // no survey: the program makes none
};

// The test executable's choice of backend and data-port store: the recorder,
// over the simulated host unless a test has it wrap another backend. A byte
// reaches the card first, then the log.
const PlxBackend* plx_backend = &recording_backend;

void plx_data_port_write(volatile uint8_t* port, uint8_t value)
{
    recording::Recorder& r = recording::recorder();
    if (r.inner() == &plx_sim_backend) {
        sim::data_port_write(port, value);
    } else {
        *port = value;
    }
    r.data_byte(value);
}
