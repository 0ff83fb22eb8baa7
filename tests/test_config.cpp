#include <gtest/gtest.h>

#include "config/config_lookup.h"
#include "stderr_capture.h"

namespace {

using Texts = std::vector<std::string>;

template <typename Array>
Texts texts_of(Array array) {
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
    using Row = std::tuple<std::string, int, const char*, const char*>;
    const Row cases[] = {
        // No entry: results 1 to 7.
        Row{"", 1, "", ""}, Row{"k =  \t", 1, "k", ""}, Row{"  \t \r\n", 2, "", ""},
        Row{"key =   \n", 2, "key", ""}, Row{"   # k = v\n", 3, "", ""}, Row{"=v\n", 4, "=v", ""},
        Row{std::string("\0 = v\n", 6), 5, "", ""}, Row{"key # = value\n", 6, "key", ""},
        Row{std::string("k = \0x\n", 7), 7, "k", ""},
        // Entries: the blanks around a key and a value go.
        Row{" key\t=\t some value \t\r\n", 0, "key", "some value"},
        Row{"key=a=b # c\n", 0, "key", "a=b # c"}, Row{"==v\n", 0, "=", "v"},
        Row{"k = v", 0, "k", "v"}};
    for (const auto& [input, result, key, value] : cases) {
        char got_key[CONFIG_TEXT_MAX + 1] = "", got_value[CONFIG_TEXT_MAX + 1] = "";
        int line = 6;
        FILE* stream = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
        const int got = get_config_line(got_key, got_value, stream, &line, "mem");
        fclose(stream);
        EXPECT_EQ((std::tuple{got, std::string(got_key), std::string(got_value), line}),
                  (std::tuple{result, std::string(key), std::string(value), 7}))
            << input;
    }
}

TEST_F(ConfigTest, WarningsNameTheirPhysicalLineAndLoadingGoesOn) {
    const std::string key(301, 'k'), value(300, 'v'), in = " in file \"" + path + "\"";
    EXPECT_EQ(load("# c\n\nk # = v\n" + key + " = 1\nv = " + value + "X\nw = " + value +
                   " \r\na/b = 1\nx = 5\nx\n/a//b = 2\n"),
              "WARNING: line 4 " + in + ". The key has been truncated\nWARNING: line 5 " + in +
                  ". The value has been truncated\nWARNING line 10" + in +
                  " overwrites key \"/a/b\"\n");
    EXPECT_EQ((Texts{get_config_string(key.substr(0, 300).c_str()), get_config_string("v"),
                     get_config_string("w"), get_config_string("a/b"), get_config_string("x")}),
              (Texts{"1", value, value, "2", "5"}));
    // A line whose element cannot be allocated is left out; the next one loads.
    const std::string err = load("y = 2\nb = 3\n", 1),
                      lost = "WARNING: line 1" + in + " could not be loaded due lack of memory\n";
    EXPECT_NE(err.find(lost), err.npos) << err;
    EXPECT_EQ(get_config_string("y"), nullptr);
    EXPECT_STREQ(get_config_string("b"), "3");
}

TEST_F(ConfigTest, EmptyUntilLoadedAndAgainAfterFree) {
    // Before any tree exists every query finds nothing, and nothing crashes.
    EXPECT_EQ(load_config("/nonexistent/tarnwell.config"), 1);
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ((std::vector<const void*>{get_config_string("log/main"),
                                        find_config_string("log/main"), get_config_keys(nullptr),
                                        get_config_keys("log"), get_config_values("log")}),
              std::vector<const void*>(5, nullptr));
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
    const std::pair<const char*, int> numbers[] = {{"/log/main", 3}, {"log//main/", 3}, {"log", 0},
                                                   {"abc", 0},       {"lead", 42},      {"neg", -7},
                                                   {"hex", 0},       {"missing", 0}};
    for (auto [key, number] : numbers)
        EXPECT_EQ((std::pair{get_config_int(key), get_config_long(key)}),
                  (std::pair{number, long{number}}))
            << key;
    EXPECT_TRUE(sizeof(long) == 4 || get_config_long("big") == 4000000000L);
}

TEST_F(ConfigTest, EnumerationIsPreOrderInByteOrderOfValuedKeysOnly) {
    load(
        "/processor/B/family = 3\nprocessor/A/id = 2\nprocessor/A/family = 1\nprocessor = top\n"
        "/ = root\nzz = 9\n");
    EXPECT_EQ(get_config_string("p/missing"), nullptr);  // leaves a valueless element
    EXPECT_EQ(keys_under("/processor/"), (Texts{"/processor", "/processor/A/family",
                                                "/processor/A/id", "/processor/B/family"}));
    EXPECT_EQ(keys_under("processor/Z"), Texts{});
    EXPECT_EQ(keys_under(nullptr).size(), 5u);  // the root's value is never listed
    EXPECT_STREQ(get_config_string("/"), "root");
    const char** values = get_config_values("processor");
    EXPECT_EQ(texts_of(values), (Texts{"top", "1", "2", "3"}));
    free_config_values(&values);
}

}  // namespace
