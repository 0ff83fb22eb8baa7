#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "hex/hex.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;

FilePtr streamOf(const std::string& text) {
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file) ADD_FAILURE() << "no temporary file";
    if (file) std::fwrite(text.data(), 1, text.size(), file.get());
    if (file) std::rewind(file.get());
    return file;
}

// The list as "type@address:word word ..." per record, records split by "|";
// "!" marks a record whose data and count disagree.
std::string described(const HexRecord* r) {
    std::ostringstream text;
    for (const char* separator = ""; r != nullptr; r = r->next, separator = "|") {
        text << separator << std::dec << r->type << "@" << std::hex << std::uppercase << r->address;
        for (int32_t i = 0; r->data != nullptr && i < r->count; ++i)
            text << (i == 0 ? ":" : " ") << r->data[i];
        if ((r->data == nullptr) != (r->count == 0)) text << "!";
    }
    return text.str();
}

const std::string kData = ":040010003412CDAB2E\n";
const std::string kEnd = ":00000001FF\n";

TEST(HexReader, ReportsEachFaultAndItsLineAndLeavesNoList) {
    std::string six_records;
    for (int i = 0; i < 6; ++i) six_records += kData;
    const struct {
        const char* what;
        std::string text;
        int code, line;
    } cases[] = {
        {"empty file", "", -4, 1},
        {"records without end-of-file record", kData, -4, 2},
        {"blank line between records", kData + "\n" + kEnd, -4, 2},
        {"leading blank", " " + kData + kEnd, -4, 1},
        {"LF CR line ends", ":040010003412CDAB2E\n\r" + kEnd, -4, 2},
        {"cut in the load offset", ":0400", -1, 1},
        {"cut in the data", ":040010003412C", -1, 1},
        {"cut in the checksum", ":040010003412CDAB2", -1, 1},
        {"cut in a later record", kData + ":04", -1, 2},
        {"G in the data", ":040010003412CGAB2E\n" + kEnd, -2, 1},
        {"line end inside a record", ":0400100034\n12CDAB2E\n" + kEnd, -2, 1},
        {"wrong checksum", ":040010003412CDAB2F\n" + kEnd, -7, 1},
        {"wrong checksum on line 7", six_records + ":040010003412CDAB2F\n" + kEnd, -7, 7},
        {"odd load offset", ":02000100AABB98\n" + kEnd, -7, 1},
        {"odd load offset, sum of the halved offset", ":02000100AABB99\n" + kEnd, -7, 1},
        {"odd byte count", kData + ":03000000AABB99\n" + kEnd, -7, 2},
        {"wrong checksum on dropped data", ":0400000500000100F7\n" + kEnd, -7, 1},
        {"end-of-file record first", kEnd, -8, 1},
        {"end-of-file record with data first", ":0400000101020304F1\n", -8, 1},
        {"blank after the checksum", ":040010003412CDAB2E \n" + kEnd, -9, 1},
        {"lone CR", ":040010003412CDAB2E\r" + kEnd, -9, 1},
        {"CR at the end of the file", kData + ":00000001FF\r", -9, 2},
        {"two records on one line", ":040010003412CDAB2E" + kEnd, -9, 1},
        {"segment address record with data", ":020000021000EC\n" + kEnd, -6, 1},
        {"unknown type with data", ":0100000710E8\n" + kEnd, -6, 1},
        {"extended address without bytes", ":00000004FC\n" + kEnd, -6, 1},
        {"extended address of four bytes", ":0400000400010000F7\n" + kEnd, -6, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FilePtr file = streamOf(c.text);
        HexRecord stale{};
        HexRecord* head = &stale;  // whatever the head held is overwritten
        int line = 0;
        EXPECT_EQ(readHexFileLine(file.get(), &head, &line), c.code);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(head, nullptr);
        if (head != &stale) freeHexList(&head);
        file = streamOf(c.text);
        EXPECT_EQ(readHexFile(file.get(), &head), c.code);
        EXPECT_EQ(head, nullptr);
    }
    EXPECT_EQ(readHexLine(streamOf(kData).get(), nullptr), -3);
}

TEST(HexReader, KeepsRecordsInFileOrderAsWordsLowByteFirst) {
    const struct {
        std::string text;
        const char* list;
    } cases[] = {
        {":10001000341200000000000000000000000000009A\n" + kEnd, "0@8:1234 0 0 0 0 0 0 0"},
        {":040020007856FF3FD0\n" + kData + kEnd, "0@10:5678 3FFF|0@8:1234 ABCD"},
        {":040010003412cdab2e\r\n:00000001ff\r\n", "0@8:1234 ABCD"},
        {":040010003412CDAB2E\r\n:00000001FF", "0@8:1234 ABCD"},
        // The upper half is big-endian in the file, the word low byte first.
        {":020000040000FA\n:020000040001F9\n" + kData + kEnd, "4@0:0|4@0:100|0@8:1234 ABCD"},
        {":00010000FF\n:00001006EA\n" + kEnd, "0@80|6@8"},
        // Start address records keep no data.
        {":0400000500000100F6\n:0400000300000100F8\n" + kData + ":0400000101020304F1\n",
         "5@0|3@0|0@8:1234 ABCD"},
    };
    for (const auto& c : cases) {
        FilePtr file = streamOf(c.text + (c.text.back() == '\n' ? "garbage" : ""));
        HexRecord* head = nullptr;
        int line = 0;
        EXPECT_EQ(readHexFileLine(file.get(), &head, &line), 0) << c.text;
        EXPECT_EQ(described(head), c.list) << c.text;
        freeHexList(&head);
        EXPECT_EQ(head, nullptr);
        // Nothing after the end-of-file record is read.
        EXPECT_EQ(std::ftell(file.get()), static_cast<long>(c.text.size())) << c.text;
        EXPECT_EQ(line, std::count(c.text.begin(), c.text.end(), ':')) << c.text;
    }
}

TEST(HexReader, ReadsDigitsBytesAndWords) {
    FilePtr file = streamOf("0aF9x12345678x");
    EXPECT_EQ(readHexDigit(file.get()), 0);
    EXPECT_EQ(readHexDigit(file.get()), 10);
    EXPECT_EQ(readHexByte(file.get()), 0xF9);
    EXPECT_EQ(readHexDigit(file.get()), -2);
    EXPECT_EQ(readHexWord(file.get(), 0), 0x1234);
    EXPECT_EQ(readHexWord(file.get(), 1), 0x7856);
    EXPECT_EQ(readHexByte(file.get()), -2);  // the first digit's fault wins
    EXPECT_EQ(readHexDigit(file.get()), -1);
}

TEST(HexList, StartsEmptyAndLooksWordsUpInTheFirstCoveringRecord) {
    HexRecord* head = allocateHexMemory();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(described(head), "0@0");
    EXPECT_EQ(head->next, nullptr);
    freeHexList(&head);
    freeHexList(nullptr);
    // Words 8, 9 from the first record; 0x10, 0x11 and an overlap at 9..10.
    FilePtr file = streamOf(kData + ":040020007856FF3FD0\n:040012001111222284\n" + kEnd);
    ASSERT_EQ(readHexFile(file.get(), &head), 0);
    const int addresses[] = {8, 9, 10, 0x11, 7, 11, -1},
              words[] = {0x1234, 0xABCD, 0x2222, 0x3FFF, -1, -1, -1};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(getWordFromHex(addresses[i], head), words[i]) << addresses[i];
    EXPECT_EQ(getWordFromHex(8, nullptr), -1);
    freeHexList(&head);
}

TEST(HexError, MapsEveryCodeToItsMessage) {
    std::string messages;
    for (int code = 1; code >= -10; --code) messages += std::string(getHexError(code)) + "|";
    EXPECT_EQ(messages,
              "Unknown error|Unknown error|Unexpected end of file|Character was not a hex digit|"
              "The hex pointer was not NULL|The first chacrter of each line must be a :|"
              "Ran out of memory|The record type identifier was invalid|Checksum validation failed|"
              "File contained no records|The line was longer that expected|Unknown error|");
}

}  // namespace
