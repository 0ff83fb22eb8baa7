#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "hex/hex.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;
using Records = std::vector<std::pair<int32_t, std::vector<int32_t>>>;

FilePtr tempFile(const std::string& text = "") {
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file) ADD_FAILURE() << "no temporary file";
    if (file) std::fwrite(text.data(), 1, text.size(), file.get());
    if (file) std::rewind(file.get());
    return file;
}

std::string contentsOf(FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
        text.push_back(static_cast<char>(c));
    return text;
}

// Prints each (address, words) pair with its own HEXprint call, the last with
// the end-of-file record when end is set, and returns the text.
std::string printed(const Records& records, int end = 1) {
    FilePtr file = tempFile();
    for (size_t i = 0; file && i < records.size(); ++i) {
        std::vector<int32_t> words = records[i].second;
        HexRecord record{words.empty() ? nullptr : words.data(), static_cast<int32_t>(words.size()),
                         records[i].first, 0, nullptr};
        HEXprint(file.get(), &record, i + 1 == records.size() ? end : 0);
    }
    return file ? contentsOf(file.get()) : "";
}

TEST(HexWriter, PrintsLinesOfEightWordsLowByteFirstWithUpperHalfRecords) {
    const struct {
        Records records;
        int end;
        const char* text;
    } cases[] = {
        {{{0, {0x1234, 0x00AB}}}, 0, ":040000003412AB000B\n"},
        {{{0x10, std::vector<int32_t>(9, 0x3FFF)}},
         0,
         ":10002000FF3FFF3FFF3FFF3FFF3FFF3FFF3FFF3FE0\n:02003000FF3F90\n"},
        {{{0, {0x1234}}}, 1, ":020000003412B8\n:00000001FF\n"},
        {{{0x10, {}}}, 1, ":00000001FF\n"},
        {{{0x8000, {0x1234}}},
         1,
         ":020000040001F9\n:020000003412B8\n:020000040000FA\n:00000001FF\n"},
        // A line never crosses a 64 KiB boundary.
        {{{0x7FFE, {1, 2, 3, 4}}},
         0,
         ":04FFFC0001000200FE\n:020000040001F9\n:0400000003000400F5\n:020000040000FA\n"},
        {{{0x091A7FFF, {0xBEEF, 0xCAFE}}},
         0,
         ":020000041234B4\n:02FFFE00EFBE54\n:020000041235B3\n:02000000FECA36\n:020000040000FA\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(printed(c.records, c.end), c.text);

    int32_t word = 0x1234;  // counts that are no words print nothing
    for (HexRecord record :
         {HexRecord{&word, -3, 0x10, 0, nullptr}, HexRecord{nullptr, 5, 0x10, 0, nullptr}}) {
        FilePtr file = tempFile();
        HEXprint(file.get(), &record, 0);
        EXPECT_EQ(contentsOf(file.get()), "");
    }
}

// What the reader gave back, as (effective word address, word) in file order.
struct ReadBack {
    int status = 0;
    std::vector<std::pair<int64_t, int32_t>> words;
    int longest_data_record = 0;
    bool crosses_64k = false;
};

ReadBack readBack(const std::string& text) {
    ReadBack result;
    FilePtr file = tempFile(text);
    HexRecord* head = nullptr;
    result.status = file ? readHexFile(file.get(), &head) : 9999;
    int64_t upper = 0;
    for (const HexRecord* record = head; record != nullptr; record = record->next) {
        if (record->type == 4 && record->count == 1) {
            // The file holds the upper half high byte first; the word low byte first.
            upper = ((record->data[0] & 0xFF) << 8) | ((record->data[0] >> 8) & 0xFF);
        } else if (record->type == 0) {
            result.longest_data_record = std::max(result.longest_data_record, record->count);
            result.crosses_64k |= 2 * (record->address + record->count) > 0x10000;
            for (int32_t i = 0; i < record->count; ++i)
                result.words.emplace_back(upper * 0x8000 + record->address + i, record->data[i]);
        }
    }
    freeHexList(&head);
    return result;
}

int32_t randomWordAddress(std::mt19937& rng) {
    const auto between = [&rng](int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(rng);
    };
    const int kind = between(0, 3);
    if (kind == 0) return between(0, 0x7FFF);
    if (kind == 1) return between(0, 0x3FFFF);
    if (kind == 2) return between(0x7FFF0000, 0x7FFFFFD0);
    const int32_t boundary = 0x8000 * between(1, 40);  // at or just below a 64 KiB boundary
    return boundary - between(0, 12);
}

TEST(HexWriter, ReadsBackTheSameWordsAtTheSameAddresses) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int32_t> word(0, 0xFFFF);
    for (int iteration = 0; iteration < 400; ++iteration) {
        Records records;
        std::vector<std::pair<int64_t, int32_t>> expected;
        const int record_count = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int r = 0; r < record_count; ++r) {
            const int32_t address = randomWordAddress(rng);
            std::vector<int32_t> words(std::uniform_int_distribution<int>(0, 40)(rng));
            for (size_t i = 0; i < words.size(); ++i) {
                words[i] = word(rng);
                expected.emplace_back(int64_t{address} + static_cast<int64_t>(i), words[i]);
            }
            records.emplace_back(address, std::move(words));
        }
        const std::string text = printed(records);
        const ReadBack back = readBack(text);
        if (expected.empty()) {
            EXPECT_EQ(back.status, -8) << text;
            continue;
        }
        ASSERT_EQ(back.status, 0) << getHexError(back.status) << "\n" << text;
        EXPECT_EQ(back.words, expected) << text;
        EXPECT_LE(back.longest_data_record, 8) << text;
        EXPECT_FALSE(back.crosses_64k) << text;
    }
}

}  // namespace
