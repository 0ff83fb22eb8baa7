#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "strutil/strutil.h"

namespace {

using Ints = std::vector<int>;
using Texts = std::vector<std::string>;

// A heap copy of exactly the text, so that the sanitizer build catches a read past it.
std::unique_ptr<char[]> exact(const char* text) {
    auto copy = std::make_unique<char[]>(std::strlen(text) + 1);
    std::strcpy(copy.get(), text);
    return copy;
}

TEST(StrSplit, SkipsSeparatorRunsAndCutsLongFields) {
    // Size 0 gives empty fields, and the cursor still moves on.
    using Row = std::tuple<std::string, int, Texts>;
    const Row cases[] = {
        Row{"", 300, Texts{}}, Row{"///", 300, Texts{}}, Row{"/a//b/", 300, Texts{"a", "b"}},
        Row{std::string(305, 'x') + "/next", 300, Texts{std::string(300, 'x'), "next"}},
        Row{"abc/d", 0, Texts{"", ""}}};
    for (const auto& [text, size, expected] : cases) {
        Texts fields;
        char output[301] = "keep";
        for (const char* cursor = text.c_str(); strsplit('/', &cursor, output, size) == 1;)
            fields.emplace_back(output);
        EXPECT_EQ(fields, expected) << text;
        EXPECT_TRUE(!fields.empty() || std::strcmp(output, "keep") == 0) << "output touched";
    }
}

TEST(StrHash, MatchesKnownValuesWithSignedBytes) {
    // With 2^31 buckets the bucket is the low 31 bits of the hash itself.
    using Row = std::tuple<const char*, unsigned, unsigned>;
    for (auto [text, bucket_of_20, hash31] :
         {Row{"", 0, 0}, Row{"a", 17, 0x61}, Row{"abc", 7, 0x1E7896E3}, Row{"\xE9", 5, 0x7FFFFFE9}})
        EXPECT_EQ((std::pair{strhash(20, text), strhash(0x80000000U, text)}),
                  (std::pair{bucket_of_20, hash31}))
            << text;
}

TEST(StringHelpers, SelectEditInPlaceAndFindInList) {
    // Null entries are holes; "A" sorts before "B" and "a" by byte; equal
    // entries ("a" and "A", "c" and "C" ignoring case) go to the first.
    const char *const mixed[] = {nullptr, "b", "a", "a"}, *const holes[] = {nullptr, nullptr};
    const char* const cased[] = {"b", "B", "a", "A", "c", "C"};
    EXPECT_EQ((Ints{get_lowest_string(mixed, 4), get_lowest_string(holes, 2),
                    get_lowest_string(cased, 6), get_lowest_case_string(cased, 6),
                    get_highest_string(cased, 6), get_highest_case_string(cased, 6)}),
              (Ints{2, -1, 3, 2, 4, 4}));
    char even[] = "abcd", odd[] = "abc", upper[] = "aZ-z\xE9";
    EXPECT_EQ((std::vector<char*>{strreverse(even), strreverse(odd), strupper(upper)}),
              (std::vector<char*>{even, odd, upper}));
    EXPECT_EQ((Texts{even, odd, upper}), (Texts{"dcba", "cba", "AZ-Z\xE9"}));
    const char* const list[] = {"Alpha", "beta", nullptr};
    EXPECT_EQ(is_in_case_list(list, "BETA"), list[1]);
    EXPECT_EQ(is_in_case_list(list, "gamma"), nullptr);
}

TEST(SafeGets, CutsLongLinesAndDropsTheirRest) {
    const std::string path = testing::TempDir() + "strutil_stdin.txt";
    std::ofstream(path) << "abcdef\nxy\n\nabcd\nz\nskip me\nab";
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
    // Size 0 keeps nothing but still consumes its line.
    char buffer[5];
    Texts lines;
    for (int size : {4, 4, 4, 4, 4, 0, 4, 4, 0})
        lines.emplace_back(safe_gets(buffer, size) == buffer ? buffer : "(null)");
    EXPECT_EQ(lines, (Texts{"abcd", "xy", "", "abcd", "z", "", "ab", "(null)", "(null)"}));
}

TEST(StrToTm, ChecksSeparatorsThenReadsFields) {
    // The result, day, month, year, hour, minute, second, daylight saving (77: untouched).
    const auto read = [](const char* text) {
        struct tm tm = {};
        tm.tm_mday = tm.tm_mon = tm.tm_year = tm.tm_hour = tm.tm_min = tm.tm_sec = tm.tm_isdst = 77;
        const int result = str_to_tm(exact(text).get(), &tm);
        return Ints{result,     tm.tm_mday, tm.tm_mon, tm.tm_year,
                    tm.tm_hour, tm.tm_min,  tm.tm_sec, tm.tm_isdst};
    };
    for (const char* text : {"10-Jan-2000 13:55:36", "10/Jan/2000 13:55:36", "10/Jan/2000:13:55"})
        EXPECT_EQ(read(text), (Ints{1, 77, 77, 77, 77, 77, 77, 77})) << text;
    EXPECT_EQ(read("10/Jan/2000:13:55:36"), (Ints{0, 10, 0, 100, 13, 55, 36, 0}));
    // An inexact month name keeps the month; cut fields convert what is there.
    EXPECT_EQ(read("11/dec/2000:13:55:7"), (Ints{0, 11, 77, 100, 13, 55, 7, 0}));
    EXPECT_EQ(read("01/Dec/1999:23:05:"), (Ints{0, 1, 11, 99, 23, 5, 0, 0}));
}

TEST(DateToTimeT, ConvertsMidnightOfLocalStandardTime) {
    // Under daylight saving all year still standard midnight, one o'clock on
    // the clock; month and day 0 of a short text make 30 November before.
    using Row = std::tuple<const char*, const char*, time_t, int>;
    for (auto [zone, text, when, hour] :
         {Row{"XST0XDT,J1/0,J365/25", "20000229", 951782400, 1}, Row{"UTC0", "2000", 943920000, 0},
          Row{"UTC0", "", 0, 0}}) {
        setenv("TZ", zone, 1);
        tzset();
        const time_t got = date_to_time_t(exact(text).get());
        struct tm local = {};
        localtime_r(&got, &local);
        EXPECT_EQ((std::pair{got, local.tm_hour}), (std::pair{when, hour})) << zone << " " << text;
    }
    EXPECT_EQ(date_to_time_t(nullptr), 0);
}

}  // namespace
