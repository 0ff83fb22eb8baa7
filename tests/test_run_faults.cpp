// The fault matrix: the simulator misbehaves at each stage of a run, and the
// run must end with the status and the log line that name the failure,
// within its timeouts, and never pass a device that does not hold the image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/harness.h"

using harness::count_lines;
using harness::hex_end;
using harness::hex_words;

namespace {

struct FaultRow {
    const char* name;
    std::vector<std::string> settings;  // simulator settings, faults among them
    bool verify_only;                   // run with -v against a device holding the image
    int status;                         // the exit status the run must end with
    const char* log;                    // a text the log must hold ("" for none)
    const char* out;                    // a text standard output must hold ("" for none)
    double max_seconds;                 // the timeouts the failure may cost, with a margin
};

// One record of each space, in the order the passes take them: program (one
// padded block), EEPROM, ID and configuration.
std::string image() {
    return hex_words(0x0000, {0x1234, 0x2345, 0x3456}) + hex_words(0x2100, {0x00AB, 0x00CD}) +
           hex_words(0x2000, {0x0102}) + hex_words(0x2007, {0x3F72}) + hex_end();
}

const std::map<uint32_t, int> kImageWords = {{0x0000, 0x1234}, {0x0001, 0x2345},
                                             {0x0002, 0x3456}, {0x2100, 0x00AB},
                                             {0x2101, 0x00CD}, {0x2000, 0x0102},
                                             {0x2007, 0x3F72}};

// A connection attempt that times out costs 5 seconds; the margin covers
// process start and the 10 ms pauses.
constexpr double kQuick = 4;
constexpr double kOneTimeout = 9;
constexpr double kTwoTimeouts = 14;
constexpr double kThreeTimeouts = 19;

const FaultRow kRows[] = {
    // The handshake and the speed switch.
    {"WakeNeverAnswered", {"wake.reply=none"}, false, 4, "ICD Connection failed.", "",
     kThreeTimeouts},
    {"WakeAnsweredWrongly", {"wake.reply=X"}, false, 4, "ICD Connection failed.", "", kQuick},
    {"WakeAnsweredInLowerCase", {"wake.reply=u"}, false, 0, "", "Passed", kQuick},
    {"SpeedSwitchNeverAnswered", {"fault=silence 4D"}, false, 4, "ICD Connection failed.", "",
     kThreeTimeouts},
    {"SpeedSwitchCorruptOnce", {"fault=checksum 4D"}, false, 0,
     "ICD Connection failed, retrying.", "Invalid checksum", kQuick},
    // Status commands.
    {"VoltageCorrupt", {"fault=checksum 37"}, false, 4, "Unable to read ICD2 voltages.",
     "Invalid checksum", kQuick},
    {"VoltageWrongCode", {"fault=code 34"}, false, 4, "Expecting: 34 Got: 7E", "", kQuick},
    {"VoltageSilent", {"fault=silence 35"}, false, 4, "Unable to read ICD2 voltages.", "",
     kOneTimeout},
    {"VoltageTooShort", {"fault=short 34"}, false, 4, "Unable to read ICD2 voltages.", "",
     kQuick},
    {"FirmwareIdBadEnd", {"fault=end 07"}, false, 4, "Unable to retrieve ICD2 firmware version",
     "Malformed response", kQuick},
    {"FirmwareVersionTooShort", {"fault=short 01"}, false, 4,
     "Unable to retrieve ICD2 firmware version", "", kQuick},
    {"SelfTestCorrupt", {"fault=checksum 02"}, false, 4, "Unable to run ICD2 self test.", "",
     kQuick},
    {"SelfTestTooShort", {"fault=short 02"}, false, 4, "Unable to run ICD2 self test.", "",
     kQuick},
    {"UnknownFramesBeforeAnAnswer", {"fault=zeros 07"}, false, 0,
     "Ignoring unknown command 00AB", "Passed", kQuick},
    {"NoiseBeforeAnAnswer", {"fault=noise 37"}, false, 0, "", "Passed", kQuick},
    // Identification.
    {"FamilyCorrupt", {"fault=checksum 2A"}, false, 4, "Unable to identify processor.", "",
     kQuick},
    {"FamilySilent", {"fault=silence 2A"}, false, 4, "Unable to identify processor.", "",
     kTwoTimeouts},
    {"ChipIdCommandCorrupt", {"fault=checksum 4A"}, false, 4, "Unable to identify processor.",
     "", kQuick},
    {"ChipIdBlockCorrupt", {"fault=checksum 4A/block"}, false, 4, "[icd2_word_read] Invalid checksum",
     "", kQuick},
    {"ChipIdBlockBadStart", {"fault=start 4A/block"}, false, 4,
     "Invalid start of word character: [", "", kQuick},
    {"ChipIdClosingWrongCode", {"fault=code 4A/close"}, false, 4, "Unable to identify processor.",
     "", kQuick},
    {"EndOfCodeSpaceCorrupt", {"fault=checksum 06"}, false, 4,
     "Unable to configure program memory size for device (SIM16A)", "", kQuick},
    // Erase.
    {"ClearMclrCorrupt", {"fault=checksum 33"}, false, 5, "Unable to clear MCLR", "", kQuick},
    {"EraseSilent", {"fault=silence 29"}, false, 5, "Unable to erase device.", "", kOneTimeout},
    // Writes and read-backs of each space.
    {"ProgramWriteCorrupt", {"fault=checksum 43"}, false, 5,
     "Unbale to write program memory: 0000", "", kQuick},
    {"ProgramWriteNeverClosed", {"fault=silence 43/block"}, false, 5,
     "Unbale to write program memory: 0000", "", kTwoTimeouts},
    {"ProgramWriteClosedWrongly", {"fault=code 43/close"}, false, 0,
     "Unbale to write program memory: 0000", "Passed", kQuick},
    {"ProgramReadCorrupt", {"fault=checksum 47"}, false, 5, "Unbale to read program memory: 0000",
     "Verify failed at adress 0000", kQuick},
    {"ProgramReadCut", {"fault=cut 47/block"}, false, 5, "Unbale to read program memory: 0000",
     "Verify failed at adress 0001 Reads FFFFFFFF", kOneTimeout},
    {"ProgramReadBlockCorrupt", {"fault=checksum 47/block"}, false, 5,
     "[icd2_word_read] Invalid checksum", "", kQuick},
    {"ProgramReadClosedBadly", {"fault=end 47/close"}, false, 5,
     "Unbale to write eeprom memory: 2100", "Malformed response", kQuick},
    {"EepromWriteWrongCode", {"fault=code 44"}, false, 5, "Unbale to write eeprom memory: 2100",
     "Verify failed at adress 2100", kQuick},
    {"EepromReadBadStart", {"fault=start 48/block"}, false, 5,
     "Invalid start of byte character: [", "Verify failed at adress 2100", kQuick},
    {"IdWriteCorrupt", {"fault=checksum 46"}, false, 5, "Unbale to write ID memory: 2000", "",
     kQuick},
    {"IdReadBadEnd", {"fault=end 4A#2/block"}, false, 5, "Invalid end of word character: )", "",
     kQuick},
    {"ConfigWriteCorrupt", {"fault=checksum 45"}, false, 5, "Unbale to write config memory: 2007",
     "", kQuick},
    {"ConfigReadNeverClosed", {"fault=silence 49/close"}, false, 0,
     "Unbale to read config memory: 2007", "Passed", kOneTimeout},
    {"DeviceVanishesDuringRead", {"fault=vanish 47/block"}, false, 5, "", "", kOneTimeout},
    // The verification pass.
    {"VerifyProgramReadCorrupt", {"fault=checksum 47"}, true, 5,
     "[do_verify] Unbale to read program memory: 0000", "Failed at adress 0000", kQuick},
    {"VerifyEepromReadCut", {"fault=cut 48/block"}, true, 5,
     "[do_verify] Unbale to read eeprom memory: 2100", "Failed at adress 2101", kOneTimeout},
    {"VerifyIdBlockCorrupt", {"fault=checksum 4A#2/block"}, true, 5, "Invalid checksum", "",
     kQuick},
    {"VerifyConfigWrongCode", {"fault=code 49"}, true, 5,
     "[do_verify] Unbale to read config memory: 2007", "Failed at adress 2007", kQuick},
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class FaultMatrix : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultMatrix, EndsWithTheStatusAndLineThatNameTheFailure) {
    const FaultRow& row = GetParam();
    harness::SimRun setup;
    setup.config = harness::default_config();
    setup.hex = image();
    setup.settings = row.settings;
    if (row.verify_only) {
        setup.args = {"-v"};
        setup.initial_memory = image();
    }
    harness::Result run = harness::run_with_sim(setup);

    EXPECT_GE(count_lines(run.transcript, "DTR "), 1) << "preload library not in effect";
    EXPECT_EQ(run.status, row.status) << run.out << "\n" << run.err;
    if (*row.log != '\0') {
        EXPECT_GE(count_lines(run.err, row.log), 1) << run.err;
    }
    if (*row.out != '\0') {
        EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
    }
    EXPECT_LT(run.seconds, row.max_seconds);

    // Never a pass for a device that does not hold the image.
    bool passed = run.out.find("Passed") != std::string::npos;
    EXPECT_EQ(passed, run.status == 0) << run.out;
    if (run.status == 0) {
        for (const auto& [address, word] : kImageWords) {
            ASSERT_TRUE(run.memory.count(address));
            EXPECT_EQ(run.memory.at(address), word) << std::hex << address;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Run, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
