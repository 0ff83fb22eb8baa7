// tarnwell: writes an Intel HEX image into a microcontroller attached to an
// ICD2, reads it back to verify it, or with -v only verifies. Beside that it
// reads a device out, checks that it is blank, erases it, identifies it, and
// lists and checks the configuration.
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "driver/report.h"
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
        "\t-h, --help Show this help\n"
        "\t--version Show the version\n",
        stdout);
}

enum class Job { kProgram, kVerify, kReadOut, kBlank, kErase, kIdentify, kList };

struct Options {
    const char* config_path = TARNWELL_DEFAULT_CONFIG;
    const char* tty_path = nullptr;
    const char* read_out_path = nullptr;
    const char* report_path = nullptr;  // -o: the run report is appended there
    bool verify = false;
    bool bad_option = false;  // the parser rejected an option
    char job_option = 0;      // the job option given, if any
    std::string conflict;
};

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

// The read-out goes to a temporary file beside its destination, so that a
// failed read leaves nothing partial at the path the user named.
class ReadOutFile {
  public:
    explicit ReadOutFile(const char* path) : path_(path) {
        // What exists at the path must be a file that the rename can replace:
        // a directory never can, and a device or pipe must not be.
        if (struct stat info; stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
            error_ = S_ISDIR(info.st_mode) ? EISDIR : EEXIST;
            return;
        }
        std::string directory = ".";
        std::string name = path_;
        if (size_t slash = path_.rfind('/'); slash != std::string::npos) {
            directory = slash == 0 ? "/" : path_.substr(0, slash);
            name = path_.substr(slash + 1);
        }
        temporary_ = directory + "/." + name + ".XXXXXX";
        int fd = mkstemp(temporary_.data());
        if (fd < 0) {
            error_ = errno;
            temporary_.clear();
            return;
        }
        // mkstemp makes the file private; the result gets the usual mode.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        stream_ = fdopen(fd, "w");
        if (stream_ == nullptr) {
            error_ = errno;
            close(fd);
        }
    }
    ~ReadOutFile() {
        if (stream_ != nullptr) std::fclose(stream_);
        if (!temporary_.empty()) unlink(temporary_.c_str());
    }
    ReadOutFile(const ReadOutFile&) = delete;
    ReadOutFile& operator=(const ReadOutFile&) = delete;

    FILE* stream() const { return stream_; }
    int error() const { return error_; }
    // Writes the file out and moves it to its path; false (errno) on failure.
    bool commit() {
        bool written = std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0;
        written = std::fclose(stream_) == 0 && written;
        stream_ = nullptr;
        if (!written || std::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
        temporary_.clear();
        return true;
    }

  private:
    std::string path_;
    std::string temporary_;
    FILE* stream_ = nullptr;
    int error_ = 0;
};

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
    }
    std::fflush(stdout);
}

// Records job option letter; a second, different job is a conflict.
void select_job(Options& options, char letter) {
    if (options.job_option != 0 && options.job_option != letter && options.conflict.empty())
        options.conflict = std::string("-") + options.job_option + " and -" + letter +
                           " select two jobs; give one of them";
    if (options.job_option == 0) options.job_option = letter;
}

Job job_of(const Options& options) {
    switch (options.job_option) {
        case 'r':
            return Job::kReadOut;
        case 'b':
            return Job::kBlank;
        case 'e':
            return Job::kErase;
        case 'i':
            return Job::kIdentify;
        case 'l':
            return Job::kList;
        default:
            return options.verify ? Job::kVerify : Job::kProgram;
    }
}

int usage_error(const std::string& line) {
    usage();
    std::fprintf(stderr, "tarnwell: %s\n", line.c_str());
    return kUsageOrConfig;
}

const char* job_name(Job job) {
    switch (job) {
        case Job::kProgram:
            return "program";
        case Job::kVerify:
            return "verify";
        case Job::kReadOut:
            return "read";
        case Job::kBlank:
            return "blank";
        case Job::kErase:
            return "erase";
        case Job::kIdentify:
            return "identify";
        case Job::kList:
            return "list";
    }
    return "";
}

// Everything one run keeps for its report.
struct Run {
    Options options;
    RunReport report;
    ProbeReport probe;
    PassOutcome outcome;
};

// The run after the options: each stage that fails ends it with its status.
int run_job(Run& run, Job job, int argc, char** argv) {
    Options& options = run.options;
    RunReport& report = run.report;
    report.stage = "usage";
    // An option the parser rejected may be a typo of -v: nothing is done.
    if (options.bad_option) {
        usage();
        return kUsageOrConfig;
    }
    if (job != Job::kProgram && job != Job::kVerify) {
        if (!options.conflict.empty()) return usage_error(options.conflict);
        if (options.verify)
            return usage_error(std::string("-") + options.job_option +
                               " cannot be combined with -v");
        if (argc > 0)
            return usage_error(std::string("-") + options.job_option + " takes no HEX file (got " +
                               argv[0] + ")");
        if (job != Job::kList && options.tty_path == nullptr) {
            usage();
            return kUsageOrConfig;
        }
    } else if (options.tty_path == nullptr || argc < 1) {
        usage();
        return kUsageOrConfig;
    }
    // Options after the HEX file are not read; taking "image.hex -v" for a
    // programming run would erase a device that was only to be compared.
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            log_message(1, 4, "tarnwell", "main",
                        "Option %s after the HEX file; options go before it", argv[i]);
            return kUsageOrConfig;
        }
    }

    // A production line must not lose the record of a part it programmed:
    // a report file that cannot be opened is found out before anything else.
    report.stage = "report";
    if (options.report_path != nullptr && !can_append_report(options.report_path)) {
        options.report_path = nullptr;
        return kUsageOrConfig;
    }

    report.stage = "config";
    if (load_config(options.config_path) != 0) {
        log_message(1, 1, "tarnwell", "main", "Unable to open config file: %s",
                    options.config_path);
        return kUsageOrConfig;
    }
    if (job == Job::kList) {
        if (check_config(options.config_path) != 0) return kUsageOrConfig;
        report.stage = "ok";
        return kSuccess;
    }

    HexRecord* list = nullptr;
    if (job == Job::kProgram || job == Job::kVerify) {
        const char* hex_path = argv[0];
        report.stage = "hex-open";
        FILE* hex_file = open_hex_file(hex_path);
        if (hex_file == nullptr) {
            log_message(1, 1, "tarnwell", "main", "Unable to open hex file: %s", hex_path);
            return kHexUnreadable;
        }
        report.stage = "hex-parse";
        int line = 0;
        if (int error = readHexFileLine(hex_file, &list, &line); error != 0) {
            // A line that should start a record found the end of the file.
            const bool unended = error == hex_error::kNoColon && std::feof(hex_file);
            std::fclose(hex_file);
            log_message(1, 2, "tarnwell", "main", "Error parsing hex file: %s", hex_path);
            // Where and what, so that nobody has to bisect a long file by hand.
            if (unended)
                log_message(1, 2, "tarnwell", "main",
                            "Line %d of %s: the file ends without an end-of-file record", line,
                            hex_path);
            else
                log_message(1, 2, "tarnwell", "main", "Line %d of %s: %s", line, hex_path,
                            getHexError(error));
            return kHexInvalid;
        }
        std::fclose(hex_file);
        if (options.report_path != nullptr) describe_image(report, hex_path, list);
    }

    std::unique_ptr<ReadOutFile> read_out;
    if (job == Job::kReadOut) {
        // Created before the ICD2 is touched: a path that cannot be written
        // is found out at once.
        report.stage = "output";
        read_out = std::make_unique<ReadOutFile>(options.read_out_path);
        if (read_out->stream() == nullptr) {
            log_message(1, 5, "tarnwell", "main",
                        "Unable to create read-out file: %s Reason: %d %s", options.read_out_path,
                        read_out->error(), std::strerror(read_out->error()));
            return kHexUnreadable;
        }
    }

    report.probe = &run.probe;
    char* device = probe_device(options.tty_path, &run.probe);
    if (device == nullptr) {
        report.stage = run.probe.stage;
        freeHexList(&list);
        if (tty_interrupted() != 0) return kNotIdentified;
        log_message(1, 3, "tarnwell", "main", "Unable to identify processor.");
        if (job == Job::kIdentify) print_identity(run.probe);
        return kNotIdentified;
    }

    // A device that failed its job must never look like a success to the
    // script that ran us.
    const auto pass_started = std::chrono::steady_clock::now();
    PassOutcome& outcome = run.outcome;
    int result = 0;
    switch (job) {
        case Job::kProgram:
            result = do_prog(list, device, &outcome);
            break;
        case Job::kVerify:
            result = do_verify(list, device, &outcome);
            break;
        case Job::kBlank:
            result = do_blank_check(device, &outcome);
            break;
        case Job::kErase:
            result = do_erase(device, &outcome);
            break;
        case Job::kIdentify:
            print_identity(run.probe);
            break;
        case Job::kReadOut:
            result = do_read_out(device, read_out->stream(), &outcome);
            // An interrupted run leaves the destination as it was.
            if (result == 0 && tty_interrupted() == 0 && !read_out->commit()) {
                log_message(1, 6, "tarnwell", "main",
                            "Unable to write read-out file: %s Reason: %d %s",
                            options.read_out_path, errno, std::strerror(errno));
                outcome.stage = "output";
                result = 1;
            }
            break;
        case Job::kList:
            break;
    }
    report.pass_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - pass_started).count();
    report.outcome = &outcome;
    report.stage = outcome.stage;
    freeHexList(&list);
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
    Options& options = run.options;
    static const struct option kLongOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // "+": scanning stops at the first operand, so a HEX file given before
    // -t leaves the tty unset instead of being reordered past it.
    int option;
    while (!options.bad_option &&
           (option = getopt_long(argc, argv, "+c:t:vr:beilho:", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'c':
                options.config_path = optarg;
                break;
            case 't':
                options.tty_path = optarg;
                break;
            case 'v':
                options.verify = true;
                break;
            case 'o':
                options.report_path = optarg;
                break;
            case 'r':
                options.read_out_path = optarg;
                select_job(options, 'r');
                break;
            case 'b':
            case 'e':
            case 'i':
            case 'l':
                select_job(options, static_cast<char>(option));
                break;
            case 'h':
                help();
                return kSuccess;
            case 'V':
                std::printf("tarnwell %s\n", TARNWELL_VERSION);
                return kSuccess;
            default:
                // getopt has printed its own diagnostic; the run stops.
                options.bad_option = true;
                break;
        }
    }
    const Job job = job_of(options);
    catch_signals();
    int status = run_job(run, job, argc - optind, argv + optind);
    if (const int signal = tty_interrupted(); signal != 0) {
        log_message(1, 9, "tarnwell", "main", "Interrupted by signal %d (%s)", signal,
                    strsignal(signal));
        run.report.stage = "interrupted";
        status = 128 + signal;
    }

    if (options.report_path != nullptr) {
        RunReport& report = run.report;
        report.job = job_name(job);
        report.tty = options.tty_path != nullptr ? options.tty_path : "";
        report.config = options.config_path;
        report.status = status;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        append_report(options.report_path, report_line(report));
    }
    return status;
}
