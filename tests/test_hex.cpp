#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

#include "hex/hex.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;

FilePtr streamOf(const std::string& text) {
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file || std::fputs(text.c_str(), file.get()) < 0) ADD_FAILURE() << "no temporary file";
    if (file) std::rewind(file.get());
    return file;
}

// The list as "type@address:word word ..." per record, records split by "|".
std::string described(const HexRecord* r) {
    std::ostringstream text;
    for (const char* separator = ""; r != nullptr; r = r->next, separator = "|") {
        text << separator << std::dec << r->type << "@" << std::hex << std::uppercase << r->address;
        for (int32_t i = 0; r->data != nullptr && i < r->count; ++i)
            text << (i == 0 ? ":" : " ") << r->data[i];
    }
    return text.str();
}

const std::string kData = ":040010003412CDAB2E\n";
const std::string kEnd = ":00000001FF\n";

TEST(HexReader, ReportsEachFaultAndItsLineAndLeavesNoList) {
    std::string six_records;
    for (int i = 0; i < 6; ++i) six_records += kData;
    using Row = std::tuple<std::string, int, int>;  // text, code, line
    const Row cases[] = {
        // No colon where a record should start.
        Row{"", -4, 1}, Row{kData, -4, 2}, Row{":040010003412CDAB2E\n\r" + kEnd, -4, 2},
        // Cut short, or no hex digit (the first fault of a byte wins).
        Row{":040010003412CDAB2", -1, 1}, Row{kData + ":04", -1, 2}, Row{":x", -2, 1},
        Row{":040010003412CGAB2E\n" + kEnd, -2, 1},
        // Checksums (of dropped data too), odd load offset (summed as halved) or byte count.
        Row{six_records + ":040010003412CDAB2F\n" + kEnd, -7, 7},
        Row{":0400000500000100F7\n" + kEnd, -7, 1}, Row{":02000100AABB99\n" + kEnd, -7, 1},
        Row{kData + ":03000000AABB99\n" + kEnd, -7, 2},
        // The end-of-file record first; more after a checksum.
        Row{kEnd, -8, 1}, Row{":0400000101020304F1\n", -8, 1},
        Row{":040010003412CDAB2E \n" + kEnd, -9, 1}, Row{":040010003412CDAB2E\r" + kEnd, -9, 1},
        Row{kData + ":00000001FF\r", -9, 2},
        // A segment base, an upper address half of other than two bytes.
        Row{":020000021000EC\n" + kEnd, -6, 1}, Row{":00000004FC\n" + kEnd, -6, 1},
        Row{":0400000400010000F7\n" + kEnd, -6, 1}};
    for (const auto& [text, code, expected_line] : cases) {
        HexRecord stale{};
        HexRecord* head = &stale;  // whatever the head held is overwritten
        int line = 0;
        const int result = readHexFileLine(streamOf(text).get(), &head, &line);
        EXPECT_EQ((std::tuple{result, line, head}),
                  (std::tuple<int, int, HexRecord*>{code, expected_line, nullptr}))
            << text;
    }
    EXPECT_EQ(readHexLine(streamOf(kData).get(), nullptr), -3);
}

TEST(HexReader, KeepsRecordsInFileOrderAsWordsLowByteFirst) {
    // The upper half of an address is big-endian in the file, the word low
    // byte first; start address records keep no data.
    const std::pair<std::string, const char*> cases[] = {
        {":10001000341200000000000000000000000000009A\n" + kEnd, "0@8:1234 0 0 0 0 0 0 0"},
        {":040020007856FF3FD0\n" + kData + kEnd, "0@10:5678 3FFF|0@8:1234 ABCD"},
        {":040010003412cdab2e\r\n:00000001ff", "0@8:1234 ABCD"},
        {":020000040000FA\n:020000040001F9\n" + kData + kEnd, "4@0:0|4@0:100|0@8:1234 ABCD"},
        {":00010000FF\n:00001006EA\n" + kEnd, "0@80|6@8"},
        {":0400000500000100F6\n:0400000300000100F8\n" + kData + ":0400000101020304F1\n",
         "5@0|3@0|0@8:1234 ABCD"}};
    for (const auto& [text, list] : cases) {
        FilePtr file = streamOf(text + (text.back() == '\n' ? "garbage" : ""));
        HexRecord* head = nullptr;
        int line = 0;
        EXPECT_EQ(readHexFileLine(file.get(), &head, &line), 0) << text;
        EXPECT_EQ(described(head), list) << text;
        freeHexList(&head);
        // Nothing after the end-of-file record is read.
        EXPECT_EQ(std::ftell(file.get()), static_cast<long>(text.size())) << text;
        EXPECT_EQ(line, std::count(text.begin(), text.end(), ':')) << text;
    }
}

TEST(HexList, StartsEmptyAndLooksWordsUpInTheFirstCoveringRecord) {
    HexRecord* head = allocateHexMemory();
    EXPECT_EQ(described(head), "0@0");
    freeHexList(&head);
    EXPECT_EQ(head, nullptr);
    freeHexList(nullptr);
    // Words 8, 9 from the first record; 0x10, 0x11 and an overlap at 9..10.
    FilePtr file = streamOf(kData + ":040020007856FF3FD0\n:040012001111222284\n" + kEnd);
    ASSERT_EQ(readHexFile(file.get(), &head), 0);
    std::vector<int> words;
    for (int address : {8, 9, 10, 0x11, 7, 11, -1}) words.push_back(getWordFromHex(address, head));
    EXPECT_EQ(words, (std::vector{0x1234, 0xABCD, 0x2222, 0x3FFF, -1, -1, -1}));
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

using Words = std::vector<int32_t>;

// What HEXprint writes for the words at the word address (count words, if given).
std::string printed(int32_t address, Words words, int end, std::optional<int32_t> count = {}) {
    HexRecord record{words.data(), count.value_or(int32_t(words.size())), address, 0, nullptr};
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file) return "no temporary file";
    HEXprint(file.get(), &record, end);
    std::string text(static_cast<size_t>(std::ftell(file.get())), '\0');
    std::rewind(file.get());
    return std::fread(text.data(), 1, text.size(), file.get()) == text.size() ? text : "short";
}

TEST(HexWriter, PrintsLinesOfEightWordsLowByteFirstWithUpperHalfRecords) {
    // A line never crosses a 64 KiB boundary, and the upper half is back at 0 when the words end.
    const std::tuple<int32_t, Words, int, const char*> cases[] = {
        {0, Words{0x1234, 0x00AB}, 0, ":040000003412AB000B\n"},
        {0x10, Words(9, 0x3FFF), 0,
         ":10002000FF3FFF3FFF3FFF3FFF3FFF3FFF3FFF3FE0\n:02003000FF3F90\n"},
        {0x10, Words{}, 1, ":00000001FF\n"},
        {0x7FFE, Words{1, 2, 3, 4}, 1,
         ":04FFFC0001000200FE\n:020000040001F9\n:0400000003000400F5\n"
         ":020000040000FA\n:00000001FF\n"},
        {0x091A7FFF, Words{0xBEEF, 0xCAFE}, 0,
         ":020000041234B4\n:02FFFE00EFBE54\n:020000041235B3\n"
         ":02000000FECA36\n:020000040000FA\n"},
        {0x7FFFFFD0, Words{0x1234}, 1,
         ":02000004FFFFFC\n:02FFA000341219\n:020000040000FA\n:00000001FF\n"}};
    for (const auto& [address, words, end, text] : cases)
        EXPECT_EQ(printed(address, words, end), text) << address;
    EXPECT_EQ(printed(0x10, {0x1234}, 1, -3), ":00000001FF\n");  // a count that is no words
}

}  // namespace
