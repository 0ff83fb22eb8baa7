// Bad input from the user: files that are missing, unreadable, directories or
// garbage, absurd sizes, and tty paths that are not an ICD2.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "support/harness.h"

using harness::count_lines;
using harness::run_tarnwell;
using harness::write_temp_file;

namespace {

std::string valid_hex() { return harness::hex_words(0, {0x1234}) + harness::hex_end(); }

TEST(BadInput, ConfigurationThatCannotBeRead) {
    std::string hex = write_temp_file("ok.hex", valid_hex());
    std::string unreadable = write_temp_file("locked.config", "log/default = 4\n");
    chmod(unreadable.c_str(), 0);
    std::vector<std::string> paths = {"/nonexistent/tarnwell.config", "/tmp"};
    // Permissions do not stop root.
    if (geteuid() != 0) paths.push_back(unreadable);
    for (const std::string& path : paths) {
        harness::Result run = run_tarnwell({"-c", path, "-t", "/dev/null", hex});
        EXPECT_EQ(run.status, 1) << path;
        EXPECT_EQ(count_lines(run.err, "Unable to open config file: " + path), 1) << run.err;
    }
}

TEST(BadInput, HexFileThatCannotBeReadOrParsed) {
    std::string config = write_temp_file("c.config", harness::default_config());
    std::mt19937 random(42);
    std::string garbage(4096, '\0');
    for (char& byte : garbage) byte = static_cast<char>(random());
    std::string long_line = ":" + std::string(3 << 20, 'A') + "\n";
    struct Case {
        std::string path;
        int status;
    };
    const Case cases[] = {
        {"/nonexistent/image.hex", 2},
        {"/tmp", 2},
        {write_temp_file("garbage.hex", garbage), 3},
        {write_temp_file("long.hex", long_line), 3},
        {write_temp_file("empty.hex", ""), 3},
    };
    for (const Case& c : cases) {
        harness::Result run = run_tarnwell({"-c", config, "-t", "/dev/null", c.path});
        EXPECT_EQ(run.status, c.status) << c.path << "\n" << run.err;
        EXPECT_EQ(count_lines(run.err, c.status == 2 ? "Unable to open hex file: " + c.path
                                                     : "Error parsing hex file: " + c.path),
                  1)
            << run.err;
    }
}

TEST(BadInput, ConfigurationWithAbsurdLinesStillLoads) {
    // A binary file and a line of megabytes: warnings at most, then the run
    // goes on to the HEX file.
    std::mt19937 random(7);
    std::string garbage(8192, '\0');
    for (char& byte : garbage) byte = static_cast<char>(random());
    std::string huge = "key = " + std::string(2 << 20, 'v') + "\n" + std::string(2 << 20, 'k') +
                       " = value\n";
    for (const std::string& text : {garbage, huge}) {
        std::string config = write_temp_file("odd.config", text);
        harness::Result run =
            run_tarnwell({"-c", config, "-t", "/dev/null", "/nonexistent/image.hex"});
        EXPECT_EQ(run.status, 2) << run.err.substr(0, 500);
    }
}

TEST(BadInput, TtyThatIsNotAnIcd2) {
    std::string config = write_temp_file("c.config", harness::default_config());
    std::string hex = write_temp_file("ok.hex", valid_hex());
    std::string regular = write_temp_file("not-a-tty", "");
    struct Case {
        std::string tty;
        const char* reason;
    };
    const Case cases[] = {
        {"/nonexistent/ttyICD", "Unbale to open serial port: /nonexistent/ttyICD Reason: 2 "},
        {regular, "Unbale to open flush port: "},
        {"/dev/null", "Unbale to open flush port: /dev/null"},
    };
    for (const Case& c : cases) {
        harness::Result run = run_tarnwell({"-c", config, "-t", c.tty, hex});
        EXPECT_EQ(run.status, 4) << c.tty;
        EXPECT_EQ(count_lines(run.err, c.reason), 3) << run.err;
        EXPECT_EQ(count_lines(run.err, "ICD Connection failed, retrying."), 3);
        EXPECT_EQ(count_lines(run.err, "Unable to identify processor."), 1);
    }
}

TEST(BadInput, ThousandsOfProcessors) {
    // Every processor of the first family needs other firmware and is passed
    // over without ICD2 traffic; the last family holds the attached part.
    std::string config = harness::default_config() + "family/aaa/id = 1\nfamily/aaa/firmware/id = 9\n";
    for (int i = 0; i < 3000; ++i) config += "processor/P" + std::to_string(i) + "/family = aaa\n";
    harness::SimRun setup;
    setup.config = config;
    setup.hex = valid_hex();
    harness::Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 0) << run.err.substr(run.err.size() > 2000 ? run.err.size() - 2000 : 0);
    EXPECT_EQ(count_lines(run.err, "not compatible with current firmware version."), 3000);
}

TEST(BadInput, SimulatorVanishingMidRun) {
    harness::SimRun setup;
    setup.config = harness::default_config();
    setup.hex = valid_hex();
    setup.settings = {"fault=vanish 43"};
    harness::Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_EQ(run.out.find("Passed"), std::string::npos);
    EXPECT_LT(run.seconds, 15);
}

}  // namespace
