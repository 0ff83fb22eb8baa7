// The real program end to end, alone or against icd2sim on a pseudo-terminal,
// for what only it shows: the command line and exit statuses, the stages
// before any ICD2 traffic, DTR and the line speeds on a real pty, and the
// README's job with the bundled examples.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/harness.h"

using harness::count_lines;
using harness::run_tarnwell;
using harness::write_temp_file;

namespace {

const std::string kUsage =
    "Usage: tarnwell [-c <config file>] -t <tty> [-v] <hex file>\n"
    "\n"
    "\t-c <config file> The path to the config file with the processor info in. Defaults to "
    "/usr/local/etc/tarnwell.config\n"
    "\t-t <tty> The path to the serial device that the ICD2 is connect to\n"
    "\t-v Verify the hex file against the device. Without this it programs and verifies\n\n";

std::string random_bytes(size_t count) {
    std::mt19937 random(42);
    std::string bytes(count, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

TEST(CommandLine, MissingTtyOrHexFileGivesUsageAndStatusOne) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"image.hex"},
             {"-t", "/dev/null"},
             {"-c", "x.config", "-v", "-t", "/dev/null"},
             {"image.hex", "-t", "/dev/null"}}) {  // -t after the HEX file is never seen
        harness::Result run = run_tarnwell(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kUsage);
        EXPECT_EQ(run.err, "");
    }
    harness::Result run = run_tarnwell({"-x", "-t", "/dev/null"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_NE(run.err.find("invalid option"), std::string::npos) << run.err;
}

// Every run names a missing configuration first: the later -c wins.
TEST(CommandLine, EachEarlyFailureEndsWithItsStatusAndLine) {
    const std::string config = write_temp_file("c.config", harness::default_config());
    const std::string hex =
        write_temp_file("ok.hex", harness::hex_words(0, {1}) + harness::hex_end());
    const std::string missing = "/nonexistent/x";
    const std::string lines = std::string(2 << 20, 'k') + "\n";  // two megabytes each
    std::string records;
    for (int i = 0; i < 6; ++i) records += harness::hex_words(8 * i, {i});
    const std::string bad_line_7 =
        write_temp_file("bad7.hex", records + ":02000E00010000FF\n" + harness::hex_end());
    struct Case {
        int status;
        std::string config, hex;
        std::string line;  // a line of the log; "" for a log that must be empty
    };
    // clang-format off
    const Case cases[] = {
        {1, missing, hex, "1 1 ERROR   [tarnwell] [main] Unable to open config file: " + missing},
        {1, "/tmp", hex, "Unable to open config file: /tmp"},
        {2, config, missing, "1 1 ERROR   [tarnwell] [main] Unable to open hex file: " + missing},
        {2, config, "/tmp", "Unable to open hex file: /tmp"},
        // Configurations of binary junk or of megabyte lines still load.
        {2, write_temp_file("junk.config", random_bytes(8192)), missing, "Unable to open hex file"},
        {2, write_temp_file("huge.config", "k = " + lines + lines + " = v\n"), missing,
         "Unable to open hex file"},
        {3, config, write_temp_file("junk.hex", random_bytes(4096)), "Error parsing hex file: "},
        {3, config, write_temp_file("l.hex", ":" + std::string(3 << 20, 'A')), "Error parsing hex"},
        {3, config, write_temp_file("empty.hex", ""), "Error parsing hex file: "},
        {3, config, bad_line_7, "1 2 ERROR   [tarnwell] [main] Line 7 of " + bad_line_7 +
                                    ": Checksum validation failed"},
        // The real serial module meets a device that is no tty.
        {4, config, hex, "1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: /dev/null"},
        {4, config, hex, "1 3 ERROR   [tarnwell] [main] Unable to identify processor."},
        {4, write_temp_file("quiet.config", "log/default = 0\n"), hex, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        harness::Result run =
            run_tarnwell({"-c", missing, "-c", c.config, "-t", "/dev/null", c.hex});
        EXPECT_EQ(run.status, c.status) << c.line;
        if (c.line.empty())
            EXPECT_EQ(run.err, "");
        else
            EXPECT_GE(count_lines(run.err, c.line), 1) << c.line << "\n" << run.err.substr(0, 2000);
    }
}

std::string read_example(const std::string& name) {
    std::ostringstream text;
    text << std::ifstream(std::string(SOURCE_DIR) + "/examples/" + name).rdbuf();
    return text.str();
}

TEST(EndToEnd, TheReadmeJobProgramsThenVerifiesTheExample) {
    harness::SimRun setup;
    setup.device = std::string(SOURCE_DIR) + "/examples/sim-device.conf";
    setup.config = read_example("tarnwell.config");
    setup.hex = read_example("example.hex");
    harness::Result programmed = harness::run_with_sim(setup);
    EXPECT_EQ(programmed.status, 0) << programmed.err;
    EXPECT_TRUE(
        programmed.out.ends_with("\rProgramming TW14-B : Done Verifying : Passed        \n"))
        << programmed.out;
    // The firmware-6 family is passed over, the first firmware-5 part does
    // not match, the second does.
    EXPECT_EQ(count_lines(programmed.err, "not compatible with current firmware"), 2);
    // One connection attempt (two DTR pulses), the switch to 57600 baud, and
    // every frame taken as sent.
    EXPECT_EQ(count_lines(programmed.transcript, "DTR 0"), 2) << programmed.transcript;
    EXPECT_EQ(count_lines(programmed.transcript, "SPEED 57600"), 1);
    EXPECT_EQ(count_lines(programmed.transcript, "BAD"), 0);
    // The device holds every word of the image; EEPROM (0x2100..0x21FF) its
    // low bytes.
    std::map<uint32_t, int> device = harness::hex_decode(programmed.dump);
    for (auto [address, word] : harness::hex_decode(setup.hex))
        EXPECT_EQ(device[address], address >> 8 == 0x21 ? word & 0xFF : word)
            << std::hex << address;

    setup.initial_memory = programmed.dump;
    setup.args = {"-v"};
    harness::Result verified = harness::run_with_sim(setup);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_TRUE(verified.out.ends_with("\rVerifying TW14-B : Passed          \n")) << verified.out;
    EXPECT_EQ(harness::commands(verified.transcript).find(" 29"), std::string::npos);
}

// The device vanishes mid-run: the pty hangs up under the program, whose
// pass fails (status 5) instead of hanging or passing.
TEST(EndToEnd, DeviceThatVanishesFailsThePass) {
    harness::SimRun setup;
    setup.config = harness::default_config();
    setup.hex = harness::hex_words(0, {1}) + harness::hex_end();
    setup.settings = {"fault=vanish 43"};
    harness::Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_EQ(count_lines(run.err, "[tty_write] Unbale to write, Reason: 5 Input/output error"), 1);
    EXPECT_EQ(run.out.find("Passed"), std::string::npos);
}


TEST(CommandLine, JobsBesideProgrammingAreOneAtATimeAndOptionsNeverFollowTheHexFile) {
    harness::Result run = run_tarnwell({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.starts_with(kUsage));
    EXPECT_NE(run.out.find("\t-r <file> Read every memory space"), std::string::npos);
    run = run_tarnwell({"--version"});
    EXPECT_EQ(run.out, "tarnwell 0.1.0\n");
    const struct {
        std::vector<std::string> args;
        std::string line;
    } rows[] = {
        {{"-t", "x", "-b", "-e"}, "tarnwell: -b and -e select two jobs; give one of them\n"},
        {{"-t", "x", "-r", "out.hex", "-v"}, "tarnwell: -r cannot be combined with -v\n"},
        {{"-t", "x", "-i", "image.hex"}, "tarnwell: -i takes no HEX file (got image.hex)\n"},
    };
    for (const auto& row : rows) {
        run = run_tarnwell(row.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kUsage);
        EXPECT_EQ(run.err, row.line);
    }
    // Read as a programming run, "image.hex -v" would erase a device that was
    // only to be compared: the run stops before anything is loaded.
    run = run_tarnwell({"-c", "/nonexistent", "-t", "/dev/null", "image.hex", "extra", "-v"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(count_lines(run.err, "1 4 ERROR   [tarnwell] [main] Option -v after the HEX file; "
                                   "options go before it"), 1);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);  // and nothing else
}

// A tty the user may not open names the group that would let them.
TEST(CommandLine, TtyWithoutPermissionNamesItsGroup) {
    std::vector<std::string> as_user;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "root, and no setpriv to drop it";
        as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    char dir[] = "/tmp/tarnwell-perm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    const std::string tty = std::string(dir) + "/ttyS9";
    const std::string hex = std::string(dir) + "/image.hex";
    std::ofstream(tty) << "";
    std::ofstream(hex) << harness::hex_words(0, {1}) + harness::hex_end();
    chmod(tty.c_str(), 0);
    chmod(hex.c_str(), 0644);
    std::vector<std::string> argv = as_user;
    argv.insert(argv.end(), {TARNWELL_BIN, "-c", "/dev/null", "-t", tty, hex});
    harness::Result run = harness::run_command(argv);
    std::filesystem::remove_all(dir);
    const group* owner = getgrgid(getegid());
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_EQ(count_lines(run.err, "Unbale to open serial port: " + tty + " Reason: 13 Permission denied"),
              3);
    EXPECT_EQ(count_lines(run.err, "3 17 INFO    [tarnwell] [find_device] No permission to open " + tty +
                                       ": it belongs to group " + owner->gr_name),
              1)
        << run.err;
}

// What each kind of run reports, read back with Python's JSON reader.
std::string python_reads(const std::string& report) {
    const std::string script = write_temp_file("read.py",
        "import json, sys\n"
        "for line in open(sys.argv[1]):\n"
        "    r = json.loads(line)\n"
        "    print(r['job'], r['result']['status'], r['result']['stage'], r['result'].get('address'),\n"
        "          r.get('device', {}).get('name'), r.get('image', {}).get('words'),\n"
        "          'pass' in r['seconds'])\n");
    return harness::run_command({"python3", script, report}).out;
}

TEST(EndToEnd, EveryJobAppendsOneReportLine) {
    const std::string report = write_temp_file("report.jsonl", "");
    harness::SimRun setup;
    setup.config = harness::default_config();
    setup.hex = harness::hex_words(0, {1, 2}) + harness::hex_words(0x2100, {7}) + harness::hex_end();
    setup.settings = {"stuck=id:0x2001=0x0000"};
    for (std::vector<std::string> job : std::vector<std::vector<std::string>>{
             {}, {"-v"}, {"-b"}, {"-i"}, {"-e"}, {"-r", write_temp_file("out.hex", "")}}) {
        setup.args = {"-o", report};
        setup.args.insert(setup.args.end(), job.begin(), job.end());
        harness::SimRun run = setup;
        if (!job.empty() && job[0] != "-v") run.hex = "";
        harness::run_with_sim(run);
    }
    run_tarnwell({"-o", report, "-c", write_temp_file("c", harness::default_config()), "-l"});
    run_tarnwell({"-o", report, "-t", "x"});
    run_tarnwell({"-o", report, "-c", "/dev/null", "-t", "x", write_temp_file("bad.hex", ":00")});
    EXPECT_EQ(python_reads(report),
              "program 0 ok None SIM16A 3 True\n"
              "verify 5 difference 0 SIM16A 3 True\n"   // each run starts from an erased part
              "blank 5 not-blank 8193 SIM16A None True\n"
              "identify 0 ok None SIM16A None True\n"
              "erase 0 ok None SIM16A None True\n"
              "read 0 ok None SIM16A None True\n"
              "list 0 ok None None None False\n"
              "program 1 usage None None None False\n"
              "program 3 hex-parse None None None False\n");
}

// Several ICD2s at once, each with its own tarnwell, share one report.
TEST(EndToEnd, ParallelRunsShareOneReportWithoutInterleaving) {
    const std::string report = write_temp_file("shared.jsonl", "");
    harness::SimRun setup;
    setup.config = harness::default_config();
    setup.hex = harness::hex_words(0, {1, 2}) + harness::hex_end();
    setup.args = {"-o", report};
    std::vector<harness::SimRun> runs(3, setup);
    runs[1].settings = {"stuck=prog:1=0x0000"};
    runs[2].args.push_back("-v");
    std::vector<std::thread> threads;
    for (const harness::SimRun& run : runs) threads.emplace_back([&run] { harness::run_with_sim(run); });
    for (std::thread& thread : threads) thread.join();
    std::istringstream lines(python_reads(report));
    std::vector<std::string> read((std::istream_iterator<std::string>(lines)), {});
    std::multiset<std::string> outcomes;
    for (size_t i = 0; i + 7 <= read.size(); i += 7) outcomes.insert(read[i] + " " + read[i + 2]);
    EXPECT_EQ(outcomes, (std::multiset<std::string>{"program ok", "program difference",
                                                    "verify difference"}));
}

}  // namespace
