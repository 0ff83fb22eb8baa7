#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stderr_capture.h"

namespace {

using Texts = std::vector<std::string>;

Texts texts_of(const char* const* array) {
    Texts texts;
    for (; array != nullptr && *array != nullptr; ++array) texts.emplace_back(*array);
    return texts;
}

Texts keys_under(const char* key) {
    char** keys = get_config_keys(key);
    const Texts texts = texts_of(keys);
    free_config_keys(&keys);
    return texts;
}

TEST(ConfigLine, ClassifiesEveryKindOfLine) {
    const struct {
        std::string input;
        int result;
        const char *key, *value;
    } cases[] = {
        {"", 1, "", ""},
        {"k =  \t", 1, "k", ""},  // cut off before its value
        {"  \t \r\n", 2, "", ""},
        {"key =   \n", 2, "key", ""},
        {"   # k = v\n", 3, "", ""},
        {"=v\n", 4, "=v", ""},
        {std::string("\0 = v\n", 6), 5, "", ""},
        {"key # = value\n", 6, "key", ""},
        {std::string("k = \0x\n", 7), 7, "k", ""},
        {"  key   =   some value  \n", 0, "key", "some value"},
        {"key=a=b # c\n", 0, "key", "a=b # c"},
        {"==v\n", 0, "=", "v"},
        {"k\t=\tv \t\r\n", 0, "k", "v"},
        {"k = v", 0, "k", "v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input: \"" + c.input + "\"");
        char key[CONFIG_TEXT_MAX + 1] = "", value[CONFIG_TEXT_MAX + 1] = "";
        int line = 6;
        FILE* stream = fmemopen(const_cast<char*>(c.input.data()), c.input.size(), "r");
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(get_config_line(key, value, stream, &line, "mem"), c.result);
        fclose(stream);
        EXPECT_EQ(line, 7);
        EXPECT_STREQ(key, c.key);
        EXPECT_STREQ(value, c.value);
    }
}

TEST_F(ConfigTest, CutTextsAndOverwritesAreWarnedOfOnTheirPhysicalLine) {
    const std::string key(301, 'k'), value(300, 'v'), in = " in file \"" + path + "\"";
    EXPECT_EQ(load("# c\n\nk # = v\n" + key + " = 1\nv = " + value + "X\nw = " + value +
                   " \r\na/b = 1\nx = 5\nx\n/a//b = 2\n"),
              "WARNING: line 4 " + in + ". The key has been truncated\nWARNING: line 5 " + in +
                  ". The value has been truncated\nWARNING line 10" + in +
                  " overwrites key \"/a/b\"\n");
    EXPECT_STREQ(get_config_string(key.substr(0, 300).c_str()), "1");
    EXPECT_EQ(get_config_string("v"), value);
    EXPECT_EQ(get_config_string("w"), value);
    EXPECT_STREQ(get_config_string("a/b"), "2");
    EXPECT_STREQ(get_config_string("x"), "5");
}

TEST_F(ConfigTest, LineWithoutMemoryIsReportedAndLoadingGoesOn) {
    load("a = 1\n");
    data_base_fail_allocation(1);
    const std::string err = load("x = 2\nb = 3\n");
    EXPECT_NE(err.find("WARNING: line 1 in file \"" + path +
                       "\" could not be loaded due lack of memory\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(get_config_string("x"), nullptr);
    EXPECT_STREQ(get_config_string("b"), "3");
}

TEST_F(ConfigTest, EmptyUntilLoadedAndAgainAfterFree) {
    EXPECT_EQ(load_config("/nonexistent/tarnwell.config"), 1);
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ(get_config_string("log/main"), nullptr);
    EXPECT_EQ(get_config_int("log/main") + get_config_long("log/main"), 0);
    EXPECT_EQ(get_config_keys(nullptr), nullptr);
    EXPECT_EQ(get_config_values("log"), nullptr);
    EXPECT_EQ(load_config("/tmp"), 1);  // a directory: reads fail, the end never comes
    load("a = 1\n");
    EXPECT_EQ(config_loaded(), 1);
    char** kept = get_config_keys(nullptr);
    free_config();
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ(texts_of(kept), Texts{"/a"});  // copies outlive the tree
    free_config_keys(&kept);
    load("b = 2\n");
    EXPECT_EQ(keys_under(nullptr), Texts{"/b"});
}

TEST_F(ConfigTest, NumbersConvertLikeAtoi) {
    load("log/main = 3\nabc = abc\nlead =  42x\nneg = -7\nhex = 0x10\nbig = 4000000000\n");
    const char* keys[] = {"/log/main", "log//main/", "log", "abc", "lead", "neg", "hex", "missing"};
    const int numbers[] = {3, 3, 0, 0, 42, -7, 0, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(get_config_int(keys[i]), numbers[i]) << keys[i];
        EXPECT_EQ(get_config_long(keys[i]), numbers[i]) << keys[i];
    }
    EXPECT_TRUE(sizeof(long) == 4 || get_config_long("big") == 4000000000L);
}

TEST_F(ConfigTest, EnumerationIsPreOrderInByteOrderOfValuedKeysOnly) {
    load(
        "/processor/B/family = 3\nprocessor/A/id = 2\nprocessor/A/family = 1\nprocessor = top\n"
        "/ = root\nzz = 9\n");
    EXPECT_EQ(get_config_string("p/missing"), nullptr);  // leaves a valueless element
    EXPECT_EQ(keys_under("/processor/"), (Texts{"/processor", "/processor/A/family",
                                                "/processor/A/id", "/processor/B/family"}));
    EXPECT_EQ(keys_under("processor/A/id"), Texts{"/processor/A/id"});
    EXPECT_EQ(keys_under("processor/Z"), Texts{});
    EXPECT_EQ(keys_under(nullptr).size(), 5u);  // the root's value is never listed
    EXPECT_STREQ(get_config_string("/"), "root");
    const char** values = get_config_values("processor");
    EXPECT_EQ(texts_of(values), (Texts{"top", "1", "2", "3"}));
    free_config_values(&values);
}

}  // namespace
