// Processor settings: the processor's own section first, then its family's;
// and which processors are tried, in which order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "support/harness.h"

namespace {

class DeviceLookup : public ::testing::Test {
protected:
    void load(const std::string& text) {
        free_config();
        ASSERT_EQ(load_config(harness::write_temp_file("t.config", text).c_str()), 0);
    }
    void TearDown() override { free_config(); }

    static std::string key(const char* device, const char* suffix) {
        char* found = get_device_config_key(device, suffix);
        std::string result = found != nullptr ? found : "<null>";
        std::free(found);
        return result;
    }

    static std::vector<std::string> names() {
        char** list = get_device_names();
        std::vector<std::string> result;
        if (list == nullptr) return {"<null>"};
        for (char** name = list; *name != nullptr; ++name) result.emplace_back(*name);
        free_device_names(&list);
        return result;
    }
};

TEST_F(DeviceLookup, ProcessorSettingWinsOverFamily) {
    load("processor/P/family = F\n"
         "processor/P/address/prog/start = 16\n"
         "family/F/address/prog/start = 32\n"
         "family/F/address/prog/size = 64\n");
    EXPECT_EQ(key("P", "/address/prog/start"), "/processor/P//address/prog/start");
    EXPECT_EQ(get_config_long(key("P", "/address/prog/start").c_str()), 16);
    EXPECT_EQ(key("P", "/address/prog/size"), "family/F//address/prog/size");
    EXPECT_EQ(get_config_long(key("P", "/address/prog/size").c_str()), 64);
}

TEST_F(DeviceLookup, MissingSettingsGiveNull) {
    load("processor/LONE/id = 1\n"
         "processor/P/family = NOFAMILY\n"
         "family/F/address/prog/start = 32\n");
    // No family at all, a family that does not exist, an unknown processor.
    EXPECT_EQ(key("LONE", "/address/prog/start"), "<null>");
    EXPECT_EQ(key("P", "/address/prog/start"), "<null>");
    EXPECT_EQ(key("UNKNOWN", "/address/prog/start"), "<null>");
    // Only one level of fallback: a family's family is never looked at.
    load("processor/P/family = F\nfamily/F/family = G\nfamily/G/id/mask = 3\n");
    EXPECT_EQ(key("P", "/id/mask"), "<null>");
}

TEST_F(DeviceLookup, HexadecimalValuesReadAsZero) {
    load("processor/P/id/value = 0x0D40\n");
    EXPECT_EQ(get_config_long(key("P", "/id/value").c_str()), 0);
}

TEST_F(DeviceLookup, NamesAreGroupedByFamilyInNameOrder) {
    load("family/B/id = 2\n"
         "family/A/id = 1\n"
         "processor/Z/family = A\n"
         "processor/Y/family = B\n"
         "processor/X/family = B\n"
         "processor/W/family = A\n");
    EXPECT_EQ(names(), (std::vector<std::string>{"W", "Z", "X", "Y"}));
}

TEST_F(DeviceLookup, OnlyProcessorsOfFamiliesWithAnIdAreListed) {
    load("family/A/id = 1\n"
         "family/NOID/address/prog/size = 5\n"
         "processor/P1/family = NOID\n"
         "processor/P2/family = a\n"          // differs in letter case only
         "processor/P3/address/prog/size = 5\n"  // no family key
         "processor/P4/family = A\n"
         "processor/P4/family/extra = A\n");   // not the family key itself
    EXPECT_EQ(names(), (std::vector<std::string>{"P4"}));
}

TEST_F(DeviceLookup, NoProcessorsGiveAnEmptyList) {
    load("family/A/id = 1\n");
    EXPECT_TRUE(names().empty());
    free_config();
    // With no configuration at all there is nothing to try either.
    EXPECT_TRUE(names().empty());
}

}  // namespace
