// tarnwell: writes an Intel HEX image into a microcontroller attached to an
// ICD2, reads it back to verify it, or with -v only verifies. Beside that it
// reads a device out, checks that it is blank, erases it, identifies it, and
// lists and checks the configuration.
//
// A run is one job of the table below: the options are parsed into a job or
// a usage error in one place, then the stages every job shares run in order
// (configuration, HEX image, read-out file, probe) as far as the job needs
// them, and the job's own function does the rest.
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "driver/read_out_file.h"
#include "driver/report.h"
#include "driver/serial_number.h"
#include "hex/hex.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace {

// Exit statuses: each names the stage of the run that failed.
enum ExitStatus {
    kSuccess = 0,
    kUsageOrConfig = 1,
    kHexUnreadable = 2,
    kHexInvalid = 3,
    kNotIdentified = 4,
    kPassFailed = 5,
};

void usage() {
    std::fputs("Usage: tarnwell [-c <config file>] -t <tty> [-v] <hex file>\n", stdout);
    std::fputs("\n", stdout);
    std::fputs(
        "\t-c <config file> The path to the config file with the processor info in. Defaults "
        "to " TARNWELL_DEFAULT_CONFIG "\n",
        stdout);
    std::fputs("\t-t <tty> The path to the serial device that the ICD2 is connect to\n", stdout);
    std::fputs(
        "\t-v Verify the hex file against the device. Without this it programs and verifies\n\n",
        stdout);
}

// The help asked for with -h: the usage, then the jobs beside programming.
void help() {
    usage();
    std::fputs(
        "       tarnwell [-c <config file>] -t <tty> -r <file> | -b | -e | -i\n"
        "       tarnwell [-c <config file>] -l\n"
        "\n"
        "\t-r <file> Read every memory space of the device into <file> as Intel HEX\n"
        "\t-b Check that every memory space of the device is blank\n"
        "\t-e Erase the device\n"
        "\t-i Identify the device and show what the ICD2 reports\n"
        "\t-l List the processors of the config file and check it\n"
        "\t-o <file> Append a one-line JSON report of the run to <file>\n"
        "\t-u <address>=<value> The value of a calibration word (hexadecimal), instead of\n"
        "\t   reading it from the device (programming and -e)\n"
        "\t-k Keep the EEPROM bytes the image does not set (programming and -e)\n"
        "\t-s <file> Take the next serial number of <file> and program it (programming)\n"
        "\t-h, --help Show this help\n"
        "\t--version Show the version\n",
        stdout);
}

// Opens the HEX file for reading. A directory opens on Linux but can never
// be read, so it counts as a file that cannot be opened.
FILE* open_hex_file(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

// -i: what the probe found, one item a line.
void print_identity(const ProbeReport& report) {
    if (!report.device.empty()) {
        std::printf("Processor: %s\n", report.device.c_str());
        std::printf("Chip id: %04X\n", static_cast<unsigned>(report.chip_id));
    } else if (report.chip_ids.empty()) {
        std::printf("Processor: none identified\n");
    } else {
        std::printf("Processor: none of the configured processors matches\n");
        for (const ChipIdRead& read : report.chip_ids) {
            if (read.read_ok)
                std::printf("Chip id (family %u, address %04X): %04X\n", read.family, read.address,
                            static_cast<unsigned>(read.word));
            else
                std::printf("Chip id (family %u, address %04X): read failed\n", read.family,
                            read.address);
        }
    }
    if (report.have_firmware) std::printf("ICD2 firmware: %s\n", report.firmware.version_text);
    if (report.have_voltages) {
        std::printf("Target voltage: %.2f V\n", report.voltages.target_vdd);
        std::printf("ICD2 voltages: %.2f V, %.2f V\n", report.voltages.reading_37,
                    report.voltages.reading_35);
        std::printf("Serial port: low latency%s\n", tty_low_latency() ? "" : " not supported");
    }
    std::fflush(stdout);
}

// ---- The jobs

// Everything one run keeps: what the options asked for, and what the stages
// found on the way, for the job and for the report.
struct Run {
    const struct Job* job = nullptr;
    const char* config_path = TARNWELL_DEFAULT_CONFIG;
    const char* tty_path = nullptr;
    const char* read_out_path = nullptr;
    const char* report_path = nullptr;  // -o: the run report is appended there
    const char* hex_path = nullptr;     // the first operand, for the jobs that take one
    const char* serial_path = nullptr;  // -s: the serial number file
    SerialTake serial;                  // the number taken from it
    HexRecord* image = nullptr;
    KeepOptions keep;  // -u and -k
    std::unique_ptr<ReadOutFile> read_out;
    RunReport report;
    ProbeReport probe;
    PassOutcome outcome;

    ~Run() { freeHexList(&image); }
};

// One job of the program: its option letter (none for programming, which
// runs when no job is asked for), its name in the run report, what it needs,
// and the function that does it on the identified device (0, or the failing
// code). erases: the job erases the device.
struct Job {
    char option;
    const char* name;
    bool takes_hex;
    bool needs_tty;
    bool erases;
    int (*run)(Run& run, const char* device);
};

int program(Run& run, const char* device) {
    if (run.serial_path != nullptr)
        return do_prog(run.image, device, &run.outcome, run.keep, run.serial.words);
    return do_prog(run.image, device, &run.outcome, run.keep);
}
int verify(Run& run, const char* device) {
    return do_verify(run.image, device, &run.outcome);
}
int read_out(Run& run, const char* device) {
    int result = do_read_out(device, run.read_out->stream(), &run.outcome);
    // An interrupted run leaves the destination as it was.
    if (result == 0 && tty_interrupted() == 0 && !run.read_out->commit()) {
        log_message(1, 6, "tarnwell", "main", "Unable to write read-out file: %s Reason: %d %s",
                    run.read_out_path, errno, std::strerror(errno));
        run.outcome.stage = Stage::kOutput;
        result = 1;
    }
    return result;
}
int blank_check(Run& run, const char* device) {
    return do_blank_check(device, &run.outcome);
}
int erase(Run& run, const char* device) {
    return do_erase(device, &run.outcome, run.keep);
}
int identify(Run& run, const char* device) {
    print_identity(run.probe);
    print_calibration(device);
    return 0;
}

const Job kJobs[] = {
    {0, "program", true, true, true, program},   {'v', "verify", true, true, false, verify},
    {'r', "read", false, true, false, read_out}, {'b', "blank", false, true, false, blank_check},
    {'e', "erase", false, true, true, erase},    {'i', "identify", false, true, false, identify},
    {'l', "list", false, false, false, nullptr},  // the configuration alone
};

const Job* job_of_option(char option) {
    for (const Job& job : kJobs)
        if (job.option == option) return &job;
    return nullptr;
}

// ---- The command line

// What the command line asks for: a run, or something to print and an exit.
struct Command {
    enum Kind { kRun, kUsage, kUsageError, kHelp, kVersion } kind = kRun;
    std::string error;  // for kUsageError: the line after the usage
    int operands = 0;   // what option scanning left
    char** operand = nullptr;
};

// Parses the options into run and says what to do. Every way a command line
// can be wrong is decided here, before anything is loaded.
Command parse_command_line(int argc, char** argv, Run& run) {
    static const struct option kLongOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Command command;
    bool verify = false;
    bool keeps = false;  // -u or -k
    std::string bad_value;
    char job_option = 0;  // the job option given first
    std::string conflict;
    // "+": scanning stops at the first operand, so a HEX file given before
    // -t leaves the tty unset instead of being reordered past it.
    int option;
    while ((option = getopt_long(argc, argv, "+c:t:vr:beilho:u:ks:", kLongOptions, nullptr)) !=
           -1) {
        switch (option) {
            case 'c':
                run.config_path = optarg;
                break;
            case 't':
                run.tty_path = optarg;
                break;
            case 'v':
                verify = true;
                break;
            case 'o':
                run.report_path = optarg;
                break;
            case 'u': {
                unsigned address = 0, value = 0;
                int end = 0;
                if (std::sscanf(optarg, "%x=%x%n", &address, &value, &end) == 2 &&
                    optarg[end] == '\0' && std::isxdigit(static_cast<unsigned char>(optarg[0])))
                    run.keep.calibration.emplace_back(address, static_cast<int>(value));
                else if (bad_value.empty())
                    bad_value = std::string("-u wants <address>=<value> in hexadecimal (got ") +
                                optarg + ")";
                keeps = true;
                break;
            }
            case 's':
                run.serial_path = optarg;
                break;
            case 'k':
                run.keep.eeprom = true;
                keeps = true;
                break;
            case 'r':
            case 'b':
            case 'e':
            case 'i':
            case 'l': {
                if (option == 'r') run.read_out_path = optarg;
                const char letter = static_cast<char>(option);
                if (job_option != 0 && job_option != letter && conflict.empty())
                    conflict = std::string("-") + job_option + " and -" + letter +
                               " select two jobs; give one of them";
                if (job_option == 0) job_option = letter;
                break;
            }
            case 'h':
                command.kind = Command::kHelp;
                return command;
            case 'V':
                command.kind = Command::kVersion;
                return command;
            default:
                // getopt has printed its own diagnostic. The option may be a
                // typo of -v: nothing is done.
                run.job = job_of_option(job_option != 0 ? job_option : verify ? 'v' : 0);
                command.kind = Command::kUsage;
                return command;
        }
    }
    run.job = job_of_option(job_option != 0 ? job_option : verify ? 'v' : 0);
    command.operands = argc - optind;
    command.operand = argv + optind;
    const Job& job = *run.job;
    const std::string name = std::string("-") + job_option;
    if (!bad_value.empty()) return {Command::kUsageError, bad_value};
    // What an erase would destroy is kept only by the jobs that erase.
    if (keeps && !job.erases)
        return {Command::kUsageError,
                (job_option != 0 ? name : std::string("-v")) + " cannot be combined with -u or -k"};
    // A serial number goes only into a part that is programmed.
    if (run.serial_path != nullptr && (job_option != 0 || verify))
        return {Command::kUsageError,
                (job_option != 0 ? name : std::string("-v")) + " cannot be combined with -s"};
    if (!job.takes_hex) {
        if (!conflict.empty()) return {Command::kUsageError, conflict};
        if (verify) return {Command::kUsageError, name + " cannot be combined with -v"};
        if (command.operands > 0)
            return {Command::kUsageError,
                    name + " takes no HEX file (got " + command.operand[0] + ")"};
    }
    if ((job.needs_tty && run.tty_path == nullptr) || (job.takes_hex && command.operands < 1))
        command.kind = Command::kUsage;
    if (job.takes_hex) run.hex_path = command.operand[0];
    return command;
}

// ---- The stages every job shares

// Reads the HEX file into run.image. 0, or the exit status.
int load_image(Run& run) {
    run.report.stage = Stage::kHexOpen;
    FILE* hex_file = open_hex_file(run.hex_path);
    if (hex_file == nullptr) {
        log_message(1, 1, "tarnwell", "main", "Unable to open hex file: %s", run.hex_path);
        return kHexUnreadable;
    }
    run.report.stage = Stage::kHexParse;
    int line = 0;
    if (int error = readHexFileLine(hex_file, &run.image, &line); error != 0) {
        // A line that should start a record found the end of the file.
        const bool unended = error == hex_error::kNoColon && std::feof(hex_file);
        std::fclose(hex_file);
        log_message(1, 2, "tarnwell", "main", "Error parsing hex file: %s", run.hex_path);
        // Where and what, so that nobody has to bisect a long file by hand.
        if (unended)
            log_message(1, 2, "tarnwell", "main",
                        "Line %d of %s: the file ends without an end-of-file record", line,
                        run.hex_path);
        else
            log_message(1, 2, "tarnwell", "main", "Line %d of %s: %s", line, run.hex_path,
                        getHexError(error));
        return kHexInvalid;
    }
    std::fclose(hex_file);
    if (run.report_path != nullptr) describe_image(run.report, run.hex_path, run.image);
    return kSuccess;
}

// The run after the options: each stage that fails ends it with its status.
int run_job(Run& run, int operands, char** operand) {
    const Job& job = *run.job;
    // Options after the HEX file are not read; taking "image.hex -v" for a
    // programming run would erase a device that was only to be compared.
    for (int i = 1; i < operands; ++i) {
        if (operand[i][0] == '-') {
            log_message(1, 4, "tarnwell", "main",
                        "Option %s after the HEX file; options go before it", operand[i]);
            return kUsageOrConfig;
        }
    }
    // A production line must not lose the record of a part it programmed:
    // a report file that cannot be opened is found out before anything else.
    if (run.report_path != nullptr && !can_append_report(run.report_path)) {
        run.report_path = nullptr;
        return kUsageOrConfig;
    }

    run.report.stage = Stage::kConfig;
    if (load_config(run.config_path) != 0) {
        log_message(1, 1, "tarnwell", "main", "Unable to open config file: %s", run.config_path);
        return kUsageOrConfig;
    }
    if (job.run == nullptr) {  // -l
        if (check_config(run.config_path) != 0) return kUsageOrConfig;
        run.report.stage = Stage::kOk;
        return kSuccess;
    }
    if (job.takes_hex) {
        if (int status = load_image(run); status != kSuccess) return status;
    }
    if (run.read_out_path != nullptr) {
        // Created before the ICD2 is touched: a path that cannot be written
        // is found out at once.
        run.report.stage = Stage::kOutput;
        run.read_out = std::make_unique<ReadOutFile>(run.read_out_path);
        if (run.read_out->stream() == nullptr) {
            log_message(1, 5, "tarnwell", "main",
                        "Unable to create read-out file: %s Reason: %d %s", run.read_out_path,
                        run.read_out->error(), std::strerror(run.read_out->error()));
            return kHexUnreadable;
        }
    }

    run.report.probe = &run.probe;
    char* device = probe_device(run.tty_path, &run.probe);
    if (device == nullptr) {
        run.report.stage = run.probe.stage;
        freeHexList(&run.image);
        if (tty_interrupted() != 0) return kNotIdentified;
        log_message(1, 3, "tarnwell", "main", "Unable to identify processor.");
        if (job.run == identify) print_identity(run.probe);
        return kNotIdentified;
    }

    // The number is reserved before anything is erased, and never given again.
    if (run.serial_path != nullptr) {
        const int status = serial_take(run.serial_path, device, run.tty_path, &run.serial);
        if (status != 0) {
            run.report.stage = run.serial.stage;
            std::free(device);
            return status;
        }
        run.report.serial_number = run.serial.number;
        run.report.serial_file = run.serial_path;
    }

    // A device that failed its job must never look like a success to the
    // script that ran us.
    const auto pass_started = std::chrono::steady_clock::now();
    const int result = job.run(run, device);
    run.report.pass_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pass_started).count();
    run.report.outcome = &run.outcome;
    run.report.stage = run.outcome.stage;
    std::free(device);
    return result == 0 ? kSuccess : kPassFailed;
}

extern "C" void on_signal(int signal) {
    tty_interrupt(signal);
}

// SIGINT, SIGTERM and SIGHUP end the run cleanly: the line's waits return at
// once, no new command goes out, and main reports the interruption. The
// handler is reset as it runs, so a second signal ends the process at once.
void catch_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;  // and no SA_RESTART: waits must end
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const auto started = std::chrono::steady_clock::now();
    Run run;
    const Command command = parse_command_line(argc, argv, run);
    int status = kUsageOrConfig;
    run.report.stage = Stage::kUsage;
    switch (command.kind) {
        case Command::kHelp:
            help();
            return kSuccess;
        case Command::kVersion:
            std::printf("tarnwell %s\n", TARNWELL_VERSION);
            return kSuccess;
        case Command::kUsage:
            usage();
            break;
        case Command::kUsageError:
            usage();
            std::fprintf(stderr, "tarnwell: %s\n", command.error.c_str());
            break;
        case Command::kRun:
            catch_signals();
            status = run_job(run, command.operands, command.operand);
            break;
    }
    if (const int signal = tty_interrupted(); signal != 0) {
        log_message(1, 9, "tarnwell", "main", "Interrupted by signal %d (%s)", signal,
                    strsignal(signal));
        run.report.stage = Stage::kInterrupted;
        status = 128 + signal;
    }
    // Whatever became of the part, its number is accounted for.
    if (run.serial.number >= 0)
        serial_record(run.serial_path, run.serial.number, run.tty_path, status, run.report.stage);

    if (run.report_path != nullptr) {
        RunReport& report = run.report;
        report.job = run.job->name;
        report.tty = run.tty_path != nullptr ? run.tty_path : "";
        report.config = run.config_path;
        report.status = status;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        append_report(run.report_path, report_line(report));
    }
    return status;
}
