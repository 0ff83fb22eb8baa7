// Starting and ending the simulator, running tarnwell under wait4, and
// reading the counts of the system-call counters.

#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util.h"

namespace bench {

std::string own_rss_kib() {
    FILE* in = std::fopen("/proc/self/status", "r");
    if (!in) return "?";
    char line[256];
    std::string rss = "?", anon = "?";
    while (std::fgets(line, sizeof line, in)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            rss = std::to_string(std::strtoul(line + 6, nullptr, 10));
        if (std::strncmp(line, "RssAnon:", 8) == 0)
            anon = std::to_string(std::strtoul(line + 8, nullptr, 10));
    }
    std::fclose(in);
    return rss + " KiB, " + anon + " KiB of it anonymous";
}

Simulator start_sim(const Paths& paths, bool pace, const std::vector<std::string>& extra) {
    int out[2];
    if (pipe(out) != 0) die_errno("pipe");
    std::vector<std::string> args = {paths.sim, "--device", paths.device, "--link",
                                     paths.work + "/tty"};
    if (pace) args.push_back("--pace");
    args.insert(args.end(), extra.begin(), extra.end());
    Simulator sim;
    sim.pid = fork();
    if (sim.pid < 0) die_errno("fork");
    if (sim.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    for (const std::string& word : split(line)) {
        if (word.rfind("LD_PRELOAD=", 0) == 0) sim.preload = word.substr(11);
        if (word.rfind("ICD2SIM_CONTROL=", 0) == 0) sim.control = word.substr(16);
    }
    if (sim.preload.empty() || sim.control.empty())
        die("icd2sim --link printed no environment: " + line);
    return sim;
}

// SIGTERM ends the linked simulator, which then writes its dump and transcript.
void stop_sim(Simulator& sim) {
    kill(sim.pid, SIGTERM);
    int status;
    while (waitpid(sim.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("icd2sim did not end cleanly");
}

Measure run(const Simulator& sim, const std::vector<std::string>& prefix,
            const std::vector<std::string>& args, const std::string& log_base) {
    std::vector<std::string> all = prefix;
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out_path = log_base + ".out", err_path = log_base + ".err";

    Measure m;
    const double start = now_seconds();
    const pid_t pid = fork();
    if (pid < 0) die_errno("fork");
    if (pid == 0) {
        setenv("LD_PRELOAD", sim.preload.c_str(), 1);
        setenv("ICD2SIM_CONTROL", sim.control.c_str(), 1);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    rusage usage{};
    int status = 0;
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) die_errno("wait4");
    m.wall = now_seconds() - start;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m.user = static_cast<double>(usage.ru_utime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec) * 1e-6;
    m.sys = static_cast<double>(usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
    m.cpu = m.user + m.sys;
    m.sleeps = usage.ru_nvcsw;
    m.peak_rss_kib = usage.ru_maxrss;
    return m;
}

bool file_contains(const std::string& path, const char* text) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return false;
    char buffer[4096];
    std::string tail;
    bool found = false;
    size_t n;
    while (!found && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        tail.append(buffer, n);
        found = tail.find(text) != std::string::npos;
        if (tail.size() > 256) tail.erase(0, tail.size() - 256);
    }
    std::fclose(in);
    return found;
}

bool runs(const std::vector<const char*>& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const char* a : command) argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// perf stat -x, writes "<count>,,raw_syscalls:sys_enter,..."; strace -c ends
// with "100.00 <seconds> <usecs/call> <calls> [<errors>] total".
long syscalls_from(const std::string& path, bool perf) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (!in) return -1;
    char line[512];
    long calls = -1;
    while (std::fgets(line, sizeof line, in)) {
        const std::vector<std::string> w = split(std::string(line, std::strcspn(line, "\n")));
        if (perf && std::strstr(line, "raw_syscalls:sys_enter"))
            calls = std::strtol(line, nullptr, 10);
        if (!perf && w.size() >= 5 && w.back() == "total")
            calls = std::strtol(w[3].c_str(), nullptr, 10);
    }
    std::fclose(in);
    return calls;
}

}  // namespace bench
