// The passes over the target's memory: programming (erase, then write, read
// back and compare each data record), verification (read and compare only),
// read-out and blank check, and the erase. They share one loop (the pass
// engine); what tells them apart is a style: texts, codes, whether they
// erase, and where their pieces come from.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "driver/driver.h"
#include "driver/part.h"
#include "driver/pass_engine.h"
#include "driver/serial_number.h"
#include "icd2/icd2.h"
#include "icd2/limits.h"
#include "log/log.h"

namespace {

using pass::kSpaceCount;
using pass::PassStyle;
using pass::Piece;
using pass::ReadBuffer;
using pass::Spaces;

constexpr const char* kModule = "tarnwell";

const PassStyle kProgramStyle = {
    .function = "do_prog",
    .opening = [](const char* device) { std::printf("Programming %s : ", device); },
    .progress =
        [](const char* device, uint32_t address) {
            std::printf("\rProgramming %s : %04X Verifying : %04X", device, address, address);
        },
    .progress_before_growth = false,
    .erases = true,
    .allocation_code = 25,
    .prog_read_codes = true,
    .failure_code = 11,
    .difference =
        [](const char* device, uint32_t address, int read, int expected, bool bytes) {
            if (bytes)
                std::printf(
                    "\rProgramming %s : Verify failed at adress %04X Reads %2X instead of %02X\n",
                    device, address, read, expected);
            else
                std::printf(
                    "\rProgramming %s : Verify failed at adress %04X Reads %04X instead of %04X\n",
                    device, address, read, expected);
        },
    .read_failed =
        [](const char* device, uint32_t address, bool) {
            std::printf("\rProgramming %s : Verify failed at adress %04X, read failed\n", device,
                        address);
        },
    .closing =
        [](const char* device) {
            std::printf("\rProgramming %s : Done Verifying : Passed        \n", device);
        },
    .difference_stage = Stage::kDifference,
};

const PassStyle kVerifyStyle = {
    .function = "do_verify",
    .opening = [](const char* device) { std::printf("Verifying %s : ", device); },
    .progress = [](const char* device,
                   uint32_t address) { std::printf("\rVerifying %s : %04X", device, address); },
    .progress_before_growth = true,
    .erases = false,
    .allocation_code = 14,
    .prog_read_codes = false,
    .failure_code = 16,
    .difference =
        [](const char* device, uint32_t address, int read, int expected, bool bytes) {
            if (bytes)
                std::printf("\rVerifying %s : Failed at adress %4X Reads %4X instead of %04X\n",
                            device, address, read, expected);
            else
                std::printf("\rVerifying %s : Failed at adress %04X Reads %04X instead of %04X\n",
                            device, address, read, expected);
        },
    .read_failed =
        [](const char* device, uint32_t address, bool bytes) {
            if (bytes)
                std::printf("\rVerifying %s : Failed at adress %4X, read failed\n", device,
                            address);
            else
                std::printf("\rVerifying %s : Failed at adress %04X, read failed\n", device,
                            address);
        },
    .closing =
        [](const char* device) { std::printf("\rVerifying %s : Passed          \n", device); },
    .difference_stage = Stage::kDifference,
};

const PassStyle kReadOutStyle = {
    .function = "do_read_out",
    .opening = [](const char* device) { std::printf("Reading %s : ", device); },
    .progress = [](const char* device,
                   uint32_t address) { std::printf("\rReading %s : %04X", device, address); },
    .progress_before_growth = true,
    .erases = false,
    .allocation_code = 14,
    .prog_read_codes = false,
    .failure_code = 5,
    .difference = nullptr,  // it keeps what it reads
    .read_failed =
        [](const char* device, uint32_t address, bool) {
            std::printf("\rReading %s : Failed at adress %04X, read failed\n", device, address);
        },
    .closing = [](const char* device) { std::printf("\rReading %s : Done        \n", device); },
    .difference_stage = Stage::kRead,
};

const PassStyle kBlankStyle = {
    .function = "do_blank_check",
    .opening = [](const char* device) { std::printf("Blank checking %s : ", device); },
    .progress =
        [](const char* device, uint32_t address) {
            std::printf("\rBlank checking %s : %04X", device, address);
        },
    .progress_before_growth = true,
    .erases = false,
    .allocation_code = 14,
    .prog_read_codes = false,
    .failure_code = 5,
    .difference =
        [](const char* device, uint32_t address, int read, int expected, bool bytes) {
            if (bytes)
                std::printf(
                    "\rBlank checking %s : Blank check failed at adress %04X Reads %2X "
                    "instead of %02X\n",
                    device, address, read, expected);
            else
                std::printf(
                    "\rBlank checking %s : Blank check failed at adress %04X Reads %04X "
                    "instead of %04X\n",
                    device, address, read, expected);
        },
    .read_failed =
        [](const char* device, uint32_t address, bool) {
            std::printf("\rBlank checking %s : Blank check failed at adress %04X, read failed\n",
                        device, address);
        },
    .closing = [](const char* device) { std::printf("\rBlank checking %s : Blank    \n", device); },
    .difference_stage = Stage::kNotBlank,
};

// Writes back, after -e's erase, what it kept: no line of progress, a
// failure only its log lines.
const PassStyle kRestoreStyle = {
    .function = "do_erase",
    .opening = [](const char*) {},
    .progress = [](const char*, uint32_t) {},
    .progress_before_growth = false,
    .erases = false,
    .allocation_code = 25,
    .prog_read_codes = true,
    .failure_code = 15,
    .difference = [](const char*, uint32_t, int, int, bool) {},
    .read_failed = [](const char*, uint32_t, bool) {},
    .closing = [](const char*) {},
    .difference_stage = Stage::kDifference,
};

// The compare masks of a part's settings; empty when it has none, so that
// every bit of every word counts. skip_calibration leaves calibration bits
// out (verification and blank check: the part holds its own calibration).
pass::CompareMask masks_of(const part::Settings& settings, bool skip_calibration) {
    if (!settings.masks_anything()) return {};
    return [&settings, skip_calibration](int space, uint32_t address) {
        return settings.compare_mask(space, address, skip_calibration);
    };
}

// The processor's spaces for a pass, or the code of the missing bound (the
// outcome then names the configuration).
int spaces_for(const char* device, const char* function, Spaces& spaces, PassOutcome& outcome) {
    const int code = pass::read_spaces(device, function, spaces);
    if (code != 0) outcome.stage = Stage::kConfig;
    return code;
}

}  // namespace

int erase_device() {
    if (icd2_clear_mclr() != 0) {
        log_message(1, 1, kModule, "erase_device", "Unable to clear MCLR");
        return 1;
    }
    if (icd2_erase() != 0) {
        log_message(1, 2, kModule, "erase_device", "Unable to erase device");
        return 1;
    }
    return 0;
}

int do_prog(HexRecord* list, const char* device) {
    return do_prog(list, device, nullptr);
}

int do_prog(HexRecord* list, const char* device, PassOutcome* outcome) {
    return do_prog(list, device, outcome, KeepOptions{});
}

int do_prog(HexRecord* list, const char* device, PassOutcome* outcome, const KeepOptions& keep) {
    return do_prog(list, device, outcome, keep, {});
}

int do_prog(HexRecord* list, const char* device, PassOutcome* outcome, const KeepOptions& keep,
            const std::vector<SerialWord>& words) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Spaces spaces;
    if (int code = spaces_for(device, "do_prog", spaces, out); code != 0) return code;
    const part::Settings settings = part::read_settings(device, spaces);
    // What the erase destroys and the part must keep is read before it.
    part::Saved saved;
    if (int code =
            part::save_before_erase(kProgramStyle, device, settings, keep, spaces, out, saved))
        return code;
    out.calibration = saved.calibration;
    // A coalesced image leaves to the erase what it left as it is to be.
    const bool coalesce = pass::coalesces(device);
    int erased[kSpaceCount];
    for (int space = 0; space < kSpaceCount; ++space)
        erased[space] = pass::erased_value(device, space);
    auto pieces = pass::image_pieces(list, true, spaces, coalesce, coalesce ? erased : nullptr);
    if (!words.empty()) pieces = serial::placing_pieces(pieces, words, spaces);
    if (!saved.calibration.empty() || saved.eeprom_saved)
        pieces = part::keeping_pieces(pieces, list, settings, saved, spaces, &out.eeprom_kept);
    return pass::run_pass(kProgramStyle, device, spaces, pieces, nullptr, out,
                          masks_of(settings, false));
}

int do_verify(HexRecord* list, const char* device) {
    return do_verify(list, device, nullptr);
}

int do_verify(HexRecord* list, const char* device, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Spaces spaces;
    if (int code = spaces_for(device, "do_verify", spaces, out); code != 0) return code;
    const part::Settings settings = part::read_settings(device, spaces);
    return pass::run_pass(kVerifyStyle, device, spaces,
                          pass::image_pieces(list, false, spaces, pass::coalesces(device)), nullptr,
                          out, masks_of(settings, true));
}

int do_read_out(const char* device, FILE* stream, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Spaces spaces;
    if (int code = spaces_for(device, "do_read_out", spaces, out); code != 0) return code;
    std::vector<int32_t> image[kSpaceCount];
    auto keep = [&image](const Piece& piece, ReadBuffer& buffer) {
        // EEPROM bytes go out as words with a high byte of 0, the form in
        // which an image programs them back.
        const bool bytes = icd2_space_moves_bytes(static_cast<Icd2Space>(piece.space));
        for (int32_t i = 0; i < piece.count; ++i)
            image[piece.space].push_back(bytes ? buffer.bytes()[i] : buffer.words()[i]);
    };
    int result = pass::run_pass(kReadOutStyle, device, spaces, pass::space_pieces(spaces, nullptr),
                                keep, out);
    if (result != 0) return result;
    // The file lists its spaces in ascending order of address, as toolchains
    // do, whatever order they were read in.
    int order[kSpaceCount] = {ICD2_PROGRAM, ICD2_EEPROM, ICD2_ID, ICD2_CONFIG};
    std::stable_sort(std::begin(order), std::end(order),
                     [&spaces](int a, int b) { return spaces[a].start < spaces[b].start; });
    for (int space : order) {
        HexRecord record{image[space].data(), static_cast<int32_t>(image[space].size()),
                         static_cast<int32_t>(spaces[space].start), 0, nullptr};
        HEXprint(stream, &record, 0);
    }
    HEXprint(stream, nullptr, 1);
    return 0;
}

int do_blank_check(const char* device, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Spaces spaces;
    if (int code = spaces_for(device, "do_blank_check", spaces, out); code != 0) return code;
    std::vector<int32_t> erased[kSpaceCount];
    for (int space = 0; space < kSpaceCount; ++space)
        erased[space].assign(icd2_limits::kMostPerTransfer, pass::erased_value(device, space));
    const part::Settings settings = part::read_settings(device, spaces);
    return pass::run_pass(kBlankStyle, device, spaces, pass::space_pieces(spaces, &erased), nullptr,
                          out, masks_of(settings, true));
}

int do_erase(const char* device, PassOutcome* outcome) {
    return do_erase(device, outcome, KeepOptions{});
}

int do_erase(const char* device, PassOutcome* outcome, const KeepOptions& keep) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    // Only a part that keeps something over the erase needs its spaces.
    char* calibration = get_device_config_key(device, "/calibration/1/address");
    const bool keeps = calibration != nullptr || keep.eeprom || !keep.calibration.empty();
    std::free(calibration);
    Spaces spaces;
    part::Settings settings;
    part::Saved saved;
    if (keeps) {
        if (int code = spaces_for(device, "do_erase", spaces, out); code != 0) return code;
        settings = part::read_settings(device, spaces);
        if (int code =
                part::save_before_erase(kRestoreStyle, device, settings, keep, spaces, out, saved))
            return code;
        out.calibration = saved.calibration;
    }
    std::printf("Erasing %s : ", device);
    std::fflush(stdout);
    int result = 0;
    if (erase_device() != 0) {
        log_message(1, 14, kModule, "do_erase", "Unable to erase device.");
        out.stage = Stage::kErase;
        result = 14;
    } else if (keeps) {
        result = pass::run_pass(
            kRestoreStyle, device, spaces,
            part::keeping_pieces(nullptr, nullptr, settings, saved, spaces, &out.eeprom_kept),
            nullptr, out, masks_of(settings, false));
    }
    std::printf(result == 0 ? "Done\n" : "Failed\n");
    std::fflush(stdout);
    return result;
}

void print_calibration(const char* device) {
    char* first = get_device_config_key(device, "/calibration/1/address");
    if (first == nullptr) return;
    std::free(first);
    Spaces spaces;
    PassOutcome ignored;
    if (pass::read_spaces(device, "print_calibration", spaces) != 0) return;
    const part::Settings settings = part::read_settings(device, spaces);
    for (const part::CalibrationWord& word : settings.calibration) {
        if (word.space == kSpaceCount) continue;
        std::vector<int32_t> read;
        if (pass::read_units(kRestoreStyle, word.space, word.address, 1, read, ignored) == 0)
            std::printf("Calibration %04X: %04X\n", word.address, static_cast<unsigned>(read[0]));
        else
            std::printf("Calibration %04X: read failed\n", word.address);
    }
    std::fflush(stdout);
}
