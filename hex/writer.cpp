// Intel HEX writer: prints the words of one record back as data records, the
// inverse of the reader's conversion (word addresses doubled, each word as
// its low byte then its high byte).

#include <algorithm>
#include <cstdint>

#include "hex/hex.h"

namespace {

constexpr int32_t kWordsPerLine = 8;
constexpr uint32_t kSegmentBytes = 0x10000;

uint32_t upperHalf(uint32_t byte_address) {
    return byte_address >> 16;
}

// A load offset has only 16 bits: data above 64 KiB needs an extended linear
// address record to set the upper half of the byte address first.
void printExtendedLinearAddress(FILE* stream, uint32_t upper) {
    int sum = 0;
    std::fputc(':', stream);
    hexByte(stream, &sum, 2);
    hexByte(stream, &sum, 0);
    hexByte(stream, &sum, 0);
    hexByte(stream, &sum, 4);
    hexByte(stream, &sum, static_cast<int>(upper >> 8));
    hexByte(stream, &sum, static_cast<int>(upper & 0xFF));
    hexByte(stream, &sum, -sum & 0xFF);
    std::fputc('\n', stream);
}

void printDataLine(FILE* stream, uint32_t byte_address, const int32_t* words, int32_t n) {
    int sum = 0;
    std::fputc(':', stream);
    hexByte(stream, &sum, 2 * n);
    const unsigned offset = byte_address & 0xFFFF;
    std::fprintf(stream, "%04X", offset);
    sum += static_cast<int>((offset >> 8) + (offset & 0xFF));
    hexByte(stream, &sum, 0);
    for (int32_t i = 0; i < n; ++i) {
        hexByte(stream, &sum, words[i] & 0xFF);
        hexByte(stream, &sum, (words[i] >> 8) & 0xFF);
    }
    hexByte(stream, &sum, -sum & 0xFF);
    std::fputc('\n', stream);
}

}  // namespace

void hexByte(FILE* stream, int* sum, int value) {
    // Masked so that a stray value can never widen the field and shift the line.
    value &= 0xFF;
    std::fprintf(stream, "%02X", static_cast<unsigned>(value));
    *sum += value;
}

void HEXprint(FILE* stream, HexRecord* record, int end) {
    if (record != nullptr && record->data != nullptr) {
        // Byte addresses are kept unsigned: twice a word address near the top
        // of the int range does not fit an int.
        uint32_t byte_address = static_cast<uint32_t>(record->address) * 2;
        const int32_t* words = record->data;
        int32_t remaining = record->count;
        // Every call starts, and leaves the stream, at upper half 0, so that
        // calls can be chained and the end-of-file record needs no context.
        uint32_t upper = 0;
        while (remaining > 0) {
            if (upperHalf(byte_address) != upper) {
                upper = upperHalf(byte_address);
                printExtendedLinearAddress(stream, upper);
            }
            // A line never crosses a 64 KiB boundary, since its load offset
            // would wrap while the data went on.
            const uint32_t room = (kSegmentBytes - (byte_address & 0xFFFF)) / 2;
            const int32_t n = std::min({remaining, kWordsPerLine, static_cast<int32_t>(room)});
            printDataLine(stream, byte_address, words, n);
            words += n;
            remaining -= n;
            byte_address += 2 * static_cast<uint32_t>(n);
        }
        if (upper != 0) {
            printExtendedLinearAddress(stream, 0);
        }
    }
    if (end) {
        std::fputs(":00000001FF\n", stream);
    }
}
