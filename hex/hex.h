// Intel HEX image: the reader that turns a file into the hex list of word
// records, and the writer that prints words back as Intel HEX.
#pragma once

#include <cstdint>
#include <cstdio>

// One record of the file, converted to words: byte addresses and counts are
// halved, and each pair of data bytes is one word, first byte low.
struct HexRecord {
    int32_t* data;    // count words, or null when the record carries none
    int32_t count;    // number of words
    int32_t address;  // word address (load offset / 2)
    int32_t type;     // record type: 00 data, 04 extended linear address, ...
    HexRecord* next;  // following record of the file, or null
};

// The reader's error codes; getHexError gives their text.
namespace hex_error {
constexpr int kEndOfFile = -1;
constexpr int kNotHexDigit = -2;
constexpr int kNoRecord = -3;
constexpr int kNoColon = -4;
constexpr int kOutOfMemory = -5;
constexpr int kInvalidType = -6;
constexpr int kBadChecksum = -7;
constexpr int kNoRecords = -8;
constexpr int kLineTooLong = -9;
}  // namespace hex_error

// Reads the whole file into a new list at *head. 0 on success; a negative
// error code (see getHexError) with *head null otherwise.
int readHexFile(FILE* stream, HexRecord** head);
// As readHexFile; *line receives the 1-based number of the line on which
// reading stopped (on failure, the line of the faulty record). line may be
// null.
int readHexFileLine(FILE* stream, HexRecord** head, int* line);
// Reads one record into record: 1 after an end-of-file record, 0 after any
// other, or a negative error code.
int readHexLine(FILE* stream, HexRecord* record);
// Value 0..15 of the next character; -1 at end of file, -2 for a non-digit.
int readHexDigit(FILE* stream);
// 0..255 from the next two digits, or the failing digit's code.
int readHexByte(FILE* stream);
// 0..0xFFFF from the next four digits; low_first 0 reads the high byte first.
int readHexWord(FILE* stream, int low_first);
// A fresh, empty record, or null.
HexRecord* allocateHexMemory();
// Releases every record from *head on; *head is null afterwards.
void freeHexList(HexRecord** head);
// The message for an error code; "Unknown error" for any other value.
const char* getHexError(int code);
// The word stored at the word address by the first record covering it, or -1.
int getWordFromHex(int address, HexRecord* list);

// A walk over the data records (type 00) of a hex list in file order. Each
// comes with the absolute word address it stands for: the upper half of its
// byte address is set by the last extended linear address record before it,
// so data above 64 KiB is never folded onto low addresses.
struct HexDataCursor {
    const HexRecord* next;  // where the walk goes on
    uint32_t upper;         // upper 16 bits of the byte address in force
    int extended;           // 1 when an extended linear address record came
                            // between the last two data records returned
};
HexDataCursor hexDataCursor(const HexRecord* list);
// The next data record with its word address in *address; null at the end.
const HexRecord* nextHexData(HexDataCursor* cursor, uint32_t* address);

// Prints the record's words as data records of at most 8 words, then the
// end-of-file record when end is non-zero. Word addresses from 0x8000 up are
// preceded by extended linear address records where the upper half changes.
void HEXprint(FILE* stream, HexRecord* record, int end);
// Prints value (0..255) as two upper-case digits and adds it to *sum.
void hexByte(FILE* stream, int* sum, int value);
