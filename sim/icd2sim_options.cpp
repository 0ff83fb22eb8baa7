// The simulator's command line: its options and the device settings they make.
#include "icd2sim_options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "icd2sim_usage.h"

namespace icd2sim {

// Bad input other than the command line itself: the message alone.
[[noreturn]] void input_error(const std::string& message) {
    std::fprintf(stderr, "icd2sim: %s\n", message.c_str());
    std::exit(kUsageStatus);
}

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "icd2sim: %s\n", message.c_str());
    print_usage(stderr);
    std::exit(kUsageStatus);
}

Options parse_options(int argc, char** argv) {
    Options options;
    const std::pair<const char*, std::string*> valued[] = {
        {"--device", &options.device_file}, {"--load", &options.load_file},
        {"--dump", &options.dump_file},     {"--transcript", &options.transcript_file},
        {"--preload", &options.preload},    {"--link", &options.link_path},
        {"--latency", &options.latency},
    };
    bool have_program = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            options.program.assign(argv + i + 1, argv + argc);
            have_program = true;
            break;
        }
        std::string value;
        bool has_value = false;
        const auto equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            has_value = true;
        }
        const auto take_value = [&]() {
            if (has_value) return value;
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return std::string(argv[++i]);
        };
        bool known = false;
        for (const auto& [name, target] : valued) {
            if (arg == name) {
                *target = take_value();
                known = true;
            }
        }
        if (arg == "--set" || arg == "--device-time") {
            (arg == "--set" ? options.sets : options.device_times).push_back(take_value());
            known = true;
        }
        if (arg == "--pace" && !has_value) {
            options.pace = true;
            known = true;
        }
        if ((arg == "--help" || arg == "--version") && !has_value) {
            if (arg == "--help")
                print_help(stdout);
            else
                std::printf("icd2sim %s\n", ICD2SIM_VERSION);
            std::exit(0);
        }
        if (!known) usage_error("unknown option " + arg);
    }
    if (have_program == !options.link_path.empty())
        usage_error(have_program ? "-- PROGRAM and --link exclude each other"
                                 : "either -- PROGRAM or --link PATH is needed");
    if (have_program && options.program.empty()) usage_error("no program after --");
    if (!options.latency.empty()) {
        char* end = nullptr;
        options.latency_us = std::strtoul(options.latency.c_str(), &end, 10);
        if (!std::isdigit(static_cast<unsigned char>(options.latency[0])) || *end != '\0' ||
            options.latency_us > 10'000'000)
            input_error("--latency wants USEC, at most 10000000: " + options.latency);
    }
    return options;
}

DeviceSettings settings_from(const Options& options) {
    DeviceSettings settings;
    if (!options.device_file.empty()) {
        const auto error = icd2sim::load_device_file(settings, options.device_file);
        if (!error.empty()) input_error(error);
    }
    for (const auto& set : options.sets) {
        const auto equals = set.find('=');
        if (equals == std::string::npos) input_error("--set wants KEY=VALUE: " + set);
        const auto error =
            icd2sim::apply_setting(settings, set.substr(0, equals), set.substr(equals + 1));
        if (!error.empty()) input_error("--set " + set + ": " + error);
    }
    for (const auto& time : options.device_times) {
        const auto equals = time.find('=');
        char* end = nullptr;
        const unsigned long usec = equals == 2 ? std::strtoul(time.c_str() + 3, &end, 10) : 0;
        if (equals != 2 || end == time.c_str() + 3 || *end != '\0')
            input_error("--device-time wants CODE=USEC: " + time);
        settings.device_time_us[time.substr(0, 2)] = usec;
    }
    const auto error = icd2sim::check_settings(settings);
    if (!error.empty()) input_error(error);
    return settings;
}

}  // namespace icd2sim
