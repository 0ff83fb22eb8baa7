// The run report's JSON writer and digest: checked against Python's reading
// of JSON and the published SHA-256 test vectors.
#include <gtest/gtest.h>

#include "strutil/json.h"

namespace {

TEST(JsonWriter, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
    // Not UTF-8: a lone continuation byte, overlong forms, a surrogate, a code
    // point past U+10FFFF and a cut sequence are escaped byte by byte.
    for (auto [in, out] : {std::pair<std::string, std::string>{
                               "/dev/ttyS0 a\"b\\c\n\r\t", "\"/dev/ttyS0 a\\\"b\\\\c\\n\\r\\t\""},
                           {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001F\\u007F\""},
                           {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                            "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
                           {"\x80|\xc0\x80|\xe0\x80\x80|\xed\xa0\x80|\xf4\x90\x80\x80|\xc3",
                            "\"\\u0080|\\u00C0\\u0080|\\u00E0\\u0080\\u0080|\\u00ED\\u00A0\\u0080|"
                            "\\u00F4\\u0090\\u0080\\u0080|\\u00C3\""}})
        EXPECT_EQ(JsonWriter().string(in).text(), out) << in;
}

TEST(JsonWriter, NestsObjectsWithCommasAndFormatsNumbers) {
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
    // 55 and 56 bytes: the padding just fits, and just misses; 64 bytes: a
    // whole block before it.
    for (auto [text, digest] :
         {std::pair<std::string, const char*>{
              "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
          {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
          {std::string(55, 'x'),
           "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
          {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
           "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
          {std::string(64, 'x'),
           "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
          {std::string(1000000, 'a'),
           "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}})
        EXPECT_EQ(sha256_hex(text.data(), text.size()), digest) << text.size();
}

}  // namespace
