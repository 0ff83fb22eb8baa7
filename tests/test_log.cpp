#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "config/config.h"
#include "config/data_base_testing.h"
#include "log/log.h"
#include "stderr_capture.h"

namespace {

// ctime's text: weekday, month, blank-padded day, time and four-digit year.
const std::string kTime =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} ";

testing::AssertionResult Matches(const std::string& text, const std::string& pattern) {
    if (std::regex_match(text, std::regex(pattern))) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not match " << pattern;
}

class Log : public ::testing::Test {
  protected:
    void TearDown() override {
        log_no_config(-1);
        data_base_fail_allocation(0);
        free_config();
    }

    void configure(const std::string& content) {
        TempFile file(content);
        stderr_of([&file] { EXPECT_EQ(load_config(file.path()), 0); });
    }
};

TEST_F(Log, LineHasExactLayoutPrintfFormattingAndLevelName) {
    configure("log/default = 9\n");
    EXPECT_TRUE(
        Matches(stderr_of([] {
                    log_message(1, 3, "tarnwell", "main", "Unable to identify processor.");
                    log_message(0, 12, "icd2", "tty_open", "%s:%2X|%04X", "/dev/x", 5, 0xab);
                    log_message(7, 1, "tarnwell", "main", "odd");
                    log_message(-1, 2, "tarnwell", "main", "negative");
                }),
                kTime + "1 3 ERROR   \\[tarnwell\\] \\[main\\] Unable to identify processor\\.\n" +
                    kTime + "0 12 FATAL    \\[icd2\\] \\[tty_open\\] /dev/x: 5\\|00AB\n" + kTime +
                    "7 1 UNKNOWN \\[tarnwell\\] \\[main\\] odd\n" + kTime +
                    "-1 2 UNKNOWN \\[tarnwell\\] \\[main\\] negative\n"));
}

TEST_F(Log, LevelFollowsConfiguredKeysUnlessFixed) {
    const struct {
        const char* config;
        const char* module;
        const char* function;
        int level;
    } cases[] = {
        {"other = 1\n", "icd2", "tty_read", 4},
        {"log/main = 2\nlog/module/icd2 = 4\n", "icd2", "tty_read", 2},
        {"log/main = 0\n", "icd2", "tty_read", 0},
        {"log/main = -3\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/module/icd2 = 1\n", "icd2", "tty_read", 1},
        {"log/module/icd2 = 1\n", "tarnwell", "main", 4},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "find_device", 3},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "main", 1},
        {"log/module/icd2/tty_read = 0\nlog/module/icd2 = 2\n", "icd2", "tty_read", 2},
        {"log/module/icd2 = 0\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/default = 0\n", "data_base", "new_data_base_element", 0},
        {"log/default = abc\n", "icd2", "tty_read", 0},
        {"log/module/tarnwell/main = -1\n", "tarnwell", "main", -1},
    };
    for (const auto& c : cases) {
        configure(c.config);
        EXPECT_EQ(log_get_level(c.module, c.function), c.level) << c.config;
        free_config();
    }
    configure("log/default = 0\n");
    log_no_config(3);
    EXPECT_EQ(log_get_level("icd2", "tty_read"), 3);
    log_no_config(-1);
    EXPECT_EQ(log_get_level("icd2", "tty_read"), 0);
}

TEST_F(Log, FilterDropsLinesAboveTheLevel) {
    configure("log/module/icd2 = 1\nlog/module/tarnwell/main = -1\n");
    EXPECT_TRUE(Matches(stderr_of([] {
                            log_message(2, 1, "icd2", "tty_read", "Timeout during read");
                            log_message(1, 2, "icd2", "tty_read", "kept");
                            log_message(0, 1, "tarnwell", "main", "never");
                            log_message(4, 1, "tarnwell", "do_prog", "debug");
                        }),
                        kTime + "1 2 ERROR   \\[icd2\\] \\[tty_read\\] kept\n" + kTime +
                            "4 1 DEBUG   \\[tarnwell\\] \\[do_prog\\] debug\n"));
}

TEST_F(Log, LookupCreatesNoElementsAndReportsAllocationFailureOnce) {
    configure("log/main = 4\n");
    log_get_level("icd2", "tty_read");
    EXPECT_EQ(get_existing_data_base_element(configDB, "log/module", nullptr), nullptr);
    data_base_fail_allocation(1);
    EXPECT_TRUE(Matches(stderr_of([] { EXPECT_EQ(get_config_string("new/key"), nullptr); }),
                        kTime + "0 1 FATAL    \\[data_base\\] \\[new_data_base_element\\] "
                                "Unable to allocate memory for new database element\n"));
}

TEST_F(Log, OverlongNamesNeverMatchACutKey) {
    const std::string function(400, 'f');
    configure("log/module/icd2 = 2\nlog/module/icd2/" + function + " = 4\n");  // stored cut to 300
    EXPECT_EQ(log_get_level("icd2", function.c_str()), 2);
    EXPECT_EQ(log_get_level(std::string(400, 'm').c_str(), "f"), 4);
}

TEST_F(Log, BuildMessageReturnsTheLineWithoutNewline) {
    configure("log/module/icd2 = 1\n");
    EXPECT_EQ(build_message(3, 4, "icd2", "do_command", "filtered"), nullptr);
    char* line = build_message(1, 4, "icd2", "do_command", "value %04X", 0x1f);
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(Matches(line, kTime + "1 4 ERROR   \\[icd2\\] \\[do_command\\] value 001F"));
    free(line);
    // A "%" in a name is text, never a conversion.
    line = build_message(0, 1, "m%s%n", "f%d", "%s", "text");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(Matches(line, kTime + "0 1 FATAL    \\[m%s%n\\] \\[f%d\\] text"));
    free(line);
}

TEST_F(Log, DeprecatedErrorWritesNoticeEvenWhenFiltered) {
    configure("log/default = 1\n");
    const std::string notice =
        "\\*\\* Using deprecated method - error\\(\\) - in module tarnwell, method main\\.\n";
    EXPECT_TRUE(
        Matches(stderr_of([] {
                    error(3, "tarnwell", "main", "first", "second", 7);
                    error(1, "tarnwell", "main", "first", "second", 8);
                }),
                notice + notice + kTime + "1 8 ERROR   \\[tarnwell\\] \\[main\\] first second\n"));
}

}  // namespace
