// The simulator inside a test's own process: an implementation of the serial
// module (icd2/tty.h) whose far end is the simulator's link and target model.
// A test program links it in place of icd2/tty.cpp and runs the driver
// against a simulated ICD2, faults included, on a simulated clock: a wait
// that runs out costs no real time.
#pragma once

#include <string>
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
// tty_write) fails with EIO as the real call would: its line logged, the port
// closed, its failure status returned; tty_open's fails as for a missing
// file. reset() forgets it.
void fail_call(const std::string& function, int nth);
// The target's memory, to fill before a run and to read after it.
Memory& memory();
// The simulator's transcript since reset.
const std::string& transcript();
// Every byte the host has written since reset, as it went on the wire.
const std::string& wire();
// Simulated time since reset in microseconds: the waits that ran out, the
// pauses, and the device's own times before it answers.
unsigned long long elapsed_us();

}  // namespace icd2sim::inprocess
