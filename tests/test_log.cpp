#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "stderr_capture.h"

namespace {

// The text with the ctime stamp (weekday, month, blank-padded day, time and
// four-digit year) that starts a line replaced by "@".
std::string stamped(const std::string& text) {
    static const std::regex stamp(
        "(^|\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} ");
    return std::regex_replace(text, stamp, "$1@");
}

using Log = ConfigTest;

TEST_F(Log, WritesTheLinesItsLevelLetThroughInTheirExactLayout) {
    load("log/module/icd2 = 1\nlog/module/tarnwell/main = -1\nlog/module/tarnwell/do_prog = 9\n");
    EXPECT_EQ(stamped(stderr_of([] {
                  log_message(2, 1, "icd2", "tty_read", "Timeout during read");
                  log_message(1, 3, "icd2", "tty_read", "%s:%2X|%04X", "/dev/x", 5, 0xab);
                  log_message(0, 1, "tarnwell", "main", "never, not even FATAL");
                  log_message(4, 12, "data_base", "f", "debug");
                  log_message(0, 2, "tarnwell", "do_prog", "fatal");
                  log_message(7, 1, "tarnwell", "do_prog", "odd");
                  log_message(-1, 2, "tarnwell", "do_prog", "negative");
              })),
              "@1 3 ERROR   [icd2] [tty_read] /dev/x: 5|00AB\n@4 12 DEBUG   [data_base] [f] debug\n"
              "@0 2 FATAL    [tarnwell] [do_prog] fatal\n@7 1 UNKNOWN [tarnwell] [do_prog] odd\n"
              "@-1 2 UNKNOWN [tarnwell] [do_prog] negative\n");
}

TEST_F(Log, LevelFollowsConfiguredKeysUnlessFixed) {
    const std::tuple<const char*, const char*, const char*, int> cases[] = {
        {"other = 1\n", "icd2", "tty_read", 4},
        {"log/main = 2\nlog/module/icd2 = 4\n", "icd2", "tty_read", 2},
        {"log/main = 0\n", "icd2", "tty_read", 0},
        {"log/main = -3\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "find_device", 3},
        {"log/module/tarnwell/find_device = 3\nlog/default = 1\n", "tarnwell", "main", 1},
        {"log/module/icd2/tty_read = 0\nlog/module/icd2 = 2\n", "icd2", "tty_read", 2},
        {"log/module/icd2 = 0\nlog/default = 3\n", "icd2", "tty_read", 3},
        {"log/default = abc\n", "icd2", "tty_read", 0}};
    for (const auto& [config, module, function, level] : cases) {
        load(config);
        EXPECT_EQ(log_get_level(module, function), level) << config;
        free_config();
    }
    EXPECT_EQ(log_get_level("icd2", "tty_read"), 4);  // nothing loaded
    load("log/default = 2\n");
    for (auto [fixed, level] : {std::pair{3, 3}, {0, 0}, {-1, 2}}) {
        log_no_config(fixed);
        EXPECT_EQ(log_get_level("icd2", "tty_read"), level) << fixed;
    }
}

TEST_F(Log, LookupCreatesNoElementsAndNeverMatchesACutKey) {
    // The function's key is one character too long: the loader cuts it to fit.
    const std::string function(285, 'f');
    load("log/main = 4\nlog/module/icd2 = 2\nlog/module/icd2/" + function + " = 4\n");
    EXPECT_EQ(log_get_level("icd2", function.c_str()), 2);
    EXPECT_EQ(log_get_level(std::string(400, 'm').c_str(), "f"), 4);
    log_get_level("tarnwell", "main");
    EXPECT_EQ(get_existing_data_base_element(configDB, "log/module/tarnwell", nullptr), nullptr);
    EXPECT_EQ(stamped(stderr_of([] { EXPECT_EQ(get_config_string("new/key"), nullptr); }, 1)),
              "@0 1 FATAL    [data_base] [new_data_base_element] "
              "Unable to allocate memory for new database element\n");
}

TEST_F(Log, BuildMessageAndDeprecatedError) {
    load("log/module/icd2 = 1\nlog/default = 1\n");
    EXPECT_EQ(build_message(3, 4, "icd2", "do_command", "filtered"), nullptr);
    // A "%" in a name is text, never a conversion.
    char* line = build_message(1, 4, "m%s%n", "f%d", "value %04X", 0x1f);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(stamped(line), "@1 4 ERROR   [m%s%n] [f%d] value 001F");
    free(line);
    const std::string notice =
        "** Using deprecated method - error() - in module tarnwell, method main.\n";
    EXPECT_EQ(stamped(stderr_of([] {
                  error(3, "tarnwell", "main", "first", "second", 7);
                  error(1, "tarnwell", "main", "first", "second", 8);
              })),
              notice + notice + "@1 8 ERROR   [tarnwell] [main] first second\n");
}

}  // namespace
