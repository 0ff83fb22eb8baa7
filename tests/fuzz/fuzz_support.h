// Helpers shared by the fuzz targets: a check that aborts (so that libFuzzer
// saves the input) and a guard that sends the product's own output to
// /dev/null while it runs.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// The streams as the process started, for the messages of failed checks.
inline FILE*& original_stderr() {
    static FILE* stream = stderr;
    return stream;
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(original_stderr(), "fuzz check failed: %s\n", what);
    std::fflush(original_stderr());
    std::abort();
}

inline void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

// The logger, the configuration loader and the framing layer write through
// the stdout and stderr streams. Millions of such lines would drown the
// fuzzer's report and slow it down, yet the descriptors must stay: libFuzzer
// and the sanitizers report on descriptor 2. glibc lets a program point the
// two stream variables elsewhere, which silences exactly the product.
class Silenced {
public:
    Silenced() {
        original_stderr();
        saved_out_ = stdout;
        saved_err_ = stderr;
        if (sink() != nullptr) {
            stdout = sink();
            stderr = sink();
        }
    }
    ~Silenced() {
        stdout = saved_out_;
        stderr = saved_err_;
    }
    Silenced(const Silenced&) = delete;
    Silenced& operator=(const Silenced&) = delete;

private:
    static FILE* sink() {
        static FILE* null_stream = std::fopen("/dev/null", "w");
        return null_stream;
    }
    FILE* saved_out_;
    FILE* saved_err_;
};

}  // namespace fuzz
