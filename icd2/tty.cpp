// The serial line to the ICD2. This file is the only one that talks to the
// terminal driver, so that everything above it deals in tty_* calls and
// status codes, and every system-call failure is reported where it happened.
#include "icd2/tty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "log/log.h"

namespace {

constexpr const char* kModule = "icd2";

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

// Every path that gives the port up goes through here.
void close_port(int fd) {
    ahead.drop();
    close(fd);
}

}  // namespace

int tty_open(const char* path, unsigned int speed) {
    ahead.drop();
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        log_message(1, 1, kModule, "tty_open", "Unbale to open serial port: %s Reason: %d %s", path,
                    err, strerror(err));
        return -1;
    }
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

int tty_set_baud(int fd, unsigned int speed) {
    // The bytes already queued must leave at the old speed, or the ICD2 would
    // see the tail of the last command garbled.
    if (tcdrain(fd) != 0) {
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
    while (length > 0) {
        ssize_t written = write(fd, buffer, length);
        if (written < 0) {
            int err = errno;
            log_message(1, 1, kModule, "tty_write", "Unbale to write, Reason: %d %s", err,
                        strerror(err));
            close_port(fd);
            return 1;
        }
        buffer += written;
        length -= static_cast<size_t>(written);
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
    if (bytes < 2) return;
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
    char held;
    if (ahead.take(fd, &held, 1) == 1) return static_cast<unsigned char>(held);
    // FD_SET on a descriptor outside the set's range writes outside it; such a
    // descriptor is left to read, which reports it as a read error.
    if (timeout != 0 && fd >= 0 && fd < FD_SETSIZE) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval limit{timeout, 0};
        // An interrupted or failed wait is not a timeout: the read below
        // decides, and reports the error if there is one.
        if (select(fd + 1, &readable, nullptr, nullptr, &limit) == 0) {
            ahead.expected = 0;
            log_message(2, 1, kModule, "tty_getc", "Timeout during read");
            return -1;
        }
        if (take_burst(fd)) return static_cast<unsigned char>(ahead.bytes[ahead.next++]);
    }
    unsigned char byte = 0;
    // A read of 0 bytes sets no errno; clear it so the line does not show a
    // stale error of some earlier call.
    errno = 0;
    if (read(fd, &byte, 1) != 1) {
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
    usleep(milliseconds * 1000U);
}

void tty_close(int fd) {
    close_port(fd);
}
