// libFuzzer target: every input is a configuration file, run through the
// whole program (argument checks, card connection, file recognition and the
// upload) on the simulated host, in this process.
//
// The program ends a failed run with exit() from fatal_exit. This target is
// linked with --wrap=exit, so those calls come to __wrap_exit below, which
// notes the status and longjmps back to the input's entry. The frames it
// jumps over (run_upload_tool, parse_arguments, open_card,
// identify_config_file, upload_configuration, fatal_exit) are plain
// procedural code holding no objects with destructors, so nothing is skipped
// that would have to be undone; the state they leave behind (the open file,
// upload_state, the simulated host) is reset here after every input. Keep
// them that way: an exit() reached with a destructor pending on the way
// would leak or corrupt without notice.
//
// After every input the run is checked; a violation prints what went wrong
// on the real standard error and aborts, so the fuzzer keeps the input:
//   - the status is 0, 102, 103 or 104;
//   - standard error is empty on success, else exactly the report for it;
//   - no card is left open or mapped;
//   - a file refused with 103 or 104 sent no data byte and wrote no control
//     register (the input is a regular file in memory, so the one 104 that
//     can come mid-stream, a read error, cannot happen);
//   - status 0 leaves card 0's FPGA configured, a DONE failure at the end
//     leaves it not configured, and card 1 is never touched;
//   - standard output carries no raw control byte but \n, \r and \t.
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/driver.h"
#include "app/upload_state.h"
#include "sim_host.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status);

namespace {

jmp_buf back_to_input;
volatile bool in_program = false;
volatile int exit_status = -1;

int input_fd = -1;
char input_path[64];
char program_name[] = "veltcfg-sim";
char card_number[] = "0";

// The program's standard error, kept to compare with the report its status
// calls for. Anything past the buffer only counts towards the size.
char err_text[1024];
size_t err_size = 0;

ssize_t keep_err(void*, const char* bytes, size_t count)
{
    if (err_size < sizeof err_text) {
        const size_t room = sizeof err_text - err_size;
        std::memcpy(err_text + err_size, bytes, count < room ? count : room);
    }
    err_size += count;
    return static_cast<ssize_t>(count);
}

// The program's standard output is only scanned, not kept.
bool out_control_byte = false;
unsigned out_control_value = 0;

ssize_t scan_out(void*, const char* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const unsigned char u = static_cast<unsigned char>(bytes[i]);
        if (((u < 0x20 && u != '\n' && u != '\r' && u != '\t') || u == 0x7F) &&
            !out_control_byte) {
            out_control_byte = true;
            out_control_value = u;
        }
    }
    return static_cast<ssize_t>(count);
}

FILE* stream_to(ssize_t (*write)(void*, const char*, size_t))
{
    cookie_io_functions_t functions = {};
    functions.write = write;
    FILE* stream = fopencookie(nullptr, "w", functions);
    if (stream == nullptr) {
        std::abort();
    }
    return stream;
}

// Reports on the real standard error (the program's one is captured) and
// aborts, for the fuzzer to save the input.
[[noreturn]] void violated(const char* what, long value = 0)
{
    char line[256];
    const int length = std::snprintf(line, sizeof line,
                                     "\nveltcfg_fuzz: invariant violated: %s (%ld); "
                                     "exit status %d\n",
                                     what, value, static_cast<int>(exit_status));
    if (length > 0) {
        const ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(length));
        (void)ignored;
    }
    std::abort();
}

bool is_report(const char* message)
{
    char expected[160];
    const int length =
        std::snprintf(expected, sizeof expected, "\n\n\a%s:\n%s\n", PROGRAM_NAME, message);
    return length > 0 && err_size == static_cast<size_t>(length) &&
           std::memcmp(err_text, expected, err_size) == 0;
}

void write_input(const uint8_t* data, size_t size)
{
    if (ftruncate(input_fd, 0) != 0) {
        violated("cannot empty the input file");
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(input_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            violated("cannot write the input file");
        }
        done += static_cast<size_t>(n);
    }
}

void check_run()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int status = exit_status;
    sim::Host& host = sim::host();

    if (status != 0 && status != 102 && status != 103 && status != 104) {
        violated("exit status outside 0, 102, 103, 104", status);
    }

    bool report_matches = false;
    switch (status) {
    case 0:
        report_matches = err_size == 0;
        break;
    case 102:
        report_matches = is_report("<DONE> status bit indicates busy at start of programming.") ||
                         is_report("Error: Not <DONE>; programming not completed.");
        break;
    case 103:
        report_matches = is_report("File I/O error.  Unexpected end of file?") ||
                         is_report("Unknown file type.");
        break;
    case 104:
        report_matches = is_report("File seek error.") || is_report("File I/O error.");
        break;
    }
    if (!report_matches) {
        violated("standard error is not the report for the status", static_cast<long>(err_size));
    }

    for (size_t i = 0; i < host.card_count(); ++i) {
        if (host.card(i).open || host.card(i).mappings != 0) {
            violated("card left open or mapped", static_cast<long>(i));
        }
    }

    unsigned register_writes = 0;
    for (const sim::Event& event : host.log()) {
        if (event.kind == sim::Event::Kind::RegisterWrite) {
            ++register_writes;
            if (event.card != 0) {
                violated("register write to a card other than 0", event.card);
            }
        }
    }
    if (status == 103 || status == 104) {
        if (host.data_bytes_written() != 0) {
            violated("refused file sent data bytes", static_cast<long>(host.data_bytes_written()));
        }
        if (register_writes != 0) {
            violated("refused file wrote the control register", register_writes);
        }
    }

    const sim::Fpga::State state = host.card(0).fpga().state();
    if (status == 0 && state != sim::Fpga::State::Done) {
        violated("status 0 but the FPGA is not configured", static_cast<long>(state));
    }
    if (status == 102 && is_report("Error: Not <DONE>; programming not completed.") &&
        state == sim::Fpga::State::Done) {
        violated("DONE failure reported but the FPGA is configured");
    }
    if (host.card(1).fpga().state() != sim::Fpga::State::Idle) {
        violated("card 1 was programmed");
    }

    if (out_control_byte) {
        violated("raw control byte on standard output", static_cast<long>(out_control_value));
    }
}

// Back to the state of a fresh process: the file closed, the process-wide
// state zero, a new default host.
void reset_program()
{
    if (upload_state.config_file != nullptr) {
        std::fclose(upload_state.config_file);
    }
    std::memset(static_cast<void*>(&upload_state), 0, sizeof upload_state);
    sim::host() = sim::Host::make_default();
    sim::host().record_data_bytes = false;
    err_size = 0;
    out_control_byte = false;
    out_control_value = 0;
    exit_status = -1;
}

}  // namespace

// The program's exit() while an input runs comes back to that input's entry;
// any other (libFuzzer's own, at the end) goes on to the real one.
extern "C" void __wrap_exit(int status)
{
    if (!in_program) {
        __real_exit(status);
    }
    in_program = false;
    exit_status = status;
    longjmp(back_to_input, 1);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    input_fd = memfd_create("veltcfg-fuzz-input", 0);
    if (input_fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    std::snprintf(input_path, sizeof input_path, "/proc/self/fd/%d", input_fd);

    // The program's streams are replaced, not reopened: libFuzzer and the
    // sanitizers keep writing to the real standard error.
    stdout = stream_to(scan_out);
    stderr = stream_to(keep_err);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    sim::host() = sim::Host::make_default();
    sim::host().record_data_bytes = false;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    write_input(data, size);
    // Set up before setjmp and never changed after it.
    char* argv[] = {program_name, input_path, card_number, nullptr};
    if (setjmp(back_to_input) == 0) {
        in_program = true;
        const int status = run_upload_tool(3, argv);
        in_program = false;
        exit_status = status;
    }
    check_run();
    reset_program();
    return 0;
}
