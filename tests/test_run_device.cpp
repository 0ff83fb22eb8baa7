// End to end: the real tarnwell binary against the ICD2 simulator on a
// pseudo-terminal: identification, programming and verification.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/harness.h"

using harness::commands;
using harness::count_commands;
using harness::count_lines;
using harness::hex_end;
using harness::hex_upper;
using harness::hex_words;
using harness::Result;
using harness::SimRun;

namespace {

const char* kDevice = "SIM16A";

// An image with program records of 8, 3 and 13 words, an EEPROM record whose
// words carry high bytes, ID words and the configuration word.
std::string sample_image() {
    return hex_words(0x0000, {0x3000, 0x008A, 0x2804, 0x0000, 0x0183, 0x1683, 0x3000, 0x0086}) +
           hex_words(0x0010, {0x1283, 0x30FF, 0x0086}) +
           hex_words(0x0020, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) +
           hex_words(0x2000, {0x0001, 0x0002, 0x0003, 0x0004}) +
           hex_words(0x2007, {0x3F72}) + hex_words(0x2100, {0x12AB, 0x0034, 0x0056}) + hex_end();
}

// The words the sample image puts on the device, EEPROM as bytes.
std::map<uint32_t, int> sample_words() {
    std::map<uint32_t, int> words = {{0x0000, 0x3000}, {0x0001, 0x008A}, {0x0002, 0x2804},
                                     {0x0003, 0x0000}, {0x0004, 0x0183}, {0x0005, 0x1683},
                                     {0x0006, 0x3000}, {0x0007, 0x0086}, {0x0010, 0x1283},
                                     {0x0011, 0x30FF}, {0x0012, 0x0086}, {0x2000, 0x0001},
                                     {0x2001, 0x0002}, {0x2002, 0x0003}, {0x2003, 0x0004},
                                     {0x2007, 0x3F72}, {0x2100, 0x00AB}, {0x2101, 0x0034},
                                     {0x2102, 0x0056}};
    for (int i = 0; i < 13; ++i) words[0x20 + i] = i + 1;
    return words;
}

SimRun default_run(const std::string& hex = sample_image()) {
    SimRun setup;
    setup.config = harness::default_config();
    setup.hex = hex;
    return setup;
}

void expect_dtr_seen(const Result& run) {
    EXPECT_GE(count_lines(run.transcript, "DTR "), 1)
        << "the simulator saw no DTR edge: was the preload library loaded?";
}

TEST(Programming, WritesReadsBackAndPasses) {
    Result run = harness::run_with_sim(default_run());
    expect_dtr_seen(run);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with(std::string("\rProgramming ") + kDevice +
                                  " : Done Verifying : Passed        \n"))
        << run.out;
    EXPECT_EQ(run.out.rfind(std::string("Programming ") + kDevice + " : \rProgramming " + kDevice +
                                " : 0000 Verifying : 0000",
                            0),
              0u)
        << run.out;
    for (const auto& [address, word] : sample_words()) {
        ASSERT_TRUE(run.memory.count(address)) << std::hex << address;
        EXPECT_EQ(run.memory.at(address), word) << "word address " << std::hex << address;
    }
}

TEST(Programming, SendsTheExpectedCommandsInOrder) {
    Result run = harness::run_with_sim(default_run());
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> expected = {
        "4D", "37", "34", "35", "07", "01", "02", "2A03", "4A0000200600000001", "06001FFF",
        "3300", "29",
        // 8 words: one whole block, no padded block.
        "430000000000000008", "470000000000000008",
        // 3 words: one padded block, 3 words read back.
        "430000001000000008", "470000001000000003",
        // 13 words: a whole block and a padded one.
        "430000002000000008", "430000002800000008", "47000000200000000D",
        "460000200000000004", "4A0000200000000004",
        "450000200700000001", "490000200700000001",
        "440000210000000003", "480000210000000003"};
    EXPECT_EQ(commands(run.transcript), expected);
}

TEST(Programming, TheFirstDifferenceStopsThePassWithStatusFive) {
    SimRun setup = default_run();
    setup.settings = {"stuck=prog:0x0011=0x0000"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.out.find(std::string("\rProgramming ") + kDevice +
                           " : Verify failed at adress 0011 Reads 0000 instead of 30FF\n"),
              std::string::npos)
        << run.out;
    // Nothing after the failing record is written.
    EXPECT_EQ(count_commands(run.transcript, "4300000020"), 0);
    EXPECT_EQ(count_commands(run.transcript, "46"), 0);
}

TEST(Programming, EepromDifferenceShowsBytes) {
    SimRun setup = default_run();
    setup.settings = {"stuck=eeprom:0x2101=0x05"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.out.find(std::string("\rProgramming ") + kDevice +
                           " : Verify failed at adress 2101 Reads  5 instead of 34\n"),
              std::string::npos)
        << run.out;
}

TEST(Programming, ReadThatFailsNeverPasses) {
    // The read-back block of the first record is cut short: whatever the
    // buffer held before must not count as the device's contents.
    SimRun setup = default_run(hex_words(0x0000, {0x1234}) + hex_words(0x0008, {0x1234}) +
                              hex_end());
    setup.settings = {"fault=cut 47#2/block"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5) << run.out << run.err;
    EXPECT_EQ(run.out.find("Passed"), std::string::npos) << run.out;
}

TEST(Programming, RecordOutsideEverySpaceIsSkippedWithAWarning) {
    Result run = harness::run_with_sim(
        default_run(hex_words(0x3000, {0x1111}) + hex_words(0x0000, {0x2222}) + hex_end()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count_lines(run.err, "[tarnwell] [do_prog] Unable to identify address space from "
                                   "hex file: 3000. Ignoring line."),
              1)
        << run.err;
    EXPECT_EQ(run.memory.at(0), 0x2222);
}

TEST(Programming, ExtendedAddressesAreNotFoldedOntoLowMemory) {
    // Data above 64 KiB lies in no space of this part: it is skipped, and
    // the program word at 0 is left alone.
    Result run = harness::run_with_sim(default_run(hex_upper(1) + hex_words(0x0000, {0x1111}) +
                                                hex_upper(0) + hex_words(0x0001, {0x2222}) +
                                                hex_end()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count_lines(run.err, "hex file: 8000. Ignoring line."), 1) << run.err;
    EXPECT_EQ(run.memory.at(0), 0x3FFF);
    EXPECT_EQ(run.memory.at(1), 0x2222);
}

TEST(Verification, ComparesWithoutErasingOrWriting) {
    SimRun setup = default_run();
    setup.initial_memory = sample_image();
    setup.args = {"-v"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with(std::string("\rVerifying ") + kDevice + " : Passed          \n"))
        << run.out;
    for (const char* code : {"3300", "29", "43", "44", "45", "46"})
        EXPECT_EQ(count_commands(run.transcript, code), 0) << code;
    EXPECT_EQ(count_commands(run.transcript, "47"), 3);
}

TEST(Verification, DifferencesGiveStatusFive) {
    SimRun setup = default_run();
    setup.args = {"-v"};
    // The device is blank: the first program word differs.
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.out.find(std::string("\rVerifying ") + kDevice +
                           " : Failed at adress 0000 Reads 3FFF instead of 3000\n"),
              std::string::npos)
        << run.out;

    setup.hex = hex_words(0x2100, {0x12AB}) + hex_end();
    run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.out.find(std::string("\rVerifying ") + kDevice +
                           " : Failed at adress 2100 Reads   FF instead of 00AB\n"),
              std::string::npos)
        << run.out;
}

TEST(Identification, SupplyOffIsSwitchedOnThroughTheIcd2) {
    SimRun setup = default_run();
    setup.settings = {"voltage.vdd=0"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count_commands(run.transcript, "05FF"), 1);
    EXPECT_EQ(count_lines(run.err, "3 4 INFO    [tarnwell] [find_device] No target VDD found, "
                                   "enabling target VDD via ICD2"),
              1)
        << run.err;
}

TEST(Identification, FailedSelfTestStopsTheRun) {
    SimRun setup = default_run();
    setup.settings = {"selftest=00 01 00 80 07"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 4);
    for (const char* line : {"4 11 DEBUG   [tarnwell] [find_device] Self Test: Target VDD: pass",
                             "4 12 DEBUG   [tarnwell] [find_device] Self Test: Module VPP: low",
                             "4 13 DEBUG   [tarnwell] [find_device] Self Test: MCLR GND: pass",
                             "4 14 DEBUG   [tarnwell] [find_device] Self Test: MCLR VDD: high",
                             "4 15 DEBUG   [tarnwell] [find_device] Self Test: MCLR VPP: fail",
                             "1 16 ERROR   [tarnwell] [find_device] ICD2 self test failed.",
                             "1 3 ERROR   [tarnwell] [main] Unable to identify processor."})
        EXPECT_EQ(count_lines(run.err, line), 1) << line << "\n" << run.err;
    EXPECT_EQ(count_commands(run.transcript, "2A"), 0);
}

TEST(Identification, WakeAnsweredOnlyOnTheSecondAttempt) {
    SimRun setup = default_run();
    setup.settings = {"wake.from_attempt=2"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count_lines(run.err, "ICD Connection failed, retrying."), 1) << run.err;
}

TEST(Identification, SilentIcd2GivesThreeRetriesAndStatusFour) {
    SimRun setup = default_run();
    setup.settings = {"silent=1"};
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(count_lines(run.err, "2 1 WARNING [tarnwell] [find_device] ICD Connection failed, "
                                   "retrying."),
              3)
        << run.err;
    EXPECT_EQ(count_lines(run.err, "1 2 ERROR   [tarnwell] [find_device] ICD Connection failed."),
              1);
    EXPECT_EQ(count_lines(run.err, "Unable to identify processor."), 1);
    EXPECT_EQ(count_lines(run.err, "Timeout during read"), 3);
}

TEST(Identification, CandidatesAreTriedFamilyByFamily) {
    // The first family needs other firmware; the second holds two
    // candidates, the second of which matches: one "2A" for both.
    SimRun setup = default_run();
    setup.config = harness::default_config() +
                  "family/aaa/id = 9\n"
                  "family/aaa/firmware/id = 6\n"
                  "processor/OTHER/family = aaa\n"
                  "processor/SIM16/family = sim16\n"
                  "processor/SIM16/id/value = 1952\n";
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count_lines(run.err, "3 1 INFO    [tarnwell] [test_device] Device OTHER not "
                                   "compatible with current firmware version."),
              1)
        << run.err;
    EXPECT_EQ(count_commands(run.transcript, "2A"), 1);
    EXPECT_EQ(count_commands(run.transcript, "4A00002006"), 2);
    EXPECT_NE(run.out.find("Programming SIM16A : "), std::string::npos);
}

TEST(Identification, UnknownChipIsStatusFour) {
    for (const char* chip : {"chipid.value=0", "chipid.value=0x1234"}) {
        SimRun setup = default_run();
        setup.settings = {chip};
        Result run = harness::run_with_sim(setup);
        EXPECT_EQ(run.status, 4) << chip;
        EXPECT_EQ(count_lines(run.err, "Unable to identify processor."), 1) << run.err;
        EXPECT_EQ(count_commands(run.transcript, "3300"), 0);
    }
}

TEST(Identification, MissingProgramSizeOfTheMatchIsReported) {
    SimRun setup = default_run();
    std::string config = harness::default_config();
    config.erase(config.find("processor/SIM16A/address/prog/size = 8192\n"),
                 std::string("processor/SIM16A/address/prog/size = 8192\n").size());
    setup.config = config;
    Result run = harness::run_with_sim(setup);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(count_lines(run.err, "1 6 ERROR   [tarnwell] [find_device] Unable to get program "
                                   "memory size for device (SIM16A)"),
              1)
        << run.err;
}

}  // namespace
