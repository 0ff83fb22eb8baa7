// Faults at every stage of every job, in process against the simulated ICD2: the result, the
// lines that name the failure, and never a pass for a part that does not hold the image.
#include "support/driver_fixture.h"

namespace {

using namespace driver_test;

// ---- Faults at every stage of every job: the result, the lines that name the failure, and
// never a pass for a part that does not hold the image.

// A result of 16, the verification pass's, verifies a part that holds kImage.
struct Case {
    Texts settings;               // simulator settings, the fault among them
    int result;                   // kNoDevice, or what the job returns
    Texts log;                    // texts the log holds
    std::string out;              // a text the output holds; one ending in "\n" ends it
    int waited_ms = -1;           // simulated time of the run in whole ms, where checked
    const char* stage = nullptr;  // where the probe stopped or what decided the job
    char job = 'p';               // as Driver::run takes it
    std::string config = "";      // added to the configuration
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << (c.result == 16 ? 'v' : c.job) << " " << testing::PrintToString(c.settings);
}

// clang-format off
const Case kCases[] = {
    // Handshake, speed switch and status commands. An ICD2 that never answers
    // costs three attempts of a 5-second wait and two 1 ms pulses each.
    {{"wake.reply=none"}, kNoDevice, {error(2, "find_device", "ICD Connection failed.")}, "", 15006,
     "connect"},
    {{"wake.reply=u"}, 0, {"4 9 DEBUG   [tarnwell] [find_device] Firmware version: 05.07.03.20"}, ""},
    {{"wake.from_attempt=2"}, 0, {"failed, retrying."}, "", 5138},
    {{"fault=silence 35"}, kNoDevice, {error(3, "find_device", "Unable to read ICD2 voltages.")}, "",
     5027},
    {{"fault=short 34"}, kNoDevice,
     {"2 1 WARNING [icd2] [get_voltages] Response too short: 34",
      "Unable to read ICD2 voltages."}, ""},
    {{"voltage.vdd=0"}, 0, {"3 4 INFO    [tarnwell] [find_device] No target VDD found, enabling "
                            "target VDD via ICD2"}, ""},
    {{"voltage.vdd=0", "fault=checksum 05"}, kNoDevice,
     {error(8, "find_device", "Unable to set VDD via ICD2")}, ""},
    {{"fault=short 01"}, kNoDevice, {"Unable to retrieve ICD2 firmware version"}, "", -1,
     "connect"},
    {{"fault=short 02"}, kNoDevice, {"Unable to run ICD2 self test."}, ""},
    {{"selftest=00 01 00 80 07"}, kNoDevice,
     {"4 11 DEBUG   [tarnwell] [find_device] Self Test: Target VDD: pass",
      "4 12 DEBUG   [tarnwell] [find_device] Self Test: Module VPP: low",
      "4 13 DEBUG   [tarnwell] [find_device] Self Test: MCLR GND: pass",
      "4 14 DEBUG   [tarnwell] [find_device] Self Test: MCLR VDD: high",
      "4 15 DEBUG   [tarnwell] [find_device] Self Test: MCLR VPP: fail",
      error(16, "find_device", "ICD2 self test failed.")}, "", -1, "selftest"},
    // Identification.
    {{"fault=silence 2A"}, kNoDevice, {"Timeout during read"}, "", 10042},
    {{"fault=code 4A/close"}, kNoDevice, {"Expecting: 4A Got: 7E"}, ""},
    {{"chipid.value=0x1234"}, kNoDevice, {}, "", -1, "identify"},
    // Revision bits, of the part and of the setting, are masked off on both sides.
    {{"chipid.value=0x0D45"}, 0, {}, "", -1, "ok", 'p', "processor/SIM16A/id/value = 3395\n"},
    {{"fault=checksum 06"}, kNoDevice,
     {"Unable to configure program memory size for device (SIM16A)"}, ""},
    // Programming: the erase, then each space written and read back. A port that a failure
    // closed fails the next command at its write.
    {{"fault=checksum 33"}, 14, {error(1, "erase_device", "Unable to clear MCLR"),
                                 error(14, "do_prog", "Unable to erase device.")}, "", -1, "erase"},
    {{"fault=silence 29"}, 14, {error(2, "erase_device", "Unable to erase device")}, "", 5060},
    {{"fault=checksum 43"}, 11, {"Unbale to write program memory: 0000",
                                 "[tty_write] Unbale to write, Reason: 9 Bad file descriptor"},
     "0000, read failed\n", -1, "write"},
    {{"fault=silence 43/block"}, 11, {"Unbale to write program memory: 0000"}, "", 10068},
    {{"fault=code 43/close"}, 0, {"Unbale to write program memory: 0000"}, ""},
    {{"fault=checksum 47"}, 11, {"Unbale to read program memory: 0000"}, "0000, read failed\n"},
    {{"stuck=prog:1=0x3345"}, 11, {},
     "\rProgramming SIM16A : Verify failed at adress 0001 Reads 3345 instead of 2345\n"},
    {{"fault=code 44"}, 11, {"Unbale to write eeprom memory: 2100"},
     "Verify failed at adress 2100 Reads FF instead of AB\n", -1, "write"},
    {{"stuck=eeprom:0x2101=0x05"}, 11, {},
     "\rProgramming SIM16A : Verify failed at adress 2101 Reads  5 instead of CD\n"},
    {{"fault=checksum 46"}, 11, {"Unbale to write ID memory: 2000"}, ""},
    {{"fault=checksum 45"}, 11, {"Unbale to write config memory: 2007"}, ""},
    {{"fault=silence 49/close"}, 11, {"Unbale to read config memory: 2007"}, "2007, read failed\n",
     5136},
    {{"fault=vanish 47/block"}, 11, {"[tty_getc] Error during read, Reason: 0 Success"}, ""},
    // A read whose block failed decides its words, though its digits are right.
    {{"fault=checksum 47/block"}, 11, {"[icd2_word_read] Invalid checksum",
                                       error(10, "do_prog", "Unbale to read program memory: 0000")},
     "\rProgramming SIM16A : Verify failed at adress 0000, read failed\n", -1, "read"},
    {{"fault=checksum 48/block"}, 11, {error(14, "do_prog", "Unbale to read eeprom memory: 2100")},
     "\rProgramming SIM16A : Verify failed at adress 2100, read failed\n"},
    {{"fault=checksum 4A#2/block"}, 11, {error(12, "do_prog", "Unbale to read ID memory: 2000")},
     "\rProgramming SIM16A : Verify failed at adress 2000, read failed\n"},
    // Verification.
    {{"fault=checksum 47/block"}, 16,
     {error(8, "do_verify", "Unbale to read program memory: 0000")},
     "\rVerifying SIM16A : Failed at adress 0000, read failed\n"},
    {{"fault=checksum 48/block"}, 16,
     {error(8, "do_verify", "Unbale to read eeprom memory: 2100")},
     "\rVerifying SIM16A : Failed at adress 2100, read failed\n"},
    {{"fault=checksum 4A#2/block"}, 16, {error(9, "do_verify", "Unbale to read ID memory: 2000")},
     "\rVerifying SIM16A : Failed at adress 2000, read failed\n"},
    {{"fault=code 49"}, 16, {error(7, "do_verify", "Unbale to read config memory: 2007")},
     "2007, read failed\n"},
    {{"stuck=prog:1=0x3345"}, 16, {},
     "\rVerifying SIM16A : Failed at adress 0001 Reads 3345 instead of 2345\n", -1, "difference"},
    {{"stuck=id:0x2000=0x0000"}, 16, {}, "2000 Reads 0000 instead of 0102\n"},
    // Read-out, blank check and erase.
    {{"fault=checksum 47#3/block"}, 5,
     {error(8, "do_read_out", "Unbale to read program memory: 00FE")},
     "\rReading SIM16A : Failed at adress 00FE, read failed\n", -1, "read", 'r'},
    {{}, 0, {}, "\rBlank checking SIM16A : Blank    \n", -1, "ok", 'b'},
    {{"stuck=prog:0x1000=0x0000"}, 5, {},
     "\rBlank checking SIM16A : Blank check failed at adress 1000 Reads 0000 instead of 3FFF\n",
     -1, "not-blank", 'b'},
    {{"stuck=eeprom:0x21FF=0x00"}, 5, {}, "21FF Reads  0 instead of FF\n", -1, "not-blank", 'b'},
    {{"stuck=id:0x2003=0x0000"}, 5, {}, "2003 Reads 0000 instead of 3FFF\n", -1, "not-blank", 'b'},
    {{"stuck=config:0x2007=0x3F72"}, 5, {}, "2007 Reads 3F72 instead of 3FFF\n", -1, "not-blank",
     'b'},
    {{"stuck=config:0x2007=0x3F72"}, 0, {}, "Blank    \n", -1, "ok", 'b',
     "processor/SIM16A/erased/config = 16242\n"},
    {{}, 5, {}, "adress 0000 Reads 3FFF instead of 0000\n", -1, "not-blank", 'b',
     "family/sim16/erased/prog = 0\n"},
    {{}, 5, {}, "adress 2100 Reads FF instead of 00\n", -1, "not-blank", 'b',
     "family/sim16/erased/eeprom = 0\n"},
    {{"fault=checksum 49/block"}, 5, {}, "failed at adress 2007, read failed\n", -1, "read", 'b'},
    {{"fault=checksum 29"}, 14, {error(14, "do_erase", "Unable to erase device.")}, "Failed\n", -1,
     "erase", 'e'},
    {{}, 0, {}, "Erasing SIM16A : Done\n", -1, "ok", 'e'},
};
// clang-format on

class Cases : public Driver, public testing::WithParamInterface<Case> {};

TEST_P(Cases, EndWithTheirResultAndLinesThatNameTheFailure) {
    const Case& c = GetParam();
    const char job = c.result == 16 ? 'v' : c.job;
    configure(harness::default_config() + c.config);
    run(c.settings, job, kImage, job == 'v' ? kImage : "");
    EXPECT_EQ(result, c.result) << out << log;
    for (const std::string& line : c.log) EXPECT_LE(1, count_lines(log, line)) << line;
    EXPECT_TRUE(c.out.ends_with("\n") ? out.ends_with(c.out) : out.find(c.out) != std::string::npos)
        << out;
    EXPECT_EQ(c.waited_ms < 0 ? -1 : static_cast<int>(sim::elapsed_us() / 1000), c.waited_ms);
    EXPECT_STREQ(!c.stage              ? nullptr
                 : result == kNoDevice ? stage_word(probe.stage)
                                       : stage_word(outcome.stage),
                 c.stage);
    const bool pass = job == 'p' || job == 'v';
    EXPECT_TRUE(!pass || (out.find("Passed") != std::string::npos) == (result == 0)) << out;
    EXPECT_TRUE(!pass || result != 0 || holds(kImage));
    EXPECT_TRUE(job != 'e' || result != 0 || ends(sent, " 06001FFF 3300 29"));
}

INSTANTIATE_TEST_SUITE_P(Driver, Cases, testing::ValuesIn(kCases));

}  // namespace
