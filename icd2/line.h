// The operating system's side of the serial line: the few calls the serial
// module (tty.cpp) makes, and nothing of its logic. The program links the
// POSIX line (line_posix.cpp); the driver's in-process tests link a
// simulated one (sim/icd2sim_tty.cpp), so that the module's logic runs
// unchanged on both. Calls that can fail return the errno of the failure, 0
// when they worked; none of them logs.
#pragma once

#include <chrono>
#include <cstddef>

namespace line {

using Micros = std::chrono::microseconds;

// Opens path read-write and non-blocking and takes it for this process alone
// (an flock, and the terminal's exclusive mode where the driver has it). The
// descriptor and 0, or -1 and the errno: EWOULDBLOCK when another process
// holds the lock, EBUSY when its exclusive mode refuses the open. A lock that
// fails for any other reason does not stop the open.
struct Opened {
    int fd;
    int error;
};
Opened open_exclusive(const char* path);
// Whether another process holds path as open_exclusive does; false when path
// cannot be opened for another reason.
bool in_use(const char* path);
// Gives the exclusive mode and the descriptor up.
void close(int fd);

// The steps of set_line, in order: reading the settings, choosing the speed,
// applying them.
enum class Step { kFetch, kSpeed, kApply };
struct SetFailure {
    Step step;
    int error;  // 0: every step worked
};
// Sets the line's speed and, with raw, makes it raw 8N1 with RTS/CTS, no
// translation, no hang-up on close and reads that never block.
SetFailure set_line(int fd, unsigned speed, bool raw);
// The speed the line receives at (9600, 19200 or 57600), or 0.
unsigned speed(int fd);
// Discards both queues.
int flush(int fd);
// Waits until every queued byte has left; EINTR when a signal came first.
int drain(int fd);
// Raises or drops DTR.
int dtr(int fd, bool raised);
// The driver's low-latency mode (ASYNC_LOW_LATENCY): received bytes handed
// over at once instead of held for a USB serial adapter's latency timer.
// Whether it is on, or the errno of a driver without it (a pty: ENOTTY).
struct Latency {
    bool low;
    int error;
};
Latency low_latency(int fd);
// Turns the mode on or off and leaves the driver's other flags as they are.
int set_low_latency(int fd, bool low);

// What one read or write moved: bytes, or none and the errno (EAGAIN: nothing
// there yet, or no room). A read at the port's end moves none with error 0.
struct Moved {
    size_t bytes;
    int error;
};
Moved read(int fd, char* buffer, size_t length);
Moved write(int fd, const char* buffer, size_t length);
// Whether wait can watch fd at all.
bool can_wait(int fd);
// Waits at most limit until fd can be read (or, writing, written).
enum class Ready { kYes, kNotYet, kFailed };
struct Waited {
    Ready ready;  // kNotYet: the time ran out, or a signal cut the wait short
    int error;    // kFailed's errno
};
Waited wait(int fd, bool writing, Micros limit);

// The monotonic clock, from some fixed moment on, and a pause on it.
Micros now();
void sleep(Micros length);

}  // namespace line
