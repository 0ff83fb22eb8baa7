// The passes over the target's memory: programming (erase, then write, read
// back and compare each data record), verification (read and compare only),
// read-out and blank check. They share one loop; what tells them apart is
// data: texts, codes, whether they write, and where their pieces come from.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "icd2/icd2.h"
#include "icd2/limits.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "tarnwell";
constexpr size_t kInitialBufferWords = 1024;
constexpr int kProgramBlockWords = static_cast<int>(icd2_limits::kProgramBlockWords);
constexpr int kBlankProgramWord = icd2_limits::kBlankProgramWord;
constexpr uint32_t kMostPerRead = icd2_limits::kMostPerTransfer;
constexpr int32_t kMostPerProgramWrite = static_cast<int32_t>(icd2_limits::kMostPerProgramWrite);

struct Space {
    uint32_t start = 0;
    uint32_t size = 0;

    // The sum is taken in 32 bits, as the ICD2's addresses are.
    bool holds(uint32_t address) const {
        return start <= address && address < static_cast<uint32_t>(start + size);
    }
};

// How each space is moved through the ICD2, and the words each pass uses
// when a transfer fails.
struct SpaceOps {
    const char* write_code;
    const char* read_code;
    bool bytes;  // EEPROM holds one byte per record word: its low 8 bits
    int write_error_code;
    const char* write_error;
    int prog_read_error_code;
    int verify_read_error_code;
    const char* read_error;
    const char* erased_suffix;  // setting of the erased value
    int erased;                 // erased value when the setting is absent
};

enum SpaceIndex { kProgram, kEeprom, kId, kConfig, kSpaceCount };

// In the order a record's address is tested: where spaces overlap, program
// memory wins, then EEPROM, then ID.
const SpaceOps kSpaceOps[kSpaceCount] = {
    {"43", "47", false, 6, "Unbale to write program memory: %04X", 10, 8,
     "Unbale to read program memory: %04X", "/erased/prog", 0x3FFF},
    {"44", "48", true, 8, "Unbale to write eeprom memory: %04X", 14, 8,
     "Unbale to read eeprom memory: %04X", "/erased/eeprom", 0xFF},
    {"46", "4A", false, 9, "Unbale to write ID memory: %04X", 12, 9,
     "Unbale to read ID memory: %04X", "/erased/id", 0x3FFF},
    {"45", "49", false, 7, "Unbale to write config memory: %04X", 13, 7,
     "Unbale to read config memory: %04X", "/erased/config", 0x3FFF},
};

struct Bound {
    const char* suffix;
    SpaceIndex space;
    bool is_start;
    int code;
    const char* missing;
};

// Read in this order; the first missing one ends the pass with its code.
const Bound kBounds[] = {
    {"/address/prog/start", kProgram, true, 1,
     "Unable to get start of program address space for device."},
    {"/address/prog/size", kProgram, false, 2, "Unable to get program address size for device."},
    {"/address/config/start", kConfig, true, 3,
     "Unable to get start of config address space for device."},
    {"/address/config/size", kConfig, false, 4, "Unable to get config address size for device."},
    {"/address/eeprom/start", kEeprom, true, 10,
     "Unable to get start of eeprom address space for device."},
    {"/address/eeprom/size", kEeprom, false, 11, "Unable to get eeprom address size for device."},
    {"/address/id/start", kId, true, 12, "Unable to get start of id address space for device."},
    {"/address/id/size", kId, false, 13, "Unable to get id address size for device."},
};

// Reads the eight bounds; 0, or the code of the first missing one (logged).
int read_spaces(const char* device, const char* function, Space (&spaces)[kSpaceCount]) {
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

// The space that holds address, or kSpaceCount after the warning that
// skips the record.
int find_space(const Space (&spaces)[kSpaceCount], uint32_t address, const char* function) {
    for (int index = 0; index < kSpaceCount; ++index) {
        if (spaces[index].holds(address)) return index;
    }
    log_message(2, 5, kModule, function,
                "Unable to identify address space from hex file: %04X. Ignoring line.", address);
    return kSpaceCount;
}

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// The read-back buffer: words, or bytes for EEPROM, in one block that only
// grows.
class ReadBuffer {
  public:
    bool allocate(size_t words) { return grow(words); }

    // Makes room for a record of words; false (logged with code) when the
    // buffer cannot grow.
    bool make_room(int32_t words, int code, const char* function) {
        if (static_cast<size_t>(words) <= capacity_ || grow(static_cast<size_t>(words)))
            return true;
        log_message(1, code, kModule, function, "Unable to allocate memory for verification.");
        return false;
    }

    bool grow(size_t words) {
        void* block = std::realloc(block_.get(), words * sizeof(int));
        if (block == nullptr) return false;
        block_.release();
        block_.reset(static_cast<int*>(block));
        capacity_ = words;
        return true;
    }

    int* words() { return block_.get(); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(block_.get()); }

  private:
    std::unique_ptr<int, FreeDeleter> block_;
    size_t capacity_ = 0;
};

// One piece of a pass: count units of one space from address on, with the
// words to write first (programming only) and the words to find there (null
// when the pass keeps what it reads).
struct Piece {
    int space = kSpaceCount;  // kSpaceCount: placed by its address, with a warning if nowhere
    uint32_t address = 0;
    int32_t count = 0;
    const int32_t* write = nullptr;
    const int32_t* expected = nullptr;
};

// Everything that tells one pass from another.
struct PassStyle {
    const char* function;
    const char* opening;   // with the device name
    const char* progress;  // with the device name and the address twice
    bool progress_before_growth;
    bool erases;
    int allocation_code;          // the first buffer cannot be allocated
    bool prog_read_codes;         // read failures use the programming pass's codes
    int failure_code;             // a difference or a failed read
    const char* word_difference;  // device, address, word read, word expected
    const char* byte_difference;
    const char* word_read_failed;  // device, address
    const char* byte_read_failed;
    const char* closing;           // with the device name
    const char* difference_stage;  // the run report's word for a difference
};

const PassStyle kProgramStyle = {
    "do_prog",
    "Programming %s : ",
    "\rProgramming %s : %04X Verifying : %04X",
    false,
    true,
    25,
    true,
    11,
    "\rProgramming %s : Verify failed at adress %04X Reads %04X instead of %04X\n",
    "\rProgramming %s : Verify failed at adress %04X Reads %2X instead of %02X\n",
    "\rProgramming %s : Verify failed at adress %04X, read failed\n",
    "\rProgramming %s : Verify failed at adress %04X, read failed\n",
    "\rProgramming %s : Done Verifying : Passed        \n",
    "difference",
};

const PassStyle kVerifyStyle = {
    "do_verify",
    "Verifying %s : ",
    "\rVerifying %s : %04X",
    true,
    false,
    14,
    false,
    16,
    "\rVerifying %s : Failed at adress %04X Reads %04X instead of %04X\n",
    "\rVerifying %s : Failed at adress %4X Reads %4X instead of %04X\n",
    "\rVerifying %s : Failed at adress %04X, read failed\n",
    "\rVerifying %s : Failed at adress %4X, read failed\n",
    "\rVerifying %s : Passed          \n",
    "difference",
};

const PassStyle kReadOutStyle = {
    "do_read_out",
    "Reading %s : ",
    "\rReading %s : %04X",
    true,
    false,
    14,
    false,
    5,
    nullptr,
    nullptr,
    "\rReading %s : Failed at adress %04X, read failed\n",
    "\rReading %s : Failed at adress %04X, read failed\n",
    "\rReading %s : Done        \n",
    "read",
};

const PassStyle kBlankStyle = {
    "do_blank_check",
    "Blank checking %s : ",
    "\rBlank checking %s : %04X",
    true,
    false,
    14,
    false,
    5,
    "\rBlank checking %s : Blank check failed at adress %04X Reads %04X instead of %04X\n",
    "\rBlank checking %s : Blank check failed at adress %04X Reads %2X instead of %02X\n",
    "\rBlank checking %s : Blank check failed at adress %04X, read failed\n",
    "\rBlank checking %s : Blank check failed at adress %04X, read failed\n",
    "\rBlank checking %s : Blank    \n",
    "not-blank",
};

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
void log_write_failure(const SpaceOps& ops, uint32_t address) {
    if (tty_interrupted() == 0)
        log_message(1, ops.write_error_code, kModule, "do_prog", ops.write_error, address);
}

// Program memory is written in 8-word blocks, at most kMostPerProgramWrite
// words a write; the last, incomplete block is filled up with blank words,
// which are written but never read back. A filler word that falls on a word
// this pass has already written (records out of address order) is sent
// again with that word's value, so that it is never overwritten. The first
// write that fails ends the piece: its read-back then decides it, and a
// dead link costs one wait, not one per write.
bool write_program(const int32_t* words, int32_t count, uint32_t address, WrittenWords& written) {
    const SpaceOps& ops = kSpaceOps[kProgram];
    const int32_t tail = count % kProgramBlockWords;
    const int32_t whole = count - tail;
    for (int32_t done = 0; done < whole;) {
        const int32_t n = std::min(whole - done, kMostPerProgramWrite);
        const uint32_t at = address + static_cast<uint32_t>(done);
        if (icd2_send_words(words + done, ops.write_code, at, static_cast<uint32_t>(n)) != 0) {
            log_write_failure(ops, at);
            return false;
        }
        written.note(at, words + done, n);
        done += n;
    }
    if (tail == 0) return true;
    const uint32_t at = address + static_cast<uint32_t>(whole);
    int block[kProgramBlockWords];
    for (int32_t i = 0; i < kProgramBlockWords; ++i)
        block[i] = i < tail ? words[whole + i]
                            : written.at(at + static_cast<uint32_t>(i), kBlankProgramWord);
    if (icd2_send_words(block, ops.write_code, at, kProgramBlockWords) != 0) {
        log_write_failure(ops, address);
        return false;
    }
    written.note(at, words + whole, tail);
    return true;
}

// Writes a piece in transfers of at most kMostPerRead units (program memory:
// whole blocks, then the padded tail), and ends it at the first that fails.
// A piece of one record needs no more transfers than the record itself,
// since a record never holds more. True when every write succeeded.
bool write_piece(const Piece& piece, ReadBuffer& buffer, WrittenWords& written) {
    if (piece.space == kProgram)
        return write_program(piece.write, piece.count, piece.address, written);
    const SpaceOps& ops = kSpaceOps[piece.space];
    // An empty record still makes its (empty) transfer.
    int32_t done = 0;
    do {
        const uint32_t n = std::min(static_cast<uint32_t>(piece.count - done), kMostPerRead);
        const uint32_t at = piece.address + static_cast<uint32_t>(done);
        int result = 0;
        if (ops.bytes) {
            uint8_t* bytes = buffer.bytes();
            for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(piece.write[done + i]);
            result = icd2_send_bytes(bytes, ops.write_code, at, n);
        } else {
            result = icd2_send_words(piece.write + done, ops.write_code, at, n);
        }
        if (result != 0) {
            log_write_failure(ops, at);
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
// empty piece makes one empty read) and
// compares each with the words expected there, if any. A read that failed
// decides its words: whatever the buffer holds was rejected by the link (a
// block that failed its checksum may still carry the right digits), so
// nothing of it is compared and the piece fails at the read's first word.
Comparison read_and_compare(const PassStyle& style, const Piece& piece, ReadBuffer& buffer) {
    const SpaceOps& ops = kSpaceOps[piece.space];
    Comparison result;
    int32_t done = 0;
    do {
        const uint32_t n = std::min(static_cast<uint32_t>(piece.count - done), kMostPerRead);
        const uint32_t at = piece.address + static_cast<uint32_t>(done);
        int status = ops.bytes ? icd2_get_bytes(buffer.bytes() + done, ops.read_code, at, n)
                               : icd2_get_words(buffer.words() + done, ops.read_code, at, n);
        if (status != 0) {
            int code =
                style.prog_read_codes ? ops.prog_read_error_code : ops.verify_read_error_code;
            if (tty_interrupted() == 0)
                log_message(1, code, kModule, style.function, ops.read_error, at);
            return {Comparison::kReadFailed, at, done, 0};
        }
        for (int32_t i = done; piece.expected != nullptr && i < done + static_cast<int32_t>(n);
             ++i) {
            int read = ops.bytes ? buffer.bytes()[i] : buffer.words()[i];
            int expected = ops.bytes ? (piece.expected[i] & 0xFF) : piece.expected[i];
            if (read != expected)
                return {Comparison::kDifference, piece.address + static_cast<uint32_t>(i), i, read};
        }
        done += static_cast<int32_t>(n);
    } while (done < piece.count);
    return result;
}

// Hands out the pieces of a pass, one at a time; false at the end.
using PieceSource = std::function<bool(Piece&)>;
// Takes what a piece read, for passes that keep it.
using PieceSink = std::function<void(const Piece&, ReadBuffer&)>;

// A signal has interrupted the line: the progress line is ended, and the
// pass fails without a line of its own.
int interrupted(const PassStyle& style, PassOutcome& outcome) {
    std::printf("\n");
    std::fflush(stdout);
    outcome.stage = "interrupted";
    return style.failure_code;
}

// The one loop of every pass. Returns 0, or the code of the failure.
int run_pass(const PassStyle& style, const char* device, const Space (&spaces)[kSpaceCount],
             const PieceSource& next, const PieceSink& keep, PassOutcome& outcome) {
    ReadBuffer buffer;
    if (!buffer.allocate(kInitialBufferWords)) {
        log_message(1, style.allocation_code, kModule, style.function,
                    "Unable to allocate memory for verification.");
        outcome.stage = "read";
        return style.allocation_code;
    }
    if (style.erases && erase_device() != 0) {
        log_message(1, 14, kModule, style.function, "Unable to erase device.");
        outcome.stage = "erase";
        return 14;
    }
    std::printf(style.opening, device);
    std::fflush(stdout);

    WrittenWords written;
    Piece piece;
    while (next(piece)) {
        if (tty_interrupted() != 0) return interrupted(style, outcome);
        if (!style.progress_before_growth && !buffer.make_room(piece.count, 15, style.function)) {
            outcome.stage = "read";
            return 15;
        }
        std::printf(style.progress, device, piece.address, piece.address);
        std::fflush(stdout);
        if (style.progress_before_growth && !buffer.make_room(piece.count, 15, style.function)) {
            outcome.stage = "read";
            return 15;
        }
        if (piece.space == kSpaceCount)
            piece.space = find_space(spaces, piece.address, style.function);
        if (piece.space == kSpaceCount) continue;

        const bool wrote = piece.write == nullptr || write_piece(piece, buffer, written);
        Comparison found = read_and_compare(style, piece, buffer);
        if (found.outcome != Comparison::kMatch && tty_interrupted() != 0)
            return interrupted(style, outcome);
        const bool bytes = kSpaceOps[piece.space].bytes;
        if (found.outcome == Comparison::kReadFailed) {
            std::printf(bytes ? style.byte_read_failed : style.word_read_failed, device,
                        found.address);
            std::fflush(stdout);
            outcome.stage = wrote ? "read" : "write";
            outcome.address = found.address;
            return style.failure_code;
        }
        if (found.outcome == Comparison::kDifference) {
            int expected = piece.expected[found.index];
            std::printf(bytes ? style.byte_difference : style.word_difference, device,
                        found.address, found.value, bytes ? expected & 0xFF : expected);
            std::fflush(stdout);
            outcome.stage = !wrote ? "write" : style.difference_stage;
            outcome.difference = true;
            outcome.address = found.address;
            outcome.read = found.value;
            outcome.expected = bytes ? expected & 0xFF : expected;
            return style.failure_code;
        }
        if (keep) keep(piece, buffer);
    }
    std::printf(style.closing, device);
    std::fflush(stdout);
    return 0;
}

// The space that holds address, or kSpaceCount; no warning.
int space_of(const Space (&spaces)[kSpaceCount], uint32_t address) {
    int index = 0;
    while (index < kSpaceCount && !spaces[index].holds(address)) ++index;
    return index;
}

// The data records of the image in file order, each placed by its address.
// With coalesce, a run of records that follow each other in the file, lie in
// one space and continue each other's word addresses becomes one piece;
// a gap, an overlap, an extended linear address record or another space
// ends the run.
PieceSource image_pieces(const HexRecord* list, bool write, const Space (&spaces)[kSpaceCount],
                         bool coalesce) {
    struct Walk {
        HexDataCursor cursor;
        const HexRecord* record = nullptr;  // the next record, read ahead
        uint32_t address = 0;
        std::vector<int32_t> run;
    };
    auto walk = std::make_shared<Walk>();
    walk->cursor = hexDataCursor(list);
    walk->record = nextHexData(&walk->cursor, &walk->address);
    return [walk, write, &spaces, coalesce](Piece& piece) {
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
        piece = Piece{space, start, static_cast<int32_t>(walk->run.size()),
                      write ? walk->run.data() : nullptr, walk->run.data()};
        return true;
    };
}

// Whether the device's passes merge contiguous records ("/transfer/coalesce"
// = 1, the processor's setting over its family's).
bool coalesces(const char* device) {
    char* key = get_device_config_key(device, "/transfer/coalesce");
    if (key == nullptr) return false;
    bool on = get_config_long(key) == 1;
    std::free(key);
    return on;
}

// Every configured space from its start to its end, in reads of at most
// kMostPerRead units; expected, when given, holds the value each unit of a
// space must have.
PieceSource space_pieces(const Space (&spaces)[kSpaceCount],
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

}  // namespace

int erase_device() {
    if (do_command("3300") == nullptr) {
        log_message(1, 1, kModule, "erase_device", "Unable to clear MCLR");
        return 1;
    }
    if (do_command("29") == nullptr) {
        log_message(1, 2, kModule, "erase_device", "Unable to erase device");
        return 1;
    }
    return 0;
}

int do_prog(HexRecord* list, const char* device) {
    return do_prog(list, device, nullptr);
}

int do_prog(HexRecord* list, const char* device, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_prog", spaces); code != 0)
        return out.stage = "config", code;
    return run_pass(kProgramStyle, device, spaces,
                    image_pieces(list, true, spaces, coalesces(device)), nullptr, out);
}

int do_verify(HexRecord* list, const char* device) {
    return do_verify(list, device, nullptr);
}

int do_verify(HexRecord* list, const char* device, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_verify", spaces); code != 0)
        return out.stage = "config", code;
    return run_pass(kVerifyStyle, device, spaces,
                    image_pieces(list, false, spaces, coalesces(device)), nullptr, out);
}

int do_read_out(const char* device, FILE* stream, PassOutcome* outcome) {
    PassOutcome ignored;
    PassOutcome& out = outcome != nullptr ? *outcome : ignored;
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_read_out", spaces); code != 0)
        return out.stage = "config", code;
    std::vector<int32_t> image[kSpaceCount];
    auto keep = [&image](const Piece& piece, ReadBuffer& buffer) {
        // EEPROM bytes go out as words with a high byte of 0, the form in
        // which an image programs them back.
        const bool bytes = kSpaceOps[piece.space].bytes;
        for (int32_t i = 0; i < piece.count; ++i)
            image[piece.space].push_back(bytes ? buffer.bytes()[i] : buffer.words()[i]);
    };
    int result = run_pass(kReadOutStyle, device, spaces, space_pieces(spaces, nullptr), keep, out);
    if (result != 0) return result;
    // The file lists its spaces in ascending order of address, as toolchains
    // do, whatever order they were read in.
    int order[kSpaceCount] = {kProgram, kEeprom, kId, kConfig};
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
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_blank_check", spaces); code != 0)
        return out.stage = "config", code;
    std::vector<int32_t> erased[kSpaceCount];
    for (int space = 0; space < kSpaceCount; ++space) {
        const SpaceOps& ops = kSpaceOps[space];
        int value = ops.erased;
        if (char* key = get_device_config_key(device, ops.erased_suffix); key != nullptr) {
            value = static_cast<int>(get_config_long(key));
            std::free(key);
        }
        erased[space].assign(kMostPerRead, value);
    }
    return run_pass(kBlankStyle, device, spaces, space_pieces(spaces, &erased), nullptr, out);
}

int do_erase(const char* device, PassOutcome* outcome) {
    std::printf("Erasing %s : ", device);
    std::fflush(stdout);
    if (erase_device() != 0) {
        log_message(1, 14, kModule, "do_erase", "Unable to erase device.");
        if (outcome != nullptr) outcome->stage = "erase";
        std::printf("Failed\n");
        std::fflush(stdout);
        return 14;
    }
    std::printf("Done\n");
    std::fflush(stdout);
    return 0;
}
