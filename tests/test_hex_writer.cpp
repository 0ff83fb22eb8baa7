#include <gtest/gtest.h>

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

std::string contentsOf(FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

std::string printedRecord(HexRecord record, int end) {
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    HEXprint(file.get(), &record, end);
    return contentsOf(file.get());
}

// Prints each (address, words) pair with its own HEXprint call, the last with
// the end-of-file record when end is set, and returns the text.
std::string printed(const std::vector<std::pair<int32_t, std::vector<int32_t>>>& records,
                    int end = 1) {
    std::string text;
    for (size_t i = 0; i < records.size(); ++i) {
        std::vector<int32_t> words = records[i].second;
        HexRecord record{words.empty() ? nullptr : words.data(), static_cast<int32_t>(words.size()),
                         records[i].first, 0, nullptr};
        text += printedRecord(record, i + 1 == records.size() ? end : 0);
    }
    return text;
}

TEST(HexWriter, PrintsWordsLowByteFirst) {
    EXPECT_EQ(printed({{0, {0x1234, 0x00AB}}}, 0), ":040000003412AB000B\n");
}

TEST(HexWriter, SplitsIntoLinesOfEightWords) {
    EXPECT_EQ(printed({{0x10, std::vector<int32_t>(9, 0x3FFF)}}, 0),
              ":10002000FF3FFF3FFF3FFF3FFF3FFF3FFF3FFF3FE0\n"
              ":02003000FF3F90\n");
}

TEST(HexWriter, AppendsTheEndRecordOnlyWhenAsked) {
    EXPECT_EQ(printed({{0, {0x1234}}}, 1), ":020000003412B8\n:00000001FF\n");
    EXPECT_EQ(printed({{0, {0x1234}}}, 0), ":020000003412B8\n");
}

TEST(HexWriter, PrintsNoDataLineForAnEmptyRecord) {
    int32_t word = 0x1234;
    EXPECT_EQ(printedRecord({nullptr, 0, 0x10, 0, nullptr}, 1), ":00000001FF\n");
    EXPECT_EQ(printedRecord({&word, -3, 0x10, 0, nullptr}, 0), "");
    EXPECT_EQ(printedRecord({nullptr, 5, 0x10, 0, nullptr}, 0), "");  // nothing to print
}

TEST(HexWriter, SetsTheUpperHalfAboveWordAddress8000AndResetsIt) {
    EXPECT_EQ(printed({{0x8000, {0x1234}}}),
              ":020000040001F9\n"
              ":020000003412B8\n"
              ":020000040000FA\n"
              ":00000001FF\n");
}

TEST(HexWriter, SplitsALineAtA64KiBBoundary) {
    EXPECT_EQ(printed({{0x7FFE, {1, 2, 3, 4}}}, 0),
              ":04FFFC0001000200FE\n"
              ":020000040001F9\n"
              ":0400000003000400F5\n"
              ":020000040000FA\n");
    EXPECT_EQ(printed({{0x091A7FFF, {0xBEEF, 0xCAFE}}}, 0),
              ":020000041234B4\n"
              ":02FFFE00EFBE54\n"
              ":020000041235B3\n"
              ":02000000FECA36\n"
              ":020000040000FA\n");
}

TEST(HexWriter, HexByteKeepsTwoUpperCaseDigitsAndTheSum) {
    FilePtr file(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(file);
    int sum = 5;
    hexByte(file.get(), &sum, 0xAB);
    hexByte(file.get(), &sum, 0x07);
    EXPECT_EQ(contentsOf(file.get()), "AB07");
    EXPECT_EQ(sum, 5 + 0xAB + 0x07);
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
    FilePtr file(std::tmpfile(), &std::fclose);
    if (!file) {
        ADD_FAILURE() << "no temporary file";
        return result;
    }
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    HexRecord* head = nullptr;
    result.status = readHexFile(file.get(), &head);
    int64_t upper = 0;
    for (const HexRecord* record = head; record != nullptr; record = record->next) {
        if (record->type == 4 && record->count == 1) {
            // The file holds the upper half high byte first; the word low byte first.
            const int32_t word = record->data[0];
            upper = ((word & 0xFF) << 8) | ((word >> 8) & 0xFF);
        } else if (record->type == 0) {
            result.longest_data_record = std::max(result.longest_data_record, record->count);
            if (2 * (record->address + record->count) > 0x10000) {
                result.crosses_64k = true;
            }
            for (int32_t i = 0; i < record->count; ++i) {
                result.words.emplace_back(upper * 0x8000 + record->address + i, record->data[i]);
            }
        }
    }
    freeHexList(&head);
    return result;
}

int32_t randomWordAddress(std::mt19937& rng) {
    switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
        case 0:
            return std::uniform_int_distribution<int32_t>(0, 0x7FFF)(rng);
        case 1:
            return std::uniform_int_distribution<int32_t>(0, 0x3FFFF)(rng);
        case 2: {
            // Just below or on a 64 KiB boundary of byte addresses.
            int32_t boundary = 0x8000 * std::uniform_int_distribution<int32_t>(1, 40)(rng);
            return boundary - std::uniform_int_distribution<int32_t>(0, 12)(rng);
        }
        default:
            return std::uniform_int_distribution<int32_t>(0x7FFF0000, 0x7FFFFFD0)(rng);
    }
}

TEST(HexWriter, ReadsBackTheSameWordsAtTheSameAddresses) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int32_t> word(0, 0xFFFF);
    for (int iteration = 0; iteration < 400; ++iteration) {
        std::vector<std::pair<int32_t, std::vector<int32_t>>> records;
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
