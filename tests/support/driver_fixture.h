// The driver in the test's own process, against the simulated ICD2 on the serial module's line
// (sim/icd2sim_tty.h), on the simulator's clock: the fixture of the driver's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "driver/report.h"
#include "icd2/icd2.h"
#include "icd2/tty.h"
#include "icd2sim_tty.h"
#include "support/harness.h"

extern uint8_t last_family_id;  // the family last sent, kept for the process

namespace driver_test {

namespace sim = icd2sim::inprocess;
using harness::count_lines;
using harness::hex_words;
using harness::kHexEnd;
using Texts = std::vector<std::string>;

inline constexpr int kNoDevice = -1;  // find_device returned null

// The program is linked with --wrap=malloc,--wrap=realloc: of the allocations the libraries under
// test make, the failing_in-th from now of at least failing_size bytes fails.
inline int failing_in = 0;
inline size_t failing_size = 0;
inline bool fails(size_t size) {
    return size >= failing_size && failing_in > 0 && --failing_in == 0;
}

// One record of each space in the passes' order: program (a padded block), EEPROM, ID, config.
inline const std::string kImage = hex_words(0, {0x1234, 0x2345, 0x3456}) +
                                  hex_words(0x2100, {0xAB, 0xCD}) + hex_words(0x2000, {0x0102}) +
                                  hex_words(0x2007, {0x3F72}) + kHexEnd;
// Program records of 8, 3 and 13 words, ID, configuration, and EEPROM words with high bytes.
inline const std::string kSample =
    hex_words(0, {0x3000, 0x8A, 0x2804, 0, 0x183, 0x1683, 0x3000, 0x86}) +
    hex_words(0x10, {0x1283, 0x30FF, 0x86}) +
    hex_words(0x20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) + hex_words(0x2000, {1, 2, 3, 4}) +
    hex_words(0x2007, {0x3F72}) + hex_words(0x2100, {0x12AB, 0x34, 0x56}) + kHexEnd;

// Whether text ends with tail, showing text when it does not.
inline testing::AssertionResult ends(const std::string& text, const std::string& tail) {
    if (text.ends_with(tail)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no " << tail << " at the end of:\n" << text;
}

// The log line of an error of the driver.
inline std::string error(int code, const char* function, const char* text) {
    return "1 " + std::to_string(code) + " ERROR   [tarnwell] [" + function + "] " + text;
}

// The default configuration without one of its lines.
inline std::string without(const std::string& line) {
    std::string text = harness::default_config();
    return text.erase(text.find(line), line.size());
}

class Driver : public testing::Test {
  protected:
    void SetUp() override { configure(harness::default_config()); }
    void TearDown() override { free_config(); }
    void configure(const std::string& text) {
        free_config();
        config_path = harness::write_temp_file("tarnwell.config", text);
        ASSERT_EQ(load_config(config_path.c_str()), 0);
    }

    // On a fresh ICD2 with settings, its part holding holding (Intel HEX), the
    // probe and job on the device found: 'p' programs hex, 'v' verifies it,
    // 'r' reads the part out into image, 'b' blank checks, 'e' erases.
    void run(const Texts& settings, char job = 'p', const std::string& hex = kImage,
             const std::string& holding = "") {
        last_family_id = 0xFF;  // as a new process starts
        ASSERT_EQ(sim::reset(settings), "");
        const std::string loaded = harness::write_temp_file("part.hex", holding);
        ASSERT_EQ(holding.empty() ? "" : sim::memory().load_hex(loaded), "");
        HexRecord* list = nullptr;
        FILE* file = fmemopen(const_cast<char*>(hex.data()), hex.size(), "r");
        ASSERT_EQ(readHexFile(file, &list), 0);
        std::fclose(file);
        const std::string path = harness::write_temp_file("read-out.hex", "");
        file = std::fopen(path.c_str(), "w");
        outcome = PassOutcome{};
        probe = ProbeReport{};
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int failing = std::exchange(failing_in, 0);  // in the job alone
        char* device = probe_device(tty.c_str(), &probe);
        failing_in = failing;
        result = device == nullptr ? kNoDevice
                 : job == 'p'      ? do_prog(list, device, &outcome, keep)
                 : job == 'v'      ? do_verify(list, device, &outcome)
                 : job == 'r'      ? do_read_out(device, file, &outcome)
                 : job == 'b'      ? do_blank_check(device, &outcome)
                                   : do_erase(device, &outcome, keep);
        log = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        std::fclose(file);
        image = harness::read_file(path);
        std::free(device);
        freeHexList(&list);
        std::istringstream lines(sim::transcript());
        sent.clear();
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("CMD #")) sent += line.substr(line.find(' ', 4));
    }

    // Whether the part holds every word of hex, EEPROM cells their low bytes.
    static bool holds(const std::string& hex) {
        for (auto [address, word] : harness::hex_decode(hex)) {
            auto cell = sim::memory().read(icd2sim::kEeprom, address);
            if (cell) word &= 0xFF;
            for (auto space : {icd2sim::kProg, icd2sim::kId, icd2sim::kConfig})
                cell = cell ? cell : sim::memory().read(space, address);
            if (cell != word) return false;
        }
        return true;
    }

    std::string tty = "/dev/ttyICD-sim";
    std::string config_path;
    int result = 0;
    std::string out, log, image, sent;  // image: what a read-out wrote; sent: the commands
    PassOutcome outcome;
    KeepOptions keep;  // -u and -k
    ProbeReport probe;
};

}  // namespace driver_test
