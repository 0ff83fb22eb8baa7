// The serial line to the ICD2. This file is the only one that talks to the
// terminal driver, so that everything above it deals in tty_* calls and
// status codes, and every system-call failure is reported where it happened.
#include "icd2/tty.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "log/log.h"

namespace {

constexpr const char* kModule = "icd2";

using Clock = std::chrono::steady_clock;
// A full output queue (an adapter holding CTS, a USB bridge slow to drain) is
// waited for as long as a read waits for a byte; a line that takes nothing for
// that long is broken.
constexpr auto kWriteStall = std::chrono::seconds(5);
// The longest one select sleeps before the interruption flag is looked at
// again: a signal that lands between the look and the select, or a
// tty_interrupt from another thread, costs at most this much.
constexpr auto kWaitSlice = std::chrono::milliseconds(250);

// Set from a signal handler by tty_interrupt: the signal, or 0.
volatile std::sig_atomic_t interrupted_by = 0;

// glibc's cfsetspeed takes either a rate or a B-code; the codes are what every
// termios implementation understands, so the two rates the ICD2 uses are
// mapped explicitly and anything else is passed through for the C library
// to accept or reject.
speed_t speed_code(unsigned int speed) {
    switch (speed) {
        case 19200:
            return B19200;
        case 57600:
            return B57600;
        default:
            return static_cast<speed_t>(speed);
    }
}

// Raw 8N1 with hardware handshaking: the protocol's frames must reach the
// ICD2 byte for byte, so nothing may be translated, echoed or turned into a
// signal. HUPCL is cleared so that closing the port leaves DTR, which the
// handshake drives by hand, as it is.
void make_raw(termios& settings) {
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | HUPCL | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL | CRTSCTS;
    settings.c_iflag &=
        ~static_cast<tcflag_t>(ISTRIP | INPCK | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    // Reads never block in the driver; tty_getc paces them with select.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

// Bytes taken from the port ahead of the reader that wants them: when the
// ICD2 has been announced to send a burst (tty_expect), the whole burst is
// taken with one read as its first byte is waited for. They belong to the
// port they came from and go with it whenever it is opened, flushed or
// closed, so nothing from one connection attempt reaches the next.
struct TakenAhead {
    static constexpr int kCapacity = 1024;
    int fd = -1;
    int next = 0;
    int end = 0;
    int expected = 0;  // the announced burst, until a wait takes it
    std::array<char, kCapacity> bytes{};

    void drop() { *this = TakenAhead{}; }
    int available(int port) const { return port == fd ? end - next : 0; }
    // Moves up to count of the bytes held for port into buffer.
    int take(int port, char* buffer, int count) {
        const int n = std::min(available(port), count);
        std::memcpy(buffer, bytes.data() + next, static_cast<size_t>(n));
        next += n;
        return n;
    }
};

TakenAhead ahead;

// Every path that gives the port up goes through here. The exclusive mode
// lives in the tty, not in the descriptor: it outlasts the close while
// another descriptor keeps the tty open (the simulator holds its pty's), and
// would then refuse the next attempt's open.
void close_port(int fd) {
    ahead.drop();
    ioctl(fd, TIOCNXCL);
    close(fd);
}

enum class Wait { kReady, kTimedOut, kFailed, kInterrupted };

// Waits until fd can be read (or, writing, written), at most until deadline.
// A signal only cuts the wait short: an interrupted line ends it, any other
// signal lets it go on. kFailed leaves select's errno.
Wait wait_ready(int fd, bool writing, Clock::time_point deadline) {
    for (;;) {
        if (interrupted_by != 0) return Wait::kInterrupted;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return Wait::kTimedOut;
        const auto slice = std::chrono::duration_cast<std::chrono::microseconds>(
            std::min<Clock::duration>(left, kWaitSlice));
        timeval limit{static_cast<time_t>(slice.count() / 1000000),
                      static_cast<suseconds_t>(slice.count() % 1000000)};
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        const int ready =
            select(fd + 1, writing ? nullptr : &set, writing ? &set : nullptr, nullptr, &limit);
        if (ready > 0) return Wait::kReady;
        if (ready < 0 && errno != EINTR) return Wait::kFailed;
    }
}

}  // namespace

int tty_open(const char* path, unsigned int speed) {
    ahead.drop();
    if (interrupted_by != 0) return -1;
    int fd = open(path, O_RDWR | O_NONBLOCK);
    // Another process's port is left exactly as it is: the lock is taken
    // before anything touches the line. A lock that cannot be had for any
    // other reason than its holder does not stop the run. EBUSY is the open
    // refused by another process's exclusive mode.
    const int refused = fd < 0 ? errno : flock(fd, LOCK_EX | LOCK_NB) != 0 ? errno : 0;
    if (fd < 0 || refused == EWOULDBLOCK) {
        log_message(1, 1, kModule, "tty_open", "Unbale to open serial port: %s Reason: %d %s", path,
                    refused, strerror(refused));
        if (fd >= 0) close(fd);
        return refused == EWOULDBLOCK || refused == EBUSY ? -6 : -1;
    }
    // Keeps out a program that takes no lock (root excepted); not every
    // driver has it.
    ioctl(fd, TIOCEXCL);
    if (tcflush(fd, TCIOFLUSH) != 0) {
        int err = errno;
        log_message(1, 2, kModule, "tty_open", "Unbale to open flush port: %s Reason: %d %s", path,
                    err, strerror(err));
        close_port(fd);
        return -2;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        int err = errno;
        log_message(1, 3, kModule, "tty_open",
                    "Unbale to retrieve attributes for port: %s Reason: %d %s", path, err,
                    strerror(err));
        close_port(fd);
        return -3;
    }
    if (cfsetspeed(&settings, speed_code(speed)) != 0) {
        int err = errno;
        log_message(1, 4, kModule, "tty_open", "Unbale to set baud rate for port: %s Reason: %d %s",
                    path, err, strerror(err));
        close_port(fd);
        return -4;
    }
    make_raw(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        int err = errno;
        log_message(1, 5, kModule, "tty_open",
                    "Unbale to set attributes for port: %s Reason: %d %s", path, err,
                    strerror(err));
        close_port(fd);
        return -5;
    }
    return fd;
}

bool tty_in_use(const char* path) {
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == EBUSY;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

int tty_set_baud(int fd, unsigned int speed) {
    // The bytes already queued must leave at the old speed, or the ICD2 would
    // see the tail of the last command garbled. The drain is the one wait that
    // blocks in the driver (a line held by CTS never drains): only a signal
    // ends it, and only an interrupted line gives it up.
    int drained = 0;
    while (interrupted_by == 0 && (drained = tcdrain(fd)) != 0 && errno == EINTR) {
    }
    if (interrupted_by != 0) {
        close_port(fd);
        return 1;
    }
    if (drained != 0) {
        int err = errno;
        log_message(1, 1, kModule, "tty_set_baud", "Unbale to drain port, Reason: %d %s", err,
                    strerror(err));
        close_port(fd);
        return 1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        int err = errno;
        log_message(1, 3, kModule, "tty_set_baud",
                    "Unbale to retrieve attributes for port, Reason: %d %s", err, strerror(err));
        close_port(fd);
        return 2;
    }
    if (cfsetspeed(&settings, speed_code(speed)) != 0) {
        int err = errno;
        log_message(1, 4, kModule, "tty_set_baud",
                    "Unbale to set baud rate for port, Reason: %d %s", err, strerror(err));
        close_port(fd);
        return 3;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        int err = errno;
        log_message(1, 5, kModule, "tty_set_baud",
                    "Unbale to set attributes for port,s Reason: %d %s", err, strerror(err));
        close_port(fd);
        return 4;
    }
    return 0;
}

int tty_flush(int fd) {
    ahead.drop();
    if (tcflush(fd, TCIOFLUSH) != 0) {
        int err = errno;
        log_message(1, 2, kModule, "tty_flush", "Unbale to open flush port, Reason: %d %s", err,
                    strerror(err));
        close_port(fd);
        return 2;
    }
    return 0;
}

int tty_dtr(int fd, int flag) {
    int lines = TIOCM_DTR;
    if (flag != 0) {
        if (ioctl(fd, TIOCMBIS, &lines) != 0) {
            int err = errno;
            log_message(1, 1, kModule, "tty_dtr", "Unbale to set DTR, Reason: %d %s", err,
                        strerror(err));
            close_port(fd);
            return 1;
        }
    } else if (ioctl(fd, TIOCMBIC, &lines) != 0) {
        int err = errno;
        log_message(1, 2, kModule, "tty_dtr", "Unbale to clear DTR, Reason: %d %s", err,
                    strerror(err));
        close_port(fd);
        return 2;
    }
    return 0;
}

int tty_write(int fd, const char* buffer, size_t length) {
    auto deadline = Clock::now() + kWriteStall;
    while (length > 0) {
        // Nothing more goes out on an interrupted line, and the port is left
        // for the caller to close.
        if (interrupted_by != 0) return 1;
        ssize_t written = write(fd, buffer, length);
        if (written > 0) {
            buffer += written;
            length -= static_cast<size_t>(written);
            deadline = Clock::now() + kWriteStall;
            continue;
        }
        int err = written < 0 ? errno : EAGAIN;
        if (err == EINTR) continue;
        // A full queue: wait until the line takes bytes again.
        if ((err == EAGAIN || err == EWOULDBLOCK) && fd >= 0 && fd < FD_SETSIZE) {
            const Wait wait = wait_ready(fd, true, deadline);
            if (wait == Wait::kReady || wait == Wait::kInterrupted) continue;
            err = wait == Wait::kTimedOut ? ETIMEDOUT : errno;
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
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return;
    speed_t code = cfgetispeed(&settings);
    unsigned baud = code == B57600 ? 57600 : code == B19200 ? 19200 : code == B9600 ? 9600 : 0;
    if (baud == 0) return;
    bytes -= 1;
    usleep(static_cast<useconds_t>(static_cast<unsigned long long>(bytes) * 10 * 1000000 / baud));
}

// A wait has ended on a port that is announced to send a burst: takes what
// has come, lets the rest of the burst gather and takes that too. False when
// nothing was announced or nothing could be read, which the single read of
// tty_getc then reports.
bool take_burst(int fd) {
    const int wanted = ahead.available(fd) == 0 && ahead.fd == fd ? ahead.expected : 0;
    ahead.expected = 0;
    if (wanted < 2) return false;
    ssize_t got = read(fd, ahead.bytes.data(), static_cast<size_t>(wanted));
    if (got <= 0) return false;
    if (got < wanted) {
        let_gather(fd, wanted - static_cast<int>(got));
        ssize_t more = read(fd, ahead.bytes.data() + got, static_cast<size_t>(wanted - got));
        if (more > 0) got += more;
    }
    ahead.next = 0;
    ahead.end = static_cast<int>(got);
    return true;
}

}  // namespace

void tty_expect(int fd, int bytes) {
    if (ahead.fd != fd) ahead.drop();
    ahead.fd = fd;
    // The burst begins with what is held already.
    bytes -= ahead.available(fd);
    ahead.expected = std::min(std::max(ahead.expected, bytes), TakenAhead::kCapacity);
}

int tty_getc(int fd, int timeout) {
    if (interrupted_by != 0) return -3;
    char held;
    if (ahead.take(fd, &held, 1) == 1) return static_cast<unsigned char>(held);
    // FD_SET on a descriptor outside the set's range writes outside it; such a
    // descriptor is left to read, which reports it as a read error. A negative
    // timeout, which select would refuse, reads at once as 0 does.
    if (timeout > 0 && fd >= 0 && fd < FD_SETSIZE) {
        // A failed wait is not a timeout: the read below decides, and
        // reports the error if there is one.
        const Wait wait = wait_ready(fd, false, Clock::now() + std::chrono::seconds(timeout));
        if (wait == Wait::kInterrupted) return -3;
        if (wait == Wait::kTimedOut) {
            ahead.expected = 0;
            log_message(2, 1, kModule, "tty_getc", "Timeout during read");
            return -1;
        }
        if (take_burst(fd)) return static_cast<unsigned char>(ahead.bytes[ahead.next++]);
    }
    unsigned char byte = 0;
    ssize_t got;
    // A read of 0 bytes sets no errno; clear it so the line does not show a
    // stale error of some earlier call.
    do {
        errno = 0;
        got = read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR && interrupted_by == 0);
    if (interrupted_by != 0) return -3;
    if (got != 1) {
        int err = errno;
        log_message(1, 2, kModule, "tty_getc", "Error during read, Reason: %d %s", err,
                    strerror(err));
        return -2;
    }
    return byte;
}

int tty_read(int fd, char* buffer, int count, int timeout) {
    int received = 0;
    return tty_read_burst(fd, buffer, count, timeout, &received);
}

int tty_read_burst(int fd, char* buffer, int count, int timeout, int* received) {
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
        if (ahead.available(fd) > 0) {
            position += ahead.take(fd, buffer + position, count - position);
            gathered = false;
            continue;
        }
        if (count - position > 1 && timeout != 0) {
            ssize_t got = read(fd, buffer + position, static_cast<size_t>(count - position));
            if (got > 0) {
                position += static_cast<int>(got);
                gathered = false;
                continue;
            }
            // A raw tty with nothing to read answers 0, or EAGAIN; a port at
            // its end answers 0 as well, and tty_getc below reports it.
            if ((got == 0 || errno == EAGAIN) && !gathered) {
                let_gather(fd, count - position);
                gathered = true;
                continue;
            }
        }
        int byte = tty_getc(fd, timeout);
        if (byte < 0) {
            *received = position;
            return byte;
        }
        buffer[position++] = static_cast<char>(byte);
        // After a wait the rest has its line time, unless it came in the
        // announced burst.
        gathered = count - position > 1 && timeout != 0 && ahead.available(fd) == 0;
        if (gathered) let_gather(fd, count - position);
    }
    buffer[position] = '\0';
    *received = position;
    return 0;
}
void tty_sleep_ms(unsigned int milliseconds) {
    // A signal cuts the pause short, and it is not resumed.
    if (interrupted_by == 0) usleep(milliseconds * 1000U);
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
