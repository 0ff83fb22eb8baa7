// The run report's JSON writer and digest: checked against Python's reading
// of JSON and the published SHA-256 test vectors.
#include <gtest/gtest.h>

#include <string>

#include "strutil/json.h"

namespace {

std::string quoted(const std::string& text) {
    return JsonWriter().string(text).text();
}

TEST(JsonWriter, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"plain /dev/ttyS0", "\"plain /dev/ttyS0\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"\n\r\t", "\"\\n\\r\\t\""},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001F\\u007F\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        // Not UTF-8: a lone continuation byte, a cut sequence, an overlong
        // form and a surrogate are escaped byte by byte.
        {"\x80", "\"\\u0080\""},
        {"\xc3", "\"\\u00C3\""},
        {"\xe0\x80\x80", "\"\\u00E0\\u0080\\u0080\""},
        {"\xed\xa0\x80", "\"\\u00ED\\u00A0\\u0080\""},
    };
    for (const auto& row : rows) EXPECT_EQ(quoted(row.in), row.out) << row.in;
}

TEST(JsonWriter, NestsObjectsWithCommasAndFormatsNumbers) {
    JsonWriter json;
    json.begin_object()
        .key("n")
        .number(-12LL)
        .key("big")
        .number(4294967296LL)
        .key("v")
        .number(12.7812, 3)
        .key("whole")
        .number(5.0, 3)
        .key("tiny")
        .number(-0.0001, 3)
        .key("inf")
        .number(1.0 / 0.0, 3)
        .key("inner")
        .begin_object()
        .key("ok")
        .boolean(true)
        .key("no")
        .boolean(false)
        .end_object()
        .key("empty")
        .begin_object()
        .end_object()
        .key("last")
        .string("x")
        .end_object();
    EXPECT_EQ(json.text(),
              "{\"n\":-12,\"big\":4294967296,\"v\":12.781,\"whole\":5,\"tiny\":0,\"inf\":null,"
              "\"inner\":{\"ok\":true,\"no\":false},\"empty\":{},\"last\":\"x\"}");
}

TEST(Sha256, MatchesPublishedVectorsAcrossBlockBoundaries) {
    EXPECT_EQ(sha256_hex("", 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256_hex(two_blocks.data(), two_blocks.size()),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // 55, 56 and 64 bytes: the padding fits, just misses, and needs a block.
    const struct {
        size_t length;
        const char* digest;
    } rows[] = {
        {55, "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
        {56, "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
        {64, "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
    };
    for (const auto& row : rows) {
        std::string text(row.length, 'x');
        EXPECT_EQ(sha256_hex(text.data(), text.size()), row.digest) << row.length;
    }
    const std::string million(1000000, 'a');
    EXPECT_EQ(sha256_hex(million.data(), million.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
