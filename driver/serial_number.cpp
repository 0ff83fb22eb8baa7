// Serial numbers: the shared file's settings and journal, its lock, and the
// number's words in the programming pass.
#include "driver/serial_number.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "driver/part.h"
#include "icd2/limits.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "tarnwell";
constexpr unsigned long kMostWords = 32;

enum Key { kAddress, kLength, kFormat, kOrder, kTemplate, kFirst, kLast, kKeyCount };
const char* const kKeys[kKeyCount] = {"address",  "length", "format", "order",
                                      "template", "first",  "last"};
enum Format { kBinary, kBcd, kAscii };
const char* const kFormats[] = {"binary", "bcd", "ascii"};

// The file under its lock for as long as the object lives: closing the
// descriptor lets the lock go.
class LockedFile {
  public:
    explicit LockedFile(const char* path) : fd_(open(path, O_RDWR | O_APPEND | O_CLOEXEC)) {}
    ~LockedFile() {
        if (fd_ >= 0) close(fd_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool opened() const { return fd_ >= 0; }
    // Waits for the write lock on the whole file; false (errno) when it
    // fails, or when a signal ended the run while it waited.
    bool lock() {
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        while (fcntl(fd_, F_SETLKW, &whole) != 0) {
            if (errno != EINTR || tty_interrupted() != 0) return false;
        }
        return true;
    }
    bool read_all(std::string& text) {
        char block[4096];
        for (off_t at = 0;;) {
            const ssize_t n = pread(fd_, block, sizeof block, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            text.append(block, static_cast<size_t>(n));
            at += n;
        }
    }
    // Appends line (on a line of its own) and syncs it to the disk.
    bool append(std::string line) {
        struct stat info;
        char last = '\n';
        if (fstat(fd_, &info) != 0) return false;
        if (info.st_size > 0 && pread(fd_, &last, 1, info.st_size - 1) != 1) return false;
        if (last != '\n') line.insert(line.begin(), '\n');
        for (size_t done = 0; done < line.size();) {
            const ssize_t n = write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            done += static_cast<size_t>(n);
        }
        return fsync(fd_) == 0;
    }

  private:
    int fd_;
};

// A journal line's fields: kind number time tty pid [stage].
std::string journal_line(const char* kind, long number, const char* tty, const char* stage) {
    char time_text[32] = "";
    const time_t now = time(nullptr);
    struct tm utc;
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(time_text, sizeof time_text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // The tty is one field however its path is spelled.
    std::string port = tty;
    for (char& c : port)
        if (static_cast<unsigned char>(c) <= ' ' || c == '#') c = '?';
    char text[160];
    std::snprintf(text, sizeof text, "%s %ld %s ", kind, number, time_text);
    std::string line = text + port;
    std::snprintf(text, sizeof text, " %ld%s%s\n", static_cast<long>(getpid()),
                  stage != nullptr ? " " : "", stage != nullptr ? stage : "");
    return line + text;
}

__attribute__((format(printf, 3, 4))) void file_error(const char* path, int line,
                                                      const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    log_message(1, 4, kModule, "serial_take", "%s:%d: %s", path, line, text);
}

// A decimal number of at most LONG_MAX, digits only.
bool read_decimal(std::string_view text, unsigned long* value) {
    if (text.empty() || text.size() > 19) return false;
    unsigned long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number > static_cast<unsigned long>(LONG_MAX)) return false;
    *value = number;
    return true;
}

std::vector<std::string_view> fields_of(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t at = 0;
    while ((at = text.find_first_not_of(" \t\r", at)) != std::string_view::npos) {
        const size_t end = std::min(text.find_first_of(" \t\r", at), text.size());
        fields.push_back(text.substr(at, end - at));
        at = end;
    }
    return fields;
}

// "2026-12-07T10:15:02Z"
bool is_time(std::string_view text) {
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kForm - 1) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (kForm[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != kForm[i]) return false;
    return true;
}

// The number of a journal line, or false when the line cannot be read.
bool journal_number(std::string_view text, unsigned long* number) {
    const std::vector<std::string_view> fields = fields_of(text);
    if (fields.empty()) return false;
    const bool void_line = fields[0] == "void";
    if (!void_line && fields[0] != "reserve" && fields[0] != "used") return false;
    // kind number time tty... pid [stage]
    const size_t pid = fields.size() - (void_line ? 2 : 1);
    if (fields.size() < (void_line ? 6u : 5u) || !is_time(fields[2])) return false;
    unsigned long ignored = 0;
    if (!read_decimal(fields[1], number) || !read_decimal(fields[pid], &ignored)) return false;
    if (!void_line) return true;
    for (int stage = 0; stage <= static_cast<int>(Stage::kInterrupted); ++stage)
        if (fields.back() == stage_word(static_cast<Stage>(stage))) return true;
    return false;
}

// The settings of a file, as read.
struct Settings {
    std::string value[kKeyCount];
    int line[kKeyCount] = {};
    unsigned long number[kKeyCount] = {};
    int format = kBinary;
    bool lsb = false;
};

// Reads the settings and the highest journal number of text; false after
// the ERROR line.
bool read_file(const char* path, const std::string& text, Settings& settings, bool* journal,
               unsigned long* highest) {
    int number = 0;
    int settings_end = 0;  // where a missing setting would go
    *journal = false;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++number;
        line = line.substr(0, std::min(line.find('#'), line.size()));
        const std::vector<std::string_view> fields = fields_of(line);
        if (fields.empty()) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            unsigned long n = 0;
            if (!journal_number(line, &n)) {
                file_error(path, number, "journal line cannot be read: \"%.*s\"",
                           static_cast<int>(std::min<size_t>(line.size(), 80)), line.data());
                return false;
            }
            *highest = *journal ? std::max(*highest, n) : n;
            *journal = true;
            continue;
        }
        if (*journal) {
            file_error(path, number, "a setting after the journal; settings go first");
            return false;
        }
        settings_end = number;
        const std::vector<std::string_view> key = fields_of(line.substr(0, equals));
        const std::vector<std::string_view> value = fields_of(line.substr(equals + 1));
        const std::string name = key.size() == 1 ? std::string(key[0]) : std::string(line);
        const auto found = std::find(std::begin(kKeys), std::end(kKeys), name);
        if (found == std::end(kKeys)) {
            file_error(path, number, "unknown setting \"%s\"", name.c_str());
            return false;
        }
        const int index = static_cast<int>(found - std::begin(kKeys));
        if (settings.line[index] != 0) {
            file_error(path, number, "%s is set twice (first on line %d)", name.c_str(),
                       settings.line[index]);
            return false;
        }
        settings.line[index] = number;
        settings.value[index] = value.size() == 1 ? std::string(value[0]) : "";
    }
    for (int key = 0; key < kKeyCount; ++key) {
        const int line = settings.line[key];
        const std::string& value = settings.value[key];
        if (line == 0) {
            file_error(path, settings_end + 1, "no %s setting", kKeys[key]);
            return false;
        }
        if (key == kFormat) {
            const auto found = std::find(std::begin(kFormats), std::end(kFormats), value);
            if (found == std::end(kFormats)) {
                file_error(path, line, "format must be binary, bcd or ascii (got \"%s\")",
                           value.c_str());
                return false;
            }
            settings.format = static_cast<int>(found - std::begin(kFormats));
        } else if (key == kOrder) {
            if (value != "msb" && value != "lsb") {
                file_error(path, line, "order must be msb or lsb (got \"%s\")", value.c_str());
                return false;
            }
            settings.lsb = value == "lsb";
        } else if (!read_decimal(value, &settings.number[key])) {
            file_error(path, line, "%s wants a decimal number (got \"%s\")", kKeys[key],
                       value.c_str());
            return false;
        }
    }
    return true;
}

// The number's bytes, first byte first as order says.
std::vector<int> number_bytes(unsigned long number, unsigned long length, int format, bool lsb) {
    std::vector<int> bytes(length);
    const unsigned long digits = format == kBcd ? 2 * length : length;
    char text[32];
    std::snprintf(text, sizeof text, "%0*lu", static_cast<int>(std::min(digits, 31ul)), number);
    std::string padded = text;
    if (padded.size() < digits) padded.insert(0, digits - padded.size(), '0');
    for (unsigned long i = 0; i < length; ++i) {
        const unsigned long shift = 8 * (length - 1 - i);
        if (format == kBinary)
            bytes[i] = shift < 64 ? static_cast<int>(number >> shift & 0xFF) : 0;
        else if (format == kBcd)
            bytes[i] = (padded[2 * i] - '0') << 4 | (padded[2 * i + 1] - '0');
        else
            bytes[i] = padded[i];
    }
    if (lsb) std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// Whether number takes at most length bytes in format.
bool fits(unsigned long number, unsigned long length, int format) {
    if (format == kBinary) return length >= 8 || number >> (8 * length) == 0;
    const unsigned long digits = format == kBcd ? 2 * length : length;
    return std::to_string(number).size() <= digits;
}

// Checks what the settings ask of device; false after the ERROR line.
bool check_settings(const char* path, const char* device, const pass::Spaces& spaces,
                    const Settings& settings, int* space) {
    const unsigned long length = settings.number[kLength];
    const unsigned long address = settings.number[kAddress];
    const unsigned long pattern = settings.number[kTemplate];
    if (length < 1 || length > kMostWords) {
        file_error(path, settings.line[kLength], "length must be 1 to %lu (got %lu)", kMostWords,
                   length);
        return false;
    }
    if (pattern % 256 != 0 || pattern > 0x3F00) {
        file_error(path, settings.line[kTemplate],
                   "template must be a multiple of 256 below 16384 (got %lu)", pattern);
        return false;
    }
    if (!fits(settings.number[kLast], length, settings.format)) {
        file_error(path, settings.line[kLast], "last %lu does not fit %lu bytes in %s",
                   settings.number[kLast], length, kFormats[settings.format]);
        return false;
    }
    // Every word in one space of program, EEPROM or ID words, as the passes
    // place an address.
    *space = pass::kSpaceCount;
    for (unsigned long i = 0; i < length; ++i) {
        const uint32_t at = static_cast<uint32_t>(address + i);
        int found = 0;
        while (found < pass::kSpaceCount && !spaces[found].holds(at)) ++found;
        if (i == 0) *space = found;
        if (address + i > UINT32_MAX || found != *space || found == ICD2_CONFIG ||
            found == pass::kSpaceCount) {
            file_error(path, settings.line[kAddress],
                       "%lu words from %04lX lie in no program, ID or EEPROM space of %s", length,
                       address, device);
            return false;
        }
    }
    const part::Settings part_settings = part::read_settings(device, spaces);
    for (unsigned long i = 0; i < length; ++i) {
        if (part_settings.calibration_at(static_cast<uint32_t>(address + i)) != nullptr) {
            file_error(path, settings.line[kAddress], "word %04lX is a calibration word of %s",
                       address + i, device);
            return false;
        }
    }
    return true;
}

}  // namespace

int serial_take(const char* path, const char* device, const char* tty, SerialTake* take) {
    take->stage = Stage::kSerial;
    pass::Spaces spaces;
    if (pass::read_spaces(device, "serial_take", spaces) != 0) {
        take->stage = Stage::kConfig;
        return 5;
    }
    LockedFile file(path);
    if (!file.opened()) {
        log_message(1, 1, kModule, "serial_take", "Unable to open serial file: %s Reason: %d %s",
                    path, errno, std::strerror(errno));
        return 1;
    }
    if (!file.lock()) {
        if (tty_interrupted() != 0) return 1;
        log_message(1, 2, kModule, "serial_take", "Unable to lock serial file: %s Reason: %d %s",
                    path, errno, std::strerror(errno));
        return 1;
    }
    std::string text;
    if (!file.read_all(text)) {
        log_message(1, 3, kModule, "serial_take", "Unable to read serial file: %s Reason: %d %s",
                    path, errno, std::strerror(errno));
        return 1;
    }
    Settings settings;
    bool journal = false;
    unsigned long highest = 0;
    int space = pass::kSpaceCount;
    if (!read_file(path, text, settings, &journal, &highest) ||
        !check_settings(path, device, spaces, settings, &space))
        return 1;
    const unsigned long last = settings.number[kLast];
    const unsigned long next =
        journal ? std::max(highest + 1, settings.number[kFirst]) : settings.number[kFirst];
    if (next > last) {
        log_message(1, 5, kModule, "serial_take", "No serial number left in %s (last %lu)", path,
                    last);
        return 5;
    }
    if (tty_interrupted() != 0) return 1;
    const long number = static_cast<long>(next);
    if (!file.append(journal_line("reserve", number, tty, nullptr))) {
        log_message(1, 6, kModule, "serial_take", "Unable to write serial file: %s Reason: %d %s",
                    path, errno, std::strerror(errno));
        return 1;
    }
    const std::vector<int> bytes =
        number_bytes(next, settings.number[kLength], settings.format, settings.lsb);
    take->words.clear();
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int32_t pattern =
            space == ICD2_EEPROM ? 0 : static_cast<int32_t>(settings.number[kTemplate]);
        take->words.push_back(
            {static_cast<uint32_t>(settings.number[kAddress] + i), space, pattern | bytes[i]});
    }
    take->number = number;
    take->stage = Stage::kOk;
    return 0;
}

int serial_record(const char* path, long number, const char* tty, int status, Stage stage) {
    LockedFile file(path);
    const bool used = status == 0;
    if (file.opened() && file.lock() &&
        file.append(
            journal_line(used ? "used" : "void", number, tty, used ? nullptr : stage_word(stage))))
        return 0;
    log_message(1, 7, kModule, "serial_record",
                "Unable to record serial number %ld in %s Reason: %d %s", number, path, errno,
                std::strerror(errno));
    return 1;
}

namespace serial {

pass::PieceSource placing_pieces(pass::PieceSource image, const std::vector<SerialWord>& words,
                                 const pass::Spaces& spaces) {
    struct State {
        pass::PieceSource image;
        std::vector<SerialWord> words;
        std::vector<bool> placed;      // in a piece of the image
        std::vector<int32_t> patched;  // the piece handed out last, patched
        std::vector<int32_t> rest;     // the words after the image
        size_t next = 0;               // of words, after the image
    };
    auto state = std::make_shared<State>();
    state->image = std::move(image);
    state->words = words;
    state->placed.assign(words.size(), false);
    return [state, &spaces](pass::Piece& piece) {
        if (state->image && state->image(piece)) {
            // A piece without its space goes where the pass will place it.
            int space = piece.space;
            for (int s = 0; space == pass::kSpaceCount && s < pass::kSpaceCount; ++s)
                if (spaces[s].holds(piece.address)) space = s;
            for (size_t i = 0; i < state->words.size(); ++i) {
                const SerialWord& word = state->words[i];
                const uint32_t offset = word.address - piece.address;
                if (word.space != space || word.address < piece.address ||
                    offset >= static_cast<uint32_t>(piece.count))
                    continue;
                if (state->patched.data() != piece.expected)
                    state->patched.assign(piece.expected, piece.expected + piece.count);
                state->patched[offset] = word.value;
                piece.expected = state->patched.data();
                if (piece.write != nullptr) piece.write = state->patched.data();
                state->placed[i] = true;
            }
            return true;
        }
        state->image = nullptr;
        // The words no piece held, in runs of consecutive addresses.
        while (state->next < state->words.size() && state->placed[state->next]) ++state->next;
        if (state->next == state->words.size()) return false;
        const SerialWord& first = state->words[state->next];
        state->rest.clear();
        while (state->next < state->words.size() && !state->placed[state->next] &&
               state->words[state->next].address == first.address + state->rest.size() &&
               state->rest.size() < icd2_limits::kMostPerTransfer)
            state->rest.push_back(state->words[state->next++].value);
        piece = pass::Piece{first.space, first.address, static_cast<int32_t>(state->rest.size()),
                            state->rest.data(), state->rest.data()};
        return true;
    };
}

}  // namespace serial
