#include <gtest/gtest.h>

#include <optional>

#include "hex/hex.h"

namespace {

using FilePtr = std::unique_ptr<FILE, decltype(&std::fclose)>;
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
    // A line never crosses a 64 KiB boundary, and the upper half is back at 0
    // when the words end.
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
