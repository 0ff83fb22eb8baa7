// Feeds arbitrary bytes to the HEX reader. Whatever it accepts must make a
// well-formed list, and must survive a round trip through the writer: every
// word printed comes back at the same effective word address, in order.
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
using Words = std::vector<std::pair<int64_t, int32_t>>;  // (effective word address, word)

struct List {
    HexRecord* head = nullptr;
    ~List() { freeHexList(&head); }
};

// Reads size (> 0) bytes of text into list; the reader's status.
int read_list(const char* text, size_t size, List& list) {
    FILE* stream = fmemopen(const_cast<char*>(text), size, "r");
    require(stream != nullptr, "fmemopen failed");
    HexRecord stale{};
    list.head = &stale;
    const int status = readHexFile(stream, &list.head);
    std::fclose(stream);
    require(list.head != &stale, "readHexFile left the old list head in place");
    require(status == 0 || (status >= -9 && status <= -1 && status != -3),
            "readHexFile returned an undocumented code");
    require((status == 0) == (list.head != nullptr), "status and list head disagree");
    return status;
}

// The list is well formed, and the writer prints each record's words at its own word address,
// whatever its type; reading its text back, with the extended linear address records applied, must
// give the same words in the same order.
void check_list_and_round_trip(HexRecord* head) {
    Words printed, read_back;
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    require(out != nullptr, "open_memstream failed");
    for (HexRecord* r = head; r != nullptr; r = r->next) {
        require(r->type != 0x01, "the list holds an end-of-file record");
        require(r->count >= 0 && r->count <= 127, "word count out of range");
        require((r->data == nullptr) == (r->count == 0), "data and count disagree");
        require(r->address >= 0 && r->address <= 0x7FFF, "word address beyond a load offset");
        require(r->count == 0 || r->type == 0x00 || r->type == 0x04,
                "words stored for a record type that carries none");
        for (int32_t i = 0; i < r->count; ++i) {
            require(r->data[i] >= 0 && r->data[i] <= 0xFFFF, "word out of range");
            printed.emplace_back(r->address + i, r->data[i]);
        }
        HEXprint(out, r, r->next == nullptr);
    }
    std::fclose(out);
    const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    List again;
    const int status = read_list(text, length, again);
    if (printed.empty()) return require(status == -8, "a list without words did not print empty");
    require(status == 0, "the reader rejected the writer's output");
    int64_t upper = 0;
    for (const HexRecord* r = again.head; r != nullptr; r = r->next) {
        if (r->type == 0x04) {
            require(r->count == 1, "extended address record of the wrong size");
            // Stored low byte first like any word; the record holds it big-endian.
            upper = ((r->data[0] & 0xFF) << 8) | ((r->data[0] >> 8) & 0xFF);
            continue;
        }
        require(r->type == 0x00 && r->count >= 1 && r->count <= 8, "not a data line of 1-8 words");
        for (int32_t i = 0; i < r->count; ++i)
            read_back.emplace_back((upper << 15) + r->address + i, r->data[i]);
    }
    require(upper == 0, "the writer left an extended address in force");
    require(read_back == printed, "words changed in the round trip");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    const std::vector<char> input(data, data + size);
    List list;
    if (read_list(input.data(), input.size(), list) == 0) check_list_and_round_trip(list.head);
    return 0;
}
