// Inside the driver: the one loop that every pass over the target's memory
// runs (programming, verification, read-out, blank check), and the pieces it
// is fed. What tells the passes apart is a PassStyle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "driver/driver.h"
#include "hex/hex.h"
#include "icd2/icd2.h"

namespace pass {

// The four memory spaces, in the order a record's address is tested: where
// spaces overlap, program memory wins, then EEPROM, then ID.
constexpr int kSpaceCount = ICD2_SPACE_COUNT;

struct Space {
    uint32_t start = 0;
    uint32_t size = 0;

    // The sum is taken in 32 bits, as the ICD2's addresses are.
    bool holds(uint32_t address) const {
        return start <= address && address < static_cast<uint32_t>(start + size);
    }
};
using Spaces = Space[kSpaceCount];

// Reads the eight bounds of device; 0, or the code of the first missing one
// (logged for function).
int read_spaces(const char* device, const char* function, Spaces& spaces);
// The erased value of each space: "/erased/prog", "/erased/eeprom",
// "/erased/id", "/erased/config", else 0x3FFF for words and 0xFF for EEPROM.
int erased_value(const char* device, int space);
// Whether the device's passes merge contiguous records ("/transfer/coalesce"
// = 1, the processor's setting over its family's).
bool coalesces(const char* device);

// The read-back buffer: words, or bytes for EEPROM, in one block that only
// grows.
class ReadBuffer {
  public:
    bool grow(size_t words);
    // Makes room for a piece of words; false (logged with code) when the
    // buffer cannot grow.
    bool make_room(int32_t words, int code, const char* function);
    int* words() { return block_.get(); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(block_.get()); }

  private:
    struct FreeDeleter {
        void operator()(void* block) const { std::free(block); }
    };
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
    // The space's erased value, when units of it that the erase left as they
    // are to be need not be written; -1: every unit is written.
    int erased = -1;
};

// Hands out the pieces of a pass, one at a time; false at the end.
using PieceSource = std::function<bool(Piece&)>;
// Takes what a piece read, for passes that keep it.
using PieceSink = std::function<void(const Piece&, ReadBuffer&)>;

// The data records of the image in file order, each placed by its address.
// With coalesce, a run of records that follow each other in the file, lie in
// one space and continue each other's word addresses becomes one piece; a
// gap, an overlap, an extended linear address record or another space ends
// the run. write: the pieces are to be written first. erased (with
// coalesce, for programming): each space's erased value, so that what the
// erase left as it is to be is not written again; null: everything is.
PieceSource image_pieces(const HexRecord* list, bool write, const Spaces& spaces, bool coalesce,
                         const int* erased = nullptr);
// Every configured space from its start to its end, in reads of at most
// kMostPerTransfer units; expected, when given, holds the value each unit of
// a space must have.
PieceSource space_pieces(const Spaces& spaces, const std::vector<int32_t> (*expected)[kSpaceCount]);

// Everything that tells one pass from another: its texts (each a function
// with its literal format), its failure codes, whether it erases first.
struct PassStyle {
    const char* function;  // the passes' log lines name it
    void (*opening)(const char* device);
    void (*progress)(const char* device, uint32_t address);
    bool progress_before_growth;
    bool erases;
    int allocation_code;   // the first buffer cannot be allocated
    bool prog_read_codes;  // read failures use the programming pass's codes
    int failure_code;      // a difference or a failed read
    // bytes: an EEPROM unit, whose values are bytes.
    void (*difference)(const char* device, uint32_t address, int read, int expected, bool bytes);
    void (*read_failed)(const char* device, uint32_t address, bool bytes);
    void (*closing)(const char* device);
    Stage difference_stage;
};

// The bits of a word that are compared, by space and address; empty: every
// bit of every word.
using CompareMask = std::function<int(int space, uint32_t address)>;

// The one loop of every pass: erases when the style says so, then writes,
// reads back and compares each piece. Returns 0, or the code of the failure,
// noting what decided it in outcome.
int run_pass(const PassStyle& style, const char* device, const Spaces& spaces,
             const PieceSource& next, const PieceSink& keep, PassOutcome& outcome,
             const CompareMask& mask = {});
// Reads count units of space from address on into words (EEPROM: one byte a
// word), in reads of at most kMostPerTransfer; 0, or the failure code of
// style after the read's line (noted in outcome as a failed read).
int read_units(const PassStyle& style, int space, uint32_t address, uint32_t count,
               std::vector<int32_t>& words, PassOutcome& outcome);

}  // namespace pass
