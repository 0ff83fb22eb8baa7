// The programming driver: processor settings from the configuration, the
// probe and identification of the target, and the programming and
// verification passes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "hex/hex.h"
#include "icd2/icd2.h"

// Where a run ended, for the run report: "ok", or the stage that decided it.
// Each stage's word is in one table (stage_word).
enum class Stage : uint8_t {
    kOk,
    kUsage,
    kConfig,
    kHexOpen,
    kHexParse,
    kOutput,  // the read-out file
    kConnect,
    kSelfTest,
    kIdentify,
    kErase,
    kWrite,
    kRead,
    kDifference,
    kNotBlank,
    kCalibration,  // a calibration word that cannot be kept
    kSerial,       // no serial number left
    kInterrupted,
};
// The stage's word in the run report ("ok", "hex-open", "not-blank", ...).
const char* stage_word(Stage stage);

// Newly allocated key under which the processor (or else its family) has the
// setting suffix ("/address/prog/start", ...); null when neither has it.
// The caller frees it.
char* get_device_config_key(const char* device, const char* suffix);
// Newly allocated null-terminated list of the processors that can be tried,
// grouped by family; release with free_device_names. Null when out of memory.
char** get_device_names();
void free_device_names(char*** names);

// Connects to the ICD2 on tty, checks supply and self test and identifies the
// processor. Newly allocated device name (caller frees), or null.
char* find_device(const char* tty);

// One chip identifier read while candidates were tried, per target family.
struct ChipIdRead {
    unsigned family;
    uint32_t address;
    bool read_ok;
    int word;
};
// What the probe found, as far as it got.
struct ProbeReport {
    Stage stage = Stage::kConnect;  // where it stopped: connect, self test or identify
    bool have_voltages = false;
    Icd2Voltages voltages{};
    bool have_firmware = false;
    Icd2FirmwareDetails firmware{};
    bool have_self_test = false;
    Icd2SelfTest self_test{};
    std::vector<ChipIdRead> chip_ids;  // the last read of each family tried
    std::string device;                // the processor that matched, or ""
    int chip_id = 0;                   // its chip identifier word
};
// find_device, filling report with what it found on the way.
char* probe_device(const char* tty, ProbeReport* report);
// 0 when device is the attached processor, else 1, 3 .. 9.
int test_device(const char* device, uint8_t firmware_id);

// Clears MCLR and erases the device. 0, or 1.
int erase_device();
// Erases, programs and read-back-verifies the data records. 0, or a code.
int do_prog(HexRecord* list, const char* device);
// Compares the device with the data records. 0, or a code.
int do_verify(HexRecord* list, const char* device);

// What decided a pass, for the run report: ok, config, erase, write, read,
// difference, not-blank or interrupted, and, for a difference, where it was
// and what was read instead of what.
// A calibration word's value as a run kept it: read from the device, or
// given with -u.
struct CalibrationValue {
    uint32_t address;
    int value;
    bool from_option;
};
struct PassOutcome {
    Stage stage = Stage::kOk;
    bool difference = false;
    uint32_t address = 0;
    int read = 0;
    int expected = 0;
    std::vector<CalibrationValue> calibration;  // the words kept over the erase
    long eeprom_kept = -1;                      // bytes written back with -k; -1: not asked
    long skipped_records = 0;                   // data records in no space of the processor
    uint32_t first_skipped = 0;                 // the word address of the first of them
};

// What programming and the erase keep of the part over their erase beyond
// its calibration words: the values of calibration words given with -u
// (address, value) instead of read from the device, and with -k the EEPROM
// bytes the image does not set.
struct KeepOptions {
    std::vector<std::pair<uint32_t, int>> calibration;
    bool eeprom = false;
};
// The passes as above, noting what decided them in outcome (may be null).
int do_prog(HexRecord* list, const char* device, PassOutcome* outcome);
int do_prog(HexRecord* list, const char* device, PassOutcome* outcome, const KeepOptions& keep);
// A word a run puts into the part beside its image (a serial number's): in
// space (ICD2_PROGRAM, ICD2_ID or ICD2_EEPROM, whose cells take the low byte).
struct SerialWord {
    uint32_t address;
    int space;
    int32_t value;
};
// Programming with words: each replaces the image's word at its address, or
// is written after the image where the image has none, and is verified like
// the image's words.
int do_prog(HexRecord* list, const char* device, PassOutcome* outcome, const KeepOptions& keep,
            const std::vector<SerialWord>& words);
int do_verify(HexRecord* list, const char* device, PassOutcome* outcome);

// Jobs beside programming; each returns 0 or the code of its failure, notes
// what decided it in outcome (may be null), and reads at most 127 words (or
// bytes) per transfer.
// Reads every configured space of device and prints it on stream as Intel
// HEX, EEPROM bytes as words with a high byte of 0, end record last.
int do_read_out(const char* device, FILE* stream, PassOutcome* outcome);
// Compares every configured space with its erased value ("/erased/prog",
// "/erased/eeprom", "/erased/id", "/erased/config"; 0x3FFF for words and
// 0xFF for EEPROM when absent).
int do_blank_check(const char* device, PassOutcome* outcome);
// Clears MCLR and erases the device, as the programming pass does.
int do_erase(const char* device, PassOutcome* outcome);
int do_erase(const char* device, PassOutcome* outcome, const KeepOptions& keep);
// -i: prints "Calibration %04X: %04X" for each calibration word of device
// ("read failed" for one that cannot be read).
void print_calibration(const char* device);

// Lists the processors of the loaded configuration (read from path) with
// their settings on standard output, then warns about every setting that
// cannot work. 0 when there is no warning, else 1.
int check_config(const char* path);
