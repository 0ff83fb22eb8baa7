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

// What a run programs, and the line it runs on.
struct Workload {
    std::string name;  // after the style in the run's name; "" for the full image
    std::vector<Record> records;
    std::string image;
    unsigned latency_us = 0;  // every answer of the simulated ICD2 held this long
    bool count_syscalls = true;
};

struct Result {
    std::string name, pass;  // the pass without the round number
    std::string workload;
    bool paced = false, program = false, coalesce = false;
    unsigned latency_us = 0;
    Measure m;
    Count count;
    TrafficByCode need;  // and as bytes on the line: the wire limit
    Wire need_wire;
    long syscalls = -1;
    std::string runner_rss;
    // The wire limit: the needed bytes' line time, and each answer's latency.
    double limit() const {
        return need_wire.limit_seconds() +
               static_cast<double>(need_wire.answers) * latency_us * 1e-6;
    }
};

struct Options {
    Paths paths;
    bool syscalls = true;           // count system calls on a separate run
    bool strace_breakdown = false;  // also keep strace -c's table per call
    bool paced = true;
    int repeat = 1;
    unsigned latency_us = 16000;  // the answer latency of the latency rows; 0: none
};

class Bench {
  public:
    // Finds out whether perf or strace can count system calls here.
    explicit Bench(Options options);

    // Programs (or with -v verifies) the workload's image o_.repeat times,
    // then counts the system calls of one more run where it asks for that.
    void measure(bool pace, bool program, const Style& style, const Workload& load);

    // The table, the comparison and the per-code breakdown of every run.
    void report() const;

    bool failed() const { return failed_; }

  private:
    long count_syscalls(const std::string& name, bool pace, bool program, const std::string& base,
                        const std::string& memory, const std::vector<std::string>& args,
                        const std::vector<std::string>& sim_args);

    Options o_;
    bool use_perf_ = false;
    bool failed_ = false;
    std::vector<Result> results_;
};

}  // namespace bench
