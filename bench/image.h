// The benchmark's image: a full-size memory of the example part (the part
// of examples/sim-device.conf and the "mid14" family of
// examples/tarnwell.config) as data records, and its Intel HEX file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The example part, in words (EEPROM: bytes).
constexpr uint32_t kProgWords = 8192;
constexpr uint32_t kIdStart = 0x2000, kIdWords = 4;
constexpr uint32_t kConfigStart = 0x2007, kConfigWords = 1;
constexpr uint32_t kEepromStart = 0x2100, kEepromBytes = 256;
constexpr uint32_t kRecordWords = 8;
constexpr uint16_t kWordMask = 0x3FFF;  // the simulated part keeps 14 bits

struct Record {
    uint32_t address;  // word address
    std::vector<uint16_t> words;
};

enum class Space { prog, eeprom, id, config };

// The space a word address of the example part lies in.
Space space_of(uint32_t address);

// Every word of the part in 8-word records (one for the ID words, one for
// the configuration word), program memory first, then ID, configuration and
// EEPROM, in address order.
std::vector<Record> make_image();

// Writes the records to PATH as Intel HEX; ends the run if it cannot.
void write_image(const std::vector<Record>& records, const std::string& path);

// The data records of the Intel HEX file at PATH (as tarnwell -r writes it:
// words low byte first, extended linear addresses allowed) in file order;
// ends the run if it cannot be read.
std::vector<Record> read_image(const std::string& path);

}  // namespace bench
