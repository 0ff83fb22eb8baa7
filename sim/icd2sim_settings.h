// The simulated device's settings: what its ICD2 answers, where its memory
// spaces lie, which cells are stuck, start with a word or lack bits, how
// writes act, which faults are injected, and the parser of the "key = value"
// lines that set them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace icd2sim {

enum class Phase { resp, block, close };
enum class FaultKind { silence, checksum, end, start, code, zeros, noise, shortbody, cut, vanish };

const char* fault_name(FaultKind kind);
const char* phase_name(Phase phase);

// One injected fault. It fires at the named phase of every command that
// matches: by code ("*" = any) and its occurrence, or by frame number.
struct Fault {
    FaultKind kind = FaultKind::silence;
    std::string code;  // two characters, "*", or empty when by_number
    bool by_number = false;
    unsigned nth = 1;  // n-th command with that code, or the N-th frame
    Phase phase = Phase::resp;
    std::string where;  // as written, for the transcript
};

enum SpaceId { kProg, kEeprom, kId, kConfig, kSpaceCount };

// A word given for one cell: a stuck value, the bits the cell implements, or
// the word it holds at the start.
struct CellWord {
    SpaceId space;
    uint32_t address;
    uint16_t value;
};

struct DeviceSettings {
    unsigned firmware_id = 5;
    unsigned version[3] = {7, 3, 20};
    unsigned voltage_37 = 160;
    unsigned voltage_vdd = 128;
    unsigned voltage_vdd_on = 128;
    unsigned voltage_35 = 0;
    unsigned selftest[5] = {0, 0, 0, 0, 0};
    uint32_t prog_size = 8192;
    uint32_t prog_mask = 0xFFFF;
    uint32_t eeprom_start = 0x2100;
    uint32_t eeprom_size = 256;
    uint32_t id_start = 0x2000;
    uint32_t id_size = 4;
    uint32_t config_start = 0x2007;
    uint32_t config_size = 1;
    uint32_t chipid_address = 0x2006;
    uint32_t chipid_value = 0x0D40;
    std::optional<unsigned> chipid_family;
    std::optional<char> wake_reply = 'U';
    unsigned wake_from_attempt = 1;
    bool silent = false;
    std::vector<CellWord> stuck;
    std::vector<CellWord> implemented;  // a write keeps only these bits of the cell
    std::vector<CellWord> words;        // after the erased fill, before --load
    bool clear_only = false;            // program, ID, configuration: write old & new
    std::vector<Fault> faults;
    // Extra time the device takes for a command before it answers, by code.
    std::map<std::string, unsigned long> device_time_us;
};

// Applies one setting; returns an error text, empty on success. stuck,
// implemented, word and fault add to their lists, every other key replaces
// the value.
std::string apply_setting(DeviceSettings& settings, const std::string& key,
                          const std::string& value);
// Reads "key = value" lines ('#' comments); an error text naming the line.
std::string load_device_file(DeviceSettings& settings, const std::string& path);
// Consistency of the whole set (sizes, overlapping spaces); an error text.
std::string check_settings(const DeviceSettings& settings);

// What the parser above accepts, for --help: the line and number forms and
// every key with its default.
const char* settings_help();

}  // namespace icd2sim
