#include "icd2sim_link.h"

#include <algorithm>
#include <cstdio>

namespace icd2sim {

namespace {

constexpr unsigned kHandshakeSpeed = 19200;
constexpr unsigned kFastSpeed = 57600;
// A block beyond this many elements is treated as a malformed command rather
// than answered with megabytes of digits.
constexpr uint32_t kMaxBlockElements = 0x10000;

bool is_upper_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

unsigned hex_digit(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The command texts are checked before this is called, so every character is
// a hexadecimal digit.
uint32_t hex_field(const std::string& text, size_t pos, size_t digits) {
    uint32_t value = 0;
    for (size_t i = pos; i < pos + digits; ++i) value = value << 4 | hex_digit(text[i]);
    return value;
}

bool all_of(const std::string& text, size_t pos, bool (*test)(char)) {
    return std::all_of(text.begin() + pos, text.end(), test);
}

std::string hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

unsigned char_sum(const std::string& text) {
    unsigned sum = 0;
    for (unsigned char c : text) sum += c;
    return sum;
}

// "[LL body CC]": the length counts the whole frame, the checksum covers the
// length digits and the body but not the brackets.
std::string response_frame(const std::string& body, unsigned checksum_delta, char end) {
    const std::string length = hex2(body.size() + 6);
    return "[" + length + body + hex2(char_sum(length) + char_sum(body) + checksum_delta) + end;
}

struct SpaceCommand {
    const char* code;
    SpaceId space;
    bool write;
};

constexpr SpaceCommand kSpaceCommands[] = {
    {"47", kProg, false}, {"48", kEeprom, false}, {"49", kConfig, false}, {"4A", kId, false},
    {"43", kProg, true},  {"44", kEeprom, true},  {"45", kConfig, true},  {"46", kId, true},
};

}  // namespace

Link::Link(const DeviceSettings& settings, Memory& memory, Transcript& transcript, SpeedProbe probe)
    : settings_(settings),
      memory_(memory),
      transcript_(transcript),
      probe_(std::move(probe)),
      vdd_(settings.voltage_vdd),
      silenced_(settings.silent) {}

std::vector<Link::Output> Link::take_output() {
    std::vector<Output> out;
    out.swap(output_);
    return out;
}

void Link::emit(const std::string& bytes, unsigned long delay_us) {
    output_.push_back({bytes, speed_, delay_us});
}

unsigned long Link::device_time(const Command& command, Phase phase) const {
    if (phase != Phase::resp) return 0;
    const auto time = settings_.device_time_us.find(command.code);
    return time == settings_.device_time_us.end() ? 0 : time->second;
}

void Link::dtr(bool raised) {
    transcript_.line(raised ? "DTR 1" : "DTR 0");
    if (raised && !dtr_) restart();
    dtr_ = raised;
}

void Link::restart() {
    if (!frame_.empty()) bad_frame("truncated");
    if (state_ == State::block_in) abandon_block("truncated");
    // The host pulses DTR twice per connection attempt; only the first pulse
    // after a wake byte (or at the start) begins a new attempt.
    if (state_ != State::wait_wake) ++attempt_;
    state_ = State::wait_wake;
    transcript_.line("RESET attempt " + std::to_string(attempt_));
    set_speed(kHandshakeSpeed);
}

void Link::set_speed(unsigned speed) {
    if (speed == speed_) return;
    speed_ = speed;
    transcript_.line("SPEED " + std::to_string(speed));
}

void Link::receive(const std::string& bytes) {
    for (unsigned char byte : bytes) {
        switch (state_) {
            case State::asleep:
                noise(byte);
                break;
            case State::wait_wake:
                wake(byte);
                break;
            case State::frames:
                frame_byte(byte);
                break;
            case State::block_in:
                block_byte(byte);
                break;
        }
    }
    transcript_.flush_raw();
}

void Link::noise(uint8_t byte) {
    transcript_.raw(byte);
}

void Link::wake(uint8_t byte) {
    if (byte != 'U') {
        noise(byte);  // the "Z" between the pulses, if the host's flush left it
        return;
    }
    const std::string head = "WAKE U -> ";
    const unsigned line_speed = probe_();
    if (line_speed != speed_) {
        transcript_.line(head + "none (speed " + std::to_string(line_speed) + ")");
        return;
    }
    if (silenced_) {
        transcript_.line(head + "none (" + (settings_.silent ? "silent" : "silenced") + ")");
    } else if (attempt_ < settings_.wake_from_attempt) {
        transcript_.line(head + "none (attempt " + std::to_string(attempt_) + ")");
    } else if (!settings_.wake_reply) {
        transcript_.line(head + "none");
    } else {
        emit(std::string(1, *settings_.wake_reply));
        transcript_.line(head + escape(std::string(1, *settings_.wake_reply)));
        state_ = State::frames;
        return;
    }
    state_ = State::asleep;
}

void Link::frame_byte(uint8_t byte) {
    if (frame_.empty()) {
        if (byte == '<')
            frame_ = "<";
        else
            noise(byte);
        return;
    }
    if (byte == '<') {
        // A new frame start inside a frame: the earlier one was cut short, and
        // the device resynchronises on the new one.
        bad_frame("truncated");
        frame_ = "<";
        return;
    }
    frame_.push_back(static_cast<char>(byte));
    if (frame_.size() == 3) {
        if (!is_upper_hex(frame_[1]) || !is_upper_hex(frame_[2]) || hex_field(frame_, 1, 2) < 6) {
            bad_frame("length");
            return;
        }
        frame_length_ = hex_field(frame_, 1, 2);
    }
    if (frame_.size() > 3 && frame_.size() == frame_length_) complete_frame();
}

void Link::bad_frame(const std::string& reason) {
    transcript_.line("BADFRAME " + escape(frame_) + " " + reason);
    frame_.clear();
}

void Link::complete_frame() {
    const unsigned line_speed = probe_();
    if (line_speed != speed_) {
        bad_frame("speed");
        return;
    }
    const size_t n = frame_.size();
    const bool checksum_ok =
        is_upper_hex(frame_[n - 3]) && is_upper_hex(frame_[n - 2]) &&
        hex_field(frame_, n - 3, 2) == (char_sum(frame_.substr(1, n - 4)) & 0xFF);
    if (!checksum_ok) {
        bad_frame("checksum");
        return;
    }
    if (frame_[n - 1] != '>') {
        bad_frame("end");
        return;
    }
    const std::string text = frame_.substr(3, n - 6);
    frame_.clear();
    dispatch(text);
}

void Link::dispatch(const std::string& text) {
    Command command;
    command.text = text;
    command.code = text.substr(0, 2);
    command.frame_number = ++frames_accepted_;
    command.code_occurrence = ++code_counts_[command.code];
    transcript_.line("CMD #" + std::to_string(command.frame_number) + " " + escape(text));

    const std::string& code = command.code;
    const auto bad = [&](const char* reason) {
        transcript_.line("BADCMD " + escape(text) + " " + reason);
    };

    for (const auto& space_command : kSpaceCommands) {
        if (code != space_command.code) continue;
        if (text.size() != 18 || !all_of(text, 2, is_upper_hex)) return bad("malformed");
        const uint32_t address = hex_field(text, 2, 8);
        const uint32_t count = hex_field(text, 10, 8);
        if (count > kMaxBlockElements) return bad("count-too-large");
        const bool bytes = space_command.space == kEeprom;
        if (space_command.write)
            block_write(command, space_command.space, address, count, bytes);
        else
            block_read(command, space_command.space, address, count, bytes);
        return;
    }

    if (code == "4D" || code == "07" || code == "01" || code == "37" || code == "34" ||
        code == "35" || code == "02" || code == "29") {
        if (text.size() != 2) return bad("malformed");
        std::string body = code;
        if (code == "07") body += hex2(settings_.firmware_id);
        if (code == "01")
            body += hex2(settings_.version[0]) + hex2(settings_.version[1]) +
                    hex2(settings_.version[2]);
        if (code == "37") body += hex2(settings_.voltage_37);
        if (code == "34") body += hex2(vdd_);
        if (code == "35") body += hex2(settings_.voltage_35);
        if (code == "02")
            for (unsigned result : settings_.selftest) body += hex2(result);
        if (code == "29") memory_.erase();
        const bool answered = respond(command, Phase::resp, body);
        if (code == "4D" && answered) set_speed(kFastSpeed);
        return;
    }
    if (code == "2A") {
        // The family number is the one argument the host sends in lower case.
        if (text.size() != 4 || !all_of(text, 2, is_lower_hex)) return bad("malformed");
        family_ = static_cast<int>(hex_field(text, 2, 2));
        respond(command, Phase::resp, code);
        return;
    }
    if (code == "06") {
        if (text.size() != 8 || !all_of(text, 2, is_upper_hex)) return bad("malformed");
        respond(command, Phase::resp, code);
        return;
    }
    if (code == "05" || code == "33") {
        if (text != (code == "05" ? "05FF" : "3300")) return bad("malformed");
        if (code == "05") vdd_ = settings_.voltage_vdd_on;
        respond(command, Phase::resp, code);
        return;
    }
    bad("unknown");
}

uint16_t Link::read_cell(const std::string& code, SpaceId space, uint32_t address,
                         bool& outside) const {
    if (code == "4A" && address == settings_.chipid_address) {
        // The chip id answers only once the family it belongs to is selected.
        if (settings_.chipid_family && family_ != static_cast<int>(*settings_.chipid_family))
            return 0;
        return static_cast<uint16_t>(settings_.chipid_value);
    }
    const auto value = memory_.read(space, address);
    if (!value) outside = true;
    return value.value_or(0);
}

void Link::block_read(const Command& command, SpaceId space, uint32_t address, uint32_t count,
                      bool bytes) {
    std::string digits;
    bool outside = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t value = read_cell(command.code, space, address + i, outside);
        digits += hex2(value);
        if (!bytes) digits += hex2(value >> 8);
    }
    if (outside) transcript_.line("NOTE " + command.code + " read outside the space gives zeros");
    if (!respond(command, Phase::resp, command.code)) return;
    if (!send_block(command, digits, count)) return;
    respond(command, Phase::close, command.code);
}

void Link::block_write(const Command& command, SpaceId space, uint32_t address, uint32_t count,
                       bool bytes) {
    if (!respond(command, Phase::resp, command.code)) return;
    pending_.command = command;
    pending_.space = space;
    pending_.address = address;
    pending_.count = count;
    pending_.digits_per_element = bytes ? 2 : 4;
    block_.clear();
    state_ = State::block_in;
}

void Link::abandon_block(const std::string& reason) {
    transcript_.line("BLOCK-IN " + pending_.command.code + " " + std::to_string(pending_.count) +
                     " " + reason);
    block_.clear();
    state_ = State::frames;
}

void Link::block_byte(uint8_t byte) {
    if (byte == '<') {
        // The host has given up on the block and sends the next command.
        abandon_block("truncated");
        frame_byte(byte);
        return;
    }
    if (block_.empty() && byte != '{') {
        abandon_block("start");
        noise(byte);
        return;
    }
    block_.push_back(static_cast<char>(byte));
    const size_t digits = static_cast<size_t>(pending_.count) * pending_.digits_per_element + 2;
    if (block_.size() > 1 && block_.size() <= digits + 1 &&
        !is_upper_hex(static_cast<char>(byte))) {
        abandon_block("digit");
        return;
    }
    if (block_.size() == digits + 2) complete_block();
}

void Link::complete_block() {
    const unsigned line_speed = probe_();
    if (line_speed != speed_) return abandon_block("speed");
    const size_t n = block_.size();
    const std::string elements = block_.substr(1, n - 4);
    if (hex_field(block_, n - 3, 2) != (char_sum(elements) & 0xFF))
        return abandon_block("checksum");
    if (block_[n - 1] != '}') return abandon_block("end");

    const Command command = pending_.command;
    uint32_t dropped = 0;
    for (uint32_t i = 0; i < pending_.count; ++i) {
        uint16_t value;
        if (pending_.digits_per_element == 2) {
            value = static_cast<uint16_t>(hex_field(elements, 2 * i, 2));
        } else {
            const size_t pos = 4 * static_cast<size_t>(i);
            value = static_cast<uint16_t>(hex_field(elements, pos + 2, 2) << 8 |
                                          hex_field(elements, pos, 2));
        }
        // Program memory writes go on past its end into the ID and configuration
        // words, as the target's program counter does.
        const uint32_t at = pending_.address + i;
        if (!memory_.write(pending_.space, at, value) &&
            (pending_.space != kProg ||
             (!memory_.write(kId, at, value) && !memory_.write(kConfig, at, value))))
            ++dropped;
    }
    transcript_.line("BLOCK-IN " + command.code + " " + std::to_string(pending_.count) + " ok");
    if (dropped)
        transcript_.line("NOTE " + command.code + " " + std::to_string(dropped) +
                         " element(s) outside the space dropped");
    block_.clear();
    state_ = State::frames;

    // The host's block is the "block" phase of a write: only the faults that
    // stop the device make sense there.
    const auto faults = faults_at(command, Phase::block);
    if (!may_send(command, Phase::block, faults, "BLOCK-IN")) return;
    respond(command, Phase::close, command.code);
}

std::vector<const Fault*> Link::faults_at(const Command& command, Phase phase) const {
    std::vector<const Fault*> found;
    for (const Fault& fault : settings_.faults) {
        if (fault.phase != phase) continue;
        const bool hit = fault.by_number
                             ? command.frame_number == fault.nth
                             : fault.code == "*" || (fault.code == command.code &&
                                                     command.code_occurrence == fault.nth);
        if (hit) found.push_back(&fault);
    }
    return found;
}

// Where a fault fires: "#<frame> <code>/<phase>".
// Appended piece by piece: a chain of operator+ here makes g++ 12 warn
// (-Wrestrict) about a copy it cannot prove apart.
std::string Link::fault_point(const Command& command, Phase phase) {
    std::string point = "#";
    point += std::to_string(command.frame_number);
    point += ' ';
    point += command.code;
    point += '/';
    point += phase_name(phase);
    return point;
}

void Link::note_fault(const Fault& fault, const Command& command, Phase phase, std::string& kinds) {
    kinds += std::string(" ") + fault_name(fault.kind);
    transcript_.line("FAULT " + std::string(fault_name(fault.kind)) + " " + fault.where + " at " +
                     fault_point(command, phase));
}

bool Link::may_send(const Command& command, Phase phase, const std::vector<const Fault*>& faults,
                    const std::string& what) {
    if (vanished_ || silenced_) {
        transcript_.line(what + " " + (settings_.silent ? "silent" : "silenced"));
        return false;
    }
    const std::string point = fault_point(command, phase);
    for (const Fault* fault : faults) {
        if (fault->kind == FaultKind::vanish) {
            transcript_.line("FAULT vanish " + fault->where + " at " + point);
            vanished_ = true;
            return false;
        }
    }
    for (const Fault* fault : faults) {
        if (fault->kind == FaultKind::silence) {
            transcript_.line("FAULT silence " + fault->where + " at " + point);
            silenced_ = true;
            return false;
        }
    }
    return true;
}

bool Link::respond(const Command& command, Phase phase, const std::string& body) {
    const auto faults = faults_at(command, phase);
    if (!may_send(command, phase, faults, "RESP " + body)) return false;

    std::string sent = body;
    unsigned checksum_delta = 0;
    char end = ']';
    std::string prefix;
    std::string kinds;
    for (const Fault* fault : faults) {
        switch (fault->kind) {
            case FaultKind::checksum:
                checksum_delta = 1;
                break;
            case FaultKind::end:
                end = ')';
                break;
            case FaultKind::code:
                sent = "7E" + sent.substr(std::min<size_t>(2, sent.size()));
                break;
            case FaultKind::shortbody:
                break;  // applied below, after a code change
            case FaultKind::zeros:
                prefix += response_frame("00AB", 0, ']') + response_frame("0012", 0, ']');
                break;
            case FaultKind::noise:
                prefix += "U?x";
                break;
            default:
                continue;  // start and cut have no frame to act on
        }
        note_fault(*fault, command, phase, kinds);
    }
    for (const Fault* fault : faults)
        if (fault->kind == FaultKind::shortbody) sent = sent.substr(0, 2);

    emit(prefix + response_frame(sent, checksum_delta, end), device_time(command, phase));
    transcript_.line("RESP " + escape(sent) + kinds);
    return true;
}

bool Link::send_block(const Command& command, const std::string& digits, uint32_t count) {
    const auto faults = faults_at(command, Phase::block);
    const std::string what = "BLOCK-OUT " + command.code + " " + std::to_string(count);
    if (!may_send(command, Phase::block, faults, what)) return false;

    char start = '{';
    char end = '}';
    unsigned checksum_delta = 0;
    bool cut = false;
    std::string prefix;
    std::string kinds;
    for (const Fault* fault : faults) {
        switch (fault->kind) {
            case FaultKind::checksum:
                checksum_delta = 1;
                break;
            case FaultKind::end:
                end = ')';
                break;
            case FaultKind::start:
                start = '[';
                break;
            case FaultKind::noise:
                prefix += "U?x";
                break;
            case FaultKind::cut:
                cut = true;
                break;
            default:
                continue;
        }
        note_fault(*fault, command, Phase::block, kinds);
    }
    if (cut) {
        // Half of the digits, then a device that says nothing more.
        emit(prefix + start + digits.substr(0, digits.size() / 2));
        silenced_ = true;
        transcript_.line(what + kinds);
        return false;
    }
    emit(prefix + start + digits + hex2(char_sum(digits) + checksum_delta) + end);
    transcript_.line(what + kinds);
    return true;
}

}  // namespace icd2sim
