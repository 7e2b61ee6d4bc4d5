#include "tests/support/run_checks.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "tests/support/bitstream.h"

namespace {

const std::string FUNCTION_COMPLETE = "\n\nFunction complete.\n";

bool allowed_message(int status, const std::string& err)
{
    static const std::vector<std::pair<int, std::string>> reports = {
        {102, BUSY_AT_START}, {102, NOT_DONE},   {103, END_OF_FILE},
        {103, UNKNOWN_TYPE},  {104, SEEK_ERROR}, {104, READ_ERROR},
    };
    for (const auto& report : reports) {
        if (report.first == status && err == error_report(report.second)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string problems_of(const ProgramRun& run, const Expected& expected)
{
    std::string problems;
    auto problem = [&problems](const std::string& text) { problems += "\n    " + text; };

    if (run.timed_out) {
        problem("timed out");
    }
    if (run.signal != 0) {
        problem("ended by signal " + std::to_string(run.signal));
    }
    const int status = run.exit_status;
    if (status != 0 && status != 102 && status != 103 && status != 104) {
        problem("exit status " + std::to_string(status));
    }
    if (expected.status >= 0 && status != expected.status) {
        problem("exit status " + std::to_string(status) + ", expected " +
                std::to_string(expected.status));
    }

    // Standard error: nothing on success, else exactly one report.
    if (status == 0) {
        if (!run.err.empty()) {
            problem("stderr on success: \"" + printable(run.err) + "\"");
        }
    } else if (!allowed_message(status, run.err)) {
        problem("stderr \"" + printable(run.err) + "\" is no report for status " +
                std::to_string(status));
    }
    if (!expected.message.empty() && run.err != error_report(expected.message)) {
        problem("stderr \"" + printable(run.err) + "\", expected report \"" + expected.message +
                "\"");
    }

    // Standard output: banner and card report, then what the file caused.
    const std::string out = mask_memory_base(run.out);
    const std::string head = banner() + card_report(0);
    if (out.compare(0, head.size(), head) != 0) {
        problem("stdout does not start with the banner and card report: \"" +
                printable(out.substr(0, 400)) + "\"");
    }
    const std::string rest = out.size() > head.size() ? out.substr(head.size()) : std::string();
    if (expected.report && rest != *expected.report) {
        problem("stdout after the card report \"" + printable(rest.substr(0, 400)) +
                "\", expected \"" + printable(expected.report->substr(0, 400)) + "\"");
    }
    if (expected.report_starts &&
        rest.compare(0, expected.report_starts->size(), *expected.report_starts) != 0) {
        problem("stdout after the card report \"" + printable(rest.substr(0, 400)) +
                "\" does not start with \"" + printable(expected.report_starts->substr(0, 400)) +
                "\"");
    }
    if (expected.report_prefix_of &&
        expected.report_prefix_of->compare(0, rest.size(), rest) != 0) {
        problem("stdout after the card report \"" + printable(rest.substr(0, 400)) +
                "\" is not a leading part of \"" +
                printable(expected.report_prefix_of->substr(0, 400)) + "\"");
    }
    // Raw control bytes: only line ends and tabs up to the programming, line
    // ends and the countdown's carriage returns after it. With those taken
    // out, the output is as the program shows text: nothing left to escape.
    const size_t programming = run.out.find(PROGRAMMING);
    std::string plain = run.out;
    for (size_t i = 0; i < plain.size(); ++i) {
        const bool in_report = programming == std::string::npos || i < programming;
        if (plain[i] == '\n' || plain[i] == (in_report ? '\t' : '\r')) {
            plain[i] = ' ';
        }
    }
    const std::string safe = shown(plain);
    if (safe != plain) {
        size_t at = 0;
        while (at < safe.size() && safe[at] == plain[at]) {
            ++at;
        }
        problem("byte a terminal would act on at stdout offset " + std::to_string(at) + ": " +
                std::to_string(static_cast<unsigned char>(plain[at])));
    }

    // The cards: both released, and only card 0 ever touched.
    if (run.cards.size() != 2) {
        problem("host reported " + std::to_string(run.cards.size()) + " cards");
    }
    for (size_t i = 0; i < run.cards.size(); ++i) {
        if (run.cards[i].open || run.cards[i].mappings != 0) {
            problem("card " + std::to_string(i) + " left open=" +
                    std::to_string(run.cards[i].open) +
                    " mappings=" + std::to_string(run.cards[i].mappings));
        }
    }
    for (const recording::Event& call : run.calls()) {
        if ((call.op == recording::Op::IoPortRead || call.op == recording::Op::IoPortWrite) &&
            call.text.compare(0, 24, "device=4/0.0 port=0xE06C") != 0) {
            problem("register access off card 0: " + call.describe());
            break;
        }
    }
    if (run.cards.empty()) {
        return problems;
    }
    const CardOutcome& card = run.cards[0];

    if (status == 103 || status == 104) {
        // Refused before programming: the card is as it was found.
        if (!run.register_writes().empty() || card.fpga_state != sim::Fpga::State::Idle ||
            card.fpga_bytes != 0) {
            problem("refused file reached the card: " +
                    std::to_string(run.register_writes().size()) + " register writes, " +
                    std::to_string(card.fpga_bytes) + " bytes");
        }
        if (programming != std::string::npos) {
            problem("refused file reported as programming");
        }
    }
    if (status == 0) {
        if (card.fpga_state != sim::Fpga::State::Done) {
            problem("status 0 but the FPGA is not configured");
        }
        if (out.size() < FUNCTION_COMPLETE.size() ||
            out.compare(out.size() - FUNCTION_COMPLETE.size(), FUNCTION_COMPLETE.size(),
                        FUNCTION_COMPLETE) != 0) {
            problem("status 0 without \"Function complete.\"");
        }
        if (expected.data_bytes) {
            const std::string programmed =
                "\nSuccessfully programmed " + std::to_string(*expected.data_bytes) + " bytes." +
                FUNCTION_COMPLETE;
            if (out.find(programmed) == std::string::npos) {
                problem("no \"" + printable(programmed) + "\" in stdout");
            }
            // Every byte of the file, then 24 start-up clocks.
            if (card.fpga_bytes != *expected.data_bytes + 24) {
                problem("FPGA took " + std::to_string(card.fpga_bytes) + " bytes, expected " +
                        std::to_string(*expected.data_bytes + 24));
            }
        }
    }
    if (status == 102 && run.err == error_report(NOT_DONE)) {
        if (card.fpga_state == sim::Fpga::State::Done) {
            problem("not-DONE reported but the FPGA is configured");
        }
        if (expected.data_bytes && card.fpga_bytes != *expected.data_bytes) {
            problem("FPGA took " + std::to_string(card.fpga_bytes) + " bytes, expected " +
                    std::to_string(*expected.data_bytes));
        }
    }
    return problems;
}

Expected exactly(int status, const std::string& message)
{
    Expected e;
    e.status = status;
    e.message = message;
    return e;
}

Expected anything()
{
    return Expected{};
}

std::string printable(const std::string& text)
{
    std::string shown;
    char escaped[8];
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

