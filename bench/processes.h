// The processes the benchmark runner starts: icd2sim in --link mode, and
// tarnwell (or a counter of its system calls in front of it) as the runner's
// direct child, so that wait4 reports tarnwell's own resources.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The programs and files a run uses, by default where the build put them.
struct Paths {
    std::string tarnwell = BENCH_TARNWELL;
    std::string sim = BENCH_ICD2SIM;
    std::string config = std::string(BENCH_EXAMPLES) + "/tarnwell.config";
    std::string device = std::string(BENCH_EXAMPLES) + "/sim-device.conf";
    std::string work = "bench-work";
};

// The runner's resident size, and the anonymous part of it that a fork
// copies into the child before exec.
std::string own_rss_kib();

struct Simulator {
    pid_t pid = -1;
    std::string preload, control;
};

// Starts icd2sim --link and takes the environment line it prints.
Simulator start_sim(const Paths& paths, bool pace, const std::vector<std::string>& extra);
// SIGTERM ends the linked simulator, which then writes its dump and transcript.
void stop_sim(Simulator& sim);

struct Measure {
    int status = -1;
    double wall = 0, cpu = 0, user = 0, sys = 0;
    long peak_rss_kib = 0;
    long sleeps = 0;  // voluntary context switches: waits that blocked
};

// Runs PREFIX... tarnwell ARGS with the simulator's environment, standard
// output and error into files. The runner is the direct parent.
Measure run(const Simulator& sim, const std::vector<std::string>& prefix,
            const std::vector<std::string>& args, const std::string& log_base);

// Whether the file at PATH holds TEXT.
bool file_contains(const std::string& path, const char* text);

// True when COMMAND runs and exits 0, its output thrown away.
bool runs(const std::vector<const char*>& command);

// The system calls counted in the output file of perf stat (PERF) or
// strace -c; -1 when it holds no count.
long syscalls_from(const std::string& path, bool perf);

}  // namespace bench
