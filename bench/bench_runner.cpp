// bench_runner: how long tarnwell takes to program and verify a full-size
// image, measured against the time the serial line itself needs, with
// record-by-record transfers and with coalesced ones side by side.
//
// The runner writes the image and two configurations derived from the
// example: one without any "transfer/coalesce" setting (every record its own
// transfer) and one with the setting on for the simulated part's family. For
// each it starts icd2sim in --link mode (paced like a real UART, and unpaced
// to expose the program's own cost), and runs tarnwell as its own direct
// child, so that wait4 reports tarnwell's CPU time and peak resident size and
// nothing else's. Linux carries a parent's resident pages into a forked
// child's maximum, so the runner allocates nothing large and prints its own
// resident size beside the figures. The bytes on the wire are counted from
// the simulator's transcript and compared with what the protocol needs for
// this image with that configuration's transfers; the wire limit is the time
// those needed bytes take on the line.
//
// It is a measurement, not a test: it fails only when a run itself fails
// (tarnwell's exit status, a verification that did not pass), never on a time.
//
// This file reads the command line and runs the jobs in order; each job has
// a file of its own: image (the image), configs (the two configurations),
// transcript (the wire seen), wire_model (the wire needed, with the
// product's transfer limits from icd2/limits.h), processes (the simulator
// and tarnwell), measure (the runs) and report (the figures).
//
// Two more paced rows program the full image with every answer of the
// simulated ICD2 held 16 ms, as a USB serial adapter's latency timer holds
// it, record by record and coalesced. A last one programs, coalesced, a
// golden image: the read-out (-r) of the example part holding the example
// image, mostly erased words.

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "configs.h"
#include "image.h"
#include "measure.h"
#include "processes.h"
#include "report.h"
#include "util.h"

using namespace bench;

namespace {

[[noreturn]] void usage() {
    std::fputs(
        "usage: bench_runner [--work DIR] [--tarnwell PATH] [--sim PATH] [--config FILE]\n"
        "                    [--device FILE] [--repeat N] [--latency USEC] [--no-syscalls]\n"
        "                    [--strace] [--unpaced-only]\n",
        stderr);
    std::exit(64);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* value = arg == "--work"       ? &o.paths.work
                             : arg == "--tarnwell" ? &o.paths.tarnwell
                             : arg == "--sim"      ? &o.paths.sim
                             : arg == "--config"   ? &o.paths.config
                             : arg == "--device"   ? &o.paths.device
                                                   : nullptr;
        if (value && i + 1 < argc)
            *value = argv[++i];
        else if (arg == "--no-syscalls")
            o.syscalls = false;
        else if (arg == "--strace")
            o.strace_breakdown = true;
        else if (arg == "--unpaced-only")
            o.paced = false;
        else if (arg == "--repeat" && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
            o.repeat = std::atoi(argv[++i]);
        else if (arg == "--latency" && i + 1 < argc && std::atoi(argv[i + 1]) >= 0)
            o.latency_us = static_cast<unsigned>(std::atoi(argv[++i]));
        else
            usage();
    }
    return o;
}

// The golden image: the example image programmed onto a fresh simulated
// part, and the part read out with -r, on the unpaced simulator.
Workload golden_image(const Options& o, const std::string& config) {
    const std::string memory = o.paths.work + "/golden-part.hex";
    const std::string golden = o.paths.work + "/golden.hex";
    for (const bool read : {false, true}) {
        Simulator sim = start_sim(o.paths, false, {read ? "--load" : "--dump", memory});
        std::vector<std::string> args = {o.paths.tarnwell, "-c", config, "-t",
                                         o.paths.work + "/tty"};
        if (read)
            args.insert(args.end(), {"-r", golden});
        else
            args.push_back(std::string(BENCH_EXAMPLES) + "/example.hex");
        const Measure m =
            run(sim, {}, args, o.paths.work + (read ? "/golden-read" : "/golden-part"));
        stop_sim(sim);
        if (m.status != 0)
            die("making the golden image: tarnwell ended with status " + std::to_string(m.status));
    }
    Workload load{"golden", read_image(golden), golden};
    std::printf("golden image: %s, %zu data records, the read-out of the example part holding %s\n",
                golden.c_str(), load.records.size(), "examples/example.hex");
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    if (mkdir(options.paths.work.c_str(), 0755) != 0 && errno != EEXIST)
        die_errno(options.paths.work);
    signal(SIGPIPE, SIG_IGN);

    std::vector<Record> records = make_image();
    const std::string image = options.paths.work + "/image.hex";
    write_image(records, image);
    print_machine();
    std::printf(
        "image: %s, %zu data records: %u program words in %u-word records, %u EEPROM bytes, %u ID "
        "words, "
        "%u configuration word\n",
        image.c_str(), records.size(), kProgWords, kRecordWords, kEepromBytes, kIdWords,
        kConfigWords);
    const Style styles[] = {{"per-record", false, options.paths.work + "/per-record.config"},
                            {"coalesced", true, options.paths.work + "/coalesced.config"}};
    write_configs(options.paths.config, styles[0].config, styles[1].config);
    std::printf(
        "configurations: %s (from %s, any transfer/coalesce removed), %s "
        "(family/%s/transfer/coalesce = 1)\n",
        styles[0].config.c_str(), options.paths.config.c_str(), styles[1].config.c_str(),
        kCoalescingFamily);
    std::fflush(stdout);

    Bench bench(options);
    const Workload full{"", std::move(records), image};
    for (const bool pace : {true, false}) {
        if (pace && !options.paced) continue;
        for (const Style& style : styles) {
            bench.measure(pace, true, style, full);
            bench.measure(pace, false, style, full);
        }
        if (!pace) continue;
        Workload held = full;
        held.latency_us = options.latency_us;
        held.count_syscalls = false;  // a counted run would take as long again
        for (const Style& style : styles)
            if (held.latency_us > 0) bench.measure(true, true, style, held);
        bench.measure(true, true, styles[1], golden_image(options, styles[1].config));
    }
    bench.report();
    return bench.failed() ? 1 : 0;
}
