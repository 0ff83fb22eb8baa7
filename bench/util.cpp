// Error exits, the clock and word splitting for the benchmark runner.

#include "util.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_runner: %s\n", what.c_str());
    std::exit(2);
}

[[noreturn]] void die_errno(const std::string& what) {
    die(what + ": " + std::strerror(errno));
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        const size_t end = line.find(' ', pos);
        const size_t stop = end == std::string::npos ? line.size() : end;
        if (stop > pos) words.push_back(line.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return words;
}

}  // namespace bench
