// The benchmark's report: the machine it ran on, the table of runs, the
// paced comparison of the two transfer styles, and per command code what
// went over the wire beyond what the image needs.
#pragma once

#include <string>
#include <vector>

#include "measure.h"

namespace bench {

// The first line of /proc/loadavg.
std::string load_average();

// "machine: <cores>, <CPU model>, Linux <release>; load average ...".
void print_machine();

// Everything after the runs: the table (system calls counted with
// SYSCALL_SOURCE), the comparison, and the excess of every run.
void print_report(const std::vector<Result>& results, const char* syscall_source);

}  // namespace bench
