// The benchmark's image: deterministic words for every cell of the example
// part, and the Intel HEX file that holds them.

#include "image.h"

#include <cstdio>

#include "util.h"

namespace bench {

Space space_of(uint32_t address) {
    if (address < kProgWords) return Space::prog;
    if (address >= kEepromStart) return Space::eeprom;
    if (address >= kConfigStart) return Space::config;
    return Space::id;
}

// Deterministic words that differ from record to record and from the erased
// value, so that a transfer that went wrong cannot pass by accident.
std::vector<Record> make_image() {
    std::vector<Record> records;
    uint32_t state = 0x2545F491u;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint16_t>(state >> 16);
    };
    for (uint32_t a = 0; a < kProgWords; a += kRecordWords) {
        Record r{a, {}};
        for (uint32_t i = 0; i < kRecordWords; ++i) r.words.push_back(next() & kWordMask);
        records.push_back(std::move(r));
    }
    Record id{kIdStart, {}};
    for (uint32_t i = 0; i < kIdWords; ++i) id.words.push_back(next() & kWordMask);
    records.push_back(std::move(id));
    records.push_back({kConfigStart, {static_cast<uint16_t>(next() & kWordMask)}});
    for (uint32_t a = 0; a < kEepromBytes; a += kRecordWords) {
        Record r{kEepromStart + a, {}};
        for (uint32_t i = 0; i < kRecordWords; ++i) r.words.push_back(next() & 0xFF);
        records.push_back(std::move(r));
    }
    return records;
}

// Intel HEX, low byte first, byte address = 2 x word address. Every address
// here stays below 64 KiB, so no extended address records are needed.
void write_image(const std::vector<Record>& records, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out) die_errno(path);
    for (const Record& r : records) {
        const uint32_t offset = r.address * 2;
        const unsigned length = static_cast<unsigned>(r.words.size() * 2);
        unsigned sum = length + (offset >> 8) + (offset & 0xFF);
        std::fprintf(out, ":%02X%04X00", length, offset);
        for (uint16_t w : r.words) {
            std::fprintf(out, "%02X%02X", w & 0xFF, w >> 8);
            sum += (w & 0xFF) + (w >> 8);
        }
        std::fprintf(out, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", out);
    if (std::fclose(out) != 0) die_errno(path);
}

std::vector<Record> read_image(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) die_errno(path);
    std::vector<Record> records;
    uint32_t upper = 0;  // the extended linear address, in bytes
    char line[600];
    while (std::fgets(line, sizeof line, in)) {
        unsigned length = 0, offset = 0, type = 0;
        if (std::sscanf(line, ":%2x%4x%2x", &length, &offset, &type) != 3)
            die(path + ": not Intel HEX: " + line);
        auto byte = [&line](unsigned i) {
            unsigned value = 0;
            std::sscanf(line + 9 + 2 * i, "%2x", &value);
            return value;
        };
        if (type == 4) upper = (byte(0) << 24) | (byte(1) << 16);
        if (type != 0) continue;
        Record r{(upper + offset) / 2, {}};
        for (unsigned i = 0; i + 1 < length; i += 2)
            r.words.push_back(static_cast<uint16_t>(byte(i) | (byte(i + 1) << 8)));
        records.push_back(std::move(r));
    }
    std::fclose(in);
    return records;
}

}  // namespace bench
