// How much the ICD2 is asked to move in one transfer. The passes keep to
// these limits, and the benchmark's model of the wire takes them from here,
// so that the two can never drift apart.
#pragma once

#include <cstdint>

namespace icd2_limits {

// Units (words, or EEPROM bytes) in one read, and in one write of any space
// but program memory: the most one data record of a HEX file holds.
inline constexpr uint32_t kMostPerTransfer = 127;
// Program memory is written in blocks of this many words...
inline constexpr uint32_t kProgramBlockWords = 8;
// ...at most this many words (whole blocks) a write.
inline constexpr uint32_t kMostPerProgramWrite = 120;
// The word that fills up the last, incomplete block of a program write.
inline constexpr int kBlankProgramWord = 0x3FFF;

}  // namespace icd2_limits
