// The real program end to end, alone or against icd2sim on a pseudo-terminal, for what only it
// shows: command line, exit statuses, the stages before any ICD2 traffic, DTR and line speeds on a
// real pty, the run report, and the README's job with the bundled examples.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <tuple>

#include "support/harness.h"

namespace {

using harness::count_lines;
using harness::run_tarnwell;
using harness::write_temp_file;
using Texts = std::vector<std::string>;

const std::string kUsage =
    "Usage: tarnwell [-c <config file>] -t <tty> [-v] <hex file>\n\n"
    "\t-c <config file> The path to the config file with the processor info in. Defaults to "
    "/usr/local/etc/tarnwell.config\n"
    "\t-t <tty> The path to the serial device that the ICD2 is connect to\n"
    "\t-v Verify the hex file against the device. Without this it programs and verifies\n\n";

TEST(CommandLine, WrongCommandLinesGiveUsageAndStatusOne) {
    // The arguments, and the end of the one line on standard error ("": none).
    const std::pair<Texts, std::string> rows[] = {
        {{}, ""},
        {{"image.hex"}, ""},
        {{"-t", "/dev/null"}, ""},
        {{"image.hex", "-t", "x"}, ""},  // a -t after the HEX file is never seen
        {{"-x", "-t", "/dev/null"}, "invalid option -- 'x'\n"},
        {{"-t", "x", "-b", "-e"}, "tarnwell: -b and -e select two jobs; give one of them\n"},
        {{"-t", "x", "-r", "out.hex", "-v"}, "tarnwell: -r cannot be combined with -v\n"},
        {{"-t", "x", "-i", "image.hex"}, "tarnwell: -i takes no HEX file (got image.hex)\n"}};
    for (const auto& [args, err] : rows) {
        harness::Result run = run_tarnwell(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kUsage);
        EXPECT_TRUE(run.err.ends_with(err)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), !err.empty()) << run.err;
    }
    harness::Result run = run_tarnwell({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find(kUsage + "       tarnwell [-c <config file>] -t <tty> -r <file>"), 0u);
    EXPECT_EQ(run_tarnwell({"--version"}).out, "tarnwell 0.1.0\n");
    // As a programming run, "image.hex -v" would erase a part only to be compared.
    run = run_tarnwell({"-c", "/nonexistent", "-t", "/dev/null", "image.hex", "extra", "-v"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.ends_with(
        "1 4 ERROR   [tarnwell] [main] Option -v after the HEX file; options go before it\n"));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);  // and nothing else
}

// Every run names a missing configuration first: the later -c wins.
TEST(CommandLine, EachEarlyFailureEndsWithItsStatusAndLine) {
    const std::string config = write_temp_file("c.config", harness::default_config());
    const std::string hex = write_temp_file("a.hex", harness::hex_words(0, {1}) + harness::kHexEnd);
    const std::string missing = "/nonexistent/x";
    std::string records;  // before a bad line
    for (int i = 0; i < 6; ++i) records += harness::hex_words(8 * i, {i});
    const std::string bad_7 = write_temp_file("7.hex", records + ":02000E00010000FF\n");
    // The status, -c and the HEX file, and a line of the log ("": the log is empty).
    const std::tuple<int, std::string, std::string, std::string> cases[] = {
        {1, missing, hex, "1 1 ERROR   [tarnwell] [main] Unable to open config file: " + missing},
        {2, config, missing, "1 1 ERROR   [tarnwell] [main] Unable to open hex file: " + missing},
        {2, config, "/tmp", "Unable to open hex file: /tmp"},
        {3, config, bad_7,
         "1 2 ERROR   [tarnwell] [main] Line 7 of " + bad_7 + ": Checksum validation failed"},
        // The real serial module meets a device that is no tty.
        {4, config, hex, "1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: /dev/null"},
        {4, config, hex, "1 3 ERROR   [tarnwell] [main] Unable to identify processor."},
        {4, write_temp_file("quiet.config", "log/default = 0\n"), hex, ""},
    };
    for (const auto& [status, config_path, hex_path, line] : cases) {
        harness::Result run =
            run_tarnwell({"-c", missing, "-c", config_path, "-t", "/dev/null", hex_path});
        EXPECT_EQ(run.status, status) << line;
        EXPECT_TRUE(line.empty() ? run.err.empty() : count_lines(run.err, line) >= 1) << line;
    }
}

// A tty the user may not open names the group that would let them.
TEST(CommandLine, TtyWithoutPermissionNamesItsGroup) {
    Texts argv;  // as root, the run is nobody's
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
    if (geteuid() == 0)
        argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const std::string hex = write_temp_file("a.hex", harness::hex_words(0, {1}) + harness::kHexEnd);
    const std::string tty = write_temp_file("ttyS9", "");
    chmod(std::filesystem::path(tty).parent_path().c_str(), 0755);
    chmod(tty.c_str(), 0);
    chmod(hex.c_str(), 0644);
    argv.insert(argv.end(), {TARNWELL_BIN, "-c", "/dev/null", "-t", tty, hex});
    harness::Result run = harness::run_command(argv);
    const group* owner = getgrgid(getegid());
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(count_lines(run.err, "port: " + tty + " Reason: 13 Permission denied"), 3);
    const std::string info = "3 17 INFO    [tarnwell] [find_device] No permission to open ";
    EXPECT_EQ(count_lines(run.err, info + tty + ": it belongs to group " + owner->gr_name), 1);
}

TEST(EndToEnd, TheReadmeJobProgramsTheExample) {
    const std::string examples = std::string(SOURCE_DIR) + "/examples/";
    harness::SimRun setup{harness::read_file(examples + "tarnwell.config"),
                          harness::read_file(examples + "example.hex")};
    setup.sim = {"--device", examples + "sim-device.conf"};
    harness::Result programmed = harness::run_with_sim(setup);
    EXPECT_EQ(programmed.status, 0) << programmed.err;
    EXPECT_TRUE(programmed.out.ends_with(": Done Verifying : Passed        \n"));
    EXPECT_EQ(programmed.out.find("Programming TW14-B : "), 0u);
    // The firmware-6 family is passed over; of the firmware-5 parts the second matches.
    EXPECT_EQ(count_lines(programmed.err, "not compatible with current firmware"), 2);
    // One connection attempt (two DTR pulses), 57600 baud, every frame taken as sent.
    EXPECT_EQ(count_lines(programmed.transcript, "DTR 0"), 2) << programmed.transcript;
    EXPECT_EQ(count_lines(programmed.transcript, "SPEED 57600"), 1);
    EXPECT_EQ(count_lines(programmed.transcript, "BAD"), 0);
    // The part holds every word of the image, EEPROM (0x2100..0x21FF) its low bytes.
    auto device = harness::hex_decode(programmed.dump);
    for (auto [address, word] : harness::hex_decode(setup.hex))
        EXPECT_EQ(device[address], address >> 8 == 0x21 ? word & 0xFF : word) << address;
    // (The installation tests verify it from this dump.) The part vanishes mid-run: the pass
    // fails, instead of hanging or passing.
    setup.sim.insert(setup.sim.end(), {"--set", "fault=vanish 43"});
    harness::Result vanished = harness::run_with_sim(setup);
    EXPECT_EQ(vanished.status, 5) << vanished.err;
    EXPECT_EQ(1, count_lines(vanished.err, "[tty_write] Unbale to write, Reason: 5 Input/output"));
    EXPECT_EQ(vanished.out.find("Passed"), std::string::npos);
}

// Runs at once, each with its own ICD2, share one report, each appending one whole line; Python's
// JSON reader shows job, status, stage, a difference's address, device, words, whether a pass ran.
TEST(EndToEnd, EveryJobAppendsOneReportLineAndIdentifyShowsTheProbe) {
    const std::string report = write_temp_file("report.jsonl", "");
    const std::vector<Texts> jobs{{}, {"-v"}, {"-b"}, {"-i"}, {"-e"}, {"-r", report + "r"}, {"-i"}};
    const std::string image =
        harness::hex_words(0, {1, 2}) + harness::hex_words(0x2100, {7}) + harness::kHexEnd;
    std::vector<harness::Result> runs(jobs.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs.size(); ++i) {
        harness::SimRun run{harness::default_config(), i < 2 ? image : "", {"-o", report}};
        run.sim = {"--set", i == 6 ? "chipid.value=0x1234" : "stuck=id:0x2001=0"};
        run.args.insert(run.args.end(), jobs[i].begin(), jobs[i].end());
        threads.emplace_back([&runs, i, run] { runs[i] = harness::run_with_sim(run); });
    }
    run_tarnwell({"-o", report, "-c", write_temp_file("c", harness::default_config()), "-l"});
    run_tarnwell({"-o", report, "-t", "x"});
    run_tarnwell({"-o", report, "-c", "/dev/null", "-t", "x", write_temp_file("bad.hex", ":00")});
    for (std::thread& thread : threads) thread.join();
    const std::string script = write_temp_file(
        "read.py",
        "import json, sys\nfor line in open(sys.argv[1]):\n r = json.loads(line); s = "
        "r['result']\n print(r['job'], s['status'], s['stage'], s.get('address'), r.get("
        "'device', {}).get('name'), r.get('image', {}).get('words'), 'pass' in r['seconds'])");
    // Each run starts from an erased part, which the verification finds.
    const std::string sorted = "python3 " + script + " " + report + " | LC_ALL=C sort";
    EXPECT_EQ(harness::run_command({"sh", "-c", sorted}).out,
              "blank 5 not-blank 8193 SIM16A None True\nerase 0 ok None SIM16A None True\n"
              "identify 0 ok None SIM16A None True\nidentify 4 identify None None None False\n"
              "list 0 ok None None None False\nprogram 0 ok None SIM16A 3 True\n"
              "program 1 usage None None None False\nprogram 3 hex-parse None None None False\n"
              "read 0 ok None SIM16A None True\nverify 5 difference 0 SIM16A 3 True\n");
    EXPECT_TRUE(harness::read_file(report).find(
                    "\"target_vdd\":5,\"reading_37\":12.781,\"reading_35\":0}") !=
                std::string::npos);
    const std::string probed =
        "ICD2 firmware: 05.07.03.20\nTarget voltage: 5.00 V\nICD2 voltages: 12.78 V, 0.00 V\n";
    EXPECT_EQ(runs[3].out, "Processor: SIM16A\nChip id: 0D40\n" + probed);
    const std::string none = "Processor: none of the configured processors matches\n";
    EXPECT_EQ(runs[6].out, none + "Chip id (family 3, address 2006): 1234\n" + probed);
}

}  // namespace
