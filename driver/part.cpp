// The settings of a real part: compare masks and calibration words.
#include "driver/part.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>

#include "config/config.h"
#include "driver/driver.h"
#include "icd2/limits.h"
#include "log/log.h"

namespace part {
namespace {

// The number under the device's setting suffix, processor over family.
bool read_number(const char* device, const std::string& suffix, long* value) {
    char* key = get_device_config_key(device, suffix.c_str());
    if (key == nullptr) return false;
    *value = get_config_long(key);
    std::free(key);
    return true;
}

// The "<address> = mask" settings under section/mask/at into masks.
void read_word_masks(const std::string& section, std::map<uint32_t, int>& masks) {
    const std::string prefix = section + "/mask/at/";
    char** keys = get_config_keys((section + "/mask/at").c_str());
    for (char** key = keys; key != nullptr && *key != nullptr; ++key) {
        const std::string text = *key;
        if (text.rfind(prefix, 0) != 0 || text.find('/', prefix.size()) != std::string::npos)
            continue;
        char* end = nullptr;
        const unsigned long address = std::strtoul(text.c_str() + prefix.size(), &end, 10);
        if (end == nullptr || *end != '\0') continue;
        masks[static_cast<uint32_t>(address)] = static_cast<int>(get_config_long(*key));
    }
    if (keys != nullptr) free_config_keys(&keys);
}

}  // namespace

int Settings::compare_mask(int space, uint32_t address, bool skip_calibration) const {
    const auto word = word_mask.find(address);
    int mask = word != word_mask.end() ? word->second : space_mask[space];
    if (skip_calibration) {
        if (const CalibrationWord* calibration = calibration_at(address))
            mask &= ~calibration->mask;
    }
    return mask;
}

bool Settings::masks_anything() const {
    for (int mask : space_mask)
        if (mask != -1) return true;
    return !word_mask.empty() || !calibration.empty();
}

const CalibrationWord* Settings::calibration_at(uint32_t address) const {
    for (const CalibrationWord& word : calibration)
        if (word.address == address) return &word;
    return nullptr;
}

Settings read_settings(const char* device, const pass::Spaces& spaces) {
    Settings settings;
    const char* const kMaskSuffixes[pass::kSpaceCount] = {"/mask/prog", nullptr, "/mask/id",
                                                          "/mask/config"};
    for (int space = 0; space < pass::kSpaceCount; ++space) {
        long mask = 0;
        if (kMaskSuffixes[space] != nullptr && read_number(device, kMaskSuffixes[space], &mask))
            settings.space_mask[space] = static_cast<int>(mask);
    }
    // The family's words first, so that the processor's own replace them.
    const std::string processor = std::string("/processor/") + device;
    if (const char* family = get_config_string((processor + "/family").c_str()))
        read_word_masks(std::string("/family/") + family, settings.word_mask);
    read_word_masks(processor, settings.word_mask);

    for (int n = 1; n <= kMostCalibrationEntries; ++n) {
        const std::string entry = "/calibration/" + std::to_string(n);
        long address = 0;
        if (!read_number(device, entry + "/address", &address)) break;
        long mask = 0x3FFF;
        read_number(device, entry + "/mask", &mask);
        const uint32_t at = static_cast<uint32_t>(address);
        int space = pass::kSpaceCount;
        for (int s : {ICD2_PROGRAM, ICD2_ID, ICD2_CONFIG})
            if (space == pass::kSpaceCount && spaces[s].holds(at)) space = s;
        CalibrationWord* word = nullptr;
        for (CalibrationWord& known : settings.calibration)
            if (known.address == at) word = &known;
        if (word != nullptr) {
            word->mask |= static_cast<int>(mask);
        } else {
            settings.calibration.push_back({at, space, static_cast<int>(mask)});
        }
    }
    return settings;
}

int save_before_erase(const pass::PassStyle& style, const char* device, const Settings& settings,
                      const KeepOptions& keep, const pass::Spaces& spaces, PassOutcome& outcome,
                      Saved& saved) {
    for (const auto& [address, value] : keep.calibration) {
        const CalibrationWord* word = settings.calibration_at(address);
        if (word == nullptr || word->space == pass::kSpaceCount) {
            log_message(1, 26, "tarnwell", style.function,
                        "-u %04X: %s has no calibration word at that address", address, device);
            outcome.stage = Stage::kCalibration;
            return style.failure_code;
        }
    }
    for (const CalibrationWord& word : settings.calibration) {
        if (word.space == pass::kSpaceCount) continue;
        const auto given = std::find_if(keep.calibration.begin(), keep.calibration.end(),
                                        [&word](const auto& u) { return u.first == word.address; });
        if (given != keep.calibration.end()) {
            saved.calibration.push_back({word.address, given->second, true});
            continue;
        }
        std::vector<int32_t> read;
        if (int code = pass::read_units(style, word.space, word.address, 1, read, outcome))
            return code;
        // Every calibration bit erased: the factory's value is gone already.
        if ((read[0] & word.mask) == word.mask) {
            log_message(1, 27, "tarnwell", style.function,
                        "Calibration word at %04X reads blank (%04X); give its value with -u "
                        "%04X=<value>",
                        word.address, read[0], word.address);
            outcome.stage = Stage::kCalibration;
            return style.failure_code;
        }
        saved.calibration.push_back({word.address, read[0], false});
    }
    if (keep.eeprom) {
        const pass::Space& eeprom = spaces[ICD2_EEPROM];
        for (uint32_t done = 0; done < eeprom.size;) {
            const uint32_t n = std::min(icd2_limits::kMostPerTransfer, eeprom.size - done);
            std::vector<int32_t> read;
            if (int code =
                    pass::read_units(style, ICD2_EEPROM, eeprom.start + done, n, read, outcome))
                return code;
            saved.eeprom.insert(saved.eeprom.end(), read.begin(), read.end());
            done += n;
        }
        saved.eeprom_saved = true;
    }
    return 0;
}

pass::PieceSource keeping_pieces(pass::PieceSource image, const HexRecord* list,
                                 const Settings& settings, const Saved& saved,
                                 const pass::Spaces& spaces, long* eeprom_kept) {
    struct State {
        pass::PieceSource image;
        std::vector<int32_t> patched;             // the piece handed out last, patched
        std::vector<std::vector<int32_t>> extra;  // the words of the pieces after the image
        std::vector<pass::Piece> extra_pieces;
        size_t next_extra = 0;
    };
    auto state = std::make_shared<State>();
    state->image = std::move(image);
    // The addresses the image sets.
    std::unordered_set<uint32_t> covered;
    HexDataCursor cursor = hexDataCursor(list);
    uint32_t address = 0;
    while (const HexRecord* record = nextHexData(&cursor, &address))
        for (int32_t i = 0; i < record->count; ++i)
            covered.insert(address + static_cast<uint32_t>(i));

    auto calibrated = [&settings](uint32_t at, int32_t word, const CalibrationValue& value) {
        const int mask = settings.calibration_at(at)->mask;
        return (word & ~mask) | (value.value & mask);
    };
    state->extra.reserve(saved.calibration.size() + saved.eeprom.size());
    for (const CalibrationValue& value : saved.calibration) {
        if (covered.count(value.address) != 0) continue;
        state->extra.push_back({calibrated(value.address, icd2_limits::kBlankProgramWord, value)});
        const int space = settings.calibration_at(value.address)->space;
        state->extra_pieces.push_back(
            {space, value.address, 1, state->extra.back().data(), state->extra.back().data()});
    }
    long kept = 0;
    const pass::Space& eeprom = spaces[ICD2_EEPROM];
    for (uint32_t i = 0; saved.eeprom_saved && i < eeprom.size;) {
        if (covered.count(eeprom.start + i) != 0) {
            ++i;
            continue;
        }
        const uint32_t first = i;
        std::vector<int32_t> run;
        while (i < eeprom.size && run.size() < icd2_limits::kMostPerTransfer &&
               covered.count(eeprom.start + i) == 0)
            run.push_back(saved.eeprom[i++]);
        kept += static_cast<long>(run.size());
        state->extra.push_back(std::move(run));
        const int32_t count = static_cast<int32_t>(state->extra.back().size());
        state->extra_pieces.push_back({ICD2_EEPROM, eeprom.start + first, count,
                                       state->extra.back().data(), state->extra.back().data()});
    }
    if (eeprom_kept != nullptr) *eeprom_kept = saved.eeprom_saved ? kept : -1;

    return [state, &settings, &saved, &spaces, calibrated](pass::Piece& piece) {
        if (state->image && state->image(piece)) {
            for (const CalibrationValue& value : saved.calibration) {
                const CalibrationWord* word = settings.calibration_at(value.address);
                const uint32_t offset = value.address - piece.address;
                if (value.address < piece.address || offset >= static_cast<uint32_t>(piece.count) ||
                    !spaces[word->space].holds(piece.address))
                    continue;
                if (state->patched.data() != piece.expected)
                    state->patched.assign(piece.expected, piece.expected + piece.count);
                state->patched[offset] = calibrated(value.address, state->patched[offset], value);
                piece.expected = state->patched.data();
                if (piece.write != nullptr) piece.write = state->patched.data();
            }
            return true;
        }
        state->image = nullptr;
        if (state->next_extra == state->extra_pieces.size()) return false;
        piece = state->extra_pieces[state->next_extra++];
        return true;
    };
}

}  // namespace part
