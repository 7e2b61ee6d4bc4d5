#include "tests/support/program_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "app/driver.h"

namespace {

int child_log_fd = -1;

// The events of the recorder's log not yet handed over, and the state of
// each card now. Written at every release of a card and at exit, so that a
// run ending by a signal after releasing its card still tells what it did.
size_t events_sent = 0;

void send_log()
{
    const std::vector<recording::Event>& log = recording::recorder().log();
    std::string text =
        recording::serialize_log(std::vector<recording::Event>(log.begin() + events_sent, log.end()));
    events_sent = log.size();
    for (const CardOutcome& card : card_outcomes(sim::host())) {
        char line[160];
        std::snprintf(line, sizeof line, "F %d %" PRIu64 " %" PRIu64 " %d %X %d %d\n",
                      static_cast<int>(card.fpga_state), card.fpga_bytes, card.done_at_byte,
                      static_cast<int>(card.group), card.control, card.open ? 1 : 0, card.mappings);
        text += line;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(child_log_fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
}

void send_log_at_exit()
{
    std::fflush(stdout);  // what a buffered standard output still holds
    send_log();
    close(child_log_fd);
}

// The program's own streams, in the child, are replaced by unbuffered ones
// that pass every write on to the real descriptor and note it in the host's
// log, so tests see output in order with the layer calls.
ssize_t note_and_write(void* cookie, const char* bytes, size_t count)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    recording::recorder().note_output(fd, bytes, count);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, bytes + done, count - done);
        if (n <= 0) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(count);
}

FILE* observed_stream(int fd)
{
    cookie_io_functions_t functions = {};
    functions.write = note_and_write;
    FILE* stream = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "w", functions);
    if (stream == nullptr) {
        std::abort();
    }
    setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

void parse_outcome(const std::string& text, ProgramRun* run)
{
    // Unbuffered streams hand over one printf in pieces; pieces with nothing
    // between them are one output.
    for (recording::Event& event : recording::parse_log(text)) {
        if (event.kind == recording::Event::Kind::Output && !run->log.empty() &&
            run->log.back().kind == recording::Event::Kind::Output &&
            run->log.back().stream == event.stream) {
            run->log.back().text += event.text;
        } else {
            run->log.push_back(std::move(event));
        }
    }
    // Each hand-over ends with the cards as they were then; the last counts.
    std::istringstream lines(text);
    std::string line;
    bool in_cards = false;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != 'F') {
            in_cards = false;
            continue;
        }
        if (!in_cards) {
            run->cards.clear();
            in_cards = true;
        }
        std::istringstream fields(line.substr(1));
        CardOutcome card;
        int state = 0;
        int open = 0;
        int group = 0;
        fields >> state >> card.fpga_bytes >> card.done_at_byte >> group >> std::hex >>
            card.control >> std::dec >> open >> card.mappings;
        card.fpga_state = static_cast<sim::Fpga::State>(state);
        card.group = static_cast<bitstream::FamilyGroup>(group);
        card.open = open != 0;
        run->cards.push_back(card);
    }
}

// Reads the child's pipes until all are closed or time runs out.
void collect(pid_t child, int out_fd, int err_fd, int log_fd, int timeout_seconds,
             ProgramRun* run)
{
    std::string log_text;
    struct Stream {
        int fd;
        std::string* into;
    } streams[3] = {{out_fd, &run->out}, {err_fd, &run->err}, {log_fd, &log_text}};
    const int64_t deadline_ms = static_cast<int64_t>(timeout_seconds) * 1000;
    int64_t waited_ms = 0;
    for (;;) {
        pollfd fds[3];
        int count = 0;
        Stream* which[3];
        for (Stream& stream : streams) {
            if (stream.fd >= 0) {
                fds[count] = pollfd{stream.fd, POLLIN, 0};
                which[count++] = &stream;
            }
        }
        if (count == 0) {
            break;
        }
        const int ready = poll(fds, static_cast<nfds_t>(count), 100);
        if (ready == 0) {
            waited_ms += 100;
            if (waited_ms >= deadline_ms) {
                run->timed_out = true;
                kill(child, SIGKILL);
                for (Stream& stream : streams) {
                    if (stream.fd >= 0) {
                        close(stream.fd);
                        stream.fd = -1;
                    }
                }
                break;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                which[i]->into->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(which[i]->fd);
                which[i]->fd = -1;
            }
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        run->exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run->signal = WTERMSIG(status);
    }
    parse_outcome(log_text, run);
}

void make_pipe(int fds[2])
{
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::abort();
    }
}

}  // namespace

namespace {

// An argv for `args`, pointing into `storage`.
std::vector<char*> argv_of(std::vector<std::string>& storage)
{
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Forks a child with its standard output and error, and a third pipe, going
// back to this process; the child runs `child_body` with that pipe's write
// end. Collects everything and waits.
ProgramRun run_forked(const std::function<void(int log_fd)>& child_body, int timeout_seconds)
{
    int out[2], err[2], log[2];
    make_pipe(out);
    make_pipe(err);
    make_pipe(log);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        std::abort();
    }
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1], log[0]}) {
            close(fd);
        }
        child_body(log[1]);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(log[1]);
    ProgramRun run;
    collect(child, out[0], err[0], log[0], timeout_seconds, &run);
    return run;
}

}  // namespace

ProgramRun run_in_child(const HostSetup& setup, const std::function<int()>& body,
                        int timeout_seconds)
{
    return run_forked(
        [&](int log_fd) {
            child_log_fd = log_fd;
            sim::host() = sim::Host::make_default();
            recording::recorder().reset(&plx_sim_backend);
            recording::recorder().after_close = send_log;
            stdout = observed_stream(STDOUT_FILENO);
            stderr = observed_stream(STDERR_FILENO);
            if (setup) {
                setup(sim::host(), recording::recorder());
            }
            std::atexit(send_log_at_exit);
            std::exit(body());
        },
        timeout_seconds);
}

ProgramRun run_program(const std::vector<std::string>& args, const HostSetup& setup)
{
    return run_in_child(setup, [&args]() {
        std::vector<std::string> storage = {"veltcfg-sim"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv = argv_of(storage);
        return run_upload_tool(static_cast<int>(storage.size()), argv.data());
    });
}

ProgramRun run_executable(const std::string& path, const std::vector<std::string>& args,
                          int timeout_seconds)
{
    return run_forked(
        [&](int log_fd) {
            close(log_fd);  // an executable has no log to hand back
            std::vector<std::string> storage = {path};
            storage.insert(storage.end(), args.begin(), args.end());
            std::vector<char*> argv = argv_of(storage);
            execv(path.c_str(), argv.data());
            std::perror("execv");
        },
        timeout_seconds);
}

std::vector<CardOutcome> card_outcomes(sim::Host& host)
{
    std::vector<CardOutcome> cards;
    for (size_t i = 0; i < host.card_count(); ++i) {
        sim::Card& card = host.card(i);
        CardOutcome outcome;
        const sim::Fpga::Report fpga = card.fpga().report();
        outcome.fpga_state = fpga.state;
        outcome.fpga_bytes = fpga.bytes;
        outcome.done_at_byte = fpga.checked_at != 0 ? fpga.checked_at : fpga.end_at;
        outcome.group = fpga.group;
        outcome.control = card.read_control() & ~DONE_STATUS_BIT;
        outcome.open = card.open;
        outcome.mappings = card.mappings;
        cards.push_back(outcome);
    }
    return cards;
}

std::vector<recording::Event> ProgramRun::calls() const
{
    std::vector<recording::Event> result;
    for (const recording::Event& event : log) {
        if (event.kind == recording::Event::Kind::Call) {
            result.push_back(event);
        }
    }
    return result;
}

std::vector<recording::Op> ProgramRun::call_ops() const
{
    std::vector<recording::Op> result;
    for (const recording::Event& event : calls()) {
        result.push_back(event.op);
    }
    return result;
}

std::vector<uint8_t> ProgramRun::data_bytes() const
{
    std::vector<uint8_t> result;
    for (const recording::Event& event : log) {
        if (event.kind == recording::Event::Kind::DataByte) {
            result.push_back(static_cast<uint8_t>(event.value));
        }
    }
    return result;
}

std::vector<uint32_t> ProgramRun::register_writes() const
{
    std::vector<uint32_t> result;
    for (const recording::Event& event : log) {
        if (event.kind == recording::Event::Kind::Call && event.op == recording::Op::IoPortWrite &&
            event.status == PLX_STATUS_SUCCESS) {
            result.push_back(event.value);
        }
    }
    return result;
}

std::string ProgramRun::log_text() const
{
    std::string text;
    size_t data_run = 0;
    for (const recording::Event& event : log) {
        // Long runs of data bytes are summarised.
        if (event.kind == recording::Event::Kind::DataByte) {
            if (++data_run > 8) {
                continue;
            }
        } else {
            if (data_run > 8) {
                text += "  ... " + std::to_string(data_run - 8) + " more data bytes\n";
            }
            data_run = 0;
        }
        text += "  " + event.describe() + "\n";
    }
    if (data_run > 8) {
        text += "  ... " + std::to_string(data_run - 8) + " more data bytes\n";
    }
    return text;
}

std::string error_report(const std::string& message)
{
    return "\n\n\aVELTCFG:\n" + message + "\n";
}

std::string banner()
{
    return "\nVELTCFG version 1.0\nOrlenta 9056 configuration utility for Windows.\n";
}

std::string card_report(int card_number)
{
    const bool second = card_number == 1;
    return std::string("\nUsing PCI device at bus ") + (second ? "5/device 2." : "4/device 0.") +
           (second ? "\nFound Orlenta RV80-C card" : "\nFound Orlenta RV80-A card") +
           "\n\nPLX 9056 configuration I/O base port: " + (second ? "0xD000" : "0xE000") +
           "\nPLX 9056 control/status port:         " + (second ? "0xD06C" : "0xE06C") +
           "\nPLX 9056 memory base:                 0x" + MASKED_ADDRESS + "\n";
}

std::string mask_memory_base(const std::string& out)
{
    static const std::string label = "PLX 9056 memory base:                 0x";
    std::string result = out;
    size_t at = result.find(label);
    if (at == std::string::npos) {
        return result;
    }
    at += label.size();
    const size_t digits = sizeof(void*) * 2;
    if (result.size() < at + digits) {
        return result;
    }
    for (size_t i = 0; i < digits; ++i) {
        const char c = result[at + i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return result;  // not upper-case hexadecimal: left for the comparison to show
        }
    }
    return result.replace(at, digits, MASKED_ADDRESS);
}
