// The programs end to end. tarnwell, alone or against icd2sim on a pseudo-terminal, for what
// only it shows: command line, exit statuses, the stages before any ICD2 traffic, DTR and line
// speeds on a real pty, the run report, and the README's job with the bundled examples.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pty_peer.h"
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
        {{"-t", "x", "-b", "-e"}, "tarnwell: -b and -e select two jobs; give one of them\n"},
        {{"-t", "x", "-r", "out.hex", "-v"}, "tarnwell: -r cannot be combined with -v\n"},
        {{"-t", "x", "-e", "-v"}, "tarnwell: -e cannot be combined with -v\n"},
        {{"-t", "x", "-k", "-v", "a.hex"}, "tarnwell: -v cannot be combined with -u or -k\n"},
        {{"-t", "x", "-u", "1FFF=3480", "-b"}, "tarnwell: -b cannot be combined with -u or -k\n"},
        {{"-t", "x", "-s", "n.serial", "-v", "a.hex"}, "tarnwell: -v cannot be combined with -s\n"},
        {{"-t", "x", "-e", "-s", "n.serial"}, "tarnwell: -e cannot be combined with -s\n"},
        {{"-t", "x", "-u", "1FFF:3480", "a.hex"},
         "tarnwell: -u wants <address>=<value> in hexadecimal (got 1FFF:3480)\n"},
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
    // The README's help, to the letter.
    const std::string readme = harness::read_file(std::string(SOURCE_DIR) + "/README.md");
    const std::string last = "\t--version Show the version\n";
    const size_t from = readme.find("       tarnwell [-c <config file>] -t <tty> -r <file>");
    EXPECT_EQ(run.out, kUsage + readme.substr(from, readme.find(last) + last.size() - from));
    EXPECT_EQ(run_tarnwell({"--version"}).out, "tarnwell 0.1.0\n");
    // As a programming run, "image.hex -v" would erase a part only to be compared.
    for (const Texts& after : {Texts{"-v"}, Texts{"extra", "-v"}}) {
        Texts args{"-c", "/nonexistent", "-t", "/dev/null", "image.hex"};
        args.insert(args.end(), after.begin(), after.end());
        run = run_tarnwell(args);
        EXPECT_EQ(std::tuple(run.status, run.out), std::tuple(1, ""));
        EXPECT_EQ(run.err.substr(std::min<size_t>(run.err.size(), 24)),  // and nothing else
                  " 1 4 ERROR   [tarnwell] [main] Option -v after the HEX file; options go before "
                  "it\n");
    }
}

// Every run names a missing configuration first: the later -c and -t win.
TEST(CommandLine, EachEarlyFailureEndsWithItsStatusAndLine) {
    const std::string config = write_temp_file("c.config", harness::default_config());
    const std::string hex = write_temp_file("a.hex", harness::hex_words(0, {1}) + harness::kHexEnd);
    const std::string missing = "/nonexistent/x";
    std::string records;  // before a bad line
    for (int i = 0; i < 6; ++i) records += harness::hex_words(8 * i, {i});
    const std::string bad_7 = write_temp_file("7.hex", records + ":02000E00010000FF\n"),
                      cut = write_temp_file("cut.hex", harness::hex_words(0, {1}));
    // The status, -c and the HEX file, and a line of the log ("": the log is empty).
    const std::tuple<int, std::string, std::string, std::string> cases[] = {
        {1, missing, hex, "1 1 ERROR   [tarnwell] [main] Unable to open config file: " + missing},
        {2, config, missing, "1 1 ERROR   [tarnwell] [main] Unable to open hex file: " + missing},
        {2, config, "/tmp", "Unable to open hex file: /tmp"},
        {3, config, bad_7,
         "1 2 ERROR   [tarnwell] [main] Line 7 of " + bad_7 + ": Checksum validation failed"},
        // A file that ends where a record should begin says so.
        {3, config, cut, "Line 2 of " + cut + ": the file ends without an end-of-file record"},
        // The real serial module meets a device that is no tty.
        {4, config, hex, "1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: /dev/null"},
        {4, config, hex, "1 3 ERROR   [tarnwell] [main] Unable to identify processor."},
        {4, write_temp_file("quiet.config", "log/default = 0\n"), hex, ""}};
    for (const auto& [status, config_path, hex_path, line] : cases) {
        harness::Result run = run_tarnwell(
            {"-c", missing, "-c", config_path, "-t", missing, "-t", "/dev/null", hex_path});
        EXPECT_EQ(run.status, status) << line;
        EXPECT_TRUE(line.empty() ? run.err.empty() : count_lines(run.err, line) >= 1) << line;
    }
}

// A tty of root's that the user nobody may not open names the group that would let them in,
// or, when the group may not use it either, its owner.
TEST(CommandLine, TtyWithoutPermissionNamesItsGroup) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "not root";
    const std::string tty = write_temp_file("ttyS9", "");
    chmod(std::filesystem::path(tty).parent_path().c_str(), 0755);
    const std::string error = "1 17 ERROR   [tarnwell] [find_device] No permission to open " + tty;
    for (auto [mode, hint] : {std::pair<mode_t, std::string>{0660, "group root, and your user"},
                              {0600, "user root, and only that user (or root) may open it"}}) {
        chmod(tty.c_str(), mode);
        harness::Result run = harness::run_command({"/usr/bin/setpriv", "--reuid=65534",
                                                    "--regid=65534", "--clear-groups", TARNWELL_BIN,
                                                    "-c", "/dev/null", "-t", tty, "-i"});
        EXPECT_EQ(run.status, 4) << run.err;
        EXPECT_EQ(count_lines(run.err, "port: " + tty + " Reason: 13 Permission denied"), 3);
        EXPECT_EQ(count_lines(run.err, error + ": it belongs to " + hint), 1) << run.err;
    }
}

// A port another process holds fails at once; nothing reaches its line, which still works.
TEST(CommandLine, ABusyTtyFailsAtOnceAndLeavesItsHolderAlone) {
    PtyPeer peer;
    const int holder = open(peer.path(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string tty = peer.path(), busy = " is in use by another process";
    harness::Result run;
    const long ms = elapsed_ms([&] { run = run_tarnwell({"-c", "/dev/null", "-t", tty, "-i"}); });
    EXPECT_EQ(std::pair(run.status, ms < 3000), std::pair(4, true));  // a silent ICD2: 15 s
    EXPECT_EQ(count_lines(run.err, "Unbale to open serial port: " + tty + " Reason: 11 "), 3);
    EXPECT_EQ(count_lines(run.err, "1 18 ERROR   [tarnwell] [find_device] " + tty + busy), 1);
    EXPECT_EQ(write(holder, "Z", 1) + close(holder), 1);
    EXPECT_EQ(peer.take_all(), "Z");
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

// A typo of an option, a read-out or report that cannot be written: status, line, nothing sent.
TEST(EndToEnd, TyposAndUnwritableOutputsStopBeforeTheIcd2) {
    const std::string image = harness::hex_words(0, {1}) + harness::kHexEnd;
    const std::string dir = std::filesystem::path(write_temp_file("x", "")).parent_path().string();
    const std::string fifo = dir + "/fifo";  // a device or pipe is never replaced by a read-out
    mkfifo(fifo.c_str(), 0600);
    const std::tuple<Texts, int, std::string> rows[] = {
        {{"-V"}, 1, "invalid option -- 'V'\n"},
        {{"-x", "-v"}, 1, "invalid option -- 'x'\n"},
        {{"--verfy"}, 1, "unrecognized option '--verfy'\n"},
        {{"-o", dir + "/r.jsonl", "-r", dir},
         2,
         "read-out file: " + dir + " Reason: 21 Is a directory\n"},
        {{"-r", fifo}, 2, "read-out file: " + fifo + " Reason: 17 File exists\n"},
        {{"-o", dir + "/none/r.jsonl"},
         1,
         "1 8 ERROR   [tarnwell] [main] Unable to open report file: " + dir +
             "/none/r.jsonl Reason: 2 No such file or directory\n"}};
    for (const auto& [args, status, line] : rows) {
        harness::SimRun setup{harness::default_config(), status == 2 ? "" : image, args};
        harness::Result run = harness::run_with_sim(setup);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(run.out, status == 1 && args[0] != "-o" ? kUsage : "");
        EXPECT_TRUE(run.err.ends_with(line)) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(count_lines(run.transcript, "CMD"), 0) << run.transcript;
    }
    EXPECT_EQ(count_lines(harness::read_file(dir + "/r.jsonl"), R"("stage":"output"})"), 1);
}

// A signal ends a run on a paced line at once: its line, the report's stage, a status as shells
// give for a killed job, the progress line ended, no read-out file left behind.
TEST(EndToEnd, ASignalEndsTheRunCleanly) {
    std::string image;
    for (uint32_t i = 0; i < 256; ++i) image += harness::hex_words(8 * i, {1, 2, 3, 4, 5, 6, 7, 8});
    const std::string dir =
        std::filesystem::path(write_temp_file("x", "")).parent_path().string() + "/sig";
    std::filesystem::create_directory(dir);
    // While it programs, reads out, or waits for a silent ICD2 to answer its wake byte.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const bool read = signal == SIGTERM, connect = signal == SIGHUP;
        harness::SimRun setup{harness::default_config(),
                              read ? "" : image + harness::kHexEnd,
                              {"-o", dir + "/r.jsonl"},
                              {"--pace", "--set", connect ? "wake.reply=none" : "silent=0"}};
        if (read) setup.args.insert(setup.args.end(), {"-r", dir + "/out.hex"});
        double seconds = 0;
        harness::Result run = harness::run_with_sim(setup, signal,
                                                    read      ? "Reading"
                                                    : connect ? "retrying."
                                                              : "Programming",
                                                    &seconds);
        const std::string line = "1 9 ERROR   [tarnwell] [main] Interrupted by signal " +
                                 std::to_string(signal) + " (" + strsignal(signal) + ")\n";
        EXPECT_EQ(std::tuple(run.status, seconds < 2.0, run.err.ends_with(line)),
                  std::tuple(128 + signal, true, true))
            << run.err;
        EXPECT_EQ(run.out.find(read      ? "Reading SIM16A : "
                               : connect ? ""
                                         : "Programming SIM16A : "),
                  0u);
        EXPECT_TRUE(connect || run.out.ends_with("\n")) << run.out;
        EXPECT_EQ(run.out.find("Passed"), std::string::npos);
    }
    const std::string left = "ls -A " + dir + "; grep -o 'status.*stage[^}]*' " + dir + "/r.jsonl";
    EXPECT_EQ(harness::run_command({"sh", "-c", left}).out,
              "r.jsonl\nstatus\":130,\"stage\":\"interrupted\"\nstatus\":143,\"stage\":"
              "\"interrupted\"\nstatus\":129,\"stage\":\"interrupted\"\n");
}

// Runs at once, each with its own ICD2, share one report, each appending one whole line, compared
// whole: every member but the time (UTC, whatever the zone) and the durations, and the paths of
// the temporary files.
TEST(EndToEnd, EveryJobAppendsOneWholeReportLineAndIdentifyShowsTheProbe) {
    const std::string report = write_temp_file("report.jsonl", "");
    unlink(report.c_str());  // the first run creates it
    const std::vector<Texts> jobs{{},     {"-v"}, {"-b"}, {"-i"}, {"-e"}, {"-r", report + "r"},
                                  {"-i"}, {},     {},     {}};
    const Texts sims{"stuck=id:0x2001=0",   "stuck=id:0x2001=0",     "stuck=id:0x2001=0",
                     "stuck=id:0x2001=0",   "stuck=id:0x2001=0",     "stuck=id:0x2001=0",
                     "chipid.value=0x1234", "stuck=eeprom:0x2100=5", "selftest=00 00 00 00 80",
                     "fault=short 02"};
    const std::string image =
        harness::hex_words(0, {1, 2}) + harness::hex_words(0x2100, {0x1207}) + harness::kHexEnd;
    setenv("TZ", "Asia/Tokyo", 1);  // the report's time is UTC all the same
    umask(022);
    std::vector<std::thread> threads;
    std::vector<harness::Result> runs(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
        harness::SimRun run{harness::default_config(),
                            jobs[i].empty() || i == 1 ? image : "",
                            {"-o", report},
                            {"--set", sims[i]}};
        run.args.insert(run.args.end(), jobs[i].begin(), jobs[i].end());
        threads.emplace_back([&runs, i, run] { runs[i] = harness::run_with_sim(run); });
    }
    run_tarnwell({"-o", report, "-c", write_temp_file("c", harness::default_config()), "-l"});
    run_tarnwell({"-o", report, "-t", "x"});
    run_tarnwell({"-o", report, "-c", "/dev/null", "-t", "x", write_temp_file("bad.hex", ":00")});
    for (std::thread& thread : threads) thread.join();
    unsetenv("TZ");
    // The read-out is at its path, whole, and it and the report have the mode the umask gives;
    // nothing is beside them.
    struct stat read_out {};
    struct stat kept {};
    EXPECT_EQ(stat((report + "r").c_str(), &read_out) | stat(report.c_str(), &kept), 0);
    EXPECT_EQ(std::pair(read_out.st_mode & 0777, kept.st_mode & 0777), std::pair(0644u, 0644u));
    EXPECT_EQ(harness::hex_decode(harness::read_file(report + "r")).size(), 8192u + 256 + 4 + 1);
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(report).parent_path()))
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    const std::string script =
        write_temp_file("read.py",
                        "import json, sys, re, datetime as d\nfor line in open(sys.argv[1]):\n r = "
                        "json.loads(line)\n"
                        " t = d.datetime.strptime(r.pop('time'), '%Y-%m-%dT%H:%M:%SZ')\n"
                        " r['time'] = abs((d.datetime.utcnow() - t).total_seconds()) < 300\n"
                        " r['seconds'] = sorted(r['seconds'])\n"
                        " print(re.sub(r'/tmp/[^\"]*/[0-9]+-|/dev/pts/[0-9]+', '', json.dumps(r, "
                        "separators=(',', ':'))))");
    std::string lines = harness::run_command({"sh", "-c", "python3 " + script + " " + report}).out;
    // The probe of a clean ICD2 (I), the image (M), the device (D), a passed job (OK) in short.
    for (const auto& [text, letter] : std::initializer_list<std::pair<std::string, std::string>>{
             {R"("icd2":{"firmware":"05.07.03.20","selftest":{"target_vdd":"pass",)"
              R"("module_vpp":"pass","mclr_gnd":"pass","mclr_vdd":"pass","mclr_vpp":"pass"},)"
              R"("target_vdd":5,"reading_37":12.781,"reading_35":0})",
              "I"},
             {R"("image":{"path":"image.hex","size":48,"sha256":"ba94e44ef5386097528ff72cc13cc86)"
              R"(7776e85201feb55dc62f79702e45d895d","records":2,"words":3})",
              "M"},
             {R"("device":{"name":"SIM16A","chip_id":3392})", "D"},
             {R"("result":{"status":0,"stage":"ok"},"seconds":["pass","total"])", "OK"},
             {R"({"version":"0.1.0",)", "{"},
             {R"(,"time":true})", "}"}})
        for (size_t at; (at = lines.find(text)) != std::string::npos;)
            lines.replace(at, text.size(), letter);
    std::vector<std::string> sorted;
    std::istringstream each(lines);
    for (std::string line; std::getline(each, line);) sorted.push_back(line);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(
        sorted,
        (Texts{
            R"({"job":"blank","tty":"","config":"c.config",I,D,"result":{"status":5,"stage":"not-blank",)"
            R"("address":8193,"read":0,"expected":16383},"seconds":["pass","total"]})",
            R"({"job":"erase","tty":"","config":"c.config",I,D,OK})",
            R"({"job":"identify","tty":"","config":"c.config",I,"result":{"status":4,)"
            R"("stage":"identify"},"seconds":["total"]})",
            R"({"job":"identify","tty":"","config":"c.config",I,D,OK})",
            R"({"job":"list","config":"c","result":{"status":0,"stage":"ok"},"seconds":["total"]})",
            R"({"job":"program","tty":"","config":"c.config",M,"icd2":{"firmware":"05.07.03.20",)"
            R"("selftest":{"target_vdd":"pass","module_vpp":"pass","mclr_gnd":"pass",)"
            R"("mclr_vdd":"pass","mclr_vpp":"high"},"target_vdd":5,"reading_37":12.781,)"
            R"("reading_35":0},"result":{"status":4,"stage":"selftest"},"seconds":["total"]})",
            R"({"job":"program","tty":"","config":"c.config",M,"icd2":{"firmware":"05.07.03.20",)"
            R"("target_vdd":5,"reading_37":12.781,"reading_35":0},"result":{"status":4,)"
            R"("stage":"selftest"},"seconds":["total"]})",
            R"({"job":"program","tty":"","config":"c.config",M,I,D,"result":{"status":5,)"
            R"("stage":"difference","address":8448,"read":5,"expected":7},"seconds":["pass","total"]})",
            R"({"job":"program","tty":"","config":"c.config",M,I,D,OK})",
            R"({"job":"program","tty":"x","config":"/dev/null","result":{"status":3,)"
            R"("stage":"hex-parse"},"seconds":["total"]})",
            R"({"job":"program","tty":"x","config":"/usr/local/etc/tarnwell.config",)"
            R"("result":{"status":1,"stage":"usage"},"seconds":["total"]})",
            R"({"job":"read","tty":"","config":"c.config",I,D,OK})",
            R"({"job":"verify","tty":"","config":"c.config",M,I,D,"result":{"status":5,)"
            R"("stage":"difference","address":0,"read":16383,"expected":1},"seconds":["pass","total"]})"}));
    const std::string probed =
        "ICD2 firmware: 05.07.03.20\nTarget voltage: 5.00 V\nICD2 voltages: 12.78 V, 0.00 V\n"
        "Serial port: low latency not supported\n";  // a pty
    EXPECT_EQ(runs[3].out, "Processor: SIM16A\nChip id: 0D40\n" + probed);
    const std::string none = "Processor: none of the configured processors matches\n";
    EXPECT_EQ(runs[6].out, none + "Chip id (family 3, address 2006): 1234\n" + probed);
}

// Eight stations on eight ICD2s share one serial file and one report: eight consecutive numbers,
// each in its part and in one report line, eight used lines. A station killed outright after its
// reservation leaves the number reserved, and no run takes it again.
TEST(EndToEnd, StationsSharingASerialFileNeverGetOneNumberTwice) {
    const std::string serial =
        write_temp_file("line.serial",
                        "address = 8188\nlength = 2\nformat = binary\norder = msb\n"
                        "template = 13312\nfirst = 1\nlast = 999\n");
    const std::string report = write_temp_file("serial.jsonl", "");
    std::vector<harness::Result> runs(9);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 8; ++i)
        threads.emplace_back([&runs, i, &serial, &report] {
            runs[i] = harness::run_with_sim({harness::default_config(),
                                             harness::hex_words(0, {1}) + harness::kHexEnd,
                                             {"-s", serial, "-o", report}});
        });
    for (std::thread& thread : threads) thread.join();
    std::vector<int> numbers;
    const std::string reported = harness::read_file(report);
    for (size_t i = 0; i < 8; ++i) {
        auto words = harness::hex_decode(runs[i].dump);
        numbers.push_back((words[0x1FFC] & 0xFF) << 8 | (words[0x1FFD] & 0xFF));
        const std::string member = "\"serial\":{\"number\":" + std::to_string(numbers.back());
        EXPECT_EQ(std::tuple(runs[i].status, words[0x1FFC] >> 8,
                             count_lines(reported, member + ",\"file\":\"" + serial + "\"}")),
                  std::tuple(0, 0x34, 1))
            << runs[i].err;
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(count_lines(harness::read_file(serial), "used " + std::to_string(n) + " "), 1);
    std::string image;
    for (uint32_t i = 0; i < 256; ++i) image += harness::hex_words(8 * i, {1, 2, 3, 4, 5, 6, 7, 8});
    std::thread killed([&runs, &serial, &image] {
        runs[8] = harness::run_with_sim(
            {harness::default_config(), image + harness::kHexEnd, {"-s", serial}, {"--pace"}});
    });
    // The reserving process names itself last on its line.
    std::string text;
    for (int wait = 0; wait < 6000 && text.find("reserve 9 ") == std::string::npos; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = harness::read_file(serial);
    }
    if (const size_t at = text.find("reserve 9 "); at != std::string::npos)
        kill(std::stoi(text.substr(text.rfind(' ', text.find('\n', at)))), SIGKILL);
    killed.join();
    EXPECT_EQ(runs[8].status, 128 + SIGKILL);
    // The next run takes 10, and fails on a stuck word of it: 10 is void.
    const harness::Result next =
        harness::run_with_sim({harness::default_config(),
                               harness::hex_words(0, {1}) + harness::kHexEnd,
                               {"-s", serial},
                               {"--set", "stuck=prog:0x1FFD=0x3400"}});
    EXPECT_TRUE(next.out.ends_with("Verify failed at adress 1FFD Reads 3400 instead of 340A\n"));
    text = harness::read_file(serial);
    EXPECT_EQ(std::tuple(next.status, count_lines(text, " 9 "), count_lines(text, "reserve 10 "),
                         text.find(" difference\n", text.find("void 10 ")) + 12 == text.size()),
              std::tuple(5, 1, 1, true));
}

}  // namespace
