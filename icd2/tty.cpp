// The serial line to the ICD2. This file is the only one that talks to the
// terminal driver, so that everything above it deals in tty_* calls and
// status codes, and every system-call failure is reported where it happened.
#include "icd2/tty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace

int tty_open(const char* path, unsigned int speed) {
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
        close(fd);
        return -2;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        int err = errno;
        log_message(1, 3, kModule, "tty_open",
                    "Unbale to retrieve attributes for port: %s Reason: %d %s", path, err,
                    strerror(err));
        close(fd);
        return -3;
    }
    if (cfsetspeed(&settings, speed_code(speed)) != 0) {
        int err = errno;
        log_message(1, 4, kModule, "tty_open", "Unbale to set baud rate for port: %s Reason: %d %s",
                    path, err, strerror(err));
        close(fd);
        return -4;
    }
    make_raw(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        int err = errno;
        log_message(1, 5, kModule, "tty_open",
                    "Unbale to set attributes for port: %s Reason: %d %s", path, err,
                    strerror(err));
        close(fd);
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
        close(fd);
        return 1;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        int err = errno;
        log_message(1, 3, kModule, "tty_set_baud",
                    "Unbale to retrieve attributes for port, Reason: %d %s", err, strerror(err));
        close(fd);
        return 2;
    }
    if (cfsetspeed(&settings, speed_code(speed)) != 0) {
        int err = errno;
        log_message(1, 4, kModule, "tty_set_baud",
                    "Unbale to set baud rate for port, Reason: %d %s", err, strerror(err));
        close(fd);
        return 3;
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        int err = errno;
        log_message(1, 5, kModule, "tty_set_baud",
                    "Unbale to set attributes for port,s Reason: %d %s", err, strerror(err));
        close(fd);
        return 4;
    }
    return 0;
}

int tty_flush(int fd) {
    if (tcflush(fd, TCIOFLUSH) != 0) {
        int err = errno;
        log_message(1, 2, kModule, "tty_flush", "Unbale to open flush port, Reason: %d %s", err,
                    strerror(err));
        close(fd);
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
            close(fd);
            return 1;
        }
    } else if (ioctl(fd, TIOCMBIC, &lines) != 0) {
        int err = errno;
        log_message(1, 2, kModule, "tty_dtr", "Unbale to clear DTR, Reason: %d %s", err,
                    strerror(err));
        close(fd);
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
            close(fd);
            return 1;
        }
        buffer += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

namespace {

// A serial line delivers its bytes one by one as they finish: after the first
// byte of a burst, sleep for the time the line needs to carry the rest (ten
// bits a byte at the speed in force), then take them with one read.
void let_gather(int fd, int bytes) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return;
    speed_t code = cfgetispeed(&settings);
    unsigned baud = code == B57600 ? 57600 : code == B19200 ? 19200 : code == B9600 ? 9600 : 0;
    if (baud == 0) return;
    usleep(static_cast<useconds_t>(static_cast<unsigned long long>(bytes) * 10 * 1000000 / baud));
}

}  // namespace

int tty_getc(int fd, int timeout) {
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
            log_message(2, 1, kModule, "tty_getc", "Timeout during read");
            return -1;
        }
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
        // Whatever has arrived already, up to what is still wanted. With
        // nothing there yet, the rest is first given its line time; a port
        // still quiet then, at its end or failing falls through to tty_getc,
        // which waits and reports exactly as for a single byte.
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
        gathered = count - position > 1 && timeout != 0;
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
    close(fd);
}
