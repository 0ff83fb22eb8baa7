// The serial module of in-process tests. Each tty_* call is answered the way
// icd2sim answers the real module on a pty: bytes written go to the link,
// what the link sends is read back byte by byte, and a failing call logs the
// line, errno text and result that the real call would, so that the ICD2
// layer above sees the same world.
#include "icd2sim_tty.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <memory>
#include <set>

#include "icd2/tty.h"
#include "icd2sim_link.h"
#include "log/log.h"

namespace icd2sim::inprocess {
namespace {

constexpr const char* kModule = "icd2";
// The simulated port's descriptor; no real file of the process is behind it.
constexpr int kPortFd = 1000;

struct Piece {
    std::string bytes;
    size_t next = 0;
    unsigned long delay_us = 0;  // the device's time before the first byte
};

struct Sim {
    explicit Sim(DeviceSettings device)
        : settings(std::move(device)),
          memory(settings),
          link(settings, memory, transcript, [this] { return speed; }) {
        transcript.keep();
    }
    DeviceSettings settings;
    Memory memory;
    Transcript transcript;
    Link link;
    bool open = false;
    unsigned speed = 19200;  // the line's speed, kept between opens as a pty's is
    std::deque<Piece> unread;
    std::string wire;  // every byte the host has written
    unsigned long long now_us = 0;
    std::string failing;  // the function of fail_call, and its calls until the one that fails
    int calls_left = 0;
};

std::unique_ptr<Sim> sim;
std::set<std::string> missing, busy;
volatile std::sig_atomic_t interrupted_by = 0;

Sim& current() {
    if (!sim) reset();
    return *sim;
}

// The errno of a system call on fd: EBADF on anything but the open port, EIO
// once the device has vanished and its pty hung up; 0 when the call works.
int failure(int fd) {
    const Sim& s = current();
    if (!s.open || fd != kPortFd) return EBADF;
    return s.link.vanished() ? EIO : 0;
}

void close_port(int fd) {
    if (fd == kPortFd) current().open = false;
}

// Whether this call of function is the one fail_call planted a failure on.
bool planted(const char* function) {
    Sim& s = current();
    return s.failing == function && --s.calls_left == 0;
}

// Waits up to timeout seconds for the next byte: true when it is there in
// time, the clock advanced by the device's time before it; otherwise the
// clock advances by the whole wait.
bool arrives_within(Sim& s, int timeout) {
    const unsigned long long limit = timeout * 1000000ULL;
    if (s.unread.empty() || s.unread.front().delay_us > limit) {
        if (!s.unread.empty()) s.unread.front().delay_us -= limit;
        s.now_us += limit;
        return false;
    }
    s.now_us += s.unread.front().delay_us;
    s.unread.front().delay_us = 0;
    return true;
}

}  // namespace

std::string reset(const std::vector<std::string>& settings) {
    DeviceSettings device;
    for (const std::string& setting : settings) {
        const size_t equals = setting.find('=');
        if (equals == std::string::npos) return setting + ": wants KEY=VALUE";
        const std::string error =
            apply_setting(device, setting.substr(0, equals), setting.substr(equals + 1));
        if (!error.empty()) return error;
    }
    if (std::string error = check_settings(device); !error.empty()) return error;
    sim = std::make_unique<Sim>(std::move(device));
    interrupted_by = 0;
    return "";
}

void mark_missing(const std::string& path) {
    missing.insert(path);
}
void mark_busy(const std::string& path) {
    busy.insert(path);
}
void fail_call(const std::string& function, int nth) {
    current().failing = function;
    current().calls_left = nth;
}
Memory& memory() {
    return current().memory;
}
const std::string& transcript() {
    return current().transcript.kept();
}
const std::string& wire() {
    return current().wire;
}
unsigned long long elapsed_us() {
    return current().now_us;
}

}  // namespace icd2sim::inprocess

// The serial module itself: the same names and results as icd2/tty.cpp.
using namespace icd2sim::inprocess;

int tty_open(const char* path, unsigned int speed) {
    auto& s = current();
    if (interrupted_by != 0) return -1;
    if (busy.count(path) != 0) {
        log_message(1, 1, kModule, "tty_open", "Unbale to open serial port: %s Reason: %d %s", path,
                    EWOULDBLOCK, std::strerror(EWOULDBLOCK));
        return -6;
    }
    // A vanished device took its pty, and the pty's device node, with it.
    if (missing.count(path) != 0 || s.link.vanished() || planted("tty_open")) {
        log_message(1, 1, kModule, "tty_open", "Unbale to open serial port: %s Reason: %d %s", path,
                    ENOENT, std::strerror(ENOENT));
        return -1;
    }
    s.open = true;
    s.speed = speed;
    s.unread.clear();  // opening flushes both queues
    return kPortFd;
}

bool tty_in_use(const char* path) {
    return busy.count(path) != 0;
}

int tty_set_baud(int fd, unsigned int speed) {
    if (interrupted_by != 0) {
        close_port(fd);
        return 1;
    }
    if (int err = planted("tty_set_baud") ? EIO : failure(fd)) {
        log_message(1, 1, kModule, "tty_set_baud", "Unbale to drain port, Reason: %d %s", err,
                    std::strerror(err));
        close_port(fd);
        return 1;
    }
    current().speed = speed;
    return 0;
}

int tty_flush(int fd) {
    if (int err = planted("tty_flush") ? EIO : failure(fd)) {
        log_message(1, 2, kModule, "tty_flush", "Unbale to open flush port, Reason: %d %s", err,
                    std::strerror(err));
        close_port(fd);
        return 2;
    }
    current().unread.clear();
    return 0;
}

int tty_dtr(int fd, int flag) {
    // The DTR requests reach the simulator through its preload library, which
    // takes them even on a hung-up pty; only a closed port refuses them.
    const int err = planted("tty_dtr") ? EIO : failure(fd) == EBADF ? EBADF : 0;
    if (err != 0) {
        if (flag != 0)
            log_message(1, 1, kModule, "tty_dtr", "Unbale to set DTR, Reason: %d %s", err,
                        std::strerror(err));
        else
            log_message(1, 2, kModule, "tty_dtr", "Unbale to clear DTR, Reason: %d %s", err,
                        std::strerror(err));
        close_port(fd);
        return flag != 0 ? 1 : 2;
    }
    current().link.dtr(flag != 0);
    return 0;
}

int tty_write(int fd, const char* buffer, size_t length) {
    if (length == 0) return 0;
    if (interrupted_by != 0) return 1;
    if (int err = planted("tty_write") ? EIO : failure(fd)) {
        log_message(1, 1, kModule, "tty_write", "Unbale to write, Reason: %d %s", err,
                    std::strerror(err));
        close_port(fd);
        return 1;
    }
    auto& s = current();
    s.wire.append(buffer, length);
    s.link.receive(std::string(buffer, length));
    for (auto& output : s.link.take_output())
        s.unread.push_back({std::move(output.bytes), 0, output.delay_us});
    // What a vanishing device had not delivered goes with it.
    if (s.link.vanished()) s.unread.clear();
    return 0;
}

int tty_getc(int fd, int timeout) {
    if (interrupted_by != 0) return -3;
    auto& s = current();
    int err = failure(fd);
    while (!s.unread.empty() && s.unread.front().next == s.unread.front().bytes.size())
        s.unread.pop_front();
    if (err == 0 && timeout != 0 && !arrives_within(s, timeout)) {
        log_message(2, 1, kModule, "tty_getc", "Timeout during read");
        return -1;
    }
    if (err == 0 && !s.unread.empty() && s.unread.front().delay_us == 0) {
        auto& piece = s.unread.front();
        return static_cast<unsigned char>(piece.bytes[piece.next++]);
    }
    // The read fails: a hung-up pty reads as end of file, which sets no errno;
    // an open port with nothing to read yet fails as non-blocking.
    if (err == EIO)
        err = 0;
    else if (err == 0)
        err = EAGAIN;
    log_message(1, 2, kModule, "tty_getc", "Error during read, Reason: %d %s", err,
                std::strerror(err));
    return -2;
}

int tty_read(int fd, char* buffer, int count, int timeout) {
    int received = 0;
    return tty_read_burst(fd, buffer, count, timeout, &received);
}

// Bytes here come whole or not at all, so a burst is simply byte after byte.
int tty_read_burst(int fd, char* buffer, int count, int timeout, int* received) {
    int position = 0;
    for (; position < count; ++position) {
        int byte = tty_getc(fd, timeout);
        if (byte < 0) {
            *received = position;
            return byte;
        }
        buffer[position] = static_cast<char>(byte);
    }
    buffer[position] = '\0';
    *received = position;
    return 0;
}
// Bytes here come whole, each when its time has come: an announced burst
// changes nothing.
void tty_expect(int, int) {}

void tty_sleep_ms(unsigned int milliseconds) {
    if (interrupted_by == 0) current().now_us += milliseconds * 1000ULL;
}

void tty_interrupt(int signal) {
    interrupted_by = signal;
}

int tty_interrupted() {
    return interrupted_by;
}

void tty_close(int fd) {
    close_port(fd);
}
