#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "strutil/json.h"
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
    // The result, day, month, year, hour, minute, second, daylight saving, offset from UTC (77:
    // untouched).
    const auto read = [](const char* text) {
        struct tm tm = {};
        tm.tm_mday = tm.tm_mon = tm.tm_year = tm.tm_hour = tm.tm_min = tm.tm_sec = tm.tm_isdst = 77;
        tm.tm_gmtoff = 77;
        const int result = str_to_tm(exact(text).get(), &tm);
        return Ints{result,     tm.tm_mday,  tm.tm_mon,
                    tm.tm_year, tm.tm_hour,  tm.tm_min,
                    tm.tm_sec,  tm.tm_isdst, static_cast<int>(tm.tm_gmtoff)};
    };
    for (const char* text : {"10-Jan-2000 13:55:36", "10/Jan/2000 13:55:36", "10/Jan/2000:13:55"})
        EXPECT_EQ(read(text), (Ints{1, 77, 77, 77, 77, 77, 77, 77, 77})) << text;
    EXPECT_EQ(read("10/Jan/2000:13:55:36"), (Ints{0, 10, 0, 100, 13, 55, 36, 0, 0}));
    // An inexact month name keeps the month; cut fields convert what is there.
    EXPECT_EQ(read("11/dec/2000:13:55:7"), (Ints{0, 11, 77, 100, 13, 55, 7, 0, 0}));
    EXPECT_EQ(read("01/Dec/1999:23:05:"), (Ints{0, 1, 11, 99, 23, 5, 0, 0, 0}));
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

// The run report's JSON writer and digest: checked against Python's reading
// of JSON and the published SHA-256 test vectors.
TEST(JsonWriter, EscapesStringsNestsObjectsAndFormatsNumbers) {
    // Not UTF-8: a lone continuation byte, overlong forms, a surrogate, a code
    // point past U+10FFFF, bytes that start no sequence and a cut sequence are
    // escaped byte by byte; the first and last of each length pass whole.
    for (auto [in, out] :
         {std::pair<std::string, std::string>{"/dev/ttyS0 a\"b\\c\n\r\t",
                                              "\"/dev/ttyS0 a\\\"b\\\\c\\n\\r\\t\""},
          {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001F\\u007F\""},
          {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
           "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
          {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
           "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\""},
          {"\x80|\xc0\x80|\xe0\x80\x80|\xed\xa0\x80|\xf4\x90\x80\x80|\xc3",
           "\"\\u0080|\\u00C0\\u0080|\\u00E0\\u0080\\u0080|\\u00ED\\u00A0\\u0080|"
           "\\u00F4\\u0090\\u0080\\u0080|\\u00C3\""},
          {"\xe0\x9f\xbf|\xc1\xbf|\xf5\x80\x80|\xf8\x80\x80\x80|\xff",
           "\"\\u00E0\\u009F\\u00BF|\\u00C1\\u00BF|\\u00F5\\u0080\\u0080|"
           "\\u00F8\\u0080\\u0080\\u0080|\\u00FF\""}})
        EXPECT_EQ(JsonWriter().string(in).text(), out) << in;
    for (auto [value, text] :
         {std::pair{12.7812, "12.781"}, {5.0, "5"}, {-0.0001, "0"}, {1.0 / 0.0, "null"}})
        EXPECT_EQ(JsonWriter().number(value, 3).text(), text) << value;
    JsonWriter json;
    json.begin_object().key("n").number(-12LL).key("big").number(4294967296LL).key("inner");
    json.begin_object().key("ok").boolean(true).key("no").boolean(false).end_object();
    json.key("empty").begin_object().end_object().key("last").string("x").end_object();
    EXPECT_EQ(json.text(),
              "{\"n\":-12,\"big\":4294967296,\"inner\":{\"ok\":true,\"no\":false},\"empty\":{},"
              "\"last\":\"x\"}");
}

TEST(Sha256, MatchesPublishedVectorsAcrossBlockBoundaries) {
    // 55 and 56 bytes: the padding just fits, and just misses; a million: whole blocks before it.
    for (auto [text, digest] :
         {std::pair<std::string, const char*>{
              "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
          {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
          {std::string(55, 'x'),
           "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
          {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
          {std::string(1000000, 'a'),
           "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}})
        EXPECT_EQ(sha256_hex(text.data(), text.size()), digest) << text.size();
}

}  // namespace
