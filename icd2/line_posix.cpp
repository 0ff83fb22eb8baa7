// The serial line on a POSIX terminal: the only file that talks to the
// terminal driver, so every call here is a system call and its errno.
#include <fcntl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "icd2/line.h"

namespace line {
namespace {

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
    // Reads never block in the driver; the serial module paces them with wait.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

Moved moved(ssize_t result) {
    if (result < 0) return {0, errno};
    return {static_cast<size_t>(result), 0};
}

}  // namespace

Opened open_exclusive(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) return {-1, errno};
    // Another process's port is left exactly as it is: the lock is taken
    // before anything touches the line.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return {-1, EWOULDBLOCK};
    }
    // Keeps out a program that takes no lock (root excepted); not every
    // driver has it.
    ioctl(fd, TIOCEXCL);
    return {fd, 0};
}

bool in_use(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == EBUSY;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// The exclusive mode lives in the tty, not in the descriptor: it outlasts the
// close while another descriptor keeps the tty open (the simulator holds its
// pty's), and would then refuse the next attempt's open.
void close(int fd) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
}

SetFailure set_line(int fd, unsigned speed, bool raw) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return {Step::kFetch, errno};
    if (cfsetspeed(&settings, speed_code(speed)) != 0) return {Step::kSpeed, errno};
    if (raw) make_raw(settings);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return {Step::kApply, errno};
    return {Step::kApply, 0};
}

unsigned speed(int fd) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return 0;
    const speed_t code = cfgetispeed(&settings);
    return code == B57600 ? 57600 : code == B19200 ? 19200 : code == B9600 ? 9600 : 0;
}

int flush(int fd) {
    return tcflush(fd, TCIOFLUSH) != 0 ? errno : 0;
}

int drain(int fd) {
    return tcdrain(fd) != 0 ? errno : 0;
}

int dtr(int fd, bool raised) {
    int lines = TIOCM_DTR;
    return ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &lines) != 0 ? errno : 0;
}

#ifdef __linux__
Latency low_latency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return {false, errno};
    return {(serial.flags & ASYNC_LOW_LATENCY) != 0, 0};
}

int set_low_latency(int fd, bool low) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return errno;
    serial.flags = low ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) != 0 ? errno : 0;
}
#else
Latency low_latency(int) {
    return {false, ENOTTY};
}

int set_low_latency(int, bool) {
    return ENOTTY;
}
#endif

Moved read(int fd, char* buffer, size_t length) {
    return moved(::read(fd, buffer, length));
}

Moved write(int fd, const char* buffer, size_t length) {
    return moved(::write(fd, buffer, length));
}

// FD_SET on a descriptor outside the set's range writes outside it.
bool can_wait(int fd) {
    return fd >= 0 && fd < FD_SETSIZE;
}

Waited wait(int fd, bool writing, Micros limit) {
    timeval timeout{static_cast<time_t>(limit.count() / 1000000),
                    static_cast<suseconds_t>(limit.count() % 1000000)};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    const int ready =
        select(fd + 1, writing ? nullptr : &set, writing ? &set : nullptr, nullptr, &timeout);
    if (ready > 0) return {Ready::kYes, 0};
    // A select is never restarted after a signal: the caller looks again.
    if (ready == 0 || errno == EINTR) return {Ready::kNotYet, 0};
    return {Ready::kFailed, errno};
}

Micros now() {
    return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now().time_since_epoch());
}

void sleep(Micros length) {
    usleep(static_cast<useconds_t>(length.count()));
}

}  // namespace line
