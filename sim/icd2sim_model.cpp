#include "icd2sim_model.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace icd2sim {

namespace {

// Sizes are bounded so that a mistyped device file cannot make the simulator
// allocate gigabytes, and so that every byte address of a dump fits 32 bits.
constexpr uint64_t kMaxSpaceWords = 1u << 24;

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// Decimal, or hexadecimal with a 0x prefix; the whole text must be the number.
std::optional<uint32_t> parse_number(const std::string& text, int base = 0) {
    std::string digits = text;
    if (base == 0) {
        base = 10;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            digits = digits.substr(2);
            base = 16;
        }
    }
    if (digits.empty() || digits.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            digit = std::toupper(c) - 'A' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<SpaceId> space_by_name(const std::string& name) {
    if (name == "prog") return kProg;
    if (name == "eeprom") return kEeprom;
    if (name == "id") return kId;
    if (name == "config") return kConfig;
    return std::nullopt;
}

std::string parse_stuck(DeviceSettings& settings, const std::string& value) {
    const auto colon = value.find(':');
    const auto equals = value.find('=');
    if (colon == std::string::npos || equals == std::string::npos || equals < colon)
        return "stuck wants SPACE:ADDRESS=VALUE";
    const auto space = space_by_name(trim(value.substr(0, colon)));
    const auto address = parse_number(trim(value.substr(colon + 1, equals - colon - 1)));
    const auto word = parse_number(trim(value.substr(equals + 1)));
    if (!space) return "stuck: unknown space (prog, eeprom, id, config)";
    if (!address || !word || *word > 0xFFFF) return "stuck: bad address or value";
    settings.stuck.push_back({*space, *address, static_cast<uint16_t>(*word)});
    return "";
}

std::optional<FaultKind> fault_kind(const std::string& name) {
    static const std::pair<const char*, FaultKind> kinds[] = {
        {"silence", FaultKind::silence}, {"checksum", FaultKind::checksum},
        {"end", FaultKind::end},         {"start", FaultKind::start},
        {"code", FaultKind::code},       {"zeros", FaultKind::zeros},
        {"noise", FaultKind::noise},     {"short", FaultKind::shortbody},
        {"cut", FaultKind::cut},         {"vanish", FaultKind::vanish}};
    for (const auto& [text, kind] : kinds)
        if (name == text) return kind;
    return std::nullopt;
}

std::string parse_fault(DeviceSettings& settings, const std::string& value) {
    const auto parts = words_of(value);
    if (parts.size() != 2) return "fault wants KIND WHERE";
    Fault fault;
    const auto kind = fault_kind(parts[0]);
    if (!kind) return "fault: unknown kind '" + parts[0] + "'";
    fault.kind = *kind;
    fault.where = parts[1];

    std::string where = parts[1];
    const auto slash = where.find('/');
    if (slash != std::string::npos) {
        const std::string phase = where.substr(slash + 1);
        if (phase == "resp")
            fault.phase = Phase::resp;
        else if (phase == "block")
            fault.phase = Phase::block;
        else if (phase == "close")
            fault.phase = Phase::close;
        else
            return "fault: unknown phase '" + phase + "'";
        where = where.substr(0, slash);
    }
    const auto hash = where.find('#');
    const std::string code = where.substr(0, hash);
    if (hash != std::string::npos) {
        const auto n = parse_number(where.substr(hash + 1), 10);
        if (!n || *n == 0) return "fault: bad occurrence number in '" + parts[1] + "'";
        fault.nth = *n;
    }
    if (code.empty()) {
        if (hash == std::string::npos) return "fault: WHERE wants CODE[#n][/PHASE] or #N[/PHASE]";
        fault.by_number = true;
    } else if (code == "*") {
        if (hash != std::string::npos) return "fault: '*' takes no occurrence number";
        fault.code = code;
    } else if (code.size() == 2) {
        fault.code = code;
    } else {
        return "fault: bad command code '" + code + "'";
    }

    const bool block_only = fault.kind == FaultKind::start || fault.kind == FaultKind::cut;
    const bool frame_only = fault.kind == FaultKind::code || fault.kind == FaultKind::zeros ||
                            fault.kind == FaultKind::shortbody;
    if (block_only && fault.phase != Phase::block)
        return "fault: " + parts[0] + " applies to phase block only";
    if (frame_only && fault.phase == Phase::block)
        return "fault: " + parts[0] + " does not apply to phase block";
    settings.faults.push_back(fault);
    return "";
}

std::string parse_byte(const std::string& key, const std::string& value, unsigned& out) {
    const auto n = parse_number(value);
    if (!n || *n > 0xFF) return key + ": wants a number 0..255";
    out = *n;
    return "";
}

std::string parse_word32(const std::string& key, const std::string& value, uint32_t& out) {
    const auto n = parse_number(value);
    if (!n) return key + ": wants a number";
    out = *n;
    return "";
}

std::string parse_byte_list(const std::string& key, const std::string& value, unsigned* out,
                            size_t count, int base) {
    const auto parts = words_of(value);
    if (parts.size() != count) return key + ": wants " + std::to_string(count) + " bytes";
    for (size_t i = 0; i < count; ++i) {
        const auto n = parse_number(parts[i], base);
        if (!n || *n > 0xFF) return key + ": bad byte '" + parts[i] + "'";
        out[i] = *n;
    }
    return "";
}

}  // namespace

const char* fault_name(FaultKind kind) {
    switch (kind) {
        case FaultKind::silence:
            return "silence";
        case FaultKind::checksum:
            return "checksum";
        case FaultKind::end:
            return "end";
        case FaultKind::start:
            return "start";
        case FaultKind::code:
            return "code";
        case FaultKind::zeros:
            return "zeros";
        case FaultKind::noise:
            return "noise";
        case FaultKind::shortbody:
            return "short";
        case FaultKind::cut:
            return "cut";
        case FaultKind::vanish:
            return "vanish";
    }
    return "?";
}

const char* phase_name(Phase phase) {
    switch (phase) {
        case Phase::resp:
            return "resp";
        case Phase::block:
            return "block";
        case Phase::close:
            return "close";
    }
    return "?";
}

std::string apply_setting(DeviceSettings& s, const std::string& raw_key,
                          const std::string& raw_value) {
    const std::string key = trim(raw_key);
    const std::string value = trim(raw_value);
    if (key == "firmware.id") return parse_byte(key, value, s.firmware_id);
    if (key == "firmware.version") return parse_byte_list(key, value, s.version, 3, 10);
    if (key == "voltage.37") return parse_byte(key, value, s.voltage_37);
    if (key == "voltage.vdd") return parse_byte(key, value, s.voltage_vdd);
    if (key == "voltage.vdd_on") return parse_byte(key, value, s.voltage_vdd_on);
    if (key == "voltage.35") return parse_byte(key, value, s.voltage_35);
    if (key == "selftest") return parse_byte_list(key, value, s.selftest, 5, 16);
    if (key == "prog.size") return parse_word32(key, value, s.prog_size);
    if (key == "prog.mask") return parse_word32(key, value, s.prog_mask);
    if (key == "eeprom.start") return parse_word32(key, value, s.eeprom_start);
    if (key == "eeprom.size") return parse_word32(key, value, s.eeprom_size);
    if (key == "id.start") return parse_word32(key, value, s.id_start);
    if (key == "id.size") return parse_word32(key, value, s.id_size);
    if (key == "config.start") return parse_word32(key, value, s.config_start);
    if (key == "config.size") return parse_word32(key, value, s.config_size);
    if (key == "chipid.address") return parse_word32(key, value, s.chipid_address);
    if (key == "chipid.value") return parse_word32(key, value, s.chipid_value);
    if (key == "chipid.family") {
        if (value == "unset") {
            s.chipid_family.reset();
            return "";
        }
        unsigned family = 0;
        auto error = parse_byte(key, value, family);
        if (error.empty()) s.chipid_family = family;
        return error;
    }
    if (key == "wake.reply") {
        if (value == "none")
            s.wake_reply.reset();
        else if (raw_value.size() == 1)
            s.wake_reply = raw_value[0];  // a blank is a character too
        else if (value.size() == 1)
            s.wake_reply = value[0];
        else
            return key + ": wants one character or none";
        return "";
    }
    if (key == "wake.from_attempt") {
        const auto n = parse_number(value);
        if (!n) return key + ": wants a number";
        s.wake_from_attempt = *n;
        return "";
    }
    if (key == "silent") {
        if (value != "0" && value != "1") return key + ": wants 0 or 1";
        s.silent = value == "1";
        return "";
    }
    if (key == "stuck") return parse_stuck(s, value);
    if (key == "fault") return parse_fault(s, value);
    return "unknown key '" + key + "'";
}

std::string load_device_file(DeviceSettings& settings, const std::string& path) {
    std::ifstream in(path);
    if (!in) return path + ": " + std::strerror(errno);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        // A '#' starts a comment at the start of a line or after a blank, so a
        // value can still hold it inside a word; a lone "#" value needs --set.
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
                line.resize(i);
                break;
            }
        }
        if (trim(line).empty()) continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            return path + ":" + std::to_string(number) + ": not a key = value line";
        const auto error =
            apply_setting(settings, line.substr(0, equals), trim(line.substr(equals + 1)));
        if (!error.empty()) return path + ":" + std::to_string(number) + ": " + error;
    }
    return "";
}

std::string check_settings(const DeviceSettings& s) {
    struct Range {
        const char* name;
        uint64_t start;
        uint64_t size;
    };
    const Range ranges[] = {{"prog", 0, s.prog_size},
                            {"eeprom", s.eeprom_start, s.eeprom_size},
                            {"id", s.id_start, s.id_size},
                            {"config", s.config_start, s.config_size}};
    for (const auto& r : ranges) {
        if (r.size > kMaxSpaceWords) return std::string(r.name) + ".size is too large";
        if (r.start + r.size > 0x80000000u)
            return std::string(r.name) + " ends beyond word address 0x7FFFFFFF";
    }
    for (size_t i = 0; i < 4; ++i)
        for (size_t j = i + 1; j < 4; ++j) {
            const auto& a = ranges[i];
            const auto& b = ranges[j];
            if (a.size && b.size && a.start < b.start + b.size && b.start < a.start + a.size)
                return std::string(a.name) + " and " + b.name + " overlap";
        }
    for (const auto& stuck : s.stuck) {
        const auto& r = ranges[stuck.space];
        if (stuck.address < r.start || stuck.address >= r.start + r.size)
            return std::string("stuck cell outside ") + r.name;
    }
    if (s.chipid_value > 0xFFFF) return "chipid.value is not a 16-bit word";
    return "";
}

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
        space.cells.assign(space.size, space.erased);
    }
    for (const auto& stuck : s.stuck) spaces_[stuck.space].stuck[stuck.address] = stuck.value;
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
    space.cells[address - space.start] = value & space.mask;
    return true;
}

void Memory::erase() {
    for (Space& space : spaces_) std::fill(space.cells.begin(), space.cells.end(), space.erased);
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
                // Loading sets the initial state; it is not a write, so no mask applies
                // except that an EEPROM cell is one byte.
                space.cells[word_address - space.start] = id == kEeprom ? value & 0xFF : value;
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

Transcript::~Transcript() {
    if (file_) {
        flush_raw();
        std::fclose(file_);
    }
}

std::string Transcript::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "we");  // not inherited by the program
    if (!file_) return path + ": " + std::strerror(errno);
    return "";
}

void Transcript::line(const std::string& text) {
    flush_raw();
    if (keep_) kept_ += text + "\n";
    if (!file_) return;
    // Written at once, so that the events up to a crash or a kill survive.
    std::fprintf(file_, "%s\n", text.c_str());
    std::fflush(file_);
}

void Transcript::raw(uint8_t byte) {
    pending_raw_.push_back(static_cast<char>(byte));
}

void Transcript::flush_raw() {
    if (pending_raw_.empty()) return;
    std::string bytes;
    bytes.swap(pending_raw_);
    line("RAW " + escape(bytes));
}

std::string escape(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c > ' ' && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

}  // namespace icd2sim
