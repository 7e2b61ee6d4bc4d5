// Loading a configuration into the card's FPGA.
//
// The configuration protocol, in the order the code below follows it:
//
//  1. Set the control-line enables (bits 18 and 19 of the control/status
//     register), so that the bridge drives the FPGA's program line.
//  2. Tell the operator: "Programming...".
//  3. Drive the program line (bit 16) low: the FPGA abandons whatever it
//     holds and clears its configuration memory.
//  4. DONE (status bit 1) must read 1 now; 0 means the card is busy and the
//     cycle is not started (the program line is left low).
//  5. Release the program line (bit 16 high): the rising edge starts the
//     configuration cycle and DONE drops to 0.
//  6. Give the FPGA one clock step to clear its memory.
//  7. Stream the configuration: blocks of 16,384 bytes from the file, the
//     remaining count shown before each block, every byte through the byte
//     sender chosen for the file (bit-reversed for .BIT data, as stored for
//     PROM images), back to back with no pacing. A read error drives the
//     program line low before it is reported, so the FPGA is not left
//     half-configured and waiting.
//  8. Close the file.
//  9. After one more clock step DONE must read 1 on 101 readings in a row:
//     the FPGA has taken the whole configuration and started up.
// 10. Write 24 bytes of 0xFF: clocks for the FPGA's start-up sequence.
// 11. Report the number of bytes programmed.
//
// A request to stop the program (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break or closing the console window) is honoured before step 1,
// before each block of step 7 and before step 9: once the cycle has
// started, the program line is driven low first, as for a read error.
// After step 9 has begun the run is as good as done and goes on to the end.
//
// Counts are 32-bit and wrap modulo 2^32; they are printed as such.
#include "upload/upload.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "app/driver.h"
#include "app/upload_state.h"
#include "card/card.h"

namespace {

constexpr int TRAILING_CLOCK_BYTES = 24;
constexpr int DONE_CONFIRMATIONS = 100;  // after the first reading

// Passes each byte of a block, in order, to the chosen sender. This is the
// program's inner loop. The file recognition chooses one of the two senders;
// naming each here lets the compiler inline it (the build links with
// link-time optimisation), instead of making an indirect call per byte.
//
// A function of its own, called once per block, so that the table, the data
// port and the buffer stay in registers through the loop: inlined into the
// upload sequence, where many values are live, the loop may load one of them
// again before every byte (doc/performance.md).
[[gnu::noinline]] void send_block(const uint8_t* data, size_t count)
{
    if (upload_state.byte_sender == send_byte_reversed) {
        for (size_t i = 0; i < count; ++i) {
            send_byte_reversed(data[i]);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            send_byte_direct(data[i]);
        }
    }
}

// One clock step: at least 1 ms of monotonic wall time, busy-polled. A step
// of the C library's clock() is processor time, in microseconds on Linux:
// too short for the FPGA to clear its configuration memory after the program
// line rises. Polling rather than sleeping keeps the wait from being
// stretched by the scheduler's wake-up latency.
void wait_one_tick()
{
    using std::chrono::steady_clock;
    const steady_clock::time_point start = steady_clock::now();
    while (steady_clock::now() - start < std::chrono::milliseconds(1)) {
    }
}

// Stops a started cycle for a request to stop, if one has come.
void stop_if_interrupted()
{
    if (upload_state.interrupt_signal != 0) {
        program_line_low();
        interrupted_exit();
    }
}

// 0 when DONE holds for 101 readings in a row, -1 otherwise.
int wait_for_done()
{
    wait_one_tick();
    if (read_done_status() == 0) {
        return -1;
    }
    for (int i = 0; i < DONE_CONFIRMATIONS; ++i) {
        if (read_done_status() == 0) {
            return -1;
        }
    }
    return 0;
}

// 24 bytes of 0xFF straight to the data port.
void send_trailing_clocks()
{
    for (int i = 0; i < TRAILING_CLOCK_BYTES; ++i) {
        write_config_byte(0xFF);
    }
}

}  // namespace

void upload_configuration()
{
    if (upload_state.interrupt_signal != 0) {
        interrupted_exit();  // nothing has been done to the card yet
    }
    enable_control_lines();

    std::printf("\nProgramming...\n");
    std::fflush(stdout);

    program_line_low();
    if (read_done_status() == 0) {
        fatal_exit(102, "<DONE> status bit indicates busy at start of programming.");
    }
    program_line_high();
    wait_one_tick();

    uint32_t total = 0;
    uint32_t remaining = upload_state.config_length;
    for (;;) {
        stop_if_interrupted();
        errno = 0;
        const size_t count = std::fread(upload_state.transfer_buffer, 1,
                                        sizeof upload_state.transfer_buffer,
                                        upload_state.config_file);
        if (count == 0) {
            if (errno != 0) {
                program_line_low();
                fatal_exit(104, "File I/O error.");
            }
            std::printf("%-6lu", 0UL);
            break;
        }
        std::printf("%-6lu\r", static_cast<unsigned long>(remaining));
        std::fflush(stdout);

        total += static_cast<uint32_t>(count);
        remaining -= static_cast<uint32_t>(count);
        send_block(upload_state.transfer_buffer, count);
    }

    std::fclose(upload_state.config_file);
    upload_state.config_file = nullptr;

    stop_if_interrupted();
    if (wait_for_done() < 0) {
        fatal_exit(102, "Error: Not <DONE>; programming not completed.");
    }
    send_trailing_clocks();

    std::printf("\nSuccessfully programmed %lu bytes.", static_cast<unsigned long>(total));
}
