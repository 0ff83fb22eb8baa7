// The processors of the configuration: a processor's settings over its family's, the candidates
// the probe tries, and the configuration check (-l).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "support/harness.h"

namespace {

using harness::count_lines;
using Texts = std::vector<std::string>;

// The default configuration without one of its lines.
std::string without(const std::string& line) {
    std::string text = harness::default_config();
    return text.erase(text.find(line), line.size());
}

class Settings : public testing::Test {
  protected:
    void TearDown() override { free_config(); }
    void configure(const std::string& text) {
        free_config();
        config_path = harness::write_temp_file("tarnwell.config", text);
        ASSERT_EQ(load_config(config_path.c_str()), 0);
    }
    std::string config_path, out;
};

// ---- Processor settings and candidates

TEST_F(Settings, ProcessorSettingsWinOverTheirFamilysAndCandidatesComeFamilyByFamily) {
    configure(
        "processor/P/family = F\nprocessor/P/address/prog/start = 16\nfamily/F/family = G\n"
        "family/F/address/prog/start = 32\nfamily/F/address/prog/size = 64\n"
        "family/G/id/mask = 3\nprocessor/LONE/id = 1\nprocessor/Q/family = NONE\n"
        "family/B/id = 2\nfamily/A/id = 1\nprocessor/Z/family = A\nprocessor/Y/family = B\n"
        "processor/X/family = B\nprocessor/W/family = A\nprocessor/P4/family = A\n"
        // Never tried: a family without id, a name in another case, no family key, one below it,
        // the sections' own values.
        "family/NOID/address/prog/size = 5\nprocessor/P1/family = NOID\nprocessor/P2/family = a\n"
        "processor/P3/address/prog/size = 5\nprocessor/P5/family/extra = A\nprocessor = P\n"
        "family = F\n");
    auto key = [](const char* device, const char* suffix) {
        char* found = get_device_config_key(device, suffix);
        std::string text = found ? found : "<null>";
        std::free(found);
        return text;
    };
    EXPECT_EQ(key("P", "/address/prog/start"), "/processor/P//address/prog/start");
    EXPECT_EQ(key("P", "/address/prog/size"), "family/F//address/prog/size");
    // Not a family's family, nor without a family, from a family or of a processor not there.
    for (const char* device : {"LONE", "Q", "UNKNOWN"})
        EXPECT_EQ(key(device, "/address/prog/start"), "<null>");
    EXPECT_EQ(key("P", "/id/mask"), "<null>");
    auto names = [] {
        char** list = get_device_names();
        Texts result;
        for (char** name = list; *name != nullptr; ++name) result.emplace_back(*name);
        free_device_names(&list);
        return result;
    };
    EXPECT_EQ(names(), (Texts{"P4", "W", "Z", "X", "Y"}));
    configure("family/A/id = 1\n");
    EXPECT_TRUE(names().empty());
    char** none = nullptr;
    free_device_names(&none);  // a list that never came is no list to free
}

TEST_F(Settings, ConfigurationCheckListsProcessorsAndWarnsOncePerProblemWithItsLine) {
    const std::string base = harness::default_config();  // 14 lines, no warning
    const std::pair<std::string, std::string> rows[] = {
        {base + "family/sim16/erased/id = 0x3FFF\n",
         "line 15: /family/sim16/erased/id = \"0x3FFF\" reads as 0: numbers are decimal"},
        {base + "family/sim16/erased/id = 0x3FFF\nfamily/sim16/erased/id = 16383\n", ""},
        {base + "log/default = lots\n", "line 15: /log/default = \"lots\" reads as 0"},
        {base + "processor/SIM16A/erased/prog = 8192abc\n",
         "line 15: /processor/SIM16A/erased/prog = \"8192abc\" reads as 8192"},
        {base + "processor/LONE/id/value = 5\n",
         "line 15: processor LONE is never tried: it has no family setting"},
        {base + "processor/ORPHAN/family = none\n",
         "line 15: processor ORPHAN is never tried: its family \"none\" has no id setting"},
        {without("family/sim16/firmware/id = 5\n"),
         "line 10: processor SIM16A never matches: no /firmware/id"},
        {without("family/sim16/address/chipid/start = 8198\n"),
         "line 10: processor SIM16A never matches: no /address/chipid"},
        {without("processor/SIM16A/id/value = 3392\n"),
         "line 11: processor SIM16A never matches: no /id/value"},
        {without("family/sim16/address/id/size = 4\n"),
         "line 10: processor SIM16A has no /address/id/size"},
        {base + "processor/SIM16A/address/id/start = 100\n",
         "line 11: processor SIM16A: spaces prog and id overlap"},
        {base + "processor/SIM16A/address/config/start = 8191\n",
         "line 11: processor SIM16A: spaces prog and config overlap"},
        {base + "family/sim16/calibration/1/address = 8448\n",
         "line 15: processor SIM16A: calibration word 1 lies in no word space"},
        {base + "processor/SIM16A/calibration/1/address = 8191\n"
                "processor/SIM16A/calibration/1/mask = 0\n",
         "line 15: processor SIM16A: calibration word 1 has a mask of 0: it keeps nothing"},
        // Signed numbers read right, settings that are not numbers are not checked as numbers,
        // spaces that only touch do not overlap, and a calibration word is listed.
        {base + "log/default = +3\nnotes/owner = bench 4\nprocessor/SIM16A/address/config/start = "
                "8447\nfamily/sim16/calibration/1/address = 8191\n"
                "family/sim16/calibration/1/mask = 3\n",
         ""},
    };
    for (const auto& [config, warning] : rows) {
        configure(config);
        testing::internal::CaptureStdout();
        EXPECT_EQ(check_config(config_path.c_str()), warning.empty() ? 0 : 1) << warning;
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count_lines(out, "WARNING"), warning.empty() ? 0 : 1) << out;
        EXPECT_TRUE(warning.empty() || count_lines(out, warning) == 1) << out;
    }
    EXPECT_EQ(out,
              "SIM16A: family sim16 (3), firmware 5, chip id at 2006 mask 3FE0 value 0D40\n"
              "  prog    0000, 8192 words\n  eeprom  2100, 256 words\n"
              "  id      2000, 4 words\n  config  20FF, 1 words\n  calibration 1FFF mask 0003\n");
}

}  // namespace
