// The target's memory spaces, and their Intel HEX image: the dump written
// at exit and the --load file read at the start.

#include "icd2sim_memory.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace icd2sim {

Memory::Memory(const DeviceSettings& s) {
    const struct {
        uint32_t start, size;
        uint16_t erased, mask;
    } layout[kSpaceCount] = {
        {0, s.prog_size, 0x3FFF, static_cast<uint16_t>(s.prog_mask)},
        {s.eeprom_start, s.eeprom_size, 0xFF, 0xFF},
        {s.id_start, s.id_size, 0x3FFF, 0xFFFF},
        {s.config_start, s.config_size, 0x3FFF, 0xFFFF},
    };
    for (int i = 0; i < kSpaceCount; ++i) {
        Space& space = spaces_[i];
        space.start = layout[i].start;
        space.size = layout[i].size;
        space.erased = layout[i].erased;
        space.mask = layout[i].mask;
        space.clear_only = s.clear_only && i != kEeprom;
    }
    for (const auto& stuck : s.stuck) spaces_[stuck.space].stuck[stuck.address] = stuck.value;
    // check_settings keeps these cells in their spaces; the test is for a set it has not seen.
    const auto inside = [this](const CellWord& cell) {
        const Space& space = spaces_[cell.space];
        return cell.address >= space.start && cell.address - space.start < space.size;
    };
    for (const auto& cell : s.implemented)
        if (inside(cell)) spaces_[cell.space].implemented[cell.address] = cell.value;
    erase();
    // Initial words are the part's own state, not writes: no mask but the
    // cell's implemented bits applies.
    for (const auto& cell : s.words) {
        Space& space = spaces_[cell.space];
        if (inside(cell))
            space.cells[cell.address - space.start] = holdable(space, cell.address, cell.value);
    }
}

uint16_t Memory::holdable(const Space& space, uint32_t address, uint16_t value) {
    const auto bits = space.implemented.find(address);
    return bits == space.implemented.end() ? value : value & bits->second;
}

std::optional<uint16_t> Memory::read(SpaceId id, uint32_t address) const {
    const Space& space = spaces_[id];
    if (address < space.start || address - space.start >= space.size) return std::nullopt;
    const auto stuck = space.stuck.find(address);
    if (stuck != space.stuck.end()) return stuck->second;
    return space.cells[address - space.start];
}

bool Memory::write(SpaceId id, uint32_t address, uint16_t value) {
    Space& space = spaces_[id];
    if (address < space.start || address - space.start >= space.size) return false;
    uint16_t& cell = space.cells[address - space.start];
    cell = holdable(space, address, value & space.mask & (space.clear_only ? cell : 0xFFFF));
    return true;
}

void Memory::erase() {
    for (Space& space : spaces_) {
        space.cells.assign(space.size, space.erased);
        for (const auto& [address, bits] : space.implemented)
            space.cells[address - space.start] &= bits;
    }
}

namespace {

void hex_record(std::ostream& out, uint16_t offset, uint8_t type,
                const std::vector<uint8_t>& data) {
    char text[16];
    unsigned sum = data.size() + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset,
                  type);
    out << text;
    for (uint8_t byte : data) {
        std::snprintf(text, sizeof text, "%02X", byte);
        out << text;
        sum += byte;
    }
    std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out << text;
}

int hex_value(const std::string& line, size_t pos) {
    if (pos + 2 > line.size()) return -1;
    int value = 0;
    for (size_t i = pos; i < pos + 2; ++i) {
        const char c = line[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
        value =
            value * 16 +
            (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10);
    }
    return value;
}

}  // namespace

std::string Memory::dump_hex(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    if (!out) return path + ": " + std::strerror(errno);

    // The dump lists the spaces by address so that it reads like a memory map.
    std::vector<int> order = {kProg, kEeprom, kId, kConfig};
    std::sort(order.begin(), order.end(),
              [this](int a, int b) { return spaces_[a].start < spaces_[b].start; });

    uint32_t upper = 0;
    for (int id : order) {
        const Space& space = spaces_[id];
        uint32_t word = 0;
        while (word < space.size) {
            const uint32_t byte_address = 2 * (space.start + word);
            if ((byte_address >> 16) != upper) {
                upper = byte_address >> 16;
                hex_record(out, 0, 0x04,
                           {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
            }
            // Eight words a record, never across a 64 KiB boundary.
            const uint32_t to_boundary = (0x10000 - (byte_address & 0xFFFF)) / 2;
            const uint32_t count = std::min({8u, space.size - word, to_boundary});
            std::vector<uint8_t> data;
            for (uint32_t i = 0; i < count; ++i) {
                const uint16_t value = *read(static_cast<SpaceId>(id), space.start + word + i);
                data.push_back(static_cast<uint8_t>(value));
                data.push_back(static_cast<uint8_t>(value >> 8));
            }
            hex_record(out, static_cast<uint16_t>(byte_address), 0x00, data);
            word += count;
        }
    }
    out << ":00000001FF\n";
    out.flush();
    if (!out) return path + ": write failed";
    return "";
}

std::string Memory::load_hex(const std::string& path) {
    std::ifstream in(path);
    if (!in) return path + ": " + std::strerror(errno);
    std::map<uint32_t, uint8_t> bytes;
    uint32_t base = 0;
    bool ended = false;
    std::string line;
    for (int number = 1; !ended && std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0)
            return where + "not an Intel HEX record";
        std::vector<uint8_t> record;
        for (size_t pos = 1; pos < line.size(); pos += 2) {
            const int value = hex_value(line, pos);
            if (value < 0) return where + "bad hex digit";
            record.push_back(static_cast<uint8_t>(value));
        }
        const size_t length = record[0];
        if (record.size() != length + 5) return where + "length does not match the record";
        unsigned sum = 0;
        for (uint8_t byte : record) sum += byte;
        if (sum & 0xFF) return where + "bad checksum";
        const uint32_t offset = record[1] << 8 | record[2];
        const uint8_t* data = record.data() + 4;
        switch (record[3]) {
            case 0x00:
                for (size_t i = 0; i < length; ++i) bytes[base + offset + i] = data[i];
                break;
            case 0x01:
                ended = true;
                break;
            case 0x02:
                if (length != 2) return where + "bad segment record";
                base = (data[0] << 8 | data[1]) << 4;
                break;
            case 0x04:
                if (length != 2) return where + "bad extended address record";
                base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 16;
                break;
            default:
                break;  // start addresses mean nothing to a memory image
        }
    }
    if (!ended) return path + ": no end-of-file record";

    for (auto it = bytes.begin(); it != bytes.end();) {
        const uint32_t byte_address = it->first & ~1u;
        const auto low = bytes.find(byte_address);
        const auto high = bytes.find(byte_address + 1);
        if (low == bytes.end() || high == bytes.end())
            return path + ": incomplete word at byte address " + std::to_string(byte_address);
        const uint32_t word_address = byte_address / 2;
        const uint16_t value = static_cast<uint16_t>(high->second << 8 | low->second);
        bool stored = false;
        for (int id = 0; id < kSpaceCount && !stored; ++id) {
            Space& space = spaces_[id];
            if (word_address >= space.start && word_address - space.start < space.size) {
                // Loading sets the initial state; it is not a write, so neither the mask
                // nor clear-only applies, but an EEPROM cell is one byte and a cell holds
                // only the bits it has.
                space.cells[word_address - space.start] =
                    holdable(space, word_address, id == kEeprom ? value & 0xFF : value);
                stored = true;
            }
        }
        if (!stored) {
            char text[64];
            std::snprintf(text, sizeof text, "word address 0x%X is in no memory space",
                          word_address);
            return path + ": " + text;
        }
        it = bytes.upper_bound(byte_address + 1);
    }
    return "";
}

}  // namespace icd2sim
