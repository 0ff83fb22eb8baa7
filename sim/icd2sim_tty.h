// The simulator inside a test's own process: a serial line (icd2/line.h)
// whose far end is the simulator's link and target model, under the real
// serial module (icd2/tty.cpp). A test program links it in place of the POSIX
// line and runs the driver against a simulated ICD2, faults included, on a
// simulated clock: bytes take their line time, and a wait that runs out costs
// no real time.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "icd2sim_model.h"

namespace icd2sim::inprocess {

// A fresh ICD2 (port closed, clock at 0, the line not interrupted) with the
// default device and these settings ("key=value", as icd2sim --set) applied in order. The error
// text of the first bad setting, or "" when the ICD2 is ready.
std::string reset(const std::vector<std::string>& settings = {});
// From now on tty_open of path fails as for a file that does not exist.
void mark_missing(const std::string& path);
// From now on path is held by another process: tty_open of it fails as for a
// locked port and tty_in_use says so.
void mark_busy(const std::string& path);
// The nth call from now of function (tty_set_baud, tty_flush, tty_dtr or
// tty_write) fails: the line's call under it (the drain, the flush, the DTR
// request, the write) fails with EIO, and the serial module logs it, closes
// the port and returns its failure status. tty_open's fails as for a missing
// file. The flush tty_open makes does not count as a call of tty_flush.
// reset() forgets it.
void fail_call(const std::string& function, int nth);
// From now on the line takes no byte from the host, as a line held by flow
// control: the output queue counts as full, a write takes nothing and a wait
// for room runs out. reset() frees it.
void hold_line();
// From now on the port's driver has a low-latency mode, as a USB serial
// adapter's has, on or off as found; a refusal other than 0 is the errno of
// every attempt to change it. Until then, as on a pty, the driver has none.
void offer_low_latency(bool on, int refusal = 0);
// Whether the mode is on, and how often it has been changed since reset.
std::pair<bool, int> low_latency();
// The ICD2 sends bytes of its own accord, delay_us from now (and after what
// it is sending already), at the line's speed.
void send(const std::string& bytes, unsigned long delay_us = 0);
// The target's memory, to fill before a run and to read after it.
Memory& memory();
// The simulator's transcript since reset.
const std::string& transcript();
// Every byte the host has written since reset, as it went on the wire.
const std::string& wire();
// Simulated time since reset in microseconds: the waits, the pauses, the
// bytes' line time, and the device's own times before it answers.
unsigned long long elapsed_us();
// The reads the serial module has made of the line since reset.
unsigned long reads();

}  // namespace icd2sim::inprocess
