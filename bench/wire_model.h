// The benchmark's model of the wire: the bytes of frames and blocks, and the
// traffic the protocol needs to program or verify an image with a given
// transfer style, counted per command code. The transfer limits are the
// product's own (icd2/limits.h), so the model follows any change of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image.h"

namespace bench {

constexpr unsigned kHandshakeBaud = 19200;
constexpr unsigned kFastBaud = 57600;

// Bytes in each direction, split by the line speed they travelled at.
struct Wire {
    uint64_t in_slow = 0, out_slow = 0;  // host -> ICD2, ICD2 -> host at 19200
    uint64_t in_fast = 0, out_fast = 0;  // the same at 57600
    uint64_t answers = 0;                // times the host waits for the ICD2 to answer
    uint64_t in() const { return in_slow + in_fast; }
    uint64_t out() const { return out_slow + out_fast; }
    uint64_t total() const { return in() + out(); }
    double limit_seconds() const {
        return static_cast<double>(in_slow + out_slow) * 10.0 / kHandshakeBaud +
               static_cast<double>(in_fast + out_fast) * 10.0 / kFastBaud;
    }
};

// Frames, bytes host -> ICD2 and bytes ICD2 -> host for one command code
// (or "handshake" for the raw wake bytes).
struct Traffic {
    unsigned frames = 0;
    uint64_t in = 0, out = 0;
    uint64_t answers = 0;  // needed only: each command's, each written block's, the wake byte's
};
using TrafficByCode = std::map<std::string, Traffic>;

// "<LL text CC>" and "[LL body CC]": six characters around the text.
inline uint64_t frame_bytes(size_t text) {
    return text + 6;
}
// "{digits CS}": four digits a word or two a byte, checksum and braces.
inline uint64_t block_bytes(uint32_t count, bool bytes) {
    return uint64_t{count} * (bytes ? 2 : 4) + 4;
}
// The EEPROM's codes, whose blocks carry bytes instead of words.
inline bool is_byte_code(const std::string& code) {
    return code == "44" || code == "48";
}

// What the protocol needs: the handshake, the probe of one identified part,
// the erase when programming, and for every piece of the image its writes
// (when programming) and its reads, with record-by-record or coalesced
// transfers. Coalesced, the writes the erase makes needless are left out as
// the passes leave them out: a whole program block of kBlankProgramWord, a
// transfer of another space that holds only its erased value (0x3FFF, EEPROM
// 0xFF), where the pass has not written yet.
TrafficByCode needed_traffic(const std::vector<Record>& records, bool program, bool coalesce);

// The needed bytes on the line: the handshake and "4D" travel at 19200 baud.
Wire wire_of(const TrafficByCode& traffic);

}  // namespace bench
