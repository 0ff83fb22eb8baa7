// Shared by the fuzz targets: checks that abort, so that libFuzzer keeps the
// input, and the product's own output silenced while an input runs.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace fuzz {

// The stream as the process started, for the messages of failed checks.
inline FILE* const original_stderr = stderr;

inline void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(original_stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// The result of an operation, which must be one of those it documents.
inline int require_one_of(int result, std::initializer_list<int> documented) {
    require(std::ranges::find(documented, result) != documented.end(), "undocumented result");
    return result;
}

// While one lives, the product's lines, which would drown the fuzzer's report,
// go to /dev/null; libFuzzer and the sanitizers write on descriptor 2, so only
// the stream variables, which glibc lets a program assign, are redirected.
struct Silenced {
    FILE *const out = stdout, *const err = stderr;  // as they were
    Silenced() {
        static FILE* const sink = std::fopen("/dev/null", "w");
        if (sink != nullptr) stdout = stderr = sink;
    }
    ~Silenced() { stdout = out, stderr = err; }
};

}  // namespace fuzz
