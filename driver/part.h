// Inside the driver: what a real part has beyond its memory map, as its
// processor (or else its family) sets it. Compare masks name the bits of a
// word that exist ("/mask/prog", "/mask/id", "/mask/config", and
// "/mask/at/<address>" for one word); calibration words name the bits that
// the factory wrote and an erase destroys ("/calibration/N/address" and
// "/calibration/N/mask").
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "driver/pass_engine.h"

namespace part {

// One word that holds calibration, with the bits of it that do; entries
// naming one address are merged.
struct CalibrationWord {
    uint32_t address = 0;
    int space = pass::kSpaceCount;  // program, ID or configuration; kSpaceCount: none
    int mask = 0x3FFF;
};
// At most this many calibration entries are read: N = 1 .. 16.
constexpr int kMostCalibrationEntries = 16;

struct Settings {
    int space_mask[pass::kSpaceCount] = {-1, -1, -1, -1};  // -1: every bit
    std::map<uint32_t, int> word_mask;
    std::vector<CalibrationWord> calibration;  // in the order of their first entry

    // The bits of the word at address that are compared; with
    // skip_calibration, a calibration word's bits are left out too.
    int compare_mask(int space, uint32_t address, bool skip_calibration) const;
    // Whether any setting changes what a pass compares.
    bool masks_anything() const;
    const CalibrationWord* calibration_at(uint32_t address) const;
};

// The settings of device, its calibration words placed in spaces.
Settings read_settings(const char* device, const pass::Spaces& spaces);

// What a run saved of the part before its erase.
struct Saved {
    std::vector<CalibrationValue> calibration;  // one per calibration word in a space
    std::vector<int32_t> eeprom;                // the whole EEPROM space, with -k
    bool eeprom_saved = false;
};
// Reads what the erase would destroy (the calibration words, unless keep
// gives their values, and with keep.eeprom the EEPROM space) into saved.
// 0, or the style's failure code after the line that says why: a read that
// failed, a calibration word that reads blank, a -u address that is no
// calibration word (noted in outcome).
int save_before_erase(const pass::PassStyle& style, const char* device, const Settings& settings,
                      const KeepOptions& keep, const pass::Spaces& spaces, PassOutcome& outcome,
                      Saved& saved);
// The image's pieces (none without one) with the saved calibration bits put
// into its words, then the calibration words and, with -k, the runs of
// EEPROM bytes that the image does not set; *eeprom_kept counts those bytes.
pass::PieceSource keeping_pieces(pass::PieceSource image, const HexRecord* list,
                                 const Settings& settings, const Saved& saved,
                                 const pass::Spaces& spaces, long* eeprom_kept);

}  // namespace part
