// The serial line to the ICD2: bursts, read-ahead, waits, interruption and
// the log line of every failure, over the line's system calls (icd2/line.h),
// so that everything above it deals in tty_* calls and status codes, and
// every failure is reported where it happened.
#include "icd2/tty.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <list>

#include "icd2/line.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "icd2";

using line::Micros;
using std::chrono::milliseconds;
using std::chrono::seconds;
// A full output queue (an adapter holding CTS, a USB bridge slow to drain) is
// waited for as long as a read waits for a byte; a line that takes nothing for
// that long is broken.
constexpr Micros kWriteStall = seconds(5);
// The longest one wait lasts before the interruption flag is looked at again:
// a signal that lands between the look and the wait, or a tty_interrupt from
// another thread, costs at most this much.
constexpr Micros kWaitSlice = milliseconds(250);

// Set from a signal handler by tty_interrupt: the signal, or 0.
volatile std::sig_atomic_t interrupted_by = 0;

// A port in use and the bytes taken from it ahead of the reader that wants
// them: when the ICD2 has been announced to send a burst (tty_expect), the
// whole burst is taken with one read as its first byte is waited for.
struct Port {
    explicit Port(int port) : fd(port) {}
    int fd;
    int next = 0;
    int end = 0;
    int expected = 0;      // the announced burst, until a wait takes it
    bool lowered = false;  // tty_open turned the driver's low latency on
    std::array<char, kTtyReadAhead> bytes{};

    int available() const { return end - next; }
    // Moves up to count of the bytes held into buffer.
    int take(char* buffer, int count) {
        const int n = std::min(available(), count);
        std::memcpy(buffer, bytes.data() + next, static_cast<size_t>(n));
        next += n;
        return n;
    }
    void forget() { next = end = expected = 0; }
};

// The ports opened here, and descriptors opened elsewhere (a socket standing
// in for the line) from their first announcement on. A port's record is made
// new when it is opened and goes when it is closed, so nothing taken from one
// connection attempt reaches the next, even one with the same number.
std::list<Port> ports;

Port* find(int fd) {
    const auto port = std::find_if(ports.begin(), ports.end(),
                                   [fd](const Port& candidate) { return candidate.fd == fd; });
    return port == ports.end() ? nullptr : &*port;
}

void forget_port(int fd) {
    ports.remove_if([fd](const Port& port) { return port.fd == fd; });
}

// Whether the port opened last has low latency on.
bool last_port_low = false;

// A driver's mode is left as tty_open found it.
void give_latency_back(Port& port) {
    if (port.lowered) line::set_low_latency(port.fd, false);
    port.lowered = false;
}

// Every path that gives the port up goes through here.
void close_port(int fd) {
    if (Port* port = find(fd)) give_latency_back(*port);
    forget_port(fd);
    line::close(fd);
}

// A run that ends with its port open leaves it to the exit to close.
void give_latency_back_at_exit() {
    for (Port& port : ports) give_latency_back(port);
}

// Asks the driver for low latency where it has the mode.
void ask_low_latency(Port& port) {
    const line::Latency was = line::low_latency(port.fd);
    last_port_low = was.error == 0 && (was.low || line::set_low_latency(port.fd, true) == 0);
    port.lowered = last_port_low && !was.low;
    if (port.lowered) {
        static const bool at_exit = std::atexit(give_latency_back_at_exit) == 0;
        static_cast<void>(at_exit);
    }
}

enum class Wait { kReady, kTimedOut, kFailed, kInterrupted };
struct WaitResult {
    Wait wait;
    int error;  // kFailed's errno
};

// Waits until fd can be read (or, writing, written), at most until deadline.
// A signal only cuts the wait short: an interrupted line ends it, any other
// signal lets it go on.
WaitResult wait_ready(int fd, bool writing, Micros deadline) {
    for (;;) {
        if (interrupted_by != 0) return {Wait::kInterrupted, 0};
        const Micros left = deadline - line::now();
        if (left <= Micros::zero()) return {Wait::kTimedOut, 0};
        const line::Waited waited = line::wait(fd, writing, std::min(left, kWaitSlice));
        if (waited.ready == line::Ready::kYes) return {Wait::kReady, 0};
        if (waited.ready == line::Ready::kFailed) return {Wait::kFailed, waited.error};
    }
}

void log_open_failure(int code, line::Step step, const char* path, int err) {
    switch (step) {
        case line::Step::kFetch:
            log_message(1, code, kModule, "tty_open",
                        "Unbale to retrieve attributes for port: %s Reason: %d %s", path, err,
                        strerror(err));
            break;
        case line::Step::kSpeed:
            log_message(1, code, kModule, "tty_open",
                        "Unbale to set baud rate for port: %s Reason: %d %s", path, err,
                        strerror(err));
            break;
        case line::Step::kApply:
            log_message(1, code, kModule, "tty_open",
                        "Unbale to set attributes for port: %s Reason: %d %s", path, err,
                        strerror(err));
            break;
    }
}

void log_baud_failure(int code, line::Step step, int err) {
    switch (step) {
        case line::Step::kFetch:
            log_message(1, code, kModule, "tty_set_baud",
                        "Unbale to retrieve attributes for port, Reason: %d %s", err,
                        strerror(err));
            break;
        case line::Step::kSpeed:
            log_message(1, code, kModule, "tty_set_baud",
                        "Unbale to set baud rate for port, Reason: %d %s", err, strerror(err));
            break;
        case line::Step::kApply:
            log_message(1, code, kModule, "tty_set_baud",
                        "Unbale to set attributes for port,s Reason: %d %s", err, strerror(err));
            break;
    }
}

// Each step of the line's settings, its log code and its result.
int step_number(line::Step step) {
    return step == line::Step::kFetch ? 3 : step == line::Step::kSpeed ? 4 : 5;
}

}  // namespace

int tty_open(const char* path, unsigned int speed) {
    last_port_low = false;
    if (interrupted_by != 0) return -1;
    const line::Opened opened = line::open_exclusive(path);
    if (opened.fd < 0) {
        const int err = opened.error;
        log_message(1, 1, kModule, "tty_open", "Unbale to open serial port: %s Reason: %d %s", path,
                    err, strerror(err));
        return err == EWOULDBLOCK || err == EBUSY ? -6 : -1;
    }
    const int fd = opened.fd;
    forget_port(fd);
    ports.emplace_back(fd);
    if (const int err = line::flush(fd); err != 0) {
        log_message(1, 2, kModule, "tty_open", "Unbale to open flush port: %s Reason: %d %s", path,
                    err, strerror(err));
        close_port(fd);
        return -2;
    }
    if (const line::SetFailure set = line::set_line(fd, speed, true); set.error != 0) {
        const int code = step_number(set.step);
        log_open_failure(code, set.step, path, set.error);
        close_port(fd);
        return -code;
    }
    ask_low_latency(*find(fd));
    return fd;
}

bool tty_low_latency() {
    return last_port_low;
}

bool tty_in_use(const char* path) {
    return line::in_use(path);
}

int tty_set_baud(int fd, unsigned int speed) {
    // The bytes already queued must leave at the old speed, or the ICD2 would
    // see the tail of the last command garbled. The drain is the one wait that
    // blocks in the driver (a line held by CTS never drains): only a signal
    // ends it, and only an interrupted line gives it up.
    int drained = 0;
    while (interrupted_by == 0 && (drained = line::drain(fd)) == EINTR) {
    }
    if (interrupted_by != 0) {
        close_port(fd);
        return 1;
    }
    if (drained != 0) {
        log_message(1, 1, kModule, "tty_set_baud", "Unbale to drain port, Reason: %d %s", drained,
                    strerror(drained));
        close_port(fd);
        return 1;
    }
    if (const line::SetFailure set = line::set_line(fd, speed, false); set.error != 0) {
        const int code = step_number(set.step);
        log_baud_failure(code, set.step, set.error);
        close_port(fd);
        return code - 1;
    }
    return 0;
}

int tty_flush(int fd) {
    if (Port* port = find(fd)) port->forget();
    if (const int err = line::flush(fd); err != 0) {
        log_message(1, 2, kModule, "tty_flush", "Unbale to open flush port, Reason: %d %s", err,
                    strerror(err));
        close_port(fd);
        return 2;
    }
    return 0;
}

int tty_dtr(int fd, int flag) {
    const int err = line::dtr(fd, flag != 0);
    if (err == 0) return 0;
    if (flag != 0)
        log_message(1, 1, kModule, "tty_dtr", "Unbale to set DTR, Reason: %d %s", err,
                    strerror(err));
    else
        log_message(1, 2, kModule, "tty_dtr", "Unbale to clear DTR, Reason: %d %s", err,
                    strerror(err));
    close_port(fd);
    return flag != 0 ? 1 : 2;
}

int tty_write(int fd, const char* buffer, size_t length) {
    Micros deadline = line::now() + kWriteStall;
    while (length > 0) {
        // Nothing more goes out on an interrupted line, and the port is left
        // for the caller to close.
        if (interrupted_by != 0) return 1;
        const line::Moved written = line::write(fd, buffer, length);
        if (written.bytes > 0) {
            buffer += written.bytes;
            length -= written.bytes;
            deadline = line::now() + kWriteStall;
            continue;
        }
        int err = written.error != 0 ? written.error : EAGAIN;
        if (err == EINTR) continue;
        // A full queue: wait until the line takes bytes again.
        if ((err == EAGAIN || err == EWOULDBLOCK) && line::can_wait(fd)) {
            const WaitResult wait = wait_ready(fd, true, deadline);
            if (wait.wait == Wait::kReady || wait.wait == Wait::kInterrupted) continue;
            err = wait.wait == Wait::kTimedOut ? ETIMEDOUT : wait.error;
        }
        log_message(1, 1, kModule, "tty_write", "Unbale to write, Reason: %d %s", err,
                    strerror(err));
        close_port(fd);
        return 1;
    }
    return 0;
}

namespace {

// A serial line delivers its bytes one by one as they finish: after the first
// byte of a burst, sleep while the line carries the rest (ten bits a byte at
// the speed in force), then take them with one read. The sleep ends one byte
// early, as a sleep overruns by more than a wait on the port does: the last
// byte is waited for, and taken the moment it arrives.
void let_gather(int fd, int bytes) {
    if (bytes < 2 || interrupted_by != 0) return;
    const unsigned baud = line::speed(fd);
    if (baud == 0) return;
    bytes -= 1;
    line::sleep(Micros(static_cast<unsigned long long>(bytes) * 10 * 1000000 / baud));
}

// A wait has ended on a port that is announced to send a burst: takes what
// has come, lets the rest of the burst gather and takes that too. False when
// nothing was announced or nothing could be read, which the single read of
// tty_getc then reports.
bool take_burst(Port& port) {
    const int wanted = port.available() == 0 ? port.expected : 0;
    port.expected = 0;
    if (wanted < 2) return false;
    const line::Moved got = line::read(port.fd, port.bytes.data(), static_cast<size_t>(wanted));
    if (got.bytes == 0) return false;
    int taken = static_cast<int>(got.bytes);
    if (taken < wanted) {
        let_gather(port.fd, wanted - taken);
        taken += static_cast<int>(
            line::read(port.fd, port.bytes.data() + taken, static_cast<size_t>(wanted - taken))
                .bytes);
    }
    port.next = 0;
    port.end = taken;
    return true;
}

}  // namespace

void tty_expect(int fd, int bytes) {
    Port* port = find(fd);
    if (port == nullptr) port = &ports.emplace_back(fd);
    // The burst begins with what is held already; what the port cannot hold
    // is read as it comes.
    bytes = std::min(bytes - port->available(), kTtyReadAhead);
    port->expected = std::max(port->expected, bytes);
}

int tty_getc(int fd, int timeout) {
    if (interrupted_by != 0) return -3;
    Port* port = find(fd);
    char held;
    if (port != nullptr && port->take(&held, 1) == 1) return static_cast<unsigned char>(held);
    // A descriptor the line cannot wait on is left to read, which reports it
    // as a read error. A negative timeout reads at once as 0 does.
    if (timeout > 0 && line::can_wait(fd)) {
        // A failed wait is not a timeout: the read below decides, and
        // reports the error if there is one.
        const WaitResult wait = wait_ready(fd, false, line::now() + seconds(timeout));
        if (wait.wait == Wait::kInterrupted) return -3;
        if (wait.wait == Wait::kTimedOut) {
            if (port != nullptr) port->expected = 0;
            log_message(2, 1, kModule, "tty_getc", "Timeout during read");
            return -1;
        }
        if (port != nullptr && take_burst(*port) && port->take(&held, 1) == 1)
            return static_cast<unsigned char>(held);
    }
    char byte = 0;
    line::Moved got;
    do {
        got = line::read(fd, &byte, 1);
    } while (got.bytes == 0 && got.error == EINTR && interrupted_by == 0);
    if (interrupted_by != 0) return -3;
    if (got.bytes != 1) {
        // A read at the port's end reports error 0.
        log_message(1, 2, kModule, "tty_getc", "Error during read, Reason: %d %s", got.error,
                    strerror(got.error));
        return -2;
    }
    return static_cast<unsigned char>(byte);
}

int tty_read(int fd, char* buffer, int count, int timeout) {
    int received = 0;
    return tty_read_burst(fd, buffer, count, timeout, &received);
}

int tty_read_burst(int fd, char* buffer, int count, int timeout, int* received) {
    Port* const port = find(fd);
    const auto held = [port] { return port != nullptr ? port->available() : 0; };
    int position = 0;
    bool gathered = false;  // the rest has had its line time since the last wait
    while (position < count) {
        if (interrupted_by != 0) {
            *received = position;
            return -3;
        }
        // Bytes taken ahead come first, then whatever has arrived already, up
        // to what is still wanted. With nothing there yet, the rest is first
        // given its line time; a port still quiet then, at its end or failing
        // falls through to tty_getc, which waits and reports exactly as for a
        // single byte.
        if (held() > 0) {
            position += port->take(buffer + position, count - position);
            gathered = false;
            continue;
        }
        if (count - position > 1 && timeout != 0) {
            const line::Moved got =
                line::read(fd, buffer + position, static_cast<size_t>(count - position));
            if (got.bytes > 0) {
                position += static_cast<int>(got.bytes);
                gathered = false;
                continue;
            }
            // A raw tty with nothing to read answers 0, or EAGAIN; a port at
            // its end answers 0 as well, and tty_getc below reports it.
            if ((got.error == 0 || got.error == EAGAIN) && !gathered) {
                let_gather(fd, count - position);
                gathered = true;
                continue;
            }
        }
        const int byte = tty_getc(fd, timeout);
        if (byte < 0) {
            *received = position;
            return byte;
        }
        buffer[position++] = static_cast<char>(byte);
        // After a wait the rest has its line time, unless it came in the
        // announced burst.
        gathered = count - position > 1 && timeout != 0 && held() == 0;
        if (gathered) let_gather(fd, count - position);
    }
    buffer[position] = '\0';
    *received = position;
    return 0;
}

void tty_sleep_ms(unsigned int milliseconds) {
    // A signal cuts the pause short, and it is not resumed.
    if (interrupted_by == 0) line::sleep(std::chrono::milliseconds(milliseconds));
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
