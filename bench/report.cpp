// Printing the benchmark's figures.

#include "report.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

namespace bench {

std::string load_average() {
    char text[128] = "?";
    if (FILE* in = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, in)) std::strcpy(text, "?");
        std::fclose(in);
    }
    return std::string(text, std::strcspn(text, "\n"));
}

void print_machine() {
    std::string model = "?";
    if (FILE* in = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, in)) {
            if (std::strncmp(line, "model name", 10) != 0) continue;
            const char* colon = std::strchr(line, ':');
            if (colon) model = std::string(colon + 2, std::strcspn(colon + 2, "\n"));
            break;
        }
        std::fclose(in);
    }
    std::string kernel = "?";
    if (FILE* in = std::fopen("/proc/sys/kernel/osrelease", "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, in)) kernel = std::string(line, std::strcspn(line, "\n"));
        std::fclose(in);
    }
    std::printf("machine: %ld cores, %s, Linux %s; load average %s\n",
                sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), kernel.c_str(),
                load_average().c_str());
}

namespace {

void print_table(const std::vector<Result>& results, const char* syscall_source) {
    std::printf("\n%-34s %8s %9s %6s %10s %8s %6s %7s %8s %8s %9s %8s\n", "run", "to ICD2",
                "from ICD2", "excess", "wire limit", "wall", "ratio", "CPU", "CPU/wall", "peak RSS",
                "syscalls", "per byte");
    for (const Result& r : results) {
        const Wire& w = r.count.wire;
        const double limit = r.limit();
        const long long excess =
            static_cast<long long>(w.total()) - static_cast<long long>(r.need_wire.total());
        std::printf("%-34s %8llu %9llu %6lld %9.3fs %7.3fs %6.3f %6.3fs %7.2f%% %5.2fMiB ",
                    r.name.c_str(), static_cast<unsigned long long>(w.in()),
                    static_cast<unsigned long long>(w.out()), excess, limit, r.m.wall,
                    r.m.wall / limit, r.m.cpu, 100.0 * r.m.cpu / r.m.wall,
                    static_cast<double>(r.m.peak_rss_kib) / 1024.0);
        if (r.syscalls < 0)
            std::printf("%9s %8s\n", "-", "-");
        else
            std::printf("%9ld %8.2f\n", r.syscalls,
                        static_cast<double>(r.syscalls) / static_cast<double>(w.total()));
    }
    std::printf(
        "(to/from ICD2: bytes seen on the wire; excess: seen beyond the bytes the protocol needs "
        "for the\n"
        " image with that run's transfers; wire limit: the needed bytes x 10 / baud, %llu of them "
        "to the\n"
        " ICD2 and %llu from it at 19200 baud, and with an answer latency (+Nms) N ms for every\n"
        " answer waited for; ratio: wall / wire limit;\n"
        " syscalls counted with %s on a separate run;\n"
        " the runner's own resident size when it forked: %s)\n",
        static_cast<unsigned long long>(results.front().need_wire.in_slow),
        static_cast<unsigned long long>(results.front().need_wire.out_slow), syscall_source,
        results.back().runner_rss.c_str());
    std::printf("\n%-34s %8s %8s %9s %16s %16s\n", "run", "user", "sys", "blocked",
                "CPU per blocked", "bytes from ICD2");
    for (const Result& r : results)
        std::printf("%-34s %7.3fs %7.3fs %9ld %14.1fus %16llu\n", r.name.c_str(), r.m.user, r.m.sys,
                    r.m.sleeps, r.m.sleeps ? 1e6 * r.m.cpu / static_cast<double>(r.m.sleeps) : 0.0,
                    static_cast<unsigned long long>(r.count.wire.out()));
    for (const Result& r : results) {
        if (r.paced) continue;
        const double bytes = static_cast<double>(r.count.wire.total());
        std::printf("%s: %.2f us CPU per byte on the wire, %.2f us wall per byte\n", r.name.c_str(),
                    1e6 * r.m.cpu / bytes, 1e6 * r.m.wall / bytes);
    }
}

// The paced runs of the full image: coalesced against record by record for
// each job and answer latency, mean wall time over the rounds; then what
// the latency added to each.
void print_comparison(const std::vector<Result>& results) {
    struct Mean {
        double wall = 0, limit = 0;
        int rounds = 0;
        uint64_t answers = 0;
    };
    std::map<std::tuple<unsigned, bool, bool>, Mean> means;  // latency, program, coalesce
    for (const Result& r : results) {
        if (!r.paced || !r.workload.empty()) continue;
        Mean& mean = means[{r.latency_us, r.program, r.coalesce}];
        mean.wall += r.m.wall;
        mean.limit = r.limit();
        mean.answers = r.need_wire.answers;
        ++mean.rounds;
    }
    for (auto& [key, mean] : means) mean.wall /= mean.rounds;
    auto find = [&means](unsigned latency, bool program, bool coalesce) {
        const auto found = means.find({latency, program, coalesce});
        return found == means.end() ? nullptr : &found->second;
    };
    std::printf("\n");
    for (const auto& [key, mean] : means) {
        const auto [latency, program, coalesce] = key;
        const Mean* plain = find(latency, program, false);
        if (!coalesce || plain == nullptr) continue;
        std::printf(
            "paced%s %s: coalesced %.3f s, per record %.3f s (%.2f of the time); wire limits %.3f "
            "s "
            "and %.3f s\n",
            latency == 0 ? "" : ("+" + std::to_string(latency / 1000) + "ms").c_str(),
            program ? "program" : "verify", mean.wall, plain->wall, mean.wall / plain->wall,
            mean.limit, plain->limit);
    }
    for (const auto& [key, mean] : means) {
        const auto [latency, program, coalesce] = key;
        const Mean* base = find(0, program, coalesce);
        if (latency == 0 || base == nullptr) continue;
        const double added = mean.wall - base->wall;
        std::printf(
            "%.1f ms answer latency, %s %s: %.3f s more than without it, %llu answers waited for "
            "(%.2f ms each)\n",
            latency / 1000.0, program ? "program" : "verify", coalesce ? "coalesced" : "per record",
            added, static_cast<unsigned long long>(mean.answers),
            1e3 * added / static_cast<double>(mean.answers));
    }
}

// Per command code: what went over the wire against what the image needs.
std::string excess_text(const Result& r) {
    std::map<std::string, bool> codes;
    for (const auto& [code, t] : r.count.by_code) codes[code] = true;
    for (const auto& [code, t] : r.need) codes[code] = true;
    long long excess = 0;
    std::string detail;
    for (const auto& [code, unused] : codes) {
        const auto seen = r.count.by_code.count(code) ? r.count.by_code.at(code) : Traffic{};
        const auto need = r.need.count(code) ? r.need.at(code) : Traffic{};
        const long long extra =
            static_cast<long long>(seen.in + seen.out) - static_cast<long long>(need.in + need.out);
        excess += extra;
        if (extra != 0 || seen.frames != need.frames) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "  %-9s %5u frames (%u needed), %llu+%llu bytes (%llu+%llu needed)\n", code.c_str(),
                seen.frames, need.frames, static_cast<unsigned long long>(seen.in),
                static_cast<unsigned long long>(seen.out), static_cast<unsigned long long>(need.in),
                static_cast<unsigned long long>(need.out));
            detail += text;
        }
    }
    std::string text = std::to_string(excess) +
                       " bytes beyond what the protocol needs for the image" +
                       (excess == 0 && detail.empty() ? "\n" : ":\n") + detail;
    for (const std::string& line : r.count.anomalies) text += "  transcript: " + line + "\n";
    return text;
}

}  // namespace

void print_report(const std::vector<Result>& results, const char* syscall_source) {
    print_table(results, syscall_source);
    print_comparison(results);
    std::printf("load average at the end: %s\n\n", load_average().c_str());
    // Repeated runs move the same bytes; say so once unless one differs.
    std::string last;
    for (const Result& r : results) {
        const std::string text = excess_text(r);
        if (r.pass + text != last) std::printf("%s: %s", r.name.c_str(), text.c_str());
        last = r.pass + text;
    }
}

}  // namespace bench
