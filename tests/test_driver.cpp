// The driver in the test's own process, against the simulated ICD2 behind the
// serial module's interface (sim/icd2sim_tty.h): processor settings, probe
// and identification, the two passes, and the simulator's faults at every
// stage, on the simulator's clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "icd2sim_tty.h"
#include "support/harness.h"

extern uint8_t last_family_id;  // the family last sent, kept for the process

namespace {

namespace sim = icd2sim::inprocess;
using harness::count_lines;
using harness::hex_end;
using harness::hex_words;
using Texts = std::vector<std::string>;

constexpr int kNoDevice = -1;  // find_device returned null

// One record of each space, in the order the passes take them: program (one
// padded block), EEPROM, ID and configuration.
const std::string kImage = hex_words(0, {0x1234, 0x2345, 0x3456}) +
                           hex_words(0x2100, {0xAB, 0xCD}) + hex_words(0x2000, {0x0102}) +
                           hex_words(0x2007, {0x3F72}) + hex_end();
// Program records of 8, 3 and 13 words, ID words, the configuration word and
// EEPROM words that carry high bytes.
const std::string kSample =
    hex_words(0, {0x3000, 0x008A, 0x2804, 0x0000, 0x0183, 0x1683, 0x3000, 0x0086}) +
    hex_words(0x10, {0x1283, 0x30FF, 0x0086}) +
    hex_words(0x20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) + hex_words(0x2000, {1, 2, 3, 4}) +
    hex_words(0x2007, {0x3F72}) + hex_words(0x2100, {0x12AB, 0x0034, 0x0056}) + hex_end();

class Driver : public testing::Test {
  protected:
    void SetUp() override {
        last_family_id = 0xFF;  // as a new process starts
        configure(harness::default_config());
    }
    void TearDown() override { free_config(); }
    void configure(const std::string& text) {
        free_config();
        config_path = harness::write_temp_file("tarnwell.config", text);
        ASSERT_EQ(load_config(config_path.c_str()), 0);
    }

    // A fresh ICD2 with settings, holding device_holds (Intel HEX) if given;
    // then find_device and, for the device it names, the programming pass on
    // hex (with verify, the verification pass).
    void run(const Texts& settings, const std::string& hex = kImage, bool verify = false,
             const std::string& device_holds = "") {
        HexRecord* list = parse(hex);
        job(settings, [&](const char* device) {
            return verify ? do_verify(list, device, &outcome) : do_prog(list, device, &outcome);
        }, device_holds);
        freeHexList(&list);
    }
    static HexRecord* parse(const std::string& hex) {
        HexRecord* list = nullptr;
        FILE* file = fmemopen(const_cast<char*>(hex.data()), hex.size(), "r");
        EXPECT_EQ(readHexFile(file, &list), 0);
        std::fclose(file);
        return list;
    }
    // The same for any job: body runs on the device that the probe found.
    void job(const Texts& settings, const std::function<int(const char*)>& body,
             const std::string& device_holds = "") {
        ASSERT_EQ(sim::reset(settings), "");
        if (!device_holds.empty()) {
            ASSERT_EQ(sim::memory().load_hex(harness::write_temp_file("d.hex", device_holds)), "");
        }
        outcome = PassOutcome{};
        probe = ProbeReport{};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        char* device = probe_device(tty.c_str(), &probe);
        result = device == nullptr ? kNoDevice : body(device);
        log = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        std::free(device);
        sent = harness::commands(sim::transcript());
    }

    int count_sent(const std::string& prefix) const {
        int count = 0;
        for (size_t at = 0; (at = sent.find(" " + prefix, at)) != std::string::npos; ++at) ++count;
        return count;
    }
    // Whether the device holds every word of hex; an EEPROM cell holds the
    // word's low byte.
    static testing::AssertionResult holds(const std::string& hex) {
        for (auto [address, word] : harness::hex_decode(hex)) {
            auto byte = sim::memory().read(icd2sim::kEeprom, address);
            std::optional<uint16_t> cell = byte;
            for (auto space : {icd2sim::kProg, icd2sim::kId, icd2sim::kConfig})
                if (!cell) cell = sim::memory().read(space, address);
            if (cell != (byte ? word & 0xFF : word))
                return testing::AssertionFailure()
                       << std::hex << address << " holds " << cell.value_or(0);
        }
        return testing::AssertionSuccess();
    }
    static std::string key(const char* device, const char* suffix) {
        std::unique_ptr<char, decltype(&std::free)> found(get_device_config_key(device, suffix),
                                                          std::free);
        return found ? found.get() : "<null>";
    }
    static Texts names() {
        char** list = get_device_names();
        Texts result;
        for (char** name = list; *name != nullptr; ++name) result.emplace_back(*name);
        free_device_names(&list);
        return result;
    }

    std::string tty = "/dev/ttyICD-sim";
    std::string config_path;
    int result = 0;
    std::string out;
    std::string log;
    std::string sent;  // the commands the ICD2 received, each after a blank
    PassOutcome outcome;
    ProbeReport probe;
};

// ---- Processor settings and candidates

TEST_F(Driver, ProcessorSettingWinsOverItsFamilysAndNothingFallsFurther) {
    configure(
        "processor/P/family = F\nprocessor/P/address/prog/start = 16\nfamily/F/family = G\n"
        "family/F/address/prog/start = 32\nfamily/F/address/prog/size = 64\n"
        "family/G/id/mask = 3\nprocessor/LONE/id = 1\nprocessor/Q/family = NONE\n");
    EXPECT_EQ(key("P", "/address/prog/start"), "/processor/P//address/prog/start");
    EXPECT_EQ(key("P", "/address/prog/size"), "family/F//address/prog/size");
    // Not a family's family, nor without a family, a family that does not
    // exist, or a processor that does not.
    for (const char* device : {"LONE", "Q", "UNKNOWN"})
        EXPECT_EQ(key(device, "/address/prog/start"), "<null>");
    EXPECT_EQ(key("P", "/id/mask"), "<null>");
}

TEST_F(Driver, CandidatesComeFamilyByFamilyInNameOrder) {
    configure(
        "family/B/id = 2\nfamily/A/id = 1\nprocessor/Z/family = A\nprocessor/Y/family = B\n"
        "processor/X/family = B\nprocessor/W/family = A\nprocessor/P4/family = A\n"
        // Passed over: a family without an id, a name in another case,
        // no family key, a key below it.
        "family/NOID/address/prog/size = 5\nprocessor/P1/family = NOID\nprocessor/P2/family = a\n"
        "processor/P3/address/prog/size = 5\nprocessor/P5/family/extra = A\n");
    EXPECT_EQ(names(), (Texts{"P4", "W", "Z", "X", "Y"}));
    configure("family/A/id = 1\n");
    EXPECT_TRUE(names().empty());
}

// ---- Probe and identification

TEST_F(Driver, TtyThatDoesNotExistIsTriedThreeTimes) {
    sim::mark_missing(tty = "/dev/ttyGONE");
    run({});
    EXPECT_EQ(result, kNoDevice);
    EXPECT_EQ(count_lines(log,
                          "1 1 ERROR   [icd2] [tty_open] Unbale to open serial port: /dev/ttyGONE "
                          "Reason: 2 No such file or directory"),
              3);
}

TEST_F(Driver, SupplyOffIsSwitchedOnThroughTheIcd2) {
    run({"voltage.vdd=0"});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count_sent("05FF"), 1);
    EXPECT_EQ(count_lines(log,
                          "3 4 INFO    [tarnwell] [find_device] No target VDD found, "
                          "enabling target VDD via ICD2"),
              1);
}

TEST_F(Driver, CandidatesAreTriedFamilyByFamilyWithOneFamilyCommandEach) {
    // Thousands of candidates need other firmware and cost no traffic; of the
    // second family, the second candidate matches.
    std::string config = harness::default_config() +
                         "family/aaa/id = 9\nfamily/aaa/firmware/id = 6\n" +
                         "processor/SIM16/family = sim16\nprocessor/SIM16/id/value = 1952\n";
    for (int i = 0; i < 3000; ++i) config += "processor/P" + std::to_string(i) + "/family = aaa\n";
    configure(config);
    run({});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count_lines(log,
                          "3 1 INFO    [tarnwell] [test_device] Device P2999 not compatible "
                          "with current firmware version."),
              1);
    EXPECT_EQ(count_lines(log, "not compatible with current firmware version."), 3000);
    EXPECT_NE(sent.find(" 02 2A03 4A0000200600000001 4A0000200600000001 06001FFF 3300 "),
              std::string::npos);
    EXPECT_TRUE(out.starts_with("Programming SIM16A : ")) << out;
}

TEST_F(Driver, MatchWithoutProgramSizeIsReported) {
    const std::string size = "processor/SIM16A/address/prog/size = 8192\n";
    std::string config = harness::default_config();
    configure(config.erase(config.find(size), size.size()));
    run({});
    EXPECT_EQ(result, kNoDevice);
    EXPECT_EQ(count_lines(log,
                          "1 6 ERROR   [tarnwell] [find_device] Unable to get program memory "
                          "size for device (SIM16A)"),
              1);
}

// ---- Programming pass

TEST_F(Driver, ProgrammingWritesInBlocksReadsBackAndPasses) {
    run({}, kSample);
    EXPECT_EQ(result, 0);
    std::string progress = "Programming SIM16A : ";
    for (const char* at : {"0000", "0010", "0020", "2000", "2007", "2100"})
        progress += std::string("\rProgramming SIM16A : ") + at + " Verifying : " + at;
    EXPECT_EQ(out, progress + "\rProgramming SIM16A : Done Verifying : Passed        \n");
    EXPECT_TRUE(holds(kSample));
    // The wire traffic of a plain run, command by command: 8 words in one
    // block, 3 in a padded block, 13 in a whole and a padded block.
    EXPECT_EQ(sent,
              " 4D 37 34 35 07 01 02 2A03 4A0000200600000001 06001FFF 3300 29 430000000000000008"
              " 470000000000000008 430000001000000008 470000001000000003 430000002000000008"
              " 430000002800000008 47000000200000000D 460000200000000004 4A0000200000000004"
              " 450000200700000001 490000200700000001 440000210000000003 480000210000000003");
}

TEST_F(Driver, FirstDifferenceStopsTheProgrammingPass) {
    run({"stuck=prog:0x0011=0x0000"}, kSample);
    EXPECT_EQ(result, 11);
    EXPECT_TRUE(out.ends_with(
        "\rProgramming SIM16A : Verify failed at adress 0011 Reads 0000 instead of 30FF\n"));
    EXPECT_TRUE(sent.ends_with(" 470000001000000003"));  // nothing after the failing record
}

TEST_F(Driver, RecordsOutsideEverySpaceAreSkippedWithAWarning) {
    // Data above 64 KiB is not folded onto low addresses.
    run({}, hex_words(0x3000, {1}) + harness::hex_upper(1) + hex_words(0, {1}) +
                harness::hex_upper(0) + hex_words(1, {0x2222}) + hex_end());
    EXPECT_EQ(result, 0);
    const std::string warning =
        "2 5 WARNING [tarnwell] [do_prog] Unable to identify address space from hex file: ";
    EXPECT_EQ(count_lines(log, warning + "3000. Ignoring line."), 1);
    EXPECT_EQ(count_lines(log, warning + "8000. Ignoring line."), 1);
    EXPECT_TRUE(holds(hex_words(0, {0x3FFF, 0x2222}) + hex_end()));
}

// ---- Verification pass

TEST_F(Driver, VerificationOnlyReads) {
    run({}, kSample, true, kSample);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(out.ends_with("\rVerifying SIM16A : Passed          \n")) << out;
    EXPECT_TRUE(
        sent.ends_with(" 06001FFF 470000000000000008 470000001000000003 47000000200000000D"
                       " 4A0000200000000004 490000200700000001 480000210000000003"))
        << sent;
}

TEST_F(Driver, VerificationShowsTheFirstDifference) {
    run({}, kSample, true);  // a blank device
    EXPECT_EQ(result, 16);
    EXPECT_TRUE(
        out.ends_with("\rVerifying SIM16A : Failed at adress 0000 Reads 3FFF instead of 3000\n"));
    // EEPROM below 0x1000 shows the blank padding of its address.
    configure(harness::default_config() + "processor/SIM16A/address/prog/size = 2048\n" +
              "processor/SIM16A/address/eeprom/start = 2048\n");
    const std::string eeprom = hex_words(0x800, {0x12AB}) + hex_end();
    run({"prog.size=0x800", "eeprom.start=0x800"}, eeprom, true);
    EXPECT_TRUE(
        out.ends_with("\rVerifying SIM16A : Failed at adress  800 Reads   FF instead of 00AB\n"));
    run({"prog.size=0x800", "eeprom.start=0x800", "fault=checksum 48/block"}, eeprom, true, eeprom);
    EXPECT_TRUE(out.ends_with("\rVerifying SIM16A : Failed at adress  800, read failed\n")) << out;
}

// ---- Faults at every stage: the result, the lines that name the failure,
// and never a pass for a device that does not hold the image.

// A result of 16, the verification pass's, runs -v on a device that holds
// the image.
struct Fault {
    const char* name;
    const char* setting;  // a simulator setting, the fault among them
    int result;           // kNoDevice, or what the pass returns
    Texts log;            // texts the log holds
    const char* out;      // a text standard output holds
    int waited_ms = -1;   // simulated time of the run, where checked
};
void PrintTo(const Fault& fault, std::ostream* os) {
    *os << fault.name;
}

// clang-format off
const Fault kFaults[] = {
    // Handshake, speed switch and status commands. An ICD2 that never answers
    // costs three attempts of a 5-second wait and two 1 ms pulses each.
    {"WakeNeverAnswered", "wake.reply=none", kNoDevice,
     {"1 2 ERROR   [tarnwell] [find_device] ICD Connection failed."}, "", 15006},
    {"WakeAnsweredWrongly", "wake.reply=X", kNoDevice, {"ICD Connection failed."}, ""},
    {"WakeAnsweredInLowerCase", "wake.reply=u", 0, {}, ""},
    {"WakeAnsweredOnSecondTry", "wake.from_attempt=2", 0, {"failed, retrying."}, "", 5014},
    {"SpeedSwitchNeverAnswered", "fault=silence 4D", kNoDevice, {"Connection failed."}, "", 15006},
    {"SpeedSwitchCorruptOnce", "fault=checksum 4D", 0, {"failed, retrying."}, "Invalid checksum"},
    {"VoltageCorrupt", "fault=checksum 37", kNoDevice, {"Unable to read ICD2 voltages."},
     "Invalid checksum"},
    {"VoltageWrongCode", "fault=code 34", kNoDevice, {"Expecting: 34 Got: 7E"}, ""},
    {"VoltageSilent", "fault=silence 35", kNoDevice, {"Unable to read ICD2 voltages."}, "", 5012},
    {"VoltageTooShort", "fault=short 34", kNoDevice, {"Unable to read ICD2 voltages."}, ""},
    {"FirmwareIdBadEnd", "fault=end 07", kNoDevice, {"Unable to retrieve ICD2 firmware version"},
     "Malformed response"},
    {"FirmwareVersionTooShort", "fault=short 01", kNoDevice,
     {"Unable to retrieve ICD2 firmware version"}, ""},
    {"SelfTestCorrupt", "fault=checksum 02", kNoDevice, {"Unable to run ICD2 self test."}, ""},
    {"SelfTestTooShort", "fault=short 02", kNoDevice, {"Unable to run ICD2 self test."}, ""},
    {"SelfTestNotClean", "selftest=00 01 00 80 07", kNoDevice,
     {"4 11 DEBUG   [tarnwell] [find_device] Self Test: Target VDD: pass",
      "4 12 DEBUG   [tarnwell] [find_device] Self Test: Module VPP: low",
      "4 13 DEBUG   [tarnwell] [find_device] Self Test: MCLR GND: pass",
      "4 14 DEBUG   [tarnwell] [find_device] Self Test: MCLR VDD: high",
      "4 15 DEBUG   [tarnwell] [find_device] Self Test: MCLR VPP: fail",
      "1 16 ERROR   [tarnwell] [find_device] ICD2 self test failed."}, ""},
    {"UnknownFramesBeforeAnAnswer", "fault=zeros 07", 0, {"Ignoring unknown command 00AB"}, ""},
    {"NoiseBeforeAnAnswer", "fault=noise 37", 0, {}, ""},
    // Identification.
    {"FamilyCorrupt", "fault=checksum 2A", kNoDevice, {}, "Invalid checksum"},
    {"FamilySilent", "fault=silence 2A", kNoDevice, {"Timeout during read"}, "", 10012},
    {"ChipIdCommandCorrupt", "fault=checksum 4A", kNoDevice, {}, "Invalid checksum"},
    {"ChipIdBlockCorrupt", "fault=checksum 4A/block", kNoDevice,
     {"[icd2_word_read] Invalid checksum"},
     ""},
    {"ChipIdBlockBadStart", "fault=start 4A/block", kNoDevice, {"start of word character: ["}, ""},
    {"ChipIdClosingWrongCode", "fault=code 4A/close", kNoDevice, {"Expecting: 4A Got: 7E"}, ""},
    {"ChipIdZero", "chipid.value=0", kNoDevice, {}, ""},
    {"ChipIdOfNoProcessor", "chipid.value=0x1234", kNoDevice, {}, ""},
    {"EndOfCodeSpaceCorrupt", "fault=checksum 06", kNoDevice,
     {"Unable to configure program memory size for device (SIM16A)"}, ""},
    // Programming: the erase, then each space written and read back. A port
    // that a failure closed fails the next command at its write.
    {"ClearMclrCorrupt", "fault=checksum 33", 14,
     {"Unable to clear MCLR", "Unable to erase device."},
     ""},
    {"EraseSilent", "fault=silence 29", 14, {"Unable to erase device"}, "", 5012},
    {"ProgramWriteCorrupt", "fault=checksum 43", 11, {"Unbale to write program memory: 0000",
     "[tty_write] Unbale to write, Reason: 9 Bad file descriptor"}, "0000, read failed"},
    {"ProgramWriteNeverClosed", "fault=silence 43/block", 11,
     {"Unbale to write program memory: 0000"}, "", 10012},
    {"ProgramWriteClosedWrongly", "fault=code 43/close", 0,
     {"Unbale to write program memory: 0000"},
     ""},
    {"ProgramReadCorrupt", "fault=checksum 47", 11, {"Unbale to read program memory: 0000"},
     "0000, read failed"},
    {"ProgramReadCut", "fault=cut 47/block", 11, {"Unbale to read program memory: 0000"},
     "0000, read failed", 5012},
    {"ProgramReadClosedBadly", "fault=end 47/close", 11, {"Unbale to read program memory: 0000"},
     "Malformed response"},
    {"ProgramHighByteDiffers", "stuck=prog:1=0x3345", 11, {},
     "\rProgramming SIM16A : Verify failed at adress 0001 Reads 3345 instead of 2345\n"},
    {"EepromWriteWrongCode", "fault=code 44", 11, {"Unbale to write eeprom memory: 2100"},
     "Verify failed at adress 2100 Reads FF instead of AB"},
    {"EepromReadBadStart", "fault=start 48/block", 11, {"Invalid start of byte character: ["},
     "2100, read failed"},
    {"EepromDifference", "stuck=eeprom:0x2101=0x05", 11, {},
     "\rProgramming SIM16A : Verify failed at adress 2101 Reads  5 instead of CD\n"},
    {"IdWriteCorrupt", "fault=checksum 46", 11, {"Unbale to write ID memory: 2000"}, ""},
    {"IdReadBadEnd", "fault=end 4A#2/block", 11, {"Invalid end of word character: )"}, ""},
    {"ConfigWriteCorrupt", "fault=checksum 45", 11, {"Unbale to write config memory: 2007"}, ""},
    {"ConfigReadNeverClosed", "fault=silence 49/close", 11, {"Unbale to read config memory: 2007"},
     "2007, read failed", 5012},
    {"DeviceVanishesDuringRead", "fault=vanish 47/block", 11,
     {"[tty_getc] Error during read, Reason: 0 Success"}, ""},
    // A read whose block failed decides its words, though its digits are right.
    {"ProgramBlockCorrupt", "fault=checksum 47/block", 11, {"[icd2_word_read] Invalid checksum",
     "1 10 ERROR   [tarnwell] [do_prog] Unbale to read program memory: 0000"},
     "\rProgramming SIM16A : Verify failed at adress 0000, read failed\n"},
    {"EepromBlockCorrupt", "fault=checksum 48/block", 11,
     {"1 14 ERROR   [tarnwell] [do_prog] Unbale to read eeprom memory: 2100"},
     "\rProgramming SIM16A : Verify failed at adress 2100, read failed\n"},
    {"IdBlockCorrupt", "fault=checksum 4A#2/block", 11,
     {"1 12 ERROR   [tarnwell] [do_prog] Unbale to read ID memory: 2000"},
     "\rProgramming SIM16A : Verify failed at adress 2000, read failed\n"},
    // Verification.
    {"VerifyProgramBlockCorrupt", "fault=checksum 47/block", 16,
     {"1 8 ERROR   [tarnwell] [do_verify] Unbale to read program memory: 0000"},
     "\rVerifying SIM16A : Failed at adress 0000, read failed\n"},
    {"VerifyEepromBlockCorrupt", "fault=checksum 48/block", 16,
     {"1 8 ERROR   [tarnwell] [do_verify] Unbale to read eeprom memory: 2100"},
     "\rVerifying SIM16A : Failed at adress 2100, read failed\n"},
    {"VerifyIdBlockCorrupt", "fault=checksum 4A#2/block", 16,
     {"1 9 ERROR   [tarnwell] [do_verify] Unbale to read ID memory: 2000"},
     "\rVerifying SIM16A : Failed at adress 2000, read failed\n"},
    {"VerifyProgramReadCorrupt", "fault=checksum 47", 16,
     {"[do_verify] Unbale to read program memory: 0000"}, "0000, read failed"},
    {"VerifyEepromReadCut", "fault=cut 48/block", 16,
     {"[do_verify] Unbale to read eeprom memory: 2100"},
     "2100, read failed", 5012},
    {"VerifyConfigWrongCode", "fault=code 49", 16,
     {"1 7 ERROR   [tarnwell] [do_verify] Unbale to read config memory: 2007"},
     "2007, read failed"},
    {"VerifyHighByteDiffers", "stuck=prog:1=0x3345", 16, {},
     "\rVerifying SIM16A : Failed at adress 0001 Reads 3345 instead of 2345\n"},
};
// clang-format on

class Faults : public Driver, public testing::WithParamInterface<Fault> {};

TEST_P(Faults, EndWithTheResultAndLinesThatNameThem) {
    const Fault& fault = GetParam();
    const bool verify = fault.result == 16;
    run({fault.setting}, kImage, verify, verify ? kImage : "");
    EXPECT_EQ(result, fault.result) << out << log;
    for (const std::string& line : fault.log)
        EXPECT_GE(count_lines(log, line), 1) << line << "\n" << log;
    EXPECT_NE(out.find(fault.out), std::string::npos) << out;
    EXPECT_TRUE(fault.waited_ms < 0 || sim::elapsed_us() == fault.waited_ms * 1000ULL)
        << sim::elapsed_us();
    EXPECT_EQ(out.find("Passed") != std::string::npos, result == 0) << out;
    EXPECT_TRUE(result != 0 || holds(kImage));
}

INSTANTIATE_TEST_SUITE_P(Driver, Faults, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });


// ---- Jobs beside programming

std::string file_text(FILE* file) {
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
}

// The simulated part's every space, as its dump shows them.
std::string dump() {
    const std::string path = harness::write_temp_file("dump.hex", "");
    EXPECT_EQ(sim::memory().dump_hex(path), "");
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), std::fclose);
    std::fseek(file.get(), 0, SEEK_END);
    return file_text(file.get());
}

TEST_F(Driver, ReadOutProgramsBackUnchangedAndVerifies) {
    std::string image;
    job({}, [&](const char* device) {
        std::unique_ptr<FILE, decltype(&std::fclose)> file(std::tmpfile(), std::fclose);
        int status = do_read_out(device, file.get(), &outcome);
        image = file_text(file.get());
        return status;
    }, kSample);
    ASSERT_EQ(result, 0) << log;
    EXPECT_TRUE(out.ends_with("\rReading SIM16A : Done        \n"));
    std::map<uint32_t, int> words = harness::hex_decode(image);
    EXPECT_EQ(words.size(), 8192u + 256 + 4 + 1);
    EXPECT_EQ(words[0x11], 0x30FF);
    EXPECT_EQ(words[0x2100], 0xAB);  // EEPROM bytes as words with a high byte of 0
    EXPECT_TRUE(image.ends_with("\n:00000001FF\n"));
    // Reads of at most 127 units: 65 of program memory, 3 of EEPROM.
    EXPECT_EQ(count_sent("47"), 65);
    EXPECT_NE(sent.find(" 47000000FE0000007F "), std::string::npos);
    EXPECT_EQ(count_sent("48"), 3);
    const std::string original = dump();
    run({}, image);  // onto an erased part
    EXPECT_EQ(result, 0);
    EXPECT_EQ(dump(), original);
    run({}, image, true, kSample);
    EXPECT_EQ(result, 0);
}

TEST_F(Driver, ReadOutStopsAtTheFirstFailedRead) {
    job({"fault=checksum 47#3/block"}, [&](const char* device) {
        std::unique_ptr<FILE, decltype(&std::fclose)> file(std::tmpfile(), std::fclose);
        return do_read_out(device, file.get(), &outcome);
    });
    EXPECT_EQ(result, 5);
    EXPECT_TRUE(out.ends_with("\rReading SIM16A : Failed at adress 00FE, read failed\n")) << out;
    EXPECT_EQ(count_lines(log, "1 8 ERROR   [tarnwell] [do_read_out] Unbale to read program memory: "
                               "00FE"), 1);
    EXPECT_STREQ(outcome.stage, "read");
}

TEST_F(Driver, BlankCheckFindsTheFirstWordNotErasedInEachSpace) {
    const struct {
        const char* setting;
        const char* config;  // added to the configuration
        const char* out;
    } rows[] = {
        {"prog.size=0x2000", "", "\rBlank checking SIM16A : Blank    \n"},
        {"stuck=prog:0x1000=0x0000", "", "adress 1000 Reads 0000 instead of 3FFF\n"},
        {"stuck=eeprom:0x21FF=0x00", "", "adress 21FF Reads  0 instead of FF\n"},
        {"stuck=id:0x2003=0x0000", "", "adress 2003 Reads 0000 instead of 3FFF\n"},
        {"stuck=config:0x2007=0x3F72", "", "adress 2007 Reads 3F72 instead of 3FFF\n"},
        {"stuck=config:0x2007=0x3F72", "processor/SIM16A/erased/config = 16242\n", "Blank    \n"},
        {"prog.size=0x2000", "family/sim16/erased/prog = 0\n", "adress 0000 Reads 3FFF instead of 0000\n"},
        {"fault=checksum 49/block", "", "Blank check failed at adress 2007, read failed\n"},
    };
    for (const auto& row : rows) {
        configure(harness::default_config() + row.config);
        job({row.setting}, [&](const char* device) { return do_blank_check(device, &outcome); });
        EXPECT_TRUE(out.ends_with(row.out)) << row.setting << "\n" << out;
        EXPECT_EQ(result, std::string(row.out).ends_with("Blank    \n") ? 0 : 5) << row.setting;
    }
    EXPECT_STREQ(outcome.stage, "read");
}

TEST_F(Driver, EraseOnlyClearsMclrAndErases) {
    job({}, [&](const char* device) { return do_erase(device, &outcome); }, kSample);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Erasing SIM16A : Done\n");
    EXPECT_TRUE(sent.ends_with(" 06001FFF 3300 29")) << sent;
    EXPECT_FALSE(holds(kSample));
    job({"fault=checksum 29"}, [&](const char* device) { return do_erase(device, &outcome); });
    EXPECT_EQ(result, 14);
    EXPECT_EQ(count_lines(log, "1 2 ERROR   [tarnwell] [erase_device] Unable to erase device"), 1);
    EXPECT_EQ(count_lines(log, "1 14 ERROR   [tarnwell] [do_erase] Unable to erase device."), 1);
    EXPECT_STREQ(outcome.stage, "erase");
}

TEST_F(Driver, ProbeReportsWhatItFoundAndWhereItStopped) {
    job({}, [](const char*) { return 0; });
    EXPECT_EQ(probe.device, "SIM16A");
    EXPECT_EQ(probe.chip_id, 0x0D40);
    EXPECT_STREQ(probe.firmware.version_text, "05.07.03.20");
    EXPECT_FLOAT_EQ(probe.voltages.target_vdd, 128 * 0.03906f);
    const struct {
        const char* setting;
        const char* stage;
    } rows[] = {{"wake.reply=none", "connect"}, {"fault=checksum 01", "connect"},
                {"selftest=00 01 00 00 00", "selftest"}, {"chipid.value=0x1234", "identify"}};
    for (const auto& row : rows) {
        job({row.setting}, [](const char*) { return 0; });
        EXPECT_EQ(result, kNoDevice);
        EXPECT_STREQ(probe.stage, row.stage) << row.setting;
    }
    // Nothing matched: the chip id read for the family tried is kept.
    ASSERT_EQ(probe.chip_ids.size(), 1u);
    EXPECT_EQ(probe.chip_ids[0].family, 3u);
    EXPECT_EQ(probe.chip_ids[0].address, 0x2006u);
    EXPECT_EQ(probe.chip_ids[0].word, 0x1234);
}

TEST_F(Driver, PassOutcomesNameTheStageThatDecided) {
    const struct {
        const char* setting;
        bool verify;
        const char* stage;
    } rows[] = {{"fault=checksum 43", false, "write"}, {"fault=checksum 47/block", false, "read"},
                {"fault=silence 33", false, "erase"}, {"stuck=prog:1=0x3345", true, "difference"}};
    for (const auto& row : rows) {
        run({row.setting}, kImage, row.verify, row.verify ? kImage : "");
        EXPECT_STREQ(outcome.stage, row.stage) << row.setting;
    }
    EXPECT_TRUE(outcome.difference);
    EXPECT_EQ(outcome.address, 1u);
    EXPECT_EQ(outcome.read, 0x3345);
    EXPECT_EQ(outcome.expected, 0x2345);
    configure("processor/SIM16A/family = sim16\n" + harness::default_config().substr(0, 30));
    EXPECT_EQ(do_verify(nullptr, "SIM16A", &outcome), 1);
    EXPECT_STREQ(outcome.stage, "config");
}

TEST_F(Driver, ConfigurationCheckWarnsOncePerProblemWithItsLine) {
    const std::string base = harness::default_config();  // 14 lines, no warning
    auto without = [&](const std::string& line) {
        std::string text = base;
        return text.erase(text.find(line), line.size());
    };
    const struct {
        std::string config;
        std::string warning;  // "" for none
    } rows[] = {
        {base, ""},
        {base + "family/sim16/erased/id = 0x3FFF\n",
         "line 15: /family/sim16/erased/id = \"0x3FFF\" reads as 0: numbers are decimal"},
        {base + "log/default = lots\n", "line 15: /log/default = \"lots\" reads as 0"},
        {base + "processor/SIM16A/erased/prog = 8192abc\n", "line 15: /processor/SIM16A/erased/prog = "
                                                          "\"8192abc\" reads as 8192"},
        {base + "processor/LONE/id/value = 5\n", "line 15: processor LONE is never tried: it has no "
                                                  "family setting"},
        {base + "processor/ORPHAN/family = none\n", "line 15: processor ORPHAN is never tried: its "
                                                     "family \"none\" has no id setting"},
        {without("family/sim16/firmware/id = 5\n"), "line 10: processor SIM16A never matches: no "
                                                    "/firmware/id"},
        {without("family/sim16/address/chipid/start = 8198\n"), "never matches: no /address/chipid"},
        {without("family/sim16/address/id/size = 4\n"), "processor SIM16A has no /address/id/size"},
        {base + "processor/SIM16A/address/id/start = 100\n", "SIM16A: spaces prog and id overlap"},
    };
    for (const auto& row : rows) {
        configure(row.config);
        testing::internal::CaptureStdout();
        int status = check_config(config_path.c_str());
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, row.warning.empty() ? 0 : 1) << row.warning;
        EXPECT_EQ(count_lines(out, "WARNING"), row.warning.empty() ? 0 : 1) << out;
        EXPECT_TRUE(row.warning.empty() || count_lines(out, row.warning) == 1) << out;
    }
    configure(base);
    testing::internal::CaptureStdout();
    check_config(config_path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SIM16A: family sim16 (3), firmware 5, chip id at 2006 mask 3FE0 value 0D40\n"
              "  prog    0000, 8192 words\n  eeprom  2100, 256 words\n  id      2000, 4 words\n"
              "  config  2007, 1 words\n");
}

// ---- Coalesced transfers

std::string run_of(uint32_t address, int records) {
    std::string text;
    for (int r = 0; r < records; ++r, address += 8)
        text += hex_words(address, {r, r + 1, r + 2, r + 3, r + 4, r + 5, r + 6, 0x1000 + r});
    return text;
}

TEST_F(Driver, CoalescedRunsMoveInLargerTransfersAndSplitWhereContiguityBreaks) {
    configure(harness::default_config() + "processor/SIM16A/transfer/coalesce = 1\n");
    const std::string image = run_of(0, 20) + hex_end();
    run({}, image);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(holds(image));
    EXPECT_TRUE(sent.ends_with(" 29 430000000000000078 430000007800000028 47000000000000007F"
                               " 470000007F00000021")) << sent;
    EXPECT_TRUE(out.ends_with("Programming SIM16A : 0000 Verifying : 0000"
                              "\rProgramming SIM16A : Done Verifying : Passed        \n"));
    run({}, image, true, image);
    EXPECT_TRUE(sent.ends_with(" 06001FFF 47000000000000007F 470000007F00000021")) << sent;
    // A gap, a repeated record, an extended linear address record and a
    // change of space each start a new run; a 3-word tail is padded.
    const std::string broken = run_of(0, 2) + run_of(0x20, 1) + run_of(0x20, 1) +
                               harness::hex_upper(0) + run_of(0x28, 1) + run_of(0x1FF8, 1) +
                               hex_words(0x2000, {1, 2, 3}) + hex_words(0x2003, {4}) +
                               run_of(0x30, 1) + hex_words(0x38, {1, 2, 3}) + hex_end();
    run({}, broken);
    EXPECT_EQ(result, 0) << out;
    EXPECT_TRUE(sent.ends_with(" 430000002000000008 470000002000000008 430000002800000008"
                               " 470000002800000008 4300001FF800000008 4700001FF800000008"
                               " 460000200000000004 4A0000200000000004 430000003000000008"
                               " 430000003800000008 47000000300000000B")) << sent;
}

TEST_F(Driver, CoalescedRunStopsWhereTheFileWouldHave) {
    configure(harness::default_config() + "processor/SIM16A/transfer/coalesce = 1\n");
    const std::string image = run_of(0, 20) + hex_end();
    run({"stuck=prog:0x5A=0x0000"}, image);
    EXPECT_TRUE(out.ends_with("Verify failed at adress 005A Reads 0000 instead of 000D\n")) << out;
    run({"fault=checksum 47#2/block"}, image);
    EXPECT_EQ(result, 11);
    EXPECT_TRUE(out.ends_with("Verify failed at adress 007F, read failed\n")) << out;
}

}  // namespace
