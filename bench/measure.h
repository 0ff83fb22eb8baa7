// The measurement: the timed runs of tarnwell against the simulator for
// each pass, pacing and transfer style, each with the wire it used and the
// wire it needed, and a separate run that counts its system calls.
#pragma once

#include <string>
#include <vector>

#include "image.h"
#include "processes.h"
#include "transcript.h"
#include "wire_model.h"

namespace bench {

// How a run has tarnwell move the image: every record its own transfer, or
// contiguous records merged.
struct Style {
    const char* name;  // in the names of runs and working files
    bool coalesce;
    std::string config;
};

struct Result {
    std::string name, pass;  // the pass without the round number
    bool paced = false, program = false, coalesce = false;
    Measure m;
    Count count;
    TrafficByCode need;  // and as bytes on the line: the wire limit
    Wire need_wire;
    long syscalls = -1;
    std::string runner_rss;
};

struct Options {
    Paths paths;
    bool syscalls = true;           // count system calls on a separate run
    bool strace_breakdown = false;  // also keep strace -c's table per call
    bool paced = true;
    int repeat = 1;
};

class Bench {
  public:
    // Finds out whether perf or strace can count system calls here.
    Bench(Options options, std::vector<Record> records, std::string image);

    // Programs (or with -v verifies) the image o_.repeat times, then counts
    // the system calls of one more run.
    void measure(bool pace, bool program, const Style& style);

    // The table, the comparison and the per-code breakdown of every run.
    void report() const;

    bool failed() const { return failed_; }

  private:
    long count_syscalls(const std::string& name, bool pace, bool program, const std::string& base,
                        const std::string& memory, const std::vector<std::string>& args);

    Options o_;
    std::vector<Record> records_;
    std::string image_;
    bool use_perf_ = false;
    bool failed_ = false;
    std::vector<Result> results_;
};

}  // namespace bench
