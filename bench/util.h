// What every part of the benchmark runner uses: ending the run on an error,
// the monotonic clock, and splitting a line into its blank-separated words.
#pragma once

#include <string>
#include <vector>

namespace bench {

// Prints "bench_runner: WHAT" on standard error and exits with status 2.
[[noreturn]] void die(const std::string& what);
// The same with the text of errno appended.
[[noreturn]] void die_errno(const std::string& what);

double now_seconds();

// The words of LINE between single blanks; empty words are skipped.
std::vector<std::string> split(const std::string& line);

}  // namespace bench
