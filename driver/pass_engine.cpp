// The pass engine: how a piece of the image, or of a space, is written, read
// back and compared, and the loop that takes a pass through its pieces.
#include "driver/pass_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/config.h"
#include "icd2/limits.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace pass {
namespace {

constexpr const char* kModule = "tarnwell";
constexpr size_t kInitialBufferWords = 1024;
constexpr int kProgramBlockWords = static_cast<int>(icd2_limits::kProgramBlockWords);
constexpr int kBlankProgramWord = icd2_limits::kBlankProgramWord;
constexpr uint32_t kMostPerRead = icd2_limits::kMostPerTransfer;
constexpr int32_t kMostPerProgramWrite = static_cast<int32_t>(icd2_limits::kMostPerProgramWrite);

// The passes' words for each space, and their codes when a transfer fails.
struct SpaceTexts {
    const char* name;  // in "Unbale to write %s memory" and "Unbale to read %s memory"
    int write_error_code;
    int prog_read_error_code;
    int verify_read_error_code;
    const char* erased_suffix;  // setting of the erased value
    int erased;                 // erased value when the setting is absent
};

const SpaceTexts kSpaceTexts[kSpaceCount] = {
    {"program", 6, 10, 8, "/erased/prog", 0x3FFF},
    {"eeprom", 8, 14, 8, "/erased/eeprom", 0xFF},
    {"ID", 9, 12, 9, "/erased/id", 0x3FFF},
    {"config", 7, 13, 7, "/erased/config", 0x3FFF},
};

Icd2Space icd2_space(int space) {
    return static_cast<Icd2Space>(space);
}
bool moves_bytes(int space) {
    return icd2_space_moves_bytes(icd2_space(space));
}

struct Bound {
    const char* suffix;
    int space;
    bool is_start;
    int code;
    const char* missing;
};

// Read in this order; the first missing one ends the pass with its code.
const Bound kBounds[] = {
    {"/address/prog/start", ICD2_PROGRAM, true, 1,
     "Unable to get start of program address space for device."},
    {"/address/prog/size", ICD2_PROGRAM, false, 2,
     "Unable to get program address size for device."},
    {"/address/config/start", ICD2_CONFIG, true, 3,
     "Unable to get start of config address space for device."},
    {"/address/config/size", ICD2_CONFIG, false, 4,
     "Unable to get config address size for device."},
    {"/address/eeprom/start", ICD2_EEPROM, true, 10,
     "Unable to get start of eeprom address space for device."},
    {"/address/eeprom/size", ICD2_EEPROM, false, 11,
     "Unable to get eeprom address size for device."},
    {"/address/id/start", ICD2_ID, true, 12, "Unable to get start of id address space for device."},
    {"/address/id/size", ICD2_ID, false, 13, "Unable to get id address size for device."},
};

// The space that holds address, or kSpaceCount after the warning that
// skips the record.
int find_space(const Spaces& spaces, uint32_t address, const char* function) {
    for (int index = 0; index < kSpaceCount; ++index) {
        if (spaces[index].holds(address)) return index;
    }
    log_message(2, 5, kModule, function,
                "Unable to identify address space from hex file: %04X. Ignoring line.", address);
    return kSpaceCount;
}

// The space that holds address, or kSpaceCount; no warning.
int space_of(const Spaces& spaces, uint32_t address) {
    int index = 0;
    while (index < kSpaceCount && !spaces[index].holds(address)) ++index;
    return index;
}

// The image's words a pass has sent to the device so far, by word address.
// A block's filler must never replace one of them.
class WrittenWords {
  public:
    void note(uint32_t address, const int32_t* words, int32_t count) {
        for (int32_t i = 0; i < count; ++i) words_[address + static_cast<uint32_t>(i)] = words[i];
    }
    // The word written at address, or fallback when none was.
    int32_t at(uint32_t address, int32_t fallback) const {
        auto found = words_.find(address);
        return found == words_.end() ? fallback : found->second;
    }

  private:
    std::unordered_map<uint32_t, int32_t> words_;
};

// Logs a failed write, unless the line was interrupted: then the run's end
// says why, and the transfer's own line would only mislead.
void log_write_failure(const char* function, int space, uint32_t address) {
    if (tty_interrupted() == 0)
        log_message(1, kSpaceTexts[space].write_error_code, kModule, function,
                    "Unbale to write %s memory: %04X", kSpaceTexts[space].name, address);
}

// Program memory is written in 8-word blocks, at most kMostPerProgramWrite
// words a write; the last, incomplete block is filled up with blank words,
// which are written but never read back. A filler word that falls on a word
// this pass has already written (records out of address order) is sent
// again with that word's value, so that it is never overwritten. The first
// write that fails ends the piece: its read-back then decides it, and a
// dead link costs one wait, not one per write.
// Whether count words from at on need not be written: the erase left every
// one of them as they are to be (erased >= 0: the space's erased value), and
// no earlier piece of the pass wrote there.
bool left_by_erase(const int32_t* words, uint32_t count, uint32_t at, int erased, bool bytes,
                   const WrittenWords& written) {
    if (erased < 0) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if ((bytes ? words[i] & 0xFF : words[i]) != erased) return false;
        if (written.at(at + i, -1) != -1) return false;
    }
    return true;
}

bool write_program(const char* function, const Piece& piece, WrittenWords& written) {
    const int32_t* words = piece.write;
    const uint32_t address = piece.address;
    const int32_t tail = piece.count % kProgramBlockWords;
    const int32_t whole = piece.count - tail;
    for (int32_t done = 0; done < whole;) {
        // A golden image's blank blocks are left to the erase; the blocks
        // between them go in writes of at most kMostPerProgramWrite words.
        if (left_by_erase(words + done, kProgramBlockWords, address + static_cast<uint32_t>(done),
                          piece.erased, false, written)) {
            done += kProgramBlockWords;
            continue;
        }
        int32_t n = kProgramBlockWords;
        while (n < kMostPerProgramWrite && done + n < whole &&
               !left_by_erase(words + done + n, kProgramBlockWords,
                              address + static_cast<uint32_t>(done + n), piece.erased, false,
                              written))
            n += kProgramBlockWords;
        const uint32_t at = address + static_cast<uint32_t>(done);
        if (icd2_write_words(ICD2_PROGRAM, words + done, at, static_cast<uint32_t>(n)) != 0) {
            log_write_failure(function, ICD2_PROGRAM, at);
            return false;
        }
        written.note(at, words + done, n);
        done += n;
    }
    if (tail == 0) return true;
    const uint32_t at = address + static_cast<uint32_t>(whole);
    int32_t block[kProgramBlockWords];
    for (int32_t i = 0; i < kProgramBlockWords; ++i)
        block[i] = i < tail ? words[whole + i]
                            : written.at(at + static_cast<uint32_t>(i), kBlankProgramWord);
    if (left_by_erase(block, kProgramBlockWords, at, piece.erased, false, written)) return true;
    if (icd2_write_words(ICD2_PROGRAM, block, at, kProgramBlockWords) != 0) {
        log_write_failure(function, ICD2_PROGRAM, address);
        return false;
    }
    written.note(at, words + whole, tail);
    return true;
}

// Writes a piece in transfers of at most kMostPerRead units (program memory:
// whole blocks, then the padded tail), and ends it at the first that fails.
// A piece of one record needs no more transfers than the record itself,
// since a record never holds more. True when every write succeeded.
bool write_piece(const char* function, const Piece& piece, ReadBuffer& buffer,
                 WrittenWords& written) {
    if (piece.space == ICD2_PROGRAM) return write_program(function, piece, written);
    // An empty record still makes its (empty) transfer.
    int32_t done = 0;
    do {
        const uint32_t n = std::min(static_cast<uint32_t>(piece.count - done), kMostPerRead);
        const uint32_t at = piece.address + static_cast<uint32_t>(done);
        const bool bytes = moves_bytes(piece.space);
        int result = 0;
        if (n > 0 && left_by_erase(piece.write + done, n, at, piece.erased, bytes, written)) {
            result = 0;
        } else if (bytes) {
            uint8_t* units = buffer.bytes();
            for (uint32_t i = 0; i < n; ++i) units[i] = static_cast<uint8_t>(piece.write[done + i]);
            result = icd2_write_bytes(icd2_space(piece.space), units, at, n);
        } else {
            result = icd2_write_words(icd2_space(piece.space), piece.write + done, at, n);
        }
        if (result != 0) {
            log_write_failure(function, piece.space, at);
            return false;
        }
        written.note(at, piece.write + done, static_cast<int32_t>(n));
        done += static_cast<int32_t>(n);
    } while (done < piece.count);
    return true;
}

// What reading a piece back and comparing it found.
struct Comparison {
    enum Outcome { kMatch, kDifference, kReadFailed } outcome = kMatch;
    uint32_t address = 0;  // the unit that differs, or the first of the failed read
    int index = 0;         // its index in the piece
    int value = 0;         // what was read there
};

// Reads the piece into the buffer in reads of at most kMostPerRead units (an
// empty piece makes one empty read) and compares each with the words
// expected there, if any. A read that failed decides its words: whatever the
// buffer holds was rejected by the link (a block that failed its checksum
// may still carry the right digits), so nothing of it is compared and the
// piece fails at the read's first word.
Comparison read_and_compare(const PassStyle& style, const Piece& piece, ReadBuffer& buffer,
                            const CompareMask& mask) {
    const SpaceTexts& texts = kSpaceTexts[piece.space];
    const bool bytes = moves_bytes(piece.space);
    Comparison result;
    int32_t done = 0;
    do {
        const uint32_t n = std::min(static_cast<uint32_t>(piece.count - done), kMostPerRead);
        const uint32_t at = piece.address + static_cast<uint32_t>(done);
        const Icd2Space space = icd2_space(piece.space);
        int status = bytes ? icd2_read_bytes(space, buffer.bytes() + done, at, n)
                           : icd2_read_words(space, buffer.words() + done, at, n);
        if (status != 0) {
            int code =
                style.prog_read_codes ? texts.prog_read_error_code : texts.verify_read_error_code;
            if (tty_interrupted() == 0)
                log_message(1, code, kModule, style.function, "Unbale to read %s memory: %04X",
                            texts.name, at);
            return {Comparison::kReadFailed, at, done, 0};
        }
        for (int32_t i = done; piece.expected != nullptr && i < done + static_cast<int32_t>(n);
             ++i) {
            int read = bytes ? buffer.bytes()[i] : buffer.words()[i];
            int expected = bytes ? (piece.expected[i] & 0xFF) : piece.expected[i];
            const int compared =
                mask ? mask(piece.space, piece.address + static_cast<uint32_t>(i)) : -1;
            if (((read ^ expected) & compared) != 0)
                return {Comparison::kDifference, piece.address + static_cast<uint32_t>(i), i, read};
        }
        done += static_cast<int32_t>(n);
    } while (done < piece.count);
    return result;
}

// A signal has interrupted the line: the progress line is ended, and the
// pass fails without a line of its own.
int interrupted(const PassStyle& style, PassOutcome& outcome) {
    std::printf("\n");
    std::fflush(stdout);
    outcome.stage = Stage::kInterrupted;
    return style.failure_code;
}

// Ends a pass that could not have its buffer.
int out_of_memory(int code, PassOutcome& outcome) {
    outcome.stage = Stage::kRead;
    return code;
}

}  // namespace

int read_spaces(const char* device, const char* function, Spaces& spaces) {
    for (const Bound& bound : kBounds) {
        char* key = get_device_config_key(device, bound.suffix);
        if (key == nullptr) {
            log_message(1, bound.code, kModule, function, "%s", bound.missing);
            return bound.code;
        }
        uint32_t value = static_cast<uint32_t>(get_config_long(key));
        std::free(key);
        Space& space = spaces[bound.space];
        (bound.is_start ? space.start : space.size) = value;
    }
    return 0;
}

int erased_value(const char* device, int space) {
    const SpaceTexts& texts = kSpaceTexts[space];
    int value = texts.erased;
    if (char* key = get_device_config_key(device, texts.erased_suffix); key != nullptr) {
        value = static_cast<int>(get_config_long(key));
        std::free(key);
    }
    return value;
}

bool coalesces(const char* device) {
    char* key = get_device_config_key(device, "/transfer/coalesce");
    if (key == nullptr) return false;
    bool on = get_config_long(key) == 1;
    std::free(key);
    return on;
}

bool ReadBuffer::grow(size_t words) {
    void* block = std::realloc(block_.get(), words * sizeof(int));
    if (block == nullptr) return false;
    block_.release();
    block_.reset(static_cast<int*>(block));
    capacity_ = words;
    return true;
}

bool ReadBuffer::make_room(int32_t words, int code, const char* function) {
    if (static_cast<size_t>(words) <= capacity_ || grow(static_cast<size_t>(words))) return true;
    log_message(1, code, kModule, function, "Unable to allocate memory for verification.");
    return false;
}

PieceSource image_pieces(const HexRecord* list, bool write, const Spaces& spaces, bool coalesce,
                         const int* erased) {
    struct Walk {
        HexDataCursor cursor;
        const HexRecord* record = nullptr;  // the next record, read ahead
        uint32_t address = 0;
        std::vector<int32_t> run;
    };
    auto walk = std::make_shared<Walk>();
    walk->cursor = hexDataCursor(list);
    walk->record = nextHexData(&walk->cursor, &walk->address);
    return [walk, write, &spaces, coalesce, erased](Piece& piece) {
        const HexRecord* first = walk->record;
        if (first == nullptr) return false;
        const uint32_t start = walk->address;
        piece = Piece{kSpaceCount, start, first->count, write ? first->data : nullptr, first->data};
        walk->record = nextHexData(&walk->cursor, &walk->address);
        const int space = coalesce ? space_of(spaces, start) : kSpaceCount;
        if (space == kSpaceCount) return true;

        walk->run.assign(first->data, first->data + first->count);
        while (walk->record != nullptr && !walk->cursor.extended &&
               walk->address == start + walk->run.size() &&
               space_of(spaces, walk->address) == space) {
            walk->run.insert(walk->run.end(), walk->record->data,
                             walk->record->data + walk->record->count);
            walk->record = nextHexData(&walk->cursor, &walk->address);
        }
        piece = Piece{space,
                      start,
                      static_cast<int32_t>(walk->run.size()),
                      write ? walk->run.data() : nullptr,
                      walk->run.data(),
                      erased != nullptr ? erased[space] : -1};
        return true;
    };
}

PieceSource space_pieces(const Spaces& spaces,
                         const std::vector<int32_t> (*expected)[kSpaceCount]) {
    auto position = std::make_shared<std::pair<int, uint32_t>>(0, 0);
    return [&spaces, expected, position](Piece& piece) {
        auto& [space, done] = *position;
        while (space < kSpaceCount && done >= spaces[space].size) {
            ++space;
            done = 0;
        }
        if (space == kSpaceCount) return false;
        uint32_t count = std::min(kMostPerRead, spaces[space].size - done);
        piece = Piece{space, spaces[space].start + done, static_cast<int32_t>(count), nullptr,
                      expected != nullptr ? (*expected)[space].data() : nullptr};
        done += count;
        return true;
    };
}

int read_units(const PassStyle& style, int space, uint32_t address, uint32_t count,
               std::vector<int32_t>& words, PassOutcome& outcome) {
    ReadBuffer buffer;
    if (!buffer.make_room(static_cast<int32_t>(count), style.allocation_code, style.function))
        return out_of_memory(style.allocation_code, outcome);
    const Piece piece{space, address, static_cast<int32_t>(count), nullptr, nullptr};
    const Comparison found = read_and_compare(style, piece, buffer, {});
    if (found.outcome == Comparison::kReadFailed) {
        outcome.stage = tty_interrupted() != 0 ? Stage::kInterrupted : Stage::kRead;
        outcome.address = found.address;
        return style.failure_code;
    }
    const bool bytes = moves_bytes(space);
    words.resize(count);
    for (uint32_t i = 0; i < count; ++i) words[i] = bytes ? buffer.bytes()[i] : buffer.words()[i];
    return 0;
}

int run_pass(const PassStyle& style, const char* device, const Spaces& spaces,
             const PieceSource& next, const PieceSink& keep, PassOutcome& outcome,
             const CompareMask& mask) {
    ReadBuffer buffer;
    if (!buffer.grow(kInitialBufferWords)) {
        log_message(1, style.allocation_code, kModule, style.function,
                    "Unable to allocate memory for verification.");
        return out_of_memory(style.allocation_code, outcome);
    }
    if (style.erases && erase_device() != 0) {
        log_message(1, 14, kModule, style.function, "Unable to erase device.");
        outcome.stage = Stage::kErase;
        return 14;
    }
    style.opening(device);
    std::fflush(stdout);

    WrittenWords written;
    Piece piece;
    while (next(piece)) {
        if (tty_interrupted() != 0) return interrupted(style, outcome);
        if (!style.progress_before_growth && !buffer.make_room(piece.count, 15, style.function))
            return out_of_memory(15, outcome);
        style.progress(device, piece.address);
        std::fflush(stdout);
        if (style.progress_before_growth && !buffer.make_room(piece.count, 15, style.function))
            return out_of_memory(15, outcome);
        if (piece.space == kSpaceCount)
            piece.space = find_space(spaces, piece.address, style.function);
        if (piece.space == kSpaceCount) {
            if (outcome.skipped_records++ == 0) outcome.first_skipped = piece.address;
            continue;
        }

        const bool wrote =
            piece.write == nullptr || write_piece(style.function, piece, buffer, written);
        Comparison found = read_and_compare(style, piece, buffer, mask);
        if (found.outcome != Comparison::kMatch && tty_interrupted() != 0)
            return interrupted(style, outcome);
        const bool bytes = moves_bytes(piece.space);
        if (found.outcome == Comparison::kReadFailed) {
            style.read_failed(device, found.address, bytes);
            std::fflush(stdout);
            outcome.stage = wrote ? Stage::kRead : Stage::kWrite;
            outcome.address = found.address;
            return style.failure_code;
        }
        if (found.outcome == Comparison::kDifference) {
            const int expected =
                bytes ? piece.expected[found.index] & 0xFF : piece.expected[found.index];
            style.difference(device, found.address, found.value, expected, bytes);
            std::fflush(stdout);
            outcome.stage = !wrote ? Stage::kWrite : style.difference_stage;
            outcome.difference = true;
            outcome.address = found.address;
            outcome.read = found.value;
            outcome.expected = expected;
            return style.failure_code;
        }
        if (keep) keep(piece, buffer);
    }
    style.closing(device);
    std::fflush(stdout);
    return 0;
}

}  // namespace pass
