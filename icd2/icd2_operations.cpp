// The ICD2's operations by name: the command codes of the target's memory
// spaces, the erase and the target supply. Everything above the ICD2 layer
// asks for these, never for a code.

#include "icd2/icd2.h"

namespace {

// How each space moves through the ICD2: its read and write commands, and
// whether it moves as bytes (EEPROM, one per element) rather than words.
struct SpaceCodes {
    const char* read;
    const char* write;
    bool bytes;
};

constexpr SpaceCodes kSpaceCodes[ICD2_SPACE_COUNT] = {
    {"47", "43", false},  // program memory
    {"48", "44", true},   // EEPROM
    {"4A", "46", false},  // ID memory (the chip identifier is read with its command too)
    {"49", "45", false},  // configuration memory
};

}  // namespace

bool icd2_space_moves_bytes(Icd2Space space) {
    return kSpaceCodes[space].bytes;
}

int icd2_read_words(Icd2Space space, int* buffer, uint32_t address, uint32_t count) {
    return icd2_get_words(buffer, kSpaceCodes[space].read, address, count);
}

int icd2_read_bytes(Icd2Space space, uint8_t* buffer, uint32_t address, uint32_t count) {
    return icd2_get_bytes(buffer, kSpaceCodes[space].read, address, count);
}

int icd2_write_words(Icd2Space space, const int* buffer, uint32_t address, uint32_t count) {
    return icd2_send_words(buffer, kSpaceCodes[space].write, address, count);
}

int icd2_write_bytes(Icd2Space space, const uint8_t* buffer, uint32_t address, uint32_t count) {
    return icd2_send_bytes(buffer, kSpaceCodes[space].write, address, count);
}

int icd2_read_chip_id(int* word, uint32_t address) {
    return icd2_read_words(ICD2_ID, word, address, 1);
}

int icd2_clear_mclr() {
    return do_command("3300") == nullptr ? 1 : 0;
}

int icd2_erase() {
    return do_command("29") == nullptr ? 1 : 0;
}

int icd2_enable_target_vdd() {
    return do_command("05FF") == nullptr ? 1 : 0;
}
