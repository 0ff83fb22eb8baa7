#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "strutil/strutil.h"

namespace {

using Ints = std::vector<int>;

// A heap copy of exactly the text and its NUL: the sanitizer build catches
// any read past it.
std::unique_ptr<char[]> exact(const char* text) {
    auto copy = std::make_unique<char[]>(std::strlen(text) + 1);
    std::strcpy(copy.get(), text);
    return copy;
}

void set_zone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

TEST(StrSplit, SkipsSeparatorRunsAndCutsLongFields) {
    const std::string long_field = std::string(305, 'x') + "/next";
    const struct {
        std::string text;
        int size;
        std::vector<std::string> fields;
    } cases[] = {
        {"", 300, {}},
        {"///", 300, {}},
        {"a//b/", 300, {"a", "b"}},
        {"/a", 300, {"a"}},
        {"processor//x/", 300, {"processor", "x"}},
        {long_field, 300, {std::string(300, 'x'), "next"}},
        {"abc/d", 0, {"", ""}},  // an empty field, and the cursor still moves on
    };
    for (const auto& c : cases) {
        std::vector<std::string> fields;
        char output[301] = "keep";
        for (const char* cursor = c.text.c_str(); strsplit('/', &cursor, output, c.size) == 1;)
            fields.emplace_back(output);
        EXPECT_EQ(fields, c.fields) << c.text;
        EXPECT_TRUE(!c.fields.empty() || std::strcmp(output, "keep") == 0) << "output touched";
    }
}

TEST(StrHash, MatchesKnownValuesWithSignedBytes) {
    const struct {
        const char* text;
        unsigned int bucket_of_20, hash31;
    } cases[] = {{"", 0, 0}, {"a", 17, 0x61}, {"abc", 7, 0x1E7896E3}, {"\xE9", 5, 0x7FFFFFE9}};
    for (const auto& c : cases) {
        EXPECT_EQ(strhash(20, c.text), c.bucket_of_20) << c.text;
        // With 2^31 buckets the bucket is the low 31 bits of the hash itself.
        EXPECT_EQ(strhash(0x80000000U, c.text), c.hash31) << c.text;
    }
}

TEST(StringHelpers, SelectReverseUpperAndFindInList) {
    const char* const mixed[] = {nullptr, "b", "a", "a"};
    const char* const holes[] = {nullptr, nullptr};
    const char* const same[] = {"abc", "ABC"};
    const char* const cased[] = {"b", "B", "a", "c", "C"};
    EXPECT_EQ((Ints{get_lowest_string(mixed, 4), get_lowest_string(holes, 2),
                    get_highest_case_string(same, 2), get_lowest_case_string(same, 2)}),
              (Ints{2, -1, 0, 0}));
    // "B" sorts before "a" by byte; "c" and "C" tie ignoring case.
    EXPECT_EQ((Ints{get_lowest_string(cased, 5), get_lowest_case_string(cased, 5),
                    get_highest_string(cased, 5), get_highest_case_string(cased, 5)}),
              (Ints{1, 2, 3, 3}));
    for (auto [text, reversed] :
         {std::pair{"", ""}, {"a", "a"}, {"abc", "cba"}, {"abcd", "dcba"}}) {
        const auto copy = exact(text);
        EXPECT_EQ(strreverse(copy.get()), copy.get());
        EXPECT_STREQ(copy.get(), reversed);
    }
    char text[] = "aZ-z\xE9";
    EXPECT_STREQ(strupper(text), "AZ-Z\xE9");
    const char* const list[] = {"Alpha", "beta", nullptr};
    EXPECT_EQ(is_in_case_list(list, "BETA"), list[1]);
    EXPECT_EQ(is_in_case_list(list, "gamma"), nullptr);
}

TEST(SafeGets, CutsLongLinesAndDropsTheirRest) {
    const std::string path = testing::TempDir() + "strutil_stdin.txt";
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("abcdef\nxy\n\nabcd\nz\nskip me\nab", file);
    std::fclose(file);
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
    char buffer[5];
    // Size 0 keeps nothing but still consumes its line.
    for (auto [size, line] :
         {std::pair{4, "abcd"}, {4, "xy"}, {4, ""}, {4, "abcd"}, {4, "z"}, {0, ""}, {4, "ab"}}) {
        ASSERT_EQ(safe_gets(buffer, size), buffer) << line;
        EXPECT_STREQ(buffer, line);
    }
    EXPECT_EQ(safe_gets(buffer, 4), nullptr);
    EXPECT_EQ(safe_gets(buffer, 0), nullptr);
}

TEST(StrToTm, ChecksSeparatorsThenReadsFields) {
    struct tm tm = {};
    tm.tm_mday = 77;
    for (const char* text : {"10-Oct-2000 13:55:36", "10/Oct/2000:13:55", "",
                             "10/Oct/2000 13:55:36", "10/Oct/2000:13-55:36"})
        EXPECT_EQ(str_to_tm(exact(text).get(), &tm), 1) << text;
    EXPECT_EQ(tm.tm_mday, 77);
    tm.tm_isdst = 1;
    ASSERT_EQ(str_to_tm("10/Oct/2000:13:55:36", &tm), 0);
    EXPECT_EQ(
        (Ints{tm.tm_mday, tm.tm_mon, tm.tm_year, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_isdst}),
        (Ints{10, 9, 100, 13, 55, 36, 0}));
    // An inexact month name keeps the month; cut fields convert what is there.
    ASSERT_EQ(str_to_tm(exact("11/dec/2000:13:55:7").get(), &tm), 0);
    EXPECT_EQ((Ints{tm.tm_mday, tm.tm_mon, tm.tm_sec}), (Ints{11, 9, 7}));
    ASSERT_EQ(str_to_tm(exact("01/Dec/1999:23:05:").get(), &tm), 0);
    EXPECT_EQ((Ints{tm.tm_mon, tm.tm_sec}), (Ints{11, 0}));
}

TEST(DateToTimeT, ConvertsMidnightOfLocalStandardTime) {
    set_zone("UTC0");
    EXPECT_EQ(date_to_time_t("20000229"), 951782400);
    EXPECT_EQ(date_to_time_t("19991301"), date_to_time_t("20000101"));
    EXPECT_EQ(date_to_time_t(""), 0);
    EXPECT_EQ(date_to_time_t(nullptr), 0);
    // Month 0 and day 0 of a short text normalise to 30 November before.
    EXPECT_EQ(date_to_time_t(exact("2000").get()), 943920000);
    // Under daylight saving all year the result is still standard midnight,
    // which the local clock shows as one in the morning.
    set_zone("XST0XDT,J1/0,J365/25");
    const time_t when = date_to_time_t("20000229");
    struct tm local = {};
    ASSERT_NE(localtime_r(&when, &local), nullptr);
    EXPECT_EQ((Ints{static_cast<int>(when - 951782400), local.tm_isdst, local.tm_hour}),
              (Ints{0, 1, 1}));
    set_zone("UTC0");
}

}  // namespace
