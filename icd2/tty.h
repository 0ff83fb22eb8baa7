// The serial port the ICD2 is attached to. Every failure is logged here
// (module "icd2") and returned as a status; most failures also close the port.
// The system calls underneath are the line's (icd2/line.h).
#pragma once

#include <cstddef>

// Opens path read-write, non-blocking, raw 8N1 with RTS/CTS at speed (19200
// or 57600), and takes it for this process alone: an flock on the descriptor,
// and TIOCEXCL where the driver has it. The descriptor, or -1 .. -5, or -6
// when another process holds the port (logged as a failed open: EWOULDBLOCK
// from the lock, or EBUSY from the other's exclusive mode). Once interrupted,
// -1 at once and no line.
int tty_open(const char* path, unsigned int speed);
// Whether the port tty_open opened last has the driver's low latency on:
// after the line is set, tty_open asks a driver that has the mode (a USB
// serial adapter's, a UART's) to hand received bytes over at once rather than
// hold them for its latency timer. False before the first open, and where the
// driver has no such mode (a pty) or refuses it: the port works all the same,
// and nothing is logged. A mode tty_open turned on is turned off again before
// the port is closed, by tty_close, by a failure, or at the process's exit.
bool tty_low_latency();
// Whether another process holds path as tty_open holds it: tries the same lock
// on a descriptor of its own, which it closes again. Logs nothing; false when
// path cannot be opened for another reason.
bool tty_in_use(const char* path);
// Drains output, then changes the speed. 0, or 1 .. 4 (port closed).
int tty_set_baud(int fd, unsigned int speed);
// Discards both queues. 0, or 2 (port closed).
int tty_flush(int fd);
// Raises (flag non-zero) or drops DTR. 0, or 1 / 2 (port closed).
int tty_dtr(int fd, int flag);
// Writes all length bytes. 0, or 1 (port closed). A full output queue is
// waited for, up to 5 seconds without a byte taken; then it fails with
// ETIMEDOUT's reason. Once interrupted, 1 at once: nothing sent or logged, and
// the port stays open.
int tty_write(int fd, const char* buffer, size_t length);
// The next byte 0..255, waiting at most timeout seconds (0: no wait);
// -1 on timeout, -2 when the read fails, -3 once interrupted (no line).
int tty_getc(int fd, int timeout);
// Reads count bytes into buffer (count + 1 bytes; a zero byte follows them).
// 0, or the negative result of the first tty_getc that failed.
int tty_read(int fd, char* buffer, int count, int timeout);
// As tty_read; *received gets the number of bytes stored before a failure
// (count on success). Bytes that have arrived are taken with one read, and
// once a burst has begun the rest is let gather for the time the line needs
// to carry it, so a block costs a few wake-ups rather than one per byte.
int tty_read_burst(int fd, char* buffer, int count, int timeout, int* received);
// The most bytes a port holds taken ahead of its reader, and so the largest
// burst tty_expect announces.
inline constexpr int kTtyReadAhead = 1024;
// Announces that the far end of fd is about to send at least bytes bytes in
// one go (the largest announcement counts; one above kTtyReadAhead counts as
// kTtyReadAhead, and the bytes beyond are read as they come). When the first
// of them has been waited for, the rest is let gather and taken with one
// read; the reads that follow are served from what was taken, in order. Taken
// bytes belong to the port and go with it when it is opened, flushed or
// closed. Changes nothing on the wire, and a byte that never comes is still a
// timeout after the usual wait.
void tty_expect(int fd, int bytes);
// Pauses the caller for the handshake's settle times.
void tty_sleep_ms(unsigned int milliseconds);
// Called from a signal handler (async-signal-safe: it only sets a flag): from
// now on every wait of the line and every pause returns at once and nothing
// more is written. tty_set_baud then fails at once too, closing the port
// without a line. A signal of 0 takes the interruption back, for tests.
void tty_interrupt(int signal);
// The signal given to tty_interrupt, or 0.
int tty_interrupted();
// Closes the port. Like every failure above that closes it, this leaves the
// number with the caller: the ICD2 layer forgets it at once (icd2_port.h).
void tty_close(int fd);
