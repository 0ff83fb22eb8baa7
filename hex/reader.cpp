// Intel HEX reader: parses a strict subset of Intel HEX into the hex list of
// word records. Every fault ends the read at once and is reported as one of
// the negative codes that getHexError explains.

#include <array>
#include <cstdlib>
#include <cstring>

#include "hex/hex.h"

namespace {

using namespace hex_error;

constexpr int kTypeData = 0x00;
constexpr int kTypeEndOfFile = 0x01;
constexpr int kTypeExtendedLinear = 0x04;

// The byte count is one byte, so a record never carries more words.
constexpr int kMaxWords = 127;

bool carriesWords(int type) {
    return type == kTypeData || type == kTypeExtendedLinear;
}

// Start-address records (end of file, start segment and start linear address)
// of common toolchains carry bytes the programmer has no use for: they are
// read for the checksum and dropped. Any other unknown type with data may
// carry meaning the programming passes would silently ignore (a segment base,
// for one), so it is refused.
bool droppableData(int type) {
    return type == kTypeEndOfFile || type == 0x03 || type == 0x05;
}

// Accepts LF, CR LF, or the end of the file straight after the checksum.
int readLineEnd(FILE* stream) {
    int c = std::fgetc(stream);
    if (c == EOF) {
        return 0;
    }
    if (c == '\r') {
        int after = std::fgetc(stream);
        if (after != EOF) {
            c = after;
        }
    }
    return c == '\n' ? 0 : kLineTooLong;
}

}  // namespace

int readHexDigit(FILE* stream) {
    int c = std::fgetc(stream);
    if (c == EOF && std::feof(stream)) {
        return kEndOfFile;
    }
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return kNotHexDigit;
}

// Both halves are always read, so that a fault consumes the same characters
// wherever it lies; the first failing half's code is reported.
int readHexByte(FILE* stream) {
    const int high = readHexDigit(stream);
    const int low = readHexDigit(stream);
    if (high < 0) {
        return high;
    }
    if (low < 0) {
        return low;
    }
    return (high << 4) | low;
}

int readHexWord(FILE* stream, int low_first) {
    const int first = readHexByte(stream);
    const int second = readHexByte(stream);
    if (first < 0) {
        return first;
    }
    if (second < 0) {
        return second;
    }
    return low_first ? (second << 8) | first : (first << 8) | second;
}

int readHexLine(FILE* stream, HexRecord* record) {
    if (record == nullptr) {
        return kNoRecord;
    }
    record->next = nullptr;
    if (std::fgetc(stream) != ':') {
        return kNoColon;
    }

    int byte_count = readHexByte(stream);
    if (byte_count < 0) {
        return byte_count;
    }
    int offset = readHexWord(stream, 0);
    if (offset < 0) {
        return offset;
    }
    int type = readHexByte(stream);
    if (type < 0) {
        return type;
    }

    // Words are whole byte pairs at even byte addresses: an odd byte count
    // would leave its last data byte to be taken for the checksum, and an odd
    // load offset would be folded onto the word below. A line that lost or
    // gained a byte must never be programmed, so both are refused outright.
    if (carriesWords(type) && (byte_count % 2 != 0 || offset % 2 != 0)) {
        return kBadChecksum;
    }
    // An extended linear address record gives the upper half of every address
    // after it, which takes exactly two bytes.
    if (type == kTypeExtendedLinear && byte_count != 2) {
        return kInvalidType;
    }
    const int count = carriesWords(type) ? byte_count / 2 : 0;
    const int address = offset / 2;
    int sum = (2 * count) + ((2 * address) >> 8) + ((2 * address) & 0xFF) + type;

    std::array<int32_t, kMaxWords> words{};
    if (carriesWords(type)) {
        for (int i = 0; i < count; ++i) {
            int word = readHexWord(stream, 1);
            if (word < 0) {
                return word;
            }
            words[i] = word;
            sum += (word >> 8) + (word & 0xFF);
        }
    } else if (byte_count != 0) {
        if (!droppableData(type)) {
            return kInvalidType;
        }
        // Dropped data is summed as it stands in the file.
        sum += byte_count;
        for (int i = 0; i < byte_count; ++i) {
            int byte = readHexByte(stream);
            if (byte < 0) {
                return byte;
            }
            sum += byte;
        }
    }

    int checksum = readHexByte(stream);
    if (checksum < 0) {
        return checksum;
    }
    if ((sum + checksum) % 256 != 0) {
        return kBadChecksum;
    }
    if (int status = readLineEnd(stream); status != 0) {
        return status;
    }

    int32_t* data = nullptr;
    if (count > 0) {
        data = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * count));
        if (data == nullptr) {
            return kOutOfMemory;
        }
        std::memcpy(data, words.data(), sizeof(int32_t) * count);
    }
    record->data = data;
    record->count = count;
    record->address = address;
    record->type = type;
    return type == kTypeEndOfFile ? 1 : 0;
}

HexRecord* allocateHexMemory() {
    auto* record = static_cast<HexRecord*>(std::malloc(sizeof(HexRecord)));
    if (record != nullptr) {
        *record = HexRecord{nullptr, 0, 0, 0, nullptr};
    }
    return record;
}

void freeHexList(HexRecord** head) {
    if (head == nullptr) {
        return;
    }
    HexRecord* record = *head;
    while (record != nullptr) {
        HexRecord* next = record->next;
        std::free(record->data);
        std::free(record);
        record = next;
    }
    *head = nullptr;
}

int readHexFile(FILE* stream, HexRecord** head) {
    return readHexFileLine(stream, head, nullptr);
}

int readHexFileLine(FILE* stream, HexRecord** head, int* line) {
    if (line != nullptr) {
        *line = 0;
    }
    if (head == nullptr) {
        return kNoRecord;
    }
    *head = allocateHexMemory();
    if (*head == nullptr) {
        return kOutOfMemory;
    }
    HexRecord* previous = nullptr;
    HexRecord* current = *head;
    for (;;) {
        if (line != nullptr) {
            ++*line;
        }
        int status = readHexLine(stream, current);
        if (status < 0) {
            freeHexList(head);
            return status;
        }
        if (status == 1) {
            if (previous == nullptr) {
                freeHexList(head);
                return kNoRecords;
            }
            // The end-of-file record only marks the end; the list never holds it.
            freeHexList(&previous->next);
            return 0;
        }
        HexRecord* next = allocateHexMemory();
        if (next == nullptr) {
            freeHexList(head);
            return kOutOfMemory;
        }
        current->next = next;
        previous = current;
        current = next;
    }
}

const char* getHexError(int code) {
    switch (code) {
        case kEndOfFile:
            return "Unexpected end of file";
        case kNotHexDigit:
            return "Character was not a hex digit";
        case kNoRecord:
            return "The hex pointer was not NULL";
        case kNoColon:
            return "The first chacrter of each line must be a :";
        case kOutOfMemory:
            return "Ran out of memory";
        case kInvalidType:
            return "The record type identifier was invalid";
        case kBadChecksum:
            return "Checksum validation failed";
        case kNoRecords:
            return "File contained no records";
        case kLineTooLong:
            return "The line was longer that expected";
        default:
            return "Unknown error";
    }
}

int getWordFromHex(int address, HexRecord* list) {
    for (HexRecord* record = list; record != nullptr; record = record->next) {
        if (record->data == nullptr) {
            continue;
        }
        // Widened so that a record near the top of the int range cannot overflow.
        const int64_t start = record->address;
        if (start <= address && address < start + record->count) {
            return record->data[address - record->address];
        }
    }
    return -1;
}
