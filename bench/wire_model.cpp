// The wire model: how the passes cut an image into pieces and transfers,
// and the bytes each transfer puts on the line.

#include "wire_model.h"

#include <algorithm>

#include "icd2/limits.h"

namespace bench {

namespace {

using icd2_limits::kBlankProgramWord;
using icd2_limits::kMostPerProgramWrite;
using icd2_limits::kMostPerTransfer;
using icd2_limits::kProgramBlockWords;

// The erased EEPROM byte; the other spaces erase to kBlankProgramWord. The
// example configuration keeps both defaults.
constexpr int kErasedByte = 0xFF;

// A stretch of one space that the passes move as a unit: a record, or with
// coalescing a run of records that follow each other in the file, lie in one
// space and continue each other's word addresses.
struct Piece {
    uint32_t address;
    std::vector<uint16_t> words;
    Space space;
};

std::vector<Piece> pieces_of(const std::vector<Record>& records, bool coalesce) {
    std::vector<Piece> pieces;
    for (const Record& r : records) {
        const Space space = space_of(r.address);
        Piece* last = pieces.empty() ? nullptr : &pieces.back();
        if (coalesce && last && last->space == space &&
            last->address + last->words.size() == r.address)
            last->words.insert(last->words.end(), r.words.begin(), r.words.end());
        else
            pieces.push_back({r.address, r.words, space});
    }
    return pieces;
}

// The words a programming pass has written, by address, as the pass keeps
// them: a later piece's blank words over them are written, not left.
using Written = std::map<uint32_t, int>;

// Whether count units from words on need no write: every one is the erased
// value (erased < 0: nothing is left to the erase) and none was written.
bool left_by_erase(const uint16_t* words, uint32_t count, uint32_t at, int erased, bool bytes,
                   const Written& written) {
    if (erased < 0) return false;
    for (uint32_t i = 0; i < count; ++i)
        if ((bytes ? words[i] & 0xFF : words[i]) != erased || written.count(at + i) != 0)
            return false;
    return true;
}

// The sizes of the writes of a piece: program memory in runs of whole blocks
// (at most kMostPerProgramWrite words a write) between the blocks left to the
// erase, then the tail in one block padded to kProgramBlockWords words (with
// words the pass wrote, else kBlankProgramWord); any other space in
// transfers of at most kMostPerTransfer units, and at least one.
std::vector<uint32_t> write_sizes(const Piece& p, bool coalesce, Written& written) {
    std::vector<uint32_t> sizes;
    const auto count = static_cast<uint32_t>(p.words.size());
    const uint16_t* words = p.words.data();
    auto note = [&written, words](uint32_t at, uint32_t from, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) written[at + i] = words[from + i];
    };
    if (p.space != Space::prog) {
        const bool bytes = p.space == Space::eeprom;
        const int erased = !coalesce ? -1 : bytes ? kErasedByte : kBlankProgramWord;
        uint32_t done = 0;
        do {
            const uint32_t n = std::min(count - done, kMostPerTransfer);
            if (n == 0 || !left_by_erase(words + done, n, p.address + done, erased, bytes, written))
                sizes.push_back(n);
            note(p.address + done, done, n);
            done += n;
        } while (done < count);
        return sizes;
    }
    const int erased = coalesce ? kBlankProgramWord : -1;
    const auto blank = [&](uint32_t done) {
        return left_by_erase(words + done, kProgramBlockWords, p.address + done, erased, false,
                             written);
    };
    const uint32_t whole = count / kProgramBlockWords * kProgramBlockWords;
    for (uint32_t done = 0; done < whole;) {
        if (blank(done)) {
            done += kProgramBlockWords;
            continue;
        }
        uint32_t n = kProgramBlockWords;
        while (n < kMostPerProgramWrite && done + n < whole && !blank(done + n))
            n += kProgramBlockWords;
        sizes.push_back(n);
        note(p.address + done, done, n);
        done += n;
    }
    if (whole == count) return sizes;
    const uint32_t at = p.address + whole;
    uint16_t block[kProgramBlockWords];
    for (uint32_t i = 0; i < kProgramBlockWords; ++i) {
        const auto kept = written.find(at + i);
        block[i] = whole + i < count       ? words[whole + i]
                   : kept != written.end() ? static_cast<uint16_t>(kept->second)
                                           : static_cast<uint16_t>(kBlankProgramWord);
    }
    if (!left_by_erase(block, kProgramBlockWords, at, erased, false, written)) {
        sizes.push_back(kProgramBlockWords);
        note(at, whole, count - whole);
    }
    return sizes;
}

// The element counts of the reads that move COUNT units: at most
// kMostPerTransfer a read, and at least one.
std::vector<uint32_t> read_sizes(uint32_t count) {
    std::vector<uint32_t> sizes;
    uint32_t done = 0;
    do {
        sizes.push_back(std::min(count - done, kMostPerTransfer));
        done += sizes.back();
    } while (done < count);
    return sizes;
}

}  // namespace

// What the protocol needs: the handshake, the probe of one identified part,
// the erase when programming, and for every piece its writes (programming)
// and its reads, each transfer a command, its response, the data block and
// the closing response.
TrafficByCode needed_traffic(const std::vector<Record>& records, bool program, bool coalesce) {
    TrafficByCode need;
    auto command = [&](const std::string& code, size_t text, size_t body_data) {
        Traffic& t = need[code];
        ++t.frames;
        ++t.answers;
        t.in += frame_bytes(text);
        t.out += frame_bytes(2 + body_data);
    };
    auto transfer = [&](const std::string& code, uint32_t count, bool write) {
        command(code, 18, 0);
        Traffic& t = need[code];
        (write ? t.in : t.out) += block_bytes(count, is_byte_code(code));
        t.out += frame_bytes(2);  // the closing response
        t.answers += write;       // a written block is answered apart from its command
    };
    need["handshake"] = {0, 2, 1, 1};  // "Z" and "U" out, "U" back
    command("4D", 2, 0);
    command("37", 2, 2);
    command("34", 2, 2);
    command("35", 2, 2);
    command("07", 2, 2);
    command("01", 2, 6);
    command("02", 2, 10);
    command("2A", 4, 0);
    transfer("4A", 1, false);  // the chip identifier, read once
    command("06", 8, 0);
    if (program) {
        command("33", 4, 0);
        command("29", 2, 0);
    }
    Written written;
    for (const Piece& p : pieces_of(records, coalesce)) {
        const char* write_code = "43";
        const char* read_code = "47";
        switch (p.space) {
            case Space::prog:
                break;
            case Space::eeprom:
                write_code = "44", read_code = "48";
                break;
            case Space::id:
                write_code = "46", read_code = "4A";
                break;
            case Space::config:
                write_code = "45", read_code = "49";
                break;
        }
        if (program)
            for (uint32_t n : write_sizes(p, coalesce, written)) transfer(write_code, n, true);
        for (uint32_t n : read_sizes(static_cast<uint32_t>(p.words.size())))
            transfer(read_code, n, false);
    }
    return need;
}

// The needed bytes on the line: the handshake and "4D" travel at 19200 baud.
Wire wire_of(const TrafficByCode& traffic) {
    Wire wire;
    for (const auto& [code, t] : traffic) {
        const bool slow = code == "handshake" || code == "4D";
        (slow ? wire.in_slow : wire.in_fast) += t.in;
        (slow ? wire.out_slow : wire.out_fast) += t.out;
        wire.answers += t.answers;
    }
    return wire;
}

}  // namespace bench
