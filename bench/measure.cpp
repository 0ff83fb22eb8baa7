// The timed runs and the counting runs: the simulator linked, tarnwell run
// as the runner's child, the transcript counted, "Passed" looked for.

#include "measure.h"

#include <cstdio>
#include <utility>

#include "report.h"

namespace bench {

Bench::Bench(Options options) : o_(std::move(options)) {
    // perf needs a kernel that lets it read the tracepoint; strace only ptrace.
    use_perf_ =
        o_.syscalls && runs({"perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "--", "true"});
    if (o_.syscalls && !use_perf_ && !runs({"strace", "-c", "-o", "/dev/null", "true"})) {
        std::printf("neither perf nor strace can count system calls here: not counted\n");
        o_.syscalls = false;
    }
}

void Bench::measure(bool pace, bool program, const Style& style, const Workload& load) {
    std::string mode = pace ? "paced" : "unpaced";
    if (load.latency_us > 0) mode += "+" + std::to_string(load.latency_us / 1000) + "ms";
    const std::string pass = program ? "program" : "verify";
    const std::string what = style.name + (load.name.empty() ? "" : "-" + load.name);
    const std::string base = o_.paths.work + "/" + mode + "-" + pass + "-" + what;
    // The verifying runs start from the memory the programming run left.
    const std::string memory = o_.paths.work + "/" + mode + "-" + what + "-memory.hex";
    std::vector<std::string> args = {o_.paths.tarnwell, "-c", style.config, "-t",
                                     o_.paths.work + "/tty"};
    if (!program) args.push_back("-v");
    args.push_back(load.image);
    const std::vector<std::string> sim_args = {"--latency", std::to_string(load.latency_us)};

    const size_t first = results_.size();
    for (int round = 1; round <= o_.repeat; ++round) {
        Result r;
        r.pass = mode + " " + pass + " " + style.name + (load.name.empty() ? "" : " " + load.name);
        r.name = r.pass;
        if (o_.repeat > 1) r.name += ' ' + std::to_string(round);
        r.workload = load.name;
        r.paced = pace, r.program = program, r.coalesce = style.coalesce;
        r.latency_us = load.latency_us;
        r.need = needed_traffic(load.records, program, style.coalesce);
        r.need_wire = wire_of(r.need);
        std::vector<std::string> extra = sim_args;
        extra.insert(extra.end(),
                     {"--transcript", base + ".transcript", program ? "--dump" : "--load", memory});
        Simulator sim = start_sim(o_.paths, pace, extra);
        r.runner_rss = own_rss_kib();
        r.m = run(sim, {}, args, base);
        stop_sim(sim);
        r.count = count_transcript(base + ".transcript");
        const bool passed =
            file_contains(base + ".out", program ? "Done Verifying : Passed" : ": Passed");
        if (r.m.status != 0 || !passed) {
            std::printf("%s FAILED: exit status %d%s; see %s.out and .err\n", r.name.c_str(),
                        r.m.status, passed ? "" : ", no \"Passed\"", base.c_str());
            failed_ = true;
        }
        std::printf("%s: %.3f s\n", r.name.c_str(), r.m.wall);
        std::fflush(stdout);
        results_.push_back(std::move(r));
    }
    if (!load.count_syscalls) return;
    const long calls =
        count_syscalls(results_[first].pass, pace, program, base, memory, args, sim_args);
    for (size_t i = first; i < results_.size(); ++i) results_[i].syscalls = calls;
}

void Bench::report() const {
    print_report(results_, !o_.syscalls ? "nothing"
                           : use_perf_  ? "perf stat -e raw_syscalls:sys_enter"
                                        : "strace -f -c");
}

// The counting runs are separate: a tracer between the runner and
// tarnwell would spoil the times and the resource figures.
long Bench::count_syscalls(const std::string& name, bool pace, bool program,
                           const std::string& base, const std::string& memory,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& sim_args) {
    long calls = -1;
    const std::pair<bool, std::string> counters[] = {
        {use_perf_, "perf"}, {o_.syscalls && (!use_perf_ || o_.strace_breakdown), "strace"}};
    for (const auto& [wanted, tool] : counters) {
        if (!wanted) continue;
        const std::string out = base + "." + tool;
        const std::vector<std::string> prefix =
            tool == "perf"
                ? std::vector<std::string>{"perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter",
                                           "-o",   out,    "--"}
                : std::vector<std::string>{"strace", "-f", "-c", "-o", out};
        std::vector<std::string> extra = sim_args;
        extra.insert(extra.end(), {"--transcript", out + ".transcript"});
        if (!program) extra.insert(extra.end(), {"--load", memory});
        Simulator sim = start_sim(o_.paths, pace, extra);
        const Measure m = run(sim, prefix, args, out);
        stop_sim(sim);
        if (m.status != 0) {
            std::printf("%s under %s: exit status %d\n", name.c_str(), tool.c_str(), m.status);
            failed_ = true;
        }
        if (tool == (use_perf_ ? "perf" : "strace")) calls = syscalls_from(out, use_perf_);
    }
    return calls;
}

}  // namespace bench
