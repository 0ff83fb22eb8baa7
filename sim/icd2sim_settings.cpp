// The device settings: the "key = value" parser of device files and --set,
// the fault and stuck-cell forms, and the consistency check of a whole set.

#include "icd2sim_settings.h"

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

// SPACE:ADDRESS=WORD, the form of stuck, implemented and word.
std::string parse_cell(std::vector<CellWord>& list, const std::string& key,
                       const std::string& value) {
    const auto colon = value.find(':');
    const auto equals = value.find('=');
    const char* what = key == "implemented" ? "MASK" : "VALUE";
    if (colon == std::string::npos || equals == std::string::npos || equals < colon)
        return key + " wants SPACE:ADDRESS=" + what;
    const auto space = space_by_name(trim(value.substr(0, colon)));
    const auto address = parse_number(trim(value.substr(colon + 1, equals - colon - 1)));
    const auto word = parse_number(trim(value.substr(equals + 1)));
    if (!space) return key + ": unknown space (prog, eeprom, id, config)";
    if (!address || !word || *word > 0xFFFF)
        return key + ": bad address or " + (key == "implemented" ? "mask" : "value");
    list.push_back({*space, *address, static_cast<uint16_t>(*word)});
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
    if (key == "clear_only") {
        if (value != "0" && value != "1") return key + ": wants 0 or 1";
        s.clear_only = value == "1";
        return "";
    }
    if (key == "stuck") return parse_cell(s.stuck, key, value);
    if (key == "implemented") return parse_cell(s.implemented, key, value);
    if (key == "word") return parse_cell(s.words, key, value);
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

const char* settings_help() {
    return "device settings: --device FILE holds KEY = VALUE lines, split at the first '=';\n"
           "  blanks around key and value are dropped; a '#' at the start of a line or\n"
           "  after a blank or tab starts a comment; empty lines are skipped.\n"
           "  --set KEY=VALUE applies one setting after the file (a '#' is kept there).\n"
           "  NUMBER: decimal, or hexadecimal after 0x or 0X, at most 0xFFFFFFFF.\n"
           "  Addresses are the word addresses the host sends.\n"
           "  key                 default      value\n"
           "  firmware.id         5            NUMBER 0..255, the byte of \"07\"\n"
           "  firmware.version    7 3 20       three decimal bytes, of \"01\"\n"
           "  voltage.37          160          NUMBER 0..255, the byte of \"37\"\n"
           "  voltage.35          0            NUMBER 0..255, the byte of \"35\"\n"
           "  voltage.vdd         128          NUMBER 0..255, the byte of \"34\"\n"
           "  voltage.vdd_on      128          NUMBER 0..255, \"34\" after \"05FF\"\n"
           "  selftest            00 00 00 00 00  five hexadecimal bytes without 0x, of \"02\"\n"
           "  prog.size           8192         NUMBER of program words, at 0..size-1\n"
           "  prog.mask           0xFFFF       NUMBER, low 16 bits: the bits a program write\n"
           "                                   keeps (16 by default; a 14-bit part: 0x3FFF)\n"
           "  eeprom.start        0x2100       NUMBER, word address of EEPROM byte 0\n"
           "                                   (byte i is at word address start + i)\n"
           "  eeprom.size         256          NUMBER of EEPROM bytes\n"
           "  id.start, id.size   0x2000, 4    NUMBERs: first word address, ID words\n"
           "  config.start        0x2007       NUMBER, first configuration word address\n"
           "  config.size         1            NUMBER of configuration words\n"
           "  chipid.address      0x2006       NUMBER, word address of the chip id\n"
           "  chipid.value        0x0D40       NUMBER 0..0xFFFF, the chip id\n"
           "  chipid.family       unset        NUMBER 0..255: the chip id reads 0 unless the\n"
           "                                   last \"2A\" selected it; unset clears it\n"
           "  wake.reply          U            one character, or none\n"
           "  wake.from_attempt   1            NUMBER: earlier attempts get no wake reply\n"
           "  silent              0            0, or 1 to answer nothing\n"
           "  stuck               (none)       SPACE:ADDRESS=VALUE, repeatable; SPACE prog,\n"
           "                                   eeprom, id or config, VALUE 0..0xFFFF\n"
           "  implemented         (none)       SPACE:ADDRESS=MASK, repeatable, MASK 0..0xFFFF:\n"
           "                                   the cell holds only these bits; the others\n"
           "                                   read 0 after a write, an erase or --load\n"
           "  word                (none)       SPACE:ADDRESS=VALUE, repeatable: the cell holds\n"
           "                                   VALUE at the start (before --load); an erase\n"
           "                                   wipes it; an EEPROM VALUE is 0..0xFF\n"
           "  clear_only          0            1: a program, ID or configuration write stores\n"
           "                                   old AND new until the next erase; 0: new\n"
           "  fault               (none)       KIND WHERE, repeatable; see icd2sim(1)\n"
           "  Spaces must not overlap, hold at most 2^24 words each and end below word\n"
           "  address 0x80000000; a stuck, implemented or word cell must lie in its\n"
           "  space; the last implemented or word setting of a cell counts.\n";
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
    for (const auto& [key, list] :
         {std::pair{"stuck", &s.stuck}, {"implemented", &s.implemented}, {"word", &s.words}})
        for (const auto& cell : *list) {
            const auto& r = ranges[cell.space];
            if (cell.address < r.start || cell.address >= r.start + r.size)
                return std::string(key) + " cell outside " + r.name;
            if (cell.space == kEeprom && cell.value > 0xFF && list == &s.words)
                return "word: an EEPROM cell holds a byte";
        }
    if (s.chipid_value > 0xFFFF) return "chipid.value is not a 16-bit word";
    return "";
}

}  // namespace icd2sim
