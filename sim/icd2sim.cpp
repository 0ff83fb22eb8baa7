// icd2sim: an ICD2 and its target on a pseudo-terminal, for running the
// programmer without hardware. See README.md for the options.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "icd2sim_link.h"
#include "icd2sim_model.h"
#include "icd2sim_options.h"
#include "icd2sim_usage.h"

namespace {

using icd2sim::DeviceSettings;
using icd2sim::Link;
using icd2sim::Memory;
using icd2sim::print_help;
using icd2sim::print_usage;
using icd2sim::Transcript;

using icd2sim::input_error;
using icd2sim::kUsageStatus;
using icd2sim::Options;
using icd2sim::parse_options;
using icd2sim::settings_from;
using icd2sim::usage_error;
using Clock = std::chrono::steady_clock;

bool file_exists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

// --preload, else next to the executable, else where the build put it.
std::string find_preload(const std::string& requested) {
    std::string path = requested;
    if (path.empty()) {
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = '\0';
            std::string dir(exe);
            dir.resize(dir.rfind('/') + 1);
            path = dir + "libicd2sim_preload.so";
#ifdef ICD2SIM_INSTALLED_PRELOAD
            // An installed simulator keeps its library in a private directory,
            // given relative to the bin directory so a moved tree still works.
            if (!file_exists(path)) {
                const std::string installed = ICD2SIM_INSTALLED_PRELOAD;
                path = installed[0] == '/' ? installed : dir + installed;
            }
#endif
        }
#ifdef ICD2SIM_PRELOAD_BUILD
        if (!file_exists(path)) path = ICD2SIM_PRELOAD_BUILD;
#endif
    }
    char resolved[PATH_MAX];
    // The loader resolves a relative LD_PRELOAD against the child's directory.
    if (path.empty() || !file_exists(path) || !realpath(path.c_str(), resolved))
        input_error("preload library not found: " +
                    (path.empty() ? std::string("libicd2sim_preload.so") : path));
    return resolved;
}

// Signals reach the event loop through a pipe, so that poll wakes for them.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

class Simulator {
  public:
    Simulator(const Options& options, DeviceSettings settings)
        : options_(options),
          settings_(std::move(settings)),
          memory_(settings_),
          link_(settings_, memory_, transcript_, [this] { return line_speed(); }) {}

    ~Simulator() { cleanup(); }

    // Everything that can fail for bad input is done before anything runs.
    void prepare() {
        if (!options_.load_file.empty()) {
            const auto error = memory_.load_hex(options_.load_file);
            if (!error.empty()) input_error(error);
        }
        if (!options_.transcript_file.empty()) {
            const auto error = transcript_.open(options_.transcript_file);
            if (!error.empty()) input_error(error);
        }
        preload_ = find_preload(options_.preload);
        open_pty();
        open_control();
        install_signals();
    }

    int run_program() {
        child_ = fork();
        if (child_ < 0) fatal("fork");
        if (child_ == 0) exec_child();
        int status = 0;
        bool done = false;
        while (!done) {
            wait_for_events();
            for (int signo : take_signals()) {
                if (signo == SIGCHLD) {
                    if (waitpid(child_, &status, WNOHANG) == child_) done = true;
                } else {
                    kill(child_, signo);  // the child decides how to end
                }
            }
            service();
        }
        service();  // what the child wrote just before it ended
        finish();
        if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    }

    int run_linked() {
        struct stat st;
        if (lstat(options_.link_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                cleanup();
                input_error(options_.link_path + " exists and is not a symbolic link");
            }
            unlink(options_.link_path.c_str());
        }
        if (symlink(slave_path_.c_str(), options_.link_path.c_str()) != 0) {
            const std::string reason = std::strerror(errno);
            cleanup();
            input_error(options_.link_path + ": " + reason);
        }
        linked_ = true;
        std::printf("LD_PRELOAD=%s ICD2SIM_CONTROL=%s\n", preload_.c_str(), control_path_.c_str());
        std::fflush(stdout);
        bool done = false;
        while (!done) {
            wait_for_events();
            for (int signo : take_signals())
                if (signo == SIGINT || signo == SIGTERM || signo == SIGHUP) done = true;
            service();
        }
        finish();
        return 0;
    }

  private:
    [[noreturn]] void fatal(const char* what) {
        std::fprintf(stderr, "icd2sim: %s: %s\n", what, std::strerror(errno));
        cleanup();
        std::exit(kUsageStatus);
    }

    void open_pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            fatal("pseudo-terminal");
        char name[PATH_MAX];
        if (ptsname_r(master_, name, sizeof name) != 0) fatal("ptsname");
        slave_path_ = name;
        // Holding the slave open keeps the line and its settings alive while the
        // program closes and reopens its end between connection attempts.
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) fatal(name);
        struct termios tio;
        if (tcgetattr(slave_, &tio) != 0) fatal("tcgetattr");
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&tio, B19200);
        if (tcsetattr(slave_, TCSANOW, &tio) != 0) fatal("tcsetattr");
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        struct stat st;
        if (fstat(slave_, &st) != 0) fatal("fstat");
        slave_device_ = st.st_rdev;
    }

    void open_control() {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = (tmp && *tmp && std::strlen(tmp) < 60) ? tmp : "/tmp";
        std::string dir = base + "/icd2sim.XXXXXX";
        if (!mkdtemp(dir.data())) fatal("mkdtemp");
        control_dir_ = dir;
        control_path_ = dir + "/control";
        control_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (control_ < 0) fatal("socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", control_path_.c_str());
        if (bind(control_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fatal("bind");
    }

    void install_signals() {
        if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) fatal("pipe");
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        for (int signo : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
        signal(SIGPIPE, SIG_IGN);
    }

    [[noreturn]] void exec_child() {
        signal(SIGPIPE, SIG_DFL);
        const char* old = std::getenv("LD_PRELOAD");
        const std::string preload = old && *old ? preload_ + ":" + old : preload_;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv("ICD2SIM_CONTROL", control_path_.c_str(), 1);
        std::vector<std::string> args = options_.program;
        for (auto& arg : args)
            if (arg == "@") arg = slave_path_;
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "icd2sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }

    void wait_for_events() {
        pollfd fds[3] = {{signal_pipe[0], POLLIN, 0}, {control_, POLLIN, 0}, {master_, POLLIN, 0}};
        if (!pending_output_.empty()) fds[2].events |= POLLOUT;
        timespec timeout{};
        timespec* wait = nullptr;
        if (!scheduled_.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                scheduled_.front().due - Clock::now());
            const long long ns = std::max<long long>(0, left.count());
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            wait = &timeout;
        }
        if (ppoll(fds, 3, wait, nullptr) < 0 && errno != EINTR) fatal("poll");
    }

    // With --pace a byte occupies the line for ten bit times (start, eight
    // data bits, stop) at the speed in force.
    Clock::duration byte_time(unsigned speed) const {
        if (!options_.pace || speed == 0) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(10) * 1000000 /
                                                           speed);
    }

    // What the link produced at once is one answer to the program, held for
    // --latency before its first byte goes.
    void schedule(const std::vector<Link::Output>& outputs) {
        if (!outputs.empty() && options_.latency_us > 0)
            line_free_ =
                std::max(line_free_, Clock::now()) + std::chrono::microseconds(options_.latency_us);
        for (const auto& output : outputs) {
            line_free_ =
                std::max(line_free_, Clock::now()) + std::chrono::microseconds(output.delay_us);
            for (char byte : output.bytes) {
                line_free_ += byte_time(output.speed);
                scheduled_.push_back({line_free_, byte});
            }
        }
    }

    void release_due_bytes() {
        const auto now = Clock::now();
        while (!scheduled_.empty() && scheduled_.front().due <= now) {
            pending_output_.push_back(scheduled_.front().byte);
            scheduled_.pop_front();
        }
    }

    std::vector<int> take_signals() {
        std::vector<int> signals;
        unsigned char byte;
        while (read(signal_pipe[0], &byte, 1) == 1) signals.push_back(byte);
        return signals;
    }

    // The pty is read before the DTR reports are collected: any edge the
    // program made before writing those bytes is then certainly among the
    // reports, and the reports are handed over first.
    void service() {
        std::string received;
        if (master_ >= 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(master_, buffer, sizeof buffer)) > 0)
                received.append(buffer, static_cast<size_t>(n));
        }
        char message[128];
        ssize_t n;
        while ((n = recv(control_, message, sizeof message - 1, 0)) > 0) {
            message[n] = '\0';
            int raised = 0;
            unsigned long long device = 0;
            if (std::sscanf(message, "DTR %d %llu", &raised, &device) != 2) {
                transcript_.line("NOTE control message ignored: " + icd2sim::escape(message));
            } else if (device != slave_device_) {
                transcript_.line("NOTE DTR report for another pty ignored");
            } else {
                link_.dtr(raised != 0);
            }
        }
        if (!received.empty()) {
            // The bytes are acted on at once, but under --pace the answer cannot
            // start before they would have finished arriving.
            line_free_ =
                std::max(line_free_, Clock::now()) + received.size() * byte_time(link_.speed());
            link_.receive(received);
        }
        schedule(link_.take_output());
        release_due_bytes();
        if (link_.vanished() && master_ >= 0) {
            // The device is gone: the program's end of the line hangs up.
            close(master_);
            close(slave_);
            master_ = slave_ = -1;
            pending_output_.clear();
            scheduled_.clear();
        }
        while (master_ >= 0 && !pending_output_.empty()) {
            const ssize_t written = write(master_, pending_output_.data(), pending_output_.size());
            if (written <= 0) break;  // full: poll reports when it can take more
            pending_output_.erase(0, static_cast<size_t>(written));
        }
    }

    unsigned line_speed() const {
        struct termios tio;
        if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) return 0;
        switch (cfgetospeed(&tio)) {
            case B1200:
                return 1200;
            case B2400:
                return 2400;
            case B4800:
                return 4800;
            case B9600:
                return 9600;
            case B19200:
                return 19200;
            case B38400:
                return 38400;
            case B57600:
                return 57600;
            case B115200:
                return 115200;
            case B230400:
                return 230400;
            default:
                return 1;  // some other rate: never one the ICD2 speaks
        }
    }

    void finish() {
        if (!options_.dump_file.empty()) {
            const auto error = memory_.dump_hex(options_.dump_file);
            if (!error.empty()) std::fprintf(stderr, "icd2sim: %s\n", error.c_str());
        }
        transcript_.flush_raw();
    }

    void cleanup() {
        if (linked_) {
            char target[PATH_MAX];
            const ssize_t n = readlink(options_.link_path.c_str(), target, sizeof target - 1);
            if (n > 0 && slave_path_ == std::string(target, static_cast<size_t>(n)))
                unlink(options_.link_path.c_str());
            linked_ = false;
        }
        if (!control_path_.empty()) {
            unlink(control_path_.c_str());
            rmdir(control_dir_.c_str());
            control_path_.clear();
        }
    }

    const Options& options_;
    DeviceSettings settings_;
    Memory memory_;
    Transcript transcript_;
    Link link_;
    std::string preload_;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    unsigned long long slave_device_ = 0;
    int control_ = -1;
    std::string control_dir_;
    std::string control_path_;
    pid_t child_ = -1;
    bool linked_ = false;
    std::string pending_output_;
    struct Scheduled {
        Clock::time_point due;
        char byte;
    };
    std::deque<Scheduled> scheduled_;
    Clock::time_point line_free_{};
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    Simulator simulator(options, settings_from(options));
    simulator.prepare();
    return options.link_path.empty() ? simulator.run_program() : simulator.run_linked();
}
