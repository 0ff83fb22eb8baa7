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
    if (!file) {
        ADD_FAILURE() << "no temporary file";
        return 0;
    }
    return readHexFile(file.get(), &list.head);
}

int listLength(const HexRecord* record) {
    int length = 0;
    for (; record != nullptr; record = record->next) {
        ++length;
    }
    return length;
}

struct FailingInput {
    const char* what;
    std::string text;
    int code;
};

class HexReaderFailure : public ::testing::TestWithParam<FailingInput> {};

TEST_P(HexReaderFailure, ReportsTheFaultAndLeavesNoList) {
    FilePtr file = streamOf(GetParam().text);
    ASSERT_TRUE(file);
    HexRecord stale{};
    HexList list;
    list.head = &stale;  // whatever the head held is overwritten
    const int status = readHexFile(file.get(), &list.head);
    if (list.head == &stale) {
        list.head = nullptr;
        ADD_FAILURE() << "head not overwritten";
    }
    EXPECT_EQ(status, GetParam().code) << GetParam().what;
    EXPECT_EQ(list.head, nullptr) << GetParam().what;
}

const std::string kData = ":040010003412CDAB2E\n";
const std::string kEnd = ":00000001FF\n";

INSTANTIATE_TEST_SUITE_P(
    CorruptInputs, HexReaderFailure,
    ::testing::Values(
        FailingInput{"empty file", "", -4},
        FailingInput{"records without end-of-file record", kData, -4},
        FailingInput{"blank line between records", kData + "\n" + kEnd, -4},
        FailingInput{"leading blank", " " + kData + kEnd, -4},
        FailingInput{"LF CR line ends", ":040010003412CDAB2E\n\r" + kEnd, -4},
        FailingInput{"cut in the load offset", ":0400", -1},
        FailingInput{"cut in the data", ":040010003412C", -1},
        FailingInput{"cut in the checksum", ":040010003412CDAB2", -1},
        FailingInput{"cut in a later record", kData + ":04", -1},
        FailingInput{"G in the data", ":040010003412CGAB2E\n" + kEnd, -2},
        FailingInput{"line end inside a record", ":0400100034\n12CDAB2E\n" + kEnd, -2},
        FailingInput{"wrong checksum", ":040010003412CDAB2F\n" + kEnd, -7},
        FailingInput{"odd load offset", ":020011003412A7\n" + kEnd, -7},
        FailingInput{"odd byte count", ":030010003412A8FF\n" + kEnd, -9},
        FailingInput{"odd byte count, bad sum", ":0300100034125651\n" + kEnd, -7},
        FailingInput{"wrong checksum on dropped data", ":0400000500000100F7\n" + kEnd, -7},
        FailingInput{"end-of-file record first", kEnd, -8},
        FailingInput{"end-of-file record with data first", ":0400000101020304F1\n", -8},
        FailingInput{"blank after the checksum", ":040010003412CDAB2E \n" + kEnd, -9},
        FailingInput{"lone CR", ":040010003412CDAB2E\r" + kEnd, -9},
        FailingInput{"CR at the end of the file", kData + ":00000001FF\r", -9},
        FailingInput{"two records on one line", ":040010003412CDAB2E" + kEnd, -9},
        FailingInput{"segment address record with data", ":020000021000EC\n" + kEnd, -6},
        FailingInput{"unknown type with data", ":0100000710E8\n" + kEnd, -6}));

TEST(HexReader, RefusesToFillNoRecord) {
    FilePtr file = streamOf(kData);
    ASSERT_TRUE(file);
    EXPECT_EQ(readHexLine(file.get(), nullptr), -3);
}

TEST(HexReader, ConvertsBytesToWordsLowByteFirst) {
    HexList list;
    ASSERT_EQ(readText(":10001000341200000000000000000000000000009A\n" + kEnd, list), 0);
    ASSERT_NE(list.head, nullptr);
    EXPECT_EQ(list.head->type, 0);
    EXPECT_EQ(list.head->address, 8);
    ASSERT_EQ(list.head->count, 8);
    EXPECT_EQ(list.head->data[0], 0x1234);
    for (int i = 1; i < 8; ++i) {
        EXPECT_EQ(list.head->data[i], 0);
    }
    EXPECT_EQ(list.head->next, nullptr);
}

TEST(HexReader, KeepsRecordsInFileOrderWithoutTheEndRecord) {
    HexList list;
    ASSERT_EQ(readText(":040020007856FF3FD0\n" + kData + kEnd, list), 0);
    ASSERT_EQ(listLength(list.head), 2);
    EXPECT_EQ(list.head->address, 0x10);
    EXPECT_EQ(list.head->data[0], 0x5678);
    EXPECT_EQ(list.head->data[1], 0x3FFF);
    EXPECT_EQ(list.head->next->address, 8);
    EXPECT_EQ(list.head->next->data[1], 0xABCD);
}

TEST(HexReader, AcceptsLineEndVariants) {
    const std::string inputs[] = {
        kData + kEnd,
        ":040010003412cdab2e\r\n:00000001ff\r\n",
        kData + ":00000001FF",
        ":040010003412CDAB2E\r\n:00000001FF\n",
    };
    for (const std::string& text : inputs) {
        HexList list;
        EXPECT_EQ(readText(text, list), 0) << text;
        ASSERT_EQ(listLength(list.head), 1) << text;
        EXPECT_EQ(list.head->data[1], 0xABCD) << text;
    }
}

TEST(HexReader, KeepsExtendedLinearAddressRecordWithItsWord) {
    HexList list;
    ASSERT_EQ(readText(":020000040000FA\n:020000040001F9\n" + kData + kEnd, list), 0);
    ASSERT_EQ(listLength(list.head), 3);
    EXPECT_EQ(list.head->type, 4);
    EXPECT_EQ(list.head->address, 0);
    ASSERT_EQ(list.head->count, 1);
    EXPECT_EQ(list.head->data[0], 0);
    // The upper half is big-endian in the file, the word low byte first.
    ASSERT_EQ(list.head->next->count, 1);
    EXPECT_EQ(list.head->next->data[0], 0x0100);
}

TEST(HexReader, KeepsEmptyRecordsWithoutData) {
    HexList list;
    ASSERT_EQ(readText(":00010000FF\n:00001006EA\n" + kEnd, list), 0);
    ASSERT_EQ(listLength(list.head), 2);
    EXPECT_EQ(list.head->type, 0);
    EXPECT_EQ(list.head->address, 0x80);
    EXPECT_EQ(list.head->count, 0);
    EXPECT_EQ(list.head->data, nullptr);
    EXPECT_EQ(list.head->next->type, 6);
    EXPECT_EQ(list.head->next->address, 8);
    EXPECT_EQ(list.head->next->data, nullptr);
}

TEST(HexReader, DropsTheDataOfStartAddressRecords) {
    HexList list;
    ASSERT_EQ(
        readText(":0400000500000100F6\n:0400000300000100F8\n" + kData + ":0400000101020304F1\n",
                 list),
        0);
    ASSERT_EQ(listLength(list.head), 3);
    for (const HexRecord* record : {list.head, list.head->next}) {
        EXPECT_EQ(record->count, 0);
        EXPECT_EQ(record->data, nullptr);
    }
    EXPECT_EQ(list.head->type, 5);
    EXPECT_EQ(list.head->next->type, 3);
}

TEST(HexReader, ReadsNothingAfterTheEndRecord) {
    FilePtr file = streamOf(kData + kEnd + "garbage");
    ASSERT_TRUE(file);
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

TEST(HexList, FreeingClearsTheHeadAndToleratesAnEmptyList) {
    HexRecord* head = allocateHexMemory();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->data, nullptr);
    EXPECT_EQ(head->count, 0);
    EXPECT_EQ(head->address, 0);
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
    EXPECT_EQ(getWordFromHex(8, list.head), 0x1234);
    EXPECT_EQ(getWordFromHex(9, list.head), 0xABCD);
    EXPECT_EQ(getWordFromHex(10, list.head), 0x2222);
    EXPECT_EQ(getWordFromHex(0x11, list.head), 0x3FFF);
    EXPECT_EQ(getWordFromHex(7, list.head), -1);
    EXPECT_EQ(getWordFromHex(11, list.head), -1);
    EXPECT_EQ(getWordFromHex(-1, list.head), -1);
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
    for (const auto& [code, message] : table) {
        EXPECT_STREQ(getHexError(code), message) << code;
    }
}

}  // namespace
