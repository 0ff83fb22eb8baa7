#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/data_base_testing.h"
#include "stderr_capture.h"

namespace {

using Texts = std::vector<std::string>;

Texts keys_under(const char* key) {
    char** keys = get_config_keys(key);
    Texts result;
    for (char** k = keys; k != nullptr && *k != nullptr; ++k) result.emplace_back(*k);
    free_config_keys(&keys);
    return result;
}

class Config : public ::testing::Test {
  protected:
    void TearDown() override {
        data_base_fail_allocation(0);
        free_config();
    }

    // Loads content; returns what the loader wrote on standard error.
    std::string load(const std::string& content) {
        file_ = std::make_unique<TempFile>(content);
        return stderr_of([this] { EXPECT_EQ(load_config(file_->path()), 0); });
    }

    std::string path() const { return file_->path(); }

    std::unique_ptr<TempFile> file_;
};

TEST(ConfigLine, ClassifiesEveryKindOfLine) {
    const struct {
        std::string input;
        int result;
        const char* key;
        const char* value;
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
        char key[CONFIG_TEXT_MAX + 1] = "";
        char value[CONFIG_TEXT_MAX + 1] = "";
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

TEST_F(Config, CutTextsAndOverwritesAreWarnedOfOnTheirPhysicalLine) {
    const std::string key(301, 'k'), value(300, 'v');
    const std::string err = load("# c\n\n" + key + " = 1\nv = " + value + "X\nw = " + value +
                                 " \r\na/b = 1\nx = 5\nx\n/a//b = 2\n");
    EXPECT_EQ(err, "WARNING: line 3  in file \"" + path() + "\". The key has been truncated\n" +
                       "WARNING: line 4  in file \"" + path() +
                       "\". The value has been truncated\n" + "WARNING line 9 in file \"" + path() +
                       "\" overwrites key \"/a/b\"\n");
    EXPECT_STREQ(get_config_string(key.substr(0, 300).c_str()), "1");
    EXPECT_EQ(get_config_string("v"), value);
    EXPECT_EQ(get_config_string("w"), value);
    EXPECT_STREQ(get_config_string("a/b"), "2");
    EXPECT_STREQ(get_config_string("x"), "5");
}

TEST_F(Config, LineWithoutMemoryIsReportedAndLoadingGoesOn) {
    load("a = 1\n");
    data_base_fail_allocation(1);
    const std::string err = load("x = 2\nb = 3\n");
    EXPECT_NE(err.find("WARNING: line 1 in file \"" + path() +
                       "\" could not be loaded due lack of memory\n"),
              std::string::npos);
    EXPECT_EQ(get_config_string("x"), nullptr);
    EXPECT_STREQ(get_config_string("b"), "3");
}

TEST_F(Config, UnopenableOrUnreadableFileFails) {
    EXPECT_EQ(load_config("/nonexistent/tarnwell.config"), 1);
    EXPECT_EQ(config_loaded(), 0);
    EXPECT_EQ(get_config_string("log/main"), nullptr);
    EXPECT_EQ(get_config_int("log/main"), 0);
    EXPECT_EQ(get_config_long("log/main"), 0);
    EXPECT_EQ(get_config_keys(nullptr), nullptr);
    EXPECT_EQ(get_config_values("log"), nullptr);
    EXPECT_EQ(load_config("/tmp"), 1);  // a directory: reads fail, the end never comes
}

TEST_F(Config, NumbersConvertLikeAtoi) {
    load("log/main = 3\nabc = abc\nlead =  42x\nneg = -7\nhex = 0x10\nbig = 4000000000\n");
    const struct {
        const char* key;
        int number;
    } cases[] = {{"/log/main", 3}, {"log//main/", 3}, {"log", 0}, {"abc", 0},
                 {"lead", 42},     {"neg", -7},       {"hex", 0}, {"missing", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(get_config_int(c.key), c.number) << c.key;
        EXPECT_EQ(get_config_long(c.key), c.number) << c.key;
    }
    if (sizeof(long) > 4) {
        EXPECT_EQ(get_config_long("big"), 4000000000L);
    }
}

TEST_F(Config, EnumerationIsPreOrderInByteOrderOfValuedKeysOnly) {
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
    Texts texts;
    for (const char** v = values; v != nullptr && *v != nullptr; ++v) texts.emplace_back(*v);
    free_config_values(&values);
    EXPECT_EQ(texts, (Texts{"top", "1", "2", "3"}));
}

TEST_F(Config, FreeConfigStartsOverWithEmptyTreeAndKeepsKeyCopies) {
    load("a = 1\n");
    char** kept = get_config_keys(nullptr);
    free_config();
    EXPECT_EQ(config_loaded(), 0);
    ASSERT_NE(kept, nullptr);
    EXPECT_STREQ(kept[0], "/a");
    free_config_keys(&kept);
    load("b = 2\n");
    EXPECT_EQ(keys_under(nullptr), Texts{"/b"});
}

}  // namespace
