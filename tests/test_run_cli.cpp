// The command line and the early stages of a run, before any ICD2 traffic:
// usage, the configuration and the HEX file.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/harness.h"

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

// One log line: the 24-character time text, level, code, padded name,
// module and function, then the message.
std::string log_line(const std::string& level_fields, const std::string& function,
                     const std::string& message) {
    return "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} " +
           level_fields + " \\[tarnwell\\] \\[" + function + "\\] " + message + "\n$";
}

TEST(CommandLine, MissingTtyOrHexFileGivesUsageAndStatusOne) {
    std::string config = write_temp_file("c.config", "log/default = 4\n");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"image.hex"},
        {"-t", "/dev/null"},
        {"-c", config, "-v", "-t", "/dev/null"},
        // Scanning stops at the first operand, so -t after it is never seen.
        {"image.hex", "-t", "/dev/null"},
    };
    for (const auto& args : cases) {
        harness::Result run = run_tarnwell(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kUsage);
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandLine, UnknownOptionIsReportedAndSkipped) {
    harness::Result run = run_tarnwell({"-x", "-t", "/dev/null"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_NE(run.err.find("invalid option"), std::string::npos) << run.err;
}

TEST(Configuration, MissingFileIsOneErrorLineAndStatusOne) {
    harness::Result run =
        run_tarnwell({"-c", "/nonexistent/tarnwell.config", "-t", "/dev/null", "image.hex"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::regex_match(
        run.err, std::regex(log_line("1 1 ERROR  ", "main",
                                     "Unable to open config file: /nonexistent/tarnwell.config"))))
        << run.err;
}

TEST(Configuration, LaterOptionWins) {
    std::string good = write_temp_file("good.config", "log/default = 4\n");
    harness::Result run = run_tarnwell(
        {"-c", "/nonexistent/a.config", "-c", good, "-t", "/dev/null", "/nonexistent/x.hex"});
    EXPECT_EQ(run.status, 2) << run.err;
}

TEST(HexFile, UnopenableFileIsStatusTwo) {
    std::string config = write_temp_file("c.config", "log/default = 4\n");
    harness::Result run = run_tarnwell({"-c", config, "-t", "/dev/null", "/nonexistent/x.hex"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(std::regex_match(
        run.err,
        std::regex(log_line("1 1 ERROR  ", "main", "Unable to open hex file: /nonexistent/x.hex"))))
        << run.err;
}

TEST(HexFile, UnparsableFileIsStatusThree) {
    std::string config = write_temp_file("c.config", "log/default = 4\n");
    const std::vector<std::string> bad_images = {
        "",                                   // no records at all
        ":00000001FF\n",                      // only the end-of-file record
        ":0200000034120000\n:00000001FF\n",   // checksum
        ":02000000341GB8\n:00000001FF\n",     // not a hex digit
        ":020000003412B8",                    // no end-of-file record
    };
    for (const std::string& image : bad_images) {
        std::string hex = write_temp_file("bad.hex", image);
        harness::Result run = run_tarnwell({"-c", config, "-t", "/dev/null", hex});
        EXPECT_EQ(run.status, 3) << image;
        EXPECT_TRUE(std::regex_match(
            run.err, std::regex(log_line("1 2 ERROR  ", "main", "Error parsing hex file: .*"))))
            << run.err;
    }
}

TEST(HexFile, ADirectoryIsNotAHexFile) {
    std::string config = write_temp_file("c.config", "log/default = 4\n");
    harness::Result run = run_tarnwell({"-c", config, "-t", "/dev/null", "/tmp"});
    EXPECT_EQ(run.status, 2) << run.err;
}

TEST(LogLevels, ConfigurationQuietensTheRun) {
    // With every level at FATAL the failed identification is not shown.
    std::string config = write_temp_file("c.config", "log/default = 0\n");
    std::string hex = write_temp_file("ok.hex", ":020000003412B8\n:00000001FF\n");
    harness::Result run = run_tarnwell({"-c", config, "-t", "/nonexistent/tty", hex});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "");
}

}  // namespace
