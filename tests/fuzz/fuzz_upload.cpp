// libFuzzer target: every input is a configuration file, run through the
// whole program (argument checks, card connection, file recognition and the
// upload) on the simulated host, in this process.
//
// A failed run ends in on_failed_run, which throws its status back to the
// input's entry; what the run leaves behind is reset after every input.
//
// After every input the run is checked with the same checks as the
// hostile-file tests (support/run_checks.h); a violation prints what went
// wrong on the real standard error and aborts, so the fuzzer keeps the input.
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
#include "card/plx/sim/sim_host.h"
#include "tests/support/program_run.h"
#include "tests/support/recorder.h"
#include "tests/support/run_checks.h"

namespace {

int exit_status = -1;

int input_fd = -1;
char input_path[64];
char program_name[] = "veltcfg-sim";
char card_number[] = "0";

// The program's standard output and error, kept for the checks.
std::string out_text;
std::string err_text;

ssize_t keep_out(void*, const char* bytes, size_t count)
{
    out_text.append(bytes, count);
    return static_cast<ssize_t>(count);
}

ssize_t keep_err(void*, const char* bytes, size_t count)
{
    err_text.append(bytes, count);
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
[[noreturn]] void violated(const std::string& what)
{
    const std::string line = "\nveltcfg_fuzz: invariant violated, exit status " +
                             std::to_string(exit_status) + ":" + what + "\n";
    const ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    std::abort();
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
    ProgramRun run;
    run.exit_status = exit_status;
    run.out = out_text;
    run.err = err_text;
    run.log = recording::recorder().log();
    run.cards = card_outcomes(sim::host());
    const std::string problems = problems_of(run, anything());
    if (!problems.empty()) {
        violated(problems);
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
    recording::recorder().reset(&plx_sim_backend);
    recording::recorder().record_data_bytes = false;
    out_text.clear();
    err_text.clear();
    exit_status = -1;
}

}  // namespace

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
    stdout = stream_to(keep_out);
    stderr = stream_to(keep_err);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    on_failed_run = [](int status) { throw status; };
    reset_program();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    write_input(data, size);
    char* argv[] = {program_name, input_path, card_number, nullptr};
    try {
        exit_status = run_upload_tool(3, argv);
    } catch (int status) {
        exit_status = status;
    }
    check_run();
    reset_program();
    return 0;
}
