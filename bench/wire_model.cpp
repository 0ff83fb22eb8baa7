// The wire model: how the passes cut an image into pieces and transfers,
// and the bytes each transfer puts on the line.

#include "wire_model.h"

#include <algorithm>

#include "icd2/limits.h"

namespace bench {

namespace {

using icd2_limits::kMostPerProgramWrite;
using icd2_limits::kMostPerTransfer;
using icd2_limits::kProgramBlockWords;

// A stretch of one space that the passes move as a unit: a record, or with
// coalescing a run of records that follow each other in the file, lie in one
// space and continue each other's word addresses.
struct Piece {
    uint32_t address, count;
    Space space;
};

std::vector<Piece> pieces_of(const std::vector<Record>& records, bool coalesce) {
    std::vector<Piece> pieces;
    for (const Record& r : records) {
        const auto n = static_cast<uint32_t>(r.words.size());
        const Space space = space_of(r.address);
        Piece* last = pieces.empty() ? nullptr : &pieces.back();
        if (coalesce && last && last->space == space && last->address + last->count == r.address)
            last->count += n;
        else
            pieces.push_back({r.address, n, space});
    }
    return pieces;
}

// The element counts of the transfers that move COUNT units: a program
// write is whole blocks in writes of at most kMostPerProgramWrite words,
// then the tail in one block padded to kProgramBlockWords words; anything
// else is transfers of at most kMostPerTransfer units, and at least one.
std::vector<uint32_t> transfer_sizes(uint32_t count, bool program_write) {
    std::vector<uint32_t> sizes;
    if (program_write) {
        const uint32_t whole = count / kProgramBlockWords * kProgramBlockWords;
        for (uint32_t done = 0; done < whole; done += kMostPerProgramWrite)
            sizes.push_back(std::min(whole - done, kMostPerProgramWrite));
        if (whole < count) sizes.push_back(kProgramBlockWords);
        return sizes;
    }
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
        t.in += frame_bytes(text);
        t.out += frame_bytes(2 + body_data);
    };
    auto transfer = [&](const std::string& code, uint32_t count, bool write) {
        command(code, 18, 0);
        Traffic& t = need[code];
        (write ? t.in : t.out) += block_bytes(count, is_byte_code(code));
        t.out += frame_bytes(2);  // the closing response
    };
    need["handshake"] = {0, 2, 1};  // "Z" and "U" out, "U" back
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
            for (uint32_t n : transfer_sizes(p.count, p.space == Space::prog))
                transfer(write_code, n, true);
        for (uint32_t n : transfer_sizes(p.count, false)) transfer(read_code, n, false);
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
    }
    return wire;
}

}  // namespace bench
