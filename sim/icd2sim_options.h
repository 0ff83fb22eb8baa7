// The simulator's command line: its options, their parsing, and the device
// settings they make.
#pragma once

#include <string>
#include <vector>

#include "icd2sim_model.h"

namespace icd2sim {

// The exit status of a usage or input error.
constexpr int kUsageStatus = 64;

struct Options {
    std::string device_file;
    std::vector<std::string> sets;
    std::string load_file;
    std::string dump_file;
    std::string transcript_file;
    std::string preload;
    std::string link_path;
    std::vector<std::string> program;  // after "--"
    std::vector<std::string> device_times;
    bool pace = false;
    std::string latency;
    // Microseconds every answer is held before its first byte reaches the
    // program, as a USB serial adapter holds received bytes for its timer.
    unsigned long latency_us = 0;
};

// The line on standard error and exit with kUsageStatus; usage_error adds the
// usage.
[[noreturn]] void input_error(const std::string& message);
[[noreturn]] void usage_error(const std::string& message);
// The options of the command line; a usage error ends the process.
Options parse_options(int argc, char** argv);
// The device file, then --set and --device-time, checked; an error ends the
// process.
DeviceSettings settings_from(const Options& options);

}  // namespace icd2sim
