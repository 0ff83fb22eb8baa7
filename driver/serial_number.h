// Serial numbers (-s): a file that a line's stations share, with the
// settings of the number first and then a journal that tarnwell appends to:
//
//   address = 8188     word address of the number's first word
//   length = 4         words, one byte of the number in each
//   format = bcd       binary | bcd | ascii
//   order = msb        msb | lsb: which byte comes first
//   template = 13312   the bits above the byte in each word
//   first = 1
//   last = 99999999
//   reserve 17 2026-12-07T10:15:02Z /dev/ttyUSB0 4711
//   used 17 2026-12-07T10:15:09Z /dev/ttyUSB0 4711
//   void 18 2026-12-07T10:15:11Z /dev/ttyUSB1 4712 difference
//
// A run takes one more than the highest number anywhere in the journal (never
// below first), so a number reserved by a process that died is never given
// again. Every read and append happens under an fcntl write lock on the whole
// file, and every append is synced before the lock is let go.
#pragma once

#include <vector>

#include "driver/driver.h"
#include "driver/pass_engine.h"

// What a run took of a serial file.
struct SerialTake {
    long number = -1;               // -1: none
    std::vector<SerialWord> words;  // the number's words, in address order
    Stage stage = Stage::kOk;       // what refused a number
};

// After the processor is identified and before anything is erased: locks the
// file at path, reads it, checks its settings against device's spaces, takes
// the next number and appends its "reserve" line for tty. 0, or after the
// ERROR line the exit status: 1 (the file cannot be opened, locked or read,
// a setting cannot hold or a journal line cannot be read, each named by its
// line), 5 (no number left, or the processor's spaces are not configured).
int serial_take(const char* path, const char* device, const char* tty, SerialTake* take);
// Appends number's outcome under the lock: "used" for a run that ended with
// status 0, else "void" with the word of the stage that decided it. 0, or 1
// after an ERROR line.
int serial_record(const char* path, long number, const char* tty, int status, Stage stage);

namespace serial {

// The image's pieces with the words put in: each replaces the image's unit at
// its address wherever a piece of the same space holds it, and the words no
// piece held follow the image as pieces of their own.
pass::PieceSource placing_pieces(pass::PieceSource image, const std::vector<SerialWord>& words,
                                 const pass::Spaces& spaces);

}  // namespace serial
