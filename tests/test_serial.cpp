// Serial numbers in process, against the simulated ICD2, as the program takes them: the number
// from the file under its lock, programmed with the image, its outcome in the journal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "config/config.h"
#include "driver/serial_number.h"
#include "icd2sim_tty.h"
#include "support/harness.h"

extern uint8_t last_family_id;  // the family last sent, kept for the process

namespace {

namespace sim = icd2sim::inprocess;
using harness::hex_words;
using Texts = std::vector<std::string>;
using Words = std::vector<int>;

// Program words 0 to 2, EEPROM bytes 2100 and 2101.
const std::string kImage =
    hex_words(0, {0x1234, 0x2345, 0x3456}) + hex_words(0x2100, {0xAB, 0xCD}) + harness::kHexEnd;
constexpr int kProg = icd2sim::kProg, kEeprom = icd2sim::kEeprom;

// A serial file of "address length format order first last", template 0x3400.
std::string settings(const std::string& fields) {
    std::istringstream in(fields);
    std::string text;
    for (const char* key : {"address", "length", "format", "order", "first", "last"}) {
        std::string value;
        in >> value;
        text += std::string(key) + " = " + value + (key[3] == 'g' ? "  # words\n" : "\n");
        if (key[0] == 'o') text += "\ntemplate = 13312\n";
    }
    return text;
}

// The journal's lines without their time, tty and pid: "reserve 5", "void 6 difference".
std::string journal(const std::string& path) {
    std::istringstream lines(harness::read_file(path));
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string kind, number, time, tty, pid, stage;
        fields >> kind >> number >> time >> tty >> pid >> stage;
        if (kind == "reserve" || kind == "used" || kind == "void")
            kept += kind + " " + number + (stage.empty() ? "" : " " + stage) + "\n";
    }
    return kept;
}

class Serial : public testing::Test {
  protected:
    void SetUp() override { configure(""); }
    void configure(const std::string& extra) {
        free_config();
        const std::string config =
            harness::write_temp_file("tarnwell.config", harness::default_config() + extra);
        ASSERT_EQ(load_config(config.c_str()), 0);
    }
    void TearDown() override { free_config(); }

    // On a fresh ICD2 with part settings: takes a number of the file at path, programs kImage
    // with it and records the outcome, as tarnwell -s does.
    void run(const Texts& part = {}) {
        last_family_id = 0xFF;
        ASSERT_EQ(sim::reset(part), "");
        HexRecord* list = nullptr;
        FILE* file = fmemopen(const_cast<char*>(kImage.data()), kImage.size(), "r");
        ASSERT_EQ(readHexFile(file, &list), 0);
        std::fclose(file);
        take = SerialTake{};
        PassOutcome outcome;
        ProbeReport probe;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        char* device = probe_device("/dev/ttyICD-sim", &probe);
        status = serial_take(path.c_str(), device, "/dev/ttyICD-sim", &take);
        if (status == 0) {
            result = do_prog(list, device, &outcome, KeepOptions{}, take.words);
            serial_record(path.c_str(), take.number, "/dev/ttyICD-sim", result, outcome.stage);
        }
        log = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        std::free(device);
        freeHexList(&list);
        std::istringstream lines(sim::transcript());
        erased = false;
        for (std::string line; std::getline(lines, line);)
            erased = erased || (line.starts_with("CMD #") && line.ends_with(" 29"));
    }
    // The part's words from address on (EEPROM cells as bytes).
    static Words part(int space, uint32_t address, size_t count) {
        Words words;
        for (uint32_t i = 0; i < count; ++i)
            words.push_back(
                sim::memory().read(static_cast<icd2sim::SpaceId>(space), address + i).value_or(-1));
        return words;
    }

    std::string path, log;
    SerialTake take;
    int status = -1, result = -1;
    bool erased = false;  // an erase was sent
};

// Each format and order, in words the image lacks (added after it) and in words it has (replaced),
// in program memory with the template, ID words and EEPROM cells, which take the byte alone.
TEST_F(Serial, EachFormatAndOrderPutsItsBytesIntoTheirWords) {
    const std::tuple<std::string, int, uint32_t, Words> rows[] = {
        {"8188 4 binary msb 10097332 99999999", kProg, 0x1FFC, {0x3400, 0x349A, 0x3412, 0x34B4}},
        {"8188 4 binary lsb 10097332 99999999", kProg, 0x1FFC, {0x34B4, 0x3412, 0x349A, 0x3400}},
        {"8189 3 bcd msb 12345 999999", kProg, 0x1FFD, {0x3401, 0x3423, 0x3445}},
        {"8189 3 bcd lsb 12345 999999", kProg, 0x1FFD, {0x3445, 0x3423, 0x3401}},
        {"8187 5 ascii msb 417 99999", kProg, 0x1FFB, {0x3430, 0x3430, 0x3434, 0x3431, 0x3437}},
        {"8187 5 ascii lsb 417 99999", kProg, 0x1FFB, {0x3437, 0x3431, 0x3434, 0x3430, 0x3430}},
        // Over the image's words 1 and 2: word 0 and the block's filler stay.
        {"1 2 binary msb 258 9999", kProg, 0, {0x1234, 0x3401, 0x3402, 0x3FFF}},
        {"8449 3 bcd msb 123456 999999", kEeprom, 0x2100, {0xAB, 0x12, 0x34, 0x56, 0xFF}},
        {"8449 3 ascii lsb 73 999", kEeprom, 0x2100, {0xAB, 0x33, 0x37, 0x30, 0xFF}},
        {"8193 2 binary lsb 4660 9999", icd2sim::kId, 0x2000, {0x3FFF, 0x3434, 0x3412, 0x3FFF}},
    };
    for (const auto& [fields, space, from, words] : rows) {
        path = harness::write_temp_file("line.serial", settings(fields));
        run();
        EXPECT_EQ(std::tuple(status, result, part(space, from, words.size())),
                  std::tuple(0, 0, words))
            << fields << log;
        const std::string number = std::to_string(take.number);
        EXPECT_EQ(journal(path), "reserve " + number + "\nused " + number + "\n") << fields;
    }
}

// Numbers follow each other over runs; a failed run voids its number, the next run takes the
// next; a number reserved without an outcome is never given again; an exhausted range refuses
// before anything is erased.
TEST_F(Serial, NumbersAreNeverGivenTwiceAndRunOutBeforeAnErase) {
    path = harness::write_temp_file("line.serial", settings("8188 2 binary msb 5 8"));
    for (const Texts& part : {Texts{}, Texts{"stuck=prog:0x1FFD=0x3400"}, Texts{}}) run(part);
    EXPECT_EQ(part(kProg, 0x1FFC, 2), (Words{0x3400, 0x3407}));
    EXPECT_EQ(journal(path),
              "reserve 5\nused 5\nreserve 6\nvoid 6 difference\nreserve 7\nused 7\n");
    // A process that died after reserving 8 took the last number.
    std::ofstream(path, std::ios::app) << "reserve 8 2026-12-07T10:15:02Z /dev/ttyUSB1 4712\n";
    const std::string before = harness::read_file(path);
    run();
    EXPECT_EQ(std::tuple(status, stage_word(take.stage), erased, harness::read_file(path)),
              std::tuple(5, std::string("serial"), false, before));
    EXPECT_EQ(harness::count_lines(log,
                                   "1 5 ERROR   [tarnwell] [serial_take] No serial number "
                                   "left in " +
                                       path + " (last 8)"),
              1);
    // The highest number anywhere counts, whatever its line; first only when it is higher.
    for (const auto& [lines, next] :
         {std::pair<std::string, long>{"reserve 40 2026-12-07T10:15:02Z t 1\n"
                                       "void 39 2026-12-07T10:15:03Z t 2 write\n"
                                       "used 12 2026-12-07T10:15:04Z /dev/tty S0 3\n",
                                       41},
          {"used 2 2026-12-07T10:15:04Z t 3\n", 30},
          {"", 30}}) {
        path = harness::write_temp_file("s", settings("8188 2 binary msb 30 99") + lines);
        run();
        EXPECT_EQ(std::tuple(status, take.number), std::tuple(0, next)) << lines;
    }
}

// A file that cannot hold refuses with the line that says why, reserves nothing and erases
// nothing; numbers up to the largest that fits their bytes are taken.
TEST_F(Serial, FilesThatCannotHoldRefuseWithTheirLine) {
    const std::string good = settings("8188 2 binary msb 1 99");
    const std::string reserve = "reserve 12 2026-12-07T10:15:02Z /dev/ttyUSB0 4711\n";
    const std::string unread = ": journal line cannot be read";
    const std::pair<std::string, std::string> rows[] = {
        {"colour = red\n" + good, "1: unknown setting \"colour\""},
        {settings("8188 2 hex msb 1 9"), "3: format must be binary, bcd or ascii (got \"hex\")"},
        {settings("8188 2 bcd big 1 9"), "4: order must be msb or lsb (got \"big\")"},
        {good.substr(good.find('\n') + 1), "8: no address setting"},
        {"# nothing set yet\n", "1: no address setting"},
        {good + "length = 3\n", "9: length is set twice (first on line 2)"},
        {settings("0x1FFC 2 binary msb 1 9"), "1: address wants a decimal number (got \"0x1FFC\")"},
        {settings("8188 33 ascii msb 1 9"), "2: length must be 1 to 32 (got 33)"},
        {settings("8188 1 binary msb 1 256"), "8: last 256 does not fit 1 bytes in binary"},
        {settings("8188 2 bcd msb 1 10000"), "8: last 10000 does not fit 2 bytes in bcd"},
        {settings("8188 3 ascii msb 1 1000"), "8: last 1000 does not fit 3 bytes in ascii"},
        {settings("8190 3 binary msb 1 9"), "1: 3 words from 1FFE lie in no program, ID or EEPROM"},
        {settings("8199 1 binary msb 1 9"), "1: 1 words from 2007 lie in no program, ID or EEPROM"},
        {settings("7999 2 binary msb 1 9"), "1: word 1F40 is a calibration word of SIM16A"},
        {good + reserve + "reserve 13 2026-12-07T10:15:0", "10" + unread},
        {good + "used 12 2026-12-07 /dev/ttyUSB0 4711\n", "9" + unread},
        {good + "void 12 2026-12-07T10:15:02Z /dev/ttyUSB0 4711 lost\n", "9" + unread},
        {good + reserve + "first = 3\n", "10: a setting after the journal; settings go first"},
        {settings("8188 1 binary msb 1 255"), ""},
        {settings("8188 2 bcd msb 1 9999"), ""},
        {settings("8188 3 ascii msb 998 999") + "\n# a note\n" + reserve, ""},
    };
    configure("processor/SIM16A/calibration/1/address = 8000\n");
    for (const auto& [file, error] : rows) {
        path = harness::write_temp_file("line.serial", file);
        run({"word=prog:0x1F40=0x3480"});
        EXPECT_EQ(std::tuple(status, erased), std::tuple(error.empty() ? 0 : 1, error.empty()))
            << file << log;
        if (error.empty()) continue;
        EXPECT_EQ(harness::read_file(path), file);
        EXPECT_EQ(harness::count_lines(log, "[serial_take] " + path + ":" + error), 1) << log;
        EXPECT_EQ(harness::count_lines(log, "ERROR"), 1) << log;  // and no other
    }
    path = "/nonexistent/line.serial";
    run();
    EXPECT_EQ(harness::count_lines(log, "Unable to open serial file: " + path +
                                            " Reason: 2 No such file or directory"),
              1);
}

}  // namespace
