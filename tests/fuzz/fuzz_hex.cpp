// Feeds arbitrary bytes to the HEX reader. Whatever it accepts must make a
// well-formed list, and must survive a round trip through the writer: every
// word printed comes back at the same effective word address, in the same
// order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "hex/hex.h"

namespace {

using fuzz::require;

struct ListReleaser {
    void operator()(HexRecord* head) const { freeHexList(&head); }
};
using HexList = std::unique_ptr<HexRecord, ListReleaser>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// (effective word address, word)
using Words = std::vector<std::pair<int64_t, int32_t>>;

bool is_reader_code(int status) {
    return status == 0 || (status <= -1 && status >= -9 && status != -3);
}

void check_list(const HexRecord* head) {
    for (const HexRecord* record = head; record != nullptr; record = record->next) {
        require(record->type != 0x01, "the list holds an end-of-file record");
        require(record->count >= 0 && record->count <= 127, "word count out of range");
        require((record->data == nullptr) == (record->count == 0),
                "data and count disagree");
        require(record->address >= 0 && record->address <= 0x7FFF,
                "word address beyond a 16-bit load offset");
        require(record->count == 0 || record->type == 0x00 || record->type == 0x04,
                "words stored for a record type that carries none");
        for (int32_t i = 0; i < record->count; ++i) {
            require(record->data[i] >= 0 && record->data[i] <= 0xFFFF, "word out of range");
        }
    }
}

// What the writer is asked to print: each record's words at its own word
// address. The writer ignores the type, so extended address records of the
// input are printed as plain data like any other.
Words printed_words(const HexRecord* head) {
    Words words;
    for (const HexRecord* record = head; record != nullptr; record = record->next) {
        for (int32_t i = 0; i < record->count; ++i) {
            words.emplace_back(int64_t{record->address} + i, record->data[i]);
        }
    }
    return words;
}

// What the reader got back from the writer's text, with the extended linear
// address records applied: they set the upper half of the byte address.
Words read_back_words(const HexRecord* head) {
    Words words;
    int64_t upper = 0;
    for (const HexRecord* record = head; record != nullptr; record = record->next) {
        if (record->type == 0x04) {
            require(record->count == 1, "extended address record of the wrong size");
            // Stored low byte first like any word; the record holds it big-endian.
            const int32_t value = record->data[0];
            upper = ((value & 0xFF) << 8) | ((value >> 8) & 0xFF);
            continue;
        }
        require(record->type == 0x00, "the writer printed a record that is not data");
        require(record->count >= 1 && record->count <= 8, "data line of the wrong size");
        for (int32_t i = 0; i < record->count; ++i) {
            words.emplace_back((upper << 15) + record->address + i, record->data[i]);
        }
    }
    require(upper == 0, "the writer left an extended address in force");
    return words;
}

void check_round_trip(HexRecord* head) {
    char* text = nullptr;
    size_t length = 0;
    {
        File out(open_memstream(&text, &length));
        require(out != nullptr, "open_memstream failed");
        for (HexRecord* record = head; record != nullptr; record = record->next) {
            HEXprint(out.get(), record, record->next == nullptr);
        }
    }
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);

    const Words expected = printed_words(head);
    HexRecord* raw = nullptr;
    File in(fmemopen(text, length, "r"));
    require(in != nullptr, "fmemopen of the written text failed");
    const int status = readHexFile(in.get(), &raw);
    HexList again(raw);
    if (expected.empty()) {
        require(status == -8, "a list without words did not print as an empty file");
        return;
    }
    require(status == 0, "the reader rejected the writer's output");
    require(read_back_words(again.get()) == expected, "words changed in the round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    std::vector<char> input(data, data + size);
    File stream(fmemopen(input.data(), input.size(), "r"));
    require(stream != nullptr, "fmemopen failed");

    // The head is overwritten whatever the outcome.
    HexRecord stale{};
    HexRecord* raw = &stale;
    const int status = readHexFile(stream.get(), &raw);
    require(raw != &stale, "readHexFile left the old list head in place");
    HexList list(raw);
    require(is_reader_code(status), "readHexFile returned an undocumented code");
    require((status == 0) == (list != nullptr), "status and list head disagree");
    if (status != 0) return 0;

    check_list(list.get());
    check_round_trip(list.get());
    return 0;
}
