#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "hex/hex.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;

FilePtr streamOf(const std::string& text) {
    FilePtr file(std::tmpfile(), &std::fclose);
    if (file) {
        std::fwrite(text.data(), 1, text.size(), file.get());
        std::rewind(file.get());
    }
    return file;
}

// Owns a list read in a test, so that no failing assertion leaks it.
struct HexList {
    HexRecord* head = nullptr;
    ~HexList() { freeHexList(&head); }
};

int readText(const std::string& text, HexList& list) {
    FilePtr file = streamOf(text);
    return file ? readHexFile(file.get(), &list.head) : 9999;
}

// The list as "type@address:word word ..." per record, records split by "|";
// a record without words ends at "@address".
std::string described(const HexRecord* record) {
    std::string text;
    char part[32];
    for (; record != nullptr; record = record->next) {
        std::snprintf(part, sizeof part, "%s%d@%X", text.empty() ? "" : "|",
                      static_cast<int>(record->type), static_cast<unsigned>(record->address));
        text += part;
        if ((record->data == nullptr) != (record->count == 0)) text += "!";  // never valid
        for (int32_t i = 0; record->data != nullptr && i < record->count; ++i) {
            std::snprintf(part, sizeof part, "%c%X", i == 0 ? ':' : ' ',
                          static_cast<unsigned>(record->data[i]));
            text += part;
        }
    }
    return text;
}

const std::string kData = ":040010003412CDAB2E\n";
const std::string kEnd = ":00000001FF\n";

TEST(HexReader, ReportsEachFaultAndLeavesNoList) {
    const struct {
        const char* what;
        std::string text;
        int code;
    } cases[] = {
        {"empty file", "", -4},
        {"records without end-of-file record", kData, -4},
        {"blank line between records", kData + "\n" + kEnd, -4},
        {"leading blank", " " + kData + kEnd, -4},
        {"LF CR line ends", ":040010003412CDAB2E\n\r" + kEnd, -4},
        {"cut in the load offset", ":0400", -1},
        {"cut in the data", ":040010003412C", -1},
        {"cut in the checksum", ":040010003412CDAB2", -1},
        {"cut in a later record", kData + ":04", -1},
        {"G in the data", ":040010003412CGAB2E\n" + kEnd, -2},
        {"line end inside a record", ":0400100034\n12CDAB2E\n" + kEnd, -2},
        {"wrong checksum", ":040010003412CDAB2F\n" + kEnd, -7},
        {"odd load offset", ":020011003412A7\n" + kEnd, -7},
        {"odd byte count", ":030010003412A8FF\n" + kEnd, -9},
        {"odd byte count, bad sum", ":0300100034125651\n" + kEnd, -7},
        {"wrong checksum on dropped data", ":0400000500000100F7\n" + kEnd, -7},
        {"end-of-file record first", kEnd, -8},
        {"end-of-file record with data first", ":0400000101020304F1\n", -8},
        {"blank after the checksum", ":040010003412CDAB2E \n" + kEnd, -9},
        {"lone CR", ":040010003412CDAB2E\r" + kEnd, -9},
        {"CR at the end of the file", kData + ":00000001FF\r", -9},
        {"two records on one line", ":040010003412CDAB2E" + kEnd, -9},
        {"segment address record with data", ":020000021000EC\n" + kEnd, -6},
        {"unknown type with data", ":0100000710E8\n" + kEnd, -6},
    };
    for (const auto& c : cases) {
        FilePtr file = streamOf(c.text);
        ASSERT_TRUE(file);
        HexRecord stale{};
        HexRecord* head = &stale;  // whatever the head held is overwritten
        EXPECT_EQ(readHexFile(file.get(), &head), c.code) << c.what;
        EXPECT_EQ(head, nullptr) << c.what;
        if (head != &stale) freeHexList(&head);
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
        {kData + ":00000001FF", "0@8:1234 ABCD"},
        {":040010003412CDAB2E\r\n:00000001FF\n", "0@8:1234 ABCD"},
        // The upper half is big-endian in the file, the word low byte first.
        {":020000040000FA\n:020000040001F9\n" + kData + kEnd, "4@0:0|4@0:100|0@8:1234 ABCD"},
        {":00010000FF\n:00001006EA\n" + kEnd, "0@80|6@8"},
        // Start address records keep no data.
        {":0400000500000100F6\n:0400000300000100F8\n" + kData + ":0400000101020304F1\n",
         "5@0|3@0|0@8:1234 ABCD"},
    };
    for (const auto& c : cases) {
        HexList list;
        EXPECT_EQ(readText(c.text, list), 0) << c.text;
        EXPECT_EQ(described(list.head), c.list) << c.text;
    }
}

TEST(HexReader, ReadsNothingAfterTheEndRecord) {
    FilePtr file = streamOf(kData + kEnd + "garbage");
    HexList list;
    ASSERT_EQ(readHexFile(file.get(), &list.head), 0);
    EXPECT_EQ(std::ftell(file.get()), static_cast<long>((kData + kEnd).size()));
}

TEST(HexReader, ReadsDigitsBytesAndWords) {
    FilePtr file = streamOf("0aF9x12345678x1");
    ASSERT_TRUE(file);
    EXPECT_EQ(readHexDigit(file.get()), 0);
    EXPECT_EQ(readHexDigit(file.get()), 10);
    EXPECT_EQ(readHexByte(file.get()), 0xF9);
    EXPECT_EQ(readHexDigit(file.get()), -2);
    EXPECT_EQ(readHexWord(file.get(), 0), 0x1234);
    EXPECT_EQ(readHexWord(file.get(), 1), 0x7856);
    EXPECT_EQ(readHexByte(file.get()), -2);  // the first digit's fault wins
    EXPECT_EQ(readHexDigit(file.get()), -1);
}

TEST(HexList, StartsEmptyAndFreeingClearsTheHead) {
    HexRecord* head = allocateHexMemory();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(described(head), "0@0");
    EXPECT_EQ(head->next, nullptr);
    freeHexList(&head);
    EXPECT_EQ(head, nullptr);
    freeHexList(&head);
    freeHexList(nullptr);
}

TEST(HexList, WordLookupTakesTheFirstCoveringRecord) {
    HexList list;
    // Words 8, 9 from the first record; 0x10, 0x11 and an overlap at 9..10.
    ASSERT_EQ(readText(kData + ":040020007856FF3FD0\n:040012001111222284\n" + kEnd, list), 0);
    for (auto [address, word] :
         {std::pair{8, 0x1234}, std::pair{9, 0xABCD}, std::pair{10, 0x2222},
          std::pair{0x11, 0x3FFF}, std::pair{7, -1}, std::pair{11, -1}, std::pair{-1, -1}})
        EXPECT_EQ(getWordFromHex(address, list.head), word) << address;
    EXPECT_EQ(getWordFromHex(8, nullptr), -1);
}

TEST(HexError, MapsEveryCodeToItsMessage) {
    const std::pair<int, const char*> table[] = {
        {-1, "Unexpected end of file"},
        {-2, "Character was not a hex digit"},
        {-3, "The hex pointer was not NULL"},
        {-4, "The first chacrter of each line must be a :"},
        {-5, "Ran out of memory"},
        {-6, "The record type identifier was invalid"},
        {-7, "Checksum validation failed"},
        {-8, "File contained no records"},
        {-9, "The line was longer that expected"},
        {0, "Unknown error"},
        {1, "Unknown error"},
        {-10, "Unknown error"},
    };
    for (const auto& [code, message] : table) EXPECT_STREQ(getHexError(code), message) << code;
}

}  // namespace
