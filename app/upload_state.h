// The process-wide state every step of a run shares. One instance, all zero
// at start, never freed: the process ends instead.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "card/plx/plx_types.h"

// A per-byte sender: send_byte_reversed for .BIT files, send_byte_direct for
// PROM images.
typedef void (*ByteSender)(uint8_t value);

constexpr size_t TRANSFER_BLOCK_SIZE = 16384;

struct UploadState {
    volatile uint8_t* data_window;  // BAR 3 as mapped; its offset 0 is the data port
    ByteSender byte_sender;         // chosen by the file recognition
    PLX_DEVICE_OBJECT plx_device;   // the opened card; only card/ looks inside
    std::atomic<uint32_t> device_open;  // 1 once the card has been opened
    FILE* config_file;              // the configuration file, opened "rb"
    uint8_t transfer_buffer[TRANSFER_BLOCK_SIZE];
    uint32_t window_mapped;         // 1 once BAR 3 has been mapped
    uint32_t control_port;          // I/O address of the control/status register
    uint32_t config_length;         // bytes announced (.BIT) or file size (PROM)
    std::atomic<int> interrupt_signal;  // the request to stop, once the card is open
};
// The handler of catch_interrupts (app/platform.h) reads device_open and
// sets interrupt_signal: a signal handler on POSIX, another thread on
// Windows. Lock-free atomics are safe to use from either.
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the interrupt handler needs lock-free atomics");

extern UploadState upload_state;
