// Shared by the fuzz targets: a check that aborts, so that libFuzzer keeps
// the input, and a way to run product code with its own output silenced.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// The stream as the process started, for the messages of failed checks.
inline FILE* const original_stderr = stderr;

inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(original_stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// The logger, the configuration loader and the framing layer print through
// stdout and stderr; millions of such lines would drown the fuzzer's report
// and slow it down. libFuzzer and the sanitizers report on descriptor 2, so
// only the two stream variables, which glibc lets a program assign, are
// pointed at /dev/null while f runs.
template <typename F>
auto quietly(F f) {
    static FILE* const sink = std::fopen("/dev/null", "w");
    struct Restore {
        FILE *out = stdout, *err = stderr;
        ~Restore() {
            stdout = out;
            stderr = err;
        }
    } restore;
    if (sink != nullptr) stdout = stderr = sink;
    return f();
}

}  // namespace fuzz
