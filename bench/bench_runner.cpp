// bench_runner: how long tarnwell takes to program and verify a full-size
// image, measured against the time the serial line itself needs, with
// record-by-record transfers and with coalesced ones side by side.
//
// The runner writes the image and two configurations derived from the
// example: one without any "transfer/coalesce" setting (every record its own
// transfer) and one with the setting on for the simulated part's family. For
// each it starts icd2sim in --link mode (paced like a real UART, and unpaced
// to expose the program's own cost), and runs tarnwell as its own direct
// child, so that wait4 reports tarnwell's CPU time and peak resident size and
// nothing else's. Linux carries a parent's resident pages into a forked
// child's maximum, so the runner allocates nothing large and prints its own
// resident size beside the figures. The bytes on the wire are counted from
// the simulator's transcript and compared with what the protocol needs for
// this image with that configuration's transfers; the wire limit is the time
// those needed bytes take on the line.
//
// It is a measurement, not a test: it fails only when a run itself fails
// (tarnwell's exit status, a verification that did not pass), never on a time.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr unsigned kHandshakeBaud = 19200;
constexpr unsigned kFastBaud = 57600;

// The part of examples/sim-device.conf and the "mid14" family of
// examples/tarnwell.config, in words (EEPROM: bytes).
constexpr uint32_t kProgWords = 8192;
constexpr uint32_t kIdStart = 0x2000, kIdWords = 4;
constexpr uint32_t kConfigStart = 0x2007, kConfigWords = 1;
constexpr uint32_t kEepromStart = 0x2100, kEepromBytes = 256;
constexpr uint32_t kRecordWords = 8;
constexpr uint16_t kWordMask = 0x3FFF;  // the simulated part keeps 14 bits
// tarnwell's transfer sizes: program memory is written in whole 8-word
// blocks, at most 120 words a write; any other transfer moves at most 127
// words or bytes.
constexpr uint32_t kProgramBlockWords = 8;
constexpr uint32_t kMostPerProgramWrite = 120;
constexpr uint32_t kMostPerTransfer = 127;
constexpr const char* kCoalescingFamily = "mid14";

struct Paths {
    std::string tarnwell = BENCH_TARNWELL;
    std::string sim = BENCH_ICD2SIM;
    std::string config = std::string(BENCH_EXAMPLES) + "/tarnwell.config";
    std::string device = std::string(BENCH_EXAMPLES) + "/sim-device.conf";
    std::string work = "bench-work";
};

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_runner: %s\n", what.c_str());
    std::exit(2);
}

[[noreturn]] void die_errno(const std::string& what) {
    die(what + ": " + std::strerror(errno));
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---------------------------------------------------------------- the image

struct Record {
    uint32_t address;  // word address
    std::vector<uint16_t> words;
};

enum class Space { prog, eeprom, id, config };

Space space_of(uint32_t address) {
    if (address < kProgWords) return Space::prog;
    if (address >= kEepromStart) return Space::eeprom;
    if (address >= kConfigStart) return Space::config;
    return Space::id;
}

// Deterministic words that differ from record to record and from the erased
// value, so that a transfer that went wrong cannot pass by accident.
std::vector<Record> make_image() {
    std::vector<Record> records;
    uint32_t state = 0x2545F491u;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint16_t>(state >> 16);
    };
    for (uint32_t a = 0; a < kProgWords; a += kRecordWords) {
        Record r{a, {}};
        for (uint32_t i = 0; i < kRecordWords; ++i) r.words.push_back(next() & kWordMask);
        records.push_back(std::move(r));
    }
    Record id{kIdStart, {}};
    for (uint32_t i = 0; i < kIdWords; ++i) id.words.push_back(next() & kWordMask);
    records.push_back(std::move(id));
    records.push_back({kConfigStart, {static_cast<uint16_t>(next() & kWordMask)}});
    for (uint32_t a = 0; a < kEepromBytes; a += kRecordWords) {
        Record r{kEepromStart + a, {}};
        for (uint32_t i = 0; i < kRecordWords; ++i) r.words.push_back(next() & 0xFF);
        records.push_back(std::move(r));
    }
    return records;
}

// Intel HEX, low byte first, byte address = 2 x word address. Every address
// here stays below 64 KiB, so no extended address records are needed.
void write_image(const std::vector<Record>& records, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out) die_errno(path);
    for (const Record& r : records) {
        const uint32_t offset = r.address * 2;
        const unsigned length = static_cast<unsigned>(r.words.size() * 2);
        unsigned sum = length + (offset >> 8) + (offset & 0xFF);
        std::fprintf(out, ":%02X%04X00", length, offset);
        for (uint16_t w : r.words) {
            std::fprintf(out, "%02X%02X", w & 0xFF, w >> 8);
            sum += (w & 0xFF) + (w >> 8);
        }
        std::fprintf(out, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fputs(":00000001FF\n", out);
    if (std::fclose(out) != 0) die_errno(path);
}

// ------------------------------------------------------ the configurations

// Whether a configuration line sets "transfer/coalesce" for some section:
// the key runs from the first non-blank character to a blank or "=", and
// empty path components do not count.
bool sets_coalesce(const std::string& line) {
    const size_t first = line.find_first_not_of(" \t\v\f\r");
    if (first == std::string::npos || line[first] == '#') return false;
    const std::string key = line.substr(first, line.find_first_of(" \t\v\f\r=", first) - first);
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= key.size()) {
        const size_t slash = std::min(key.find('/', pos), key.size());
        if (slash > pos) parts.push_back(key.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts.size() >= 2 && parts[parts.size() - 2] == "transfer" && parts.back() == "coalesce";
}

// Writes FROM without any coalesce setting to PLAIN, and the same with the
// setting on for the simulated part's family to COALESCED.
void write_configs(const std::string& from, const std::string& plain,
                   const std::string& coalesced) {
    FILE* in = std::fopen(from.c_str(), "r");
    if (!in) die_errno(from);
    std::string kept;
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&raw, &capacity, in)) > 0) {
        std::string line(raw, static_cast<size_t>(length));
        if (line.back() != '\n') line += '\n';
        if (!sets_coalesce(line)) kept += line;
    }
    std::free(raw);
    std::fclose(in);
    const std::string setting =
        std::string("family/") + kCoalescingFamily + "/transfer/coalesce = 1\n";
    for (const auto& [path, text] :
         {std::pair{plain, kept}, std::pair{coalesced, kept + setting}}) {
        FILE* out = std::fopen(path.c_str(), "w");
        if (!out) die_errno(path);
        std::fputs(text.c_str(), out);
        if (std::fclose(out) != 0) die_errno(path);
    }
}

// ------------------------------------------------------- counting the wire

// Bytes in each direction, split by the line speed they travelled at.
struct Wire {
    uint64_t in_slow = 0, out_slow = 0;  // host -> ICD2, ICD2 -> host at 19200
    uint64_t in_fast = 0, out_fast = 0;  // the same at 57600
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
};
using TrafficByCode = std::map<std::string, Traffic>;

// "<LL text CC>" and "[LL body CC]": six characters around the text.
uint64_t frame_bytes(size_t text) {
    return text + 6;
}
// "{digits CS}": four digits a word or two a byte, checksum and braces.
uint64_t block_bytes(uint32_t count, bool bytes) {
    return uint64_t{count} * (bytes ? 2 : 4) + 4;
}
bool is_byte_code(const std::string& code) {
    return code == "44" || code == "48";
}

// The transcript writes blanks, backslashes and unprintable bytes as \xHH.
size_t unescaped_length(const std::string& text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i, ++n)
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') i += 3;
    return n;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        const size_t end = line.find(' ', pos);
        const size_t stop = end == std::string::npos ? line.size() : end;
        if (stop > pos) words.push_back(line.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return words;
}

// Bytes an injected fault put in front of a response or block: "U?x" for
// noise, two whole "00" frames for zeros.
uint64_t injected_bytes(const std::vector<std::string>& words, size_t first_kind) {
    uint64_t bytes = 0;
    for (size_t i = first_kind; i < words.size(); ++i) {
        if (words[i] == "noise") bytes += 3;
        if (words[i] == "zeros") bytes += 2 * frame_bytes(4);
    }
    return bytes;
}

struct Count {
    Wire wire;
    TrafficByCode by_code;
    std::vector<std::string> anomalies;  // anything a clean exchange never shows
};

// Rebuilds the bytes of every event of a fault-free transcript. Events that
// a clean run never produces are kept as anomalies: their bytes may not be
// fully known, and any of them is traffic the image did not need.
Count count_transcript(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) die_errno(path);
    Count count;
    unsigned speed = kHandshakeBaud;
    std::string code = "handshake";
    auto add = [&](uint64_t bytes, bool to_device) {
        uint64_t& wire = to_device
                             ? (speed == kFastBaud ? count.wire.in_fast : count.wire.in_slow)
                             : (speed == kFastBaud ? count.wire.out_fast : count.wire.out_slow);
        wire += bytes;
        (to_device ? count.by_code[code].in : count.by_code[code].out) += bytes;
    };
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&raw, &capacity, in)) > 0) {
        std::string line(raw, static_cast<size_t>(length));
        if (line.back() == '\n') line.pop_back();
        const std::vector<std::string> w = split(line);
        if (w.empty()) continue;
        const std::string& kind = w[0];
        const bool not_sent = w.back() == "silenced" || w.back() == "silent";
        if (kind == "DTR" || kind == "RESET") {
            continue;
        } else if (kind == "SPEED" && w.size() == 2) {
            speed = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 10));
        } else if (kind == "RAW" && w.size() == 2) {
            // The handshake's "Z" between the two DTR pulses is part of the
            // protocol; any other stray byte is not.
            if (code != "handshake" || w[1] != "Z") count.anomalies.push_back(line);
            add(unescaped_length(w[1]), true);
        } else if (kind == "WAKE") {
            if (code != "handshake") count.anomalies.push_back(line);
            add(1, true);
            if (w.size() == 4 && w[3] != "none") add(unescaped_length(w[3]), false);
        } else if (kind == "CMD" && w.size() == 3) {
            code = w[2].substr(0, 2);
            ++count.by_code[code].frames;
            add(frame_bytes(unescaped_length(w[2])), true);
        } else if (kind == "RESP" && w.size() >= 2) {
            if (w.size() > 2) count.anomalies.push_back(line);
            if (!not_sent) add(frame_bytes(unescaped_length(w[1])) + injected_bytes(w, 2), false);
        } else if (kind == "BLOCK-OUT" && w.size() >= 3) {
            if (w.size() > 3) count.anomalies.push_back(line);
            const auto n = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
            if (!not_sent) add(block_bytes(n, is_byte_code(w[1])) + injected_bytes(w, 3), false);
        } else if (kind == "BLOCK-IN" && w.size() == 4 && w[3] == "ok") {
            const auto n = static_cast<uint32_t>(std::strtoul(w[2].c_str(), nullptr, 10));
            add(block_bytes(n, is_byte_code(w[1])), true);
        } else if (kind == "BADFRAME" && w.size() == 3) {
            count.anomalies.push_back(line);
            add(unescaped_length(w[1]), true);
        } else {
            // BADCMD, FAULT, NOTE, a block that failed: not a clean exchange.
            count.anomalies.push_back(line);
        }
    }
    std::free(raw);
    std::fclose(in);
    return count;
}

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
// write is whole blocks in writes of at most 120 words, then the tail in one
// block padded to 8 words; anything else is transfers of at most 127 units,
// and at least one.
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

// -------------------------------------------------------------- processes

// The runner's resident size, and the anonymous part of it that a fork
// copies into the child before exec.
std::string own_rss_kib() {
    FILE* in = std::fopen("/proc/self/status", "r");
    if (!in) return "?";
    char line[256];
    std::string rss = "?", anon = "?";
    while (std::fgets(line, sizeof line, in)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            rss = std::to_string(std::strtoul(line + 6, nullptr, 10));
        if (std::strncmp(line, "RssAnon:", 8) == 0)
            anon = std::to_string(std::strtoul(line + 8, nullptr, 10));
    }
    std::fclose(in);
    return rss + " KiB, " + anon + " KiB of it anonymous";
}

struct Simulator {
    pid_t pid = -1;
    std::string preload, control;
};

// Starts icd2sim --link and takes the environment line it prints.
Simulator start_sim(const Paths& paths, bool pace, const std::vector<std::string>& extra) {
    int out[2];
    if (pipe(out) != 0) die_errno("pipe");
    std::vector<std::string> args = {paths.sim, "--device", paths.device, "--link",
                                     paths.work + "/tty"};
    if (pace) args.push_back("--pace");
    args.insert(args.end(), extra.begin(), extra.end());
    Simulator sim;
    sim.pid = fork();
    if (sim.pid < 0) die_errno("fork");
    if (sim.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    for (const std::string& word : split(line)) {
        if (word.rfind("LD_PRELOAD=", 0) == 0) sim.preload = word.substr(11);
        if (word.rfind("ICD2SIM_CONTROL=", 0) == 0) sim.control = word.substr(16);
    }
    if (sim.preload.empty() || sim.control.empty())
        die("icd2sim --link printed no environment: " + line);
    return sim;
}

// SIGTERM ends the linked simulator, which then writes its dump and transcript.
void stop_sim(Simulator& sim) {
    kill(sim.pid, SIGTERM);
    int status;
    while (waitpid(sim.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("icd2sim did not end cleanly");
}

struct Measure {
    int status = -1;
    double wall = 0, cpu = 0, user = 0, sys = 0;
    long peak_rss_kib = 0;
    long sleeps = 0;  // voluntary context switches: waits that blocked
};

// Runs PREFIX... tarnwell ARGS with the simulator's environment, standard
// output and error into files. The runner is the direct parent.
Measure run(const Simulator& sim, const std::vector<std::string>& prefix,
            const std::vector<std::string>& args, const std::string& log_base) {
    std::vector<std::string> all = prefix;
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = log_base + ".out", err_path = log_base + ".err";

    Measure m;
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid < 0) die_errno("fork");
    if (pid == 0) {
        setenv("LD_PRELOAD", sim.preload.c_str(), 1);
        setenv("ICD2SIM_CONTROL", sim.control.c_str(), 1);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    rusage usage{};
    int status = 0;
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) die_errno("wait4");
    m.wall = now_seconds() - start;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m.user = static_cast<double>(usage.ru_utime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    m.sys = static_cast<double>(usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
    m.cpu = m.user + m.sys;
    m.sleeps = usage.ru_nvcsw;
    m.peak_rss_kib = usage.ru_maxrss;
    return m;
}

bool file_contains(const std::string& path, const char* text) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return false;
    char buffer[4096];
    std::string tail;
    bool found = false;
    size_t n;
    while (!found && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        tail.append(buffer, n);
        found = tail.find(text) != std::string::npos;
        if (tail.size() > 256) tail.erase(0, tail.size() - 256);
    }
    std::fclose(in);
    return found;
}

// ------------------------------------------------------ counting syscalls

// True when COMMAND runs and exits 0, its output thrown away.
bool runs(const std::vector<const char*>& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const char* a : command) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// perf stat -x, writes "<count>,,raw_syscalls:sys_enter,..."; strace -c ends
// with "100.00 <seconds> <usecs/call> <calls> [<errors>] total".
long syscalls_from(const std::string& path, bool perf) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return -1;
    char line[512];
    long calls = -1;
    while (std::fgets(line, sizeof line, in)) {
        const std::vector<std::string> w = split(std::string(line, std::strcspn(line, "\n")));
        if (perf && std::strstr(line, "raw_syscalls:sys_enter"))
            calls = std::strtol(line, nullptr, 10);
        if (!perf && w.size() >= 5 && w.back() == "total")
            calls = std::strtol(w[3].c_str(), nullptr, 10);
    }
    std::fclose(in);
    return calls;
}

// ----------------------------------------------------------------- report

// How a run has tarnwell move the image: every record its own transfer, or
// contiguous records merged.
struct Style {
    const char* name;  // in the names of runs and working files
    bool coalesce;
    std::string config;
};

struct Result {
    std::string name, pass;  // the pass without the round number
    bool paced = false, program = false, coalesce = false;
    Measure m;
    Count count;
    TrafficByCode need;  // and as bytes on the line: the wire limit
    Wire need_wire;
    long syscalls = -1;
    std::string runner_rss;
};

std::string load_average() {
    char text[128] = "?";
    if (FILE* in = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, in)) std::strcpy(text, "?");
        std::fclose(in);
    }
    return std::string(text, std::strcspn(text, "\n"));
}

void print_machine() {
    std::string model = "?";
    if (FILE* in = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, in)) {
            if (std::strncmp(line, "model name", 10) != 0) continue;
            const char* colon = std::strchr(line, ':');
            if (colon) model = std::string(colon + 2, std::strcspn(colon + 2, "\n"));
            break;
        }
        std::fclose(in);
    }
    std::string kernel = "?";
    if (FILE* in = std::fopen("/proc/sys/kernel/osrelease", "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, in)) kernel = std::string(line, std::strcspn(line, "\n"));
        std::fclose(in);
    }
    std::printf("machine: %ld cores, %s, Linux %s; load average %s\n",
                sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), kernel.c_str(),
                load_average().c_str());
}

void print_table(const std::vector<Result>& results, const char* syscall_source) {
    std::printf("\n%-28s %8s %9s %6s %10s %8s %6s %7s %8s %8s %9s %8s\n", "run", "to ICD2",
                "from ICD2", "excess", "wire limit", "wall", "ratio", "CPU", "CPU/wall", "peak RSS",
                "syscalls", "per byte");
    for (const Result& r : results) {
        const Wire& w = r.count.wire;
        const double limit = r.need_wire.limit_seconds();
        const long long excess =
            static_cast<long long>(w.total()) - static_cast<long long>(r.need_wire.total());
        std::printf("%-28s %8llu %9llu %6lld %9.3fs %7.3fs %6.3f %6.3fs %7.2f%% %5.2fMiB ",
                    r.name.c_str(), static_cast<unsigned long long>(w.in()),
                    static_cast<unsigned long long>(w.out()), excess, limit, r.m.wall,
                    r.m.wall / limit, r.m.cpu, 100.0 * r.m.cpu / r.m.wall,
                    static_cast<double>(r.m.peak_rss_kib) / 1024.0);
        if (r.syscalls < 0)
            std::printf("%9s %8s\n", "-", "-");
        else
            std::printf("%9ld %8.2f\n", r.syscalls,
                        static_cast<double>(r.syscalls) / static_cast<double>(w.total()));
    }
    std::printf(
        "(to/from ICD2: bytes seen on the wire; excess: seen beyond the bytes the protocol needs "
        "for the\n"
        " image with that run's transfers; wire limit: the needed bytes x 10 / baud, %llu of them "
        "to the\n"
        " ICD2 and %llu from it at 19200 baud; ratio: wall / wire limit;\n"
        " syscalls counted with %s on a separate run;\n"
        " the runner's own resident size when it forked: %s)\n",
        static_cast<unsigned long long>(results.front().need_wire.in_slow),
        static_cast<unsigned long long>(results.front().need_wire.out_slow), syscall_source,
        results.back().runner_rss.c_str());
    std::printf("\n%-28s %8s %8s %9s %16s %16s\n", "run", "user", "sys", "blocked",
                "CPU per blocked", "bytes from ICD2");
    for (const Result& r : results)
        std::printf("%-28s %7.3fs %7.3fs %9ld %14.1fus %16llu\n", r.name.c_str(), r.m.user, r.m.sys,
                    r.m.sleeps, r.m.sleeps ? 1e6 * r.m.cpu / static_cast<double>(r.m.sleeps) : 0.0,
                    static_cast<unsigned long long>(r.count.wire.out()));
    for (const Result& r : results) {
        if (r.paced) continue;
        const double bytes = static_cast<double>(r.count.wire.total());
        std::printf("%s: %.2f us CPU per byte on the wire, %.2f us wall per byte\n", r.name.c_str(),
                    1e6 * r.m.cpu / bytes, 1e6 * r.m.wall / bytes);
    }
}

// The paced runs of each job: coalesced against record by record, mean wall
// time over the rounds.
void print_comparison(const std::vector<Result>& results) {
    std::printf("\n");
    for (const bool program : {true, false}) {
        double wall[2] = {0, 0}, limit[2] = {0, 0};
        int rounds[2] = {0, 0};
        for (const Result& r : results) {
            if (!r.paced || r.program != program) continue;
            wall[r.coalesce] += r.m.wall;
            limit[r.coalesce] = r.need_wire.limit_seconds();
            ++rounds[r.coalesce];
        }
        if (rounds[0] == 0 || rounds[1] == 0) continue;
        const double plain = wall[0] / rounds[0], merged = wall[1] / rounds[1];
        std::printf(
            "paced %s: coalesced %.3f s, per record %.3f s (%.2f of the time); wire limits %.3f s "
            "and %.3f s\n",
            program ? "program" : "verify", merged, plain, merged / plain, limit[1], limit[0]);
    }
}

// Per command code: what went over the wire against what the image needs.
std::string excess_text(const Result& r) {
    std::map<std::string, bool> codes;
    for (const auto& [code, t] : r.count.by_code) codes[code] = true;
    for (const auto& [code, t] : r.need) codes[code] = true;
    long long excess = 0;
    std::string detail;
    for (const auto& [code, unused] : codes) {
        const auto seen = r.count.by_code.count(code) ? r.count.by_code.at(code) : Traffic{};
        const auto need = r.need.count(code) ? r.need.at(code) : Traffic{};
        const long long extra =
            static_cast<long long>(seen.in + seen.out) - static_cast<long long>(need.in + need.out);
        excess += extra;
        if (extra != 0 || seen.frames != need.frames) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "  %-9s %5u frames (%u needed), %llu+%llu bytes (%llu+%llu needed)\n", code.c_str(),
                seen.frames, need.frames, static_cast<unsigned long long>(seen.in),
                static_cast<unsigned long long>(seen.out), static_cast<unsigned long long>(need.in),
                static_cast<unsigned long long>(need.out));
            detail += text;
        }
    }
    std::string text = std::to_string(excess) +
                       " bytes beyond what the protocol needs for the image" +
                       (excess == 0 && detail.empty() ? "\n" : ":\n") + detail;
    for (const std::string& line : r.count.anomalies) text += "  transcript: " + line + "\n";
    return text;
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: bench_runner [--work DIR] [--tarnwell PATH] [--sim PATH] [--config FILE]\n"
        "                    [--device FILE] [--repeat N] [--no-syscalls] [--strace] "
        "[--unpaced-only]\n",
        stderr);
    std::exit(64);
}

struct Options {
    Paths paths;
    bool syscalls = true;           // count system calls on a separate run
    bool strace_breakdown = false;  // also keep strace -c's table per call
    bool paced = true;
    int repeat = 1;
};

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = arg == "--work"       ? &o.paths.work
                             : arg == "--tarnwell" ? &o.paths.tarnwell
                             : arg == "--sim"      ? &o.paths.sim
                             : arg == "--config"   ? &o.paths.config
                             : arg == "--device"   ? &o.paths.device
                                                   : nullptr;
        if (value && i + 1 < argc)
            *value = argv[++i];
        else if (arg == "--no-syscalls")
            o.syscalls = false;
        else if (arg == "--strace")
            o.strace_breakdown = true;
        else if (arg == "--unpaced-only")
            o.paced = false;
        else if (arg == "--repeat" && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
            o.repeat = std::atoi(argv[++i]);
        else
            usage();
    }
    return o;
}

class Bench {
  public:
    Bench(Options options, std::vector<Record> records, std::string image)
        : o_(std::move(options)), records_(std::move(records)), image_(std::move(image)) {
        // perf needs a kernel that lets it read the tracepoint; strace only ptrace.
        use_perf_ = o_.syscalls &&
                    runs({"perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "--", "true"});
        if (o_.syscalls && !use_perf_ && !runs({"strace", "-c", "-o", "/dev/null", "true"})) {
            std::printf("neither perf nor strace can count system calls here: not counted\n");
            o_.syscalls = false;
        }
    }

    // Programs (or with -v verifies) the image o_.repeat times, then counts
    // the system calls of one more run.
    void measure(bool pace, bool program, const Style& style) {
        const std::string mode = pace ? "paced" : "unpaced";
        const std::string pass = program ? "program" : "verify";
        const std::string base = o_.paths.work + "/" + mode + "-" + pass + "-" + style.name;
        // The verifying runs start from the memory the programming run left.
        const std::string memory = o_.paths.work + "/" + mode + "-" + style.name + "-memory.hex";
        std::vector<std::string> args = {o_.paths.tarnwell, "-c", style.config, "-t",
                                         o_.paths.work + "/tty"};
        if (!program) args.push_back("-v");
        args.push_back(image_);

        const size_t first = results_.size();
        for (int round = 1; round <= o_.repeat; ++round) {
            Result r;
            r.pass = mode + " " + pass + " " + style.name;
            r.name = r.pass + (o_.repeat > 1 ? " " + std::to_string(round) : "");
            r.paced = pace, r.program = program, r.coalesce = style.coalesce;
            r.need = needed_traffic(records_, program, style.coalesce);
            r.need_wire = wire_of(r.need);
            Simulator sim = start_sim(
                o_.paths, pace,
                {"--transcript", base + ".transcript", program ? "--dump" : "--load", memory});
            r.runner_rss = own_rss_kib();
            r.m = run(sim, {}, args, base);
            stop_sim(sim);
            r.count = count_transcript(base + ".transcript");
            const bool passed =
                file_contains(base + ".out", program ? "Done Verifying : Passed" : ": Passed");
            if (r.m.status != 0 || !passed) {
                std::printf("%s FAILED: exit status %d%s; see %s.out and .err\n", r.name.c_str(),
                            r.m.status, passed ? "" : ", no \"Passed\"", base.c_str());
                failed_ = true;
            }
            std::printf("%s: %.3f s\n", r.name.c_str(), r.m.wall);
            std::fflush(stdout);
            results_.push_back(std::move(r));
        }
        const long calls = count_syscalls(results_[first].pass, pace, program, base, memory, args);
        for (size_t i = first; i < results_.size(); ++i) results_[i].syscalls = calls;
    }

    void report() const {
        print_table(results_, !o_.syscalls ? "nothing"
                              : use_perf_  ? "perf stat -e raw_syscalls:sys_enter"
                                           : "strace -f -c");
        print_comparison(results_);
        std::printf("load average at the end: %s\n\n", load_average().c_str());
        // Repeated runs move the same bytes; say so once unless one differs.
        std::string last;
        for (const Result& r : results_) {
            const std::string text = excess_text(r);
            if (r.pass + text != last) std::printf("%s: %s", r.name.c_str(), text.c_str());
            last = r.pass + text;
        }
    }

    bool failed() const { return failed_; }

  private:
    // The counting runs are separate: a tracer between the runner and
    // tarnwell would spoil the times and the resource figures.
    long count_syscalls(const std::string& name, bool pace, bool program, const std::string& base,
                        const std::string& memory, const std::vector<std::string>& args) {
        long calls = -1;
        const std::pair<bool, std::string> counters[] = {
            {use_perf_, "perf"}, {o_.syscalls && (!use_perf_ || o_.strace_breakdown), "strace"}};
        for (const auto& [wanted, tool] : counters) {
            if (!wanted) continue;
            const std::string out = base + "." + tool;
            const std::vector<std::string> prefix =
                tool == "perf" ? std::vector<std::string>{"perf",
                                                          "stat",
                                                          "-x,",
                                                          "-e",
                                                          "raw_syscalls:sys_enter",
                                                          "-o",
                                                          out,
                                                          "--"}
                               : std::vector<std::string>{"strace", "-f", "-c", "-o", out};
            std::vector<std::string> sim_args = {"--transcript", out + ".transcript"};
            if (!program) sim_args.insert(sim_args.end(), {"--load", memory});
            Simulator sim = start_sim(o_.paths, pace, sim_args);
            const Measure m = run(sim, prefix, args, out);
            stop_sim(sim);
            if (m.status != 0) {
                std::printf("%s under %s: exit status %d\n", name.c_str(), tool.c_str(), m.status);
                failed_ = true;
            }
            if (tool == (use_perf_ ? "perf" : "strace")) calls = syscalls_from(out, use_perf_);
        }
        return calls;
    }

    Options o_;
    std::vector<Record> records_;
    std::string image_;
    bool use_perf_ = false;
    bool failed_ = false;
    std::vector<Result> results_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    if (mkdir(options.paths.work.c_str(), 0755) != 0 && errno != EEXIST)
        die_errno(options.paths.work);
    signal(SIGPIPE, SIG_IGN);

    std::vector<Record> records = make_image();
    const std::string image = options.paths.work + "/image.hex";
    write_image(records, image);
    print_machine();
    std::printf(
        "image: %s, %zu data records: %u program words in %u-word records, %u EEPROM bytes, %u ID "
        "words, "
        "%u configuration word\n",
        image.c_str(), records.size(), kProgWords, kRecordWords, kEepromBytes, kIdWords,
        kConfigWords);
    const Style styles[] = {{"per-record", false, options.paths.work + "/per-record.config"},
                            {"coalesced", true, options.paths.work + "/coalesced.config"}};
    write_configs(options.paths.config, styles[0].config, styles[1].config);
    std::printf(
        "configurations: %s (from %s, any transfer/coalesce removed), %s "
        "(family/%s/transfer/coalesce = 1)\n",
        styles[0].config.c_str(), options.paths.config.c_str(), styles[1].config.c_str(),
        kCoalescingFamily);
    std::fflush(stdout);

    Bench bench(options, std::move(records), image);
    for (const bool pace : {true, false}) {
        if (pace && !options.paced) continue;
        for (const Style& style : styles) {
            bench.measure(pace, true, style);
            bench.measure(pace, false, style);
        }
    }
    bench.report();
    return bench.failed() ? 1 : 0;
}
