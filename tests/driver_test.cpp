// The program's front end and card connection: arguments, usage, the card
// report and every failure on the way to an open, mapped card.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#ifdef VELTCFG_WITH_JSON
#include <nlohmann/json.hpp>
#endif

#include "card/plx/card_registers.h"
#include "tests/support/bitstream.h"
#include "tests/support/program_run.h"

using recording::Op;

namespace {

const std::string USAGE =
    "\nVELTCFG program usage:\nVELTCFG filename.ext card"
    "\nWhere:"
    "\nfilename.ext specifies the name of the configuration file to be loaded."
    "\ncard is the number of the PCI card.  (For use with multiple 9056 cards.)"
    "\nPurpose: 9056 configuration upload."
    "\n";

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sample::Design design;
        design.frame_words = 64;
        bit_path = dir.write("small.bit", to_string(sample::bit_file(design)));
    }

    TempDir dir;
    std::string bit_path;
};

std::vector<Op> ops(std::initializer_list<Op> list)
{
    return std::vector<Op>(list);
}

TEST_F(DriverTest, WrongArgumentCountPrintsUsageAndTouchesNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {bit_path}, {bit_path, "0", "extra"}, {"a", "b", "c", "d"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size());
        const ProgramRun black_box = run_executable(VELTCFG_SIM_PATH, args);
        EXPECT_EQ(black_box.exit_status, 100);
        EXPECT_EQ(black_box.out, banner() + USAGE);
        EXPECT_EQ(black_box.err, "");

        const ProgramRun run = run_program(args);
        EXPECT_EQ(run.exit_status, 100);
        EXPECT_TRUE(run.calls().empty()) << run.log_text();
    }
}

TEST_F(DriverTest, MissingFileIsReportedBeforeTheCardNumberIsLookedAt)
{
    // Both programs; the name shown as typed, but for what the terminal
    // would act on.
    const std::string missing = dir.path() + "/no-such-file\x1B[2J.bit";
    const std::string shown_name = dir.path() + "/no-such-file\\x1B[2J.bit";
    for (const std::string program : {VELTCFG_SIM_PATH, VELTCFG_PATH}) {
        for (const std::string card : {"0", "abc"}) {
            SCOPED_TRACE(program + " " + card);
            const ProgramRun run = run_executable(program, {missing, card});
            EXPECT_EQ(run.exit_status, 101);
            EXPECT_EQ(run.out, banner());
            EXPECT_EQ(run.err, error_report("File not found: " + shown_name));
        }
    }
    EXPECT_TRUE(run_program({missing, "0"}).calls().empty());
}

TEST_F(DriverTest, InvalidCardNumbersAreRefusedAsTyped)
{
    // Including the two that a plain "%u" conversion would wrap into a valid
    // card, 2^32 into 0 and -(2^32 - 1) into 1, those it would cut short
    // after the digits, and addresses where no card is.
    for (const std::string card : {"16", "abc", "", "-1", "4294967296", "-4294967295",
                                   "99999999999999999999", "+", " ", "x7", "7x", "1.5", "0x1",
                                   "1e3", "0000:09:00.0", "0001:05:02.0", "05:02.1", "05:2.0",
                                   "05:02.0x"}) {
        SCOPED_TRACE("card '" + card + "'");
        const ProgramRun run = run_executable(VELTCFG_SIM_PATH, {bit_path, card});
        EXPECT_EQ(run.exit_status, 101);
        EXPECT_EQ(run.out, banner());
        EXPECT_EQ(run.err, error_report("Invalid card number: " + card));
        // Only an address is searched for; a number is checked first.
        const std::vector<Op> calls = run_program({bit_path, card}).call_ops();
        EXPECT_EQ(calls, std::vector<Op>(card.find(':') == std::string::npos ? 0 : calls.size(),
                                         Op::DeviceFind));
    }
}

TEST_F(DriverTest, AcceptedCardNumbersSearchForThatCard)
{
    const struct {
        std::string typed;
        unsigned number;
    } cases[] = {{"0", 0}, {"15", 15}, {"7 ", 7}, {"-0", 0}, {" 3", 3}, {"+7", 7}, {"\t2", 2},
                 {"0010", 10}, {"0000:05:02.0", 1}, {"05:02.0", 1}, {" 0000:04:00.0 ", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("card '" + c.typed + "'");
        const ProgramRun run = run_program({bit_path, c.typed});
        std::string search;  // the card's: after an address's, the last
        for (const recording::Event& call : run.calls()) {
            search = call.op == Op::DeviceFind ? call.text : search;
        }
        EXPECT_NE(search.find(" number=" + std::to_string(c.number)), std::string::npos) << search;
        if (c.number <= 1) {
            EXPECT_EQ(run.exit_status, 0) << run.err;
        } else {
            EXPECT_EQ(run.exit_status, 101);
            EXPECT_EQ(run.err, error_report("Can't find 9056 card number " +
                                            std::to_string(c.number) + ".\n"));
        }
    }
}

TEST_F(DriverTest, ReportsEachDefaultCardExactly)
{
    for (int card : {0, 1}) {
        SCOPED_TRACE(card);
        const ProgramRun run = run_executable(VELTCFG_SIM_PATH, {bit_path, std::to_string(card)});
        EXPECT_EQ(run.exit_status, 0) << run.err;
        const std::string expected = banner() + card_report(card);
        EXPECT_EQ(mask_memory_base(run.out).substr(0, expected.size()), expected);
    }
}

TEST_F(DriverTest, SearchesForTheBridgeWithEverythingElseLeftOpen)
{
    const ProgramRun run = run_program({bit_path, "1"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto calls = run.calls();
    EXPECT_EQ(calls[0].text, "vendor=0x10B5 device=0x9056 bus=any slot=any function=0 number=1");
    EXPECT_EQ(calls[2].op, Op::PciRegisterRead);
    EXPECT_EQ(calls[2].text, "bus=5 slot=2 function=0 offset=0x14");
    EXPECT_EQ(calls[3].op, Op::PciBarMap);
    EXPECT_EQ(calls[3].text, "device=5/2.0 bar=3");
}

TEST_F(DriverTest, ThirdCardOfTwoIsNotFoundAndNothingIsReleased)
{
    const ProgramRun run = run_program({bit_path, "2"});
    EXPECT_EQ(run.exit_status, 101);
    EXPECT_EQ(run.out, banner());
    EXPECT_EQ(run.err, error_report("Can't find 9056 card number 2.\n"));
    EXPECT_EQ(run.call_ops(), ops({Op::DeviceFind}));
}

// The simulated host as VELTCFG_SIM_HOST describes it: its cards, in location
// order, and the faults a lab script can rehearse; a description that cannot
// be read ends the run before anything is printed. Both streams written into
// one file hold standard output first, then the report.
TEST_F(DriverTest, SimulatedHostFollowsItsDescription)
{
    const struct {
        std::string description;
        int status;
        std::string out;  // what standard output holds after the banner, at its start
        std::string err;  // standard error, exactly, or what it holds for status 2
    } cases[] = {
        {"", 0, card_report(0), ""},
        {"bus=4 slot=0 fault=open", 105, "", error_report("Can't gain access to 9056 card number 0.\n")},
        {"bus=4 slot=0 fault=in-use", 105, "", error_report("Can't gain access to 9056 card number 0.\n")},
        {"bus=4 slot=0 fault=not-answering", 105, card_report(0),
         error_report("Can't access 9056 card control register.\n")},
        {"bus=4 slot=0 fault=map", 105, "\nUsing PCI device at bus 4/device 0.",
         error_report("Can't map 9056 card number 0 base registers.\n")},
        {"bus=4 slot=0 fault=busy", 102, card_report(0),
         error_report("<DONE> status bit indicates busy at start of programming.")},
        {"bus=4 slot=0 fault=no-done", 102, card_report(0),
         error_report("Error: Not <DONE>; programming not completed.")},
        {"bus=4 slot=0 fault=gone", 105, card_report(0),
         error_report("Can't access 9056 card status register.\n")},
        {"bus=9,slot=3 ; bus=2 slot=1 function=0 subsystem=0x3428 io=0x1000", 0,
         "\nUsing PCI device at bus 2/device 1.\nFound Orlenta RV80-B card"
         "\n\nPLX 9056 configuration I/O base port: 0x1000", ""},
        {"bus=4 slot=0 idcode=0x1362D093", 0, card_report(0), ""},
        {"bus=4 slot=0 idcode=56807571", 0, card_report(0), ""},
        {"bus=4 slot=0 idcode=0x03631093", 102, card_report(0),
         error_report("Error: Not <DONE>; programming not completed.")},
        {"bus=4 slot=0 idcode=0x1FFFFFFFF", 2, "", "\"idcode=0x1FFFFFFFF\": idcode must be a number"},
        {"bus=4 slot=0 colour=red", 2, "", "\"colour=red\": unknown key"},
        {"bus=4 slot=0 slot=1", 2, "", "\"slot=1\": slot given twice"},
        {"bus=4 slot=0 colour=\x1B[2J", 2, "", "\"colour=\\x1B[2J\": unknown key"},
        {"bus=256 slot=0", 2, "", "\"bus=256\": bus must be a number from 0 to 255"},
        {"bus=4 slot=0x", 2, "", "\"slot=0x\": slot must be a number"},
        {"bus=4 slot=0 fault=fire", 2, "", "\"fault=fire\": unknown fault"},
        {"bus=4 slot=0 io=0xE001", 2, "", "\"io=0xE001\": io must be a number"},
        {"bus=4", 2, "", "card 1: no slot given"},
        {";;bus=5 slot=2 subsystem=0x3429 io=0xD000 fault=none;", 0, card_report(1), ""},
        {"bus=5 slot=0; bus=4 slot=3 subsystem=0x3428", 0,
         "\nUsing PCI device at bus 4/device 3.\nFound Orlenta RV80-B card", ""},
        {"bus=4 slot=0 configured=no", 0, card_report(0), ""},
        {"bus=4 slot=0 configured=1", 2, "", "\"configured=1\": configured must be yes or no"},
        {"bus=4 slot=32", 2, "", "\"slot=32\": slot must be a number from 0 to 31"},
        {"bus=4 slot=0; bus=4 slot=0", 2, "", "card 2: a second card at the same bus, slot"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("VELTCFG_SIM_HOST='" + c.description + "'");
        const std::string host = "VELTCFG_SIM_HOST=" + c.description;
        const ProgramRun run = run_executable("/usr/bin/env", {host, VELTCFG_SIM_PATH, bit_path, "0"});
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        const ProgramRun log = run_executable("/bin/sh", {"-c", "exec \"$@\" 2>&1", "sh", "/usr/bin/env",
                                                          host, VELTCFG_SIM_PATH, bit_path, "0"});
        EXPECT_EQ(mask_memory_base(log.out), mask_memory_base(run.out) + run.err);
        if (c.status == 2) {
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err.rfind("veltcfg-sim: VELTCFG_SIM_HOST cannot be read: ", 0), 0u)
                << run.err;
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        } else {
            EXPECT_EQ(mask_memory_base(run.out).substr(0, banner().size() + c.out.size()),
                      banner() + c.out);
            EXPECT_EQ(run.err, c.err);
        }
    }
}

// veltcfg-list --simulated: the cards VELTCFG_SIM_HOST describes, given out
// of order, numbered as veltcfg-sim numbers them, each with its state and
// what keeps the program from it; --json holds the same.
TEST_F(DriverTest, ListingNumbersTheCardsAsTheProgramDoes)
{
    const std::string host = "VELTCFG_SIM_HOST=bus=5 slot=0 configured=no; bus=4 slot=3 "
                             "subsystem=0x3428 fault=open; bus=4 slot=1 io=0x1000 subsystem=7; "
                             "bus=6 slot=0 fault=not-answering";
    const struct {
        std::string host;
        std::vector<std::string> args;
        int status;
        std::string out;  // at its start
        std::string err;  // at its start
    } cases[] = {
        {host, {"--simulated"}, 0,
         "ADDRESS       CARD  MODEL    SUBSYSTEM  I/O     CONTROL  MEMORY      PATH      STATE\n"
         "0000:04:01.0  0     unknown  10b5:0007  0x1000  0x106C   0xF7D00000  simulated "
         "configured; unknown model: not an RV80 card, but numbered all the same\n"
         "0000:04:03.0  1     RV80-B   10b5:3428  0xE000  0xE06C   0xF7D00000  simulated "
         "configured; not permitted: set up with fault=open: the card cannot be opened\n"
         "0000:05:00.0  2     RV80-A   10b5:3427  0xE000  0xE06C   0xF7D00000  simulated "
         "not configured\n",
         ""},
        {"A=", {"--help"}, 0, "usage: veltcfg-list [--simulated] [--json]\nLists", ""},
        {"A=", {"--version"}, 0, "veltcfg-list 1.0\n", ""},
        {"A=", {"--simulated", "-x"}, 2, "", "veltcfg-list: unknown argument: -x\nusage: "},
        {"VELTCFG_SIM_HOST=bus=4", {"--simulated"}, 2, "",
         "veltcfg-list: VELTCFG_SIM_HOST cannot be read: card 1: no slot given\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {c.host, VELTCFG_LIST_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramRun run = run_executable("/usr/bin/env", args);
        EXPECT_EQ(run.exit_status, c.status) << run.err;
        EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
    }
    // Cards 0 to 15 only, which veltcfg can number.
    std::string seventeen = "VELTCFG_SIM_HOST=";
    for (int bus = 1; bus <= 17; ++bus) {
        seventeen += "bus=" + std::to_string(bus) + " slot=0;";
    }
    const std::string listed = run_executable("/usr/bin/env", {seventeen, VELTCFG_LIST_PATH, "--simulated"}).out;
    EXPECT_EQ(listed.substr(listed.rfind("\n0000:10")), "\n0000:10:00.0  15    RV80-A   10b5:3427  "
              "0xE000  0xE06C   0xF7D00000  simulated configured\nMore cards follow card 15; "
              "veltcfg takes card numbers 0 to 15.\n");
    // veltcfg-sim takes the address of each card it numbers, no other.
    for (const std::string address : {"0a:00.0", "0000:10:00.0", "0000:11:00.0"}) {
        const ProgramRun run = run_executable("/usr/bin/env", {seventeen, VELTCFG_SIM_PATH, bit_path, address});
        EXPECT_EQ(run.exit_status, address == "0000:11:00.0" ? 101 : 0) << address << run.err;
    }
    const ProgramRun full = run_executable(
        "/bin/sh", {"-c", "exec \"$@\" >/dev/full", "sh", VELTCFG_LIST_PATH, "--simulated"});
    EXPECT_EQ(full.exit_status, 1);
    EXPECT_EQ(full.err, "veltcfg-list: the listing could not be written: No space left on device\n");
#ifdef VELTCFG_WITH_JSON
    const auto json = nlohmann::ordered_json::parse(
        run_executable("/usr/bin/env", {host, VELTCFG_LIST_PATH, "--json", "--simulated"}).out);
    char host_name[256] = "";
    EXPECT_EQ(gethostname(host_name, sizeof host_name - 1) == 0 ? host_name : "", json["host"]);
    EXPECT_EQ(json["schema"].dump() + json["version"].dump() + json["cards"][1].dump(),
              "2\"1.0\"{\"card\":1,\"address\":\"0000:04:03.0\",\"model\":\"RV80-B\","
              "\"subsystem_vendor\":\"0x10b5\",\"subsystem_device\":\"0x3428\",\"io_base\":"
              "\"0xE000\",\"control_port\":\"0xE06C\",\"memory_bar\":\"0xF7D00000\",\"path\":"
              "\"simulated\",\"state\":\"configured\",\"reachable\":false,\"holder_pid\":null,"
              "\"hindrances\":[{\"kind\":\"not_permitted\",\"detail\":\"set up with fault=open: "
              "the card cannot be opened\"}],\"vfio_missing\":[]}");
    // Nothing in the way and the card answering, or not reachable.
    std::string reachable;
    for (const auto& card : json["cards"]) {
        reachable += card["reachable"].dump() + " ";
    }
    EXPECT_EQ(reachable, "true false true false ");
#endif
}

TEST_F(DriverTest, ModelFollowsTheSubsystemId)
{
    const struct {
        uint16_t subsystem_id;
        std::string line;
    } cases[] = {{0x3427, "\nFound Orlenta RV80-A card"},
                 {0x3428, "\nFound Orlenta RV80-B card"},
                 {0x3429, "\nFound Orlenta RV80-C card"},
                 {0x3426, "\nUnknown PLX PCI9056 based card!"},
                 {0x0000, "\nUnknown PLX PCI9056 based card!"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subsystem_id);
        const ProgramRun run = run_program({bit_path, "0"}, [&](sim::Host& host, recording::Recorder&) {
            host = sim::Host();
            sim::CardSettings identity;
            identity.bus = 9;
            identity.slot = 3;
            identity.subsystem_device_id = c.subsystem_id;
            host.add_card(identity);
        });
        // An unknown model is only reported; the run goes on to the end.
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_NE(run.out.find("\nUsing PCI device at bus 9/device 3." + c.line + "\n\nPLX"),
                  std::string::npos)
            << run.out;
    }
}

// Each udev rule (the group's and the VFIO ones) takes the bridges of the
// card models' subsystem IDs, and no other: by ATTR matches, or by the IDs a
// shell's case takes, vendor:device:subsystem vendor:subsystem device.
TEST(UdevRules, TakeTheCardModelsOnly)
{
    auto id = [](uint16_t value) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%04x", value);
        return std::string(text);
    };
    std::string vendor, devices, ids;  // as the rules write them
    for (const CardModel& model : CARD_MODELS) {
        vendor = "ATTR{subsystem_vendor}==\"" + id(model.subsystem_vendor_id) + "\"";  // the models'
        devices += (devices.empty() ? "" : "|") + id(model.subsystem_device_id);
        ids += (ids.empty() ? "" : "|") + id(PLX_VENDOR_ID) + ":" + id(PCI9056_DEVICE_ID) + ":" +
               id(model.subsystem_vendor_id) + ":" + id(model.subsystem_device_id);
    }
    for (const char* name : {"60-veltcfg.rules", "61-veltcfg-vfio.rules"}) {
        std::stringstream file;
        file << std::ifstream(std::string(VELTCFG_SOURCE_DIR) + "/packaging/" + name).rdbuf();
        std::istringstream rules(std::regex_replace(file.str(), std::regex("\\\\\n|#.*\n"), ""));
        int count = 0;
        for (std::string rule; std::getline(rules, rule); ++count) {
            EXPECT_TRUE((rule.find(vendor) != std::string::npos &&
                         rule.find("ATTR{subsystem_device}==\"" + devices + "\"") != std::string::npos) ||
                        rule.find(" in " + ids + ")") != std::string::npos)
                << name << ": " << rule;
        }
        EXPECT_GT(count, 0) << name;
    }
}

TEST_F(DriverTest, IoBaseDropsTheTwoLowBits)
{
    const struct {
        uint32_t reg;
        std::string base, port;
    } cases[] = {{0x0000E001, "0xE000", "0xE06C"},
                 {0x00001001, "0x1000", "0x106C"},
                 {0x00000003, "0x0000", "0x006C"},
                 {0x0001F0F1, "0x1F0F0", "0x1F15C"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reg);
        const ProgramRun run = run_program({bit_path, "0"}, [&](sim::Host& host, recording::Recorder&) {
            host = sim::Host();
            sim::CardSettings identity;
            identity.io_register = c.reg;
            host.add_card(identity);
        });
        EXPECT_EQ(run.exit_status, 0) << run.err;
        EXPECT_NE(run.out.find("\n\nPLX 9056 configuration I/O base port: " + c.base +
                               "\nPLX 9056 control/status port:         " + c.port + "\n"),
                  std::string::npos)
            << run.out;
        // The control register is reached at that port.
        for (const recording::Event& call : run.calls()) {
            if (call.op == Op::IoPortRead || call.op == Op::IoPortWrite) {
                EXPECT_NE(call.text.find("port=" + c.port + " bytes=4 access=2"),
                          std::string::npos)
                    << call.text;
            }
        }
    }
}

TEST_F(DriverTest, SuccessfulRunReleasesTheCardBeforeTheClosingLine)
{
    const ProgramRun run = run_program({bit_path, "0"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto ops_seen = run.call_ops();
    ASSERT_GE(ops_seen.size(), 2u);
    EXPECT_EQ(ops_seen[ops_seen.size() - 2], Op::PciBarUnmap);
    EXPECT_EQ(ops_seen.back(), Op::DeviceClose);
    ASSERT_EQ(run.log.back().kind, recording::Event::Kind::Output);
    EXPECT_EQ(run.log.back().text, "\n\nFunction complete.\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
