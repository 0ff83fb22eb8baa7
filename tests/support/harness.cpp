#include "support/harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

static std::string hex_record(int type, uint32_t byte_address, std::vector<int> bytes) {
    bytes.insert(bytes.begin(),
                 {static_cast<int>(bytes.size()), static_cast<int>(byte_address >> 8),
                  static_cast<int>(byte_address), type});
    int sum = 0;
    for (int byte : bytes) sum += byte;
    bytes.push_back(-sum);
    std::string line = ":";
    char digits[3];
    for (int byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
        line += digits;
    }
    return line + "\n";
}

std::string hex_words(uint32_t word_address, const std::vector<int>& words) {
    std::vector<int> bytes;
    for (int word : words) bytes.insert(bytes.end(), {word & 0xFF, word >> 8 & 0xFF});
    return hex_record(0, word_address * 2, bytes);
}

std::map<uint32_t, int> hex_decode(const std::string& text) {
    std::map<uint32_t, int> words;
    std::istringstream lines(text);
    uint32_t upper = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 11) continue;
        auto byte = [&line](size_t i) { return std::stoi(line.substr(1 + 2 * i, 2), nullptr, 16); };
        if (byte(3) == 4) upper = byte(4) << 8 | byte(5);
        uint32_t base = (upper << 16 | byte(1) << 8 | byte(2)) / 2;
        for (int i = 0; byte(3) == 0 && 2 * i + 1 < byte(0); ++i)
            words[base + i] = byte(4 + 2 * i) | byte(5 + 2 * i) << 8;
    }
    return words;
}

std::string default_config() {
    return "family/sim16/id = 3\nfamily/sim16/firmware/id = 5\n"
           "family/sim16/address/chipid/start = 8198\nfamily/sim16/id/mask = 16352\n"
           "family/sim16/address/prog/start = 0\nfamily/sim16/address/id/start = 8192\n"
           "family/sim16/address/id/size = 4\nfamily/sim16/address/config/start = 8199\n"
           "family/sim16/address/config/size = 1\nfamily/sim16/address/eeprom/start = 8448\n"
           "processor/SIM16A/family = sim16\nprocessor/SIM16A/id/value = 3392\n"
           "processor/SIM16A/address/prog/size = 8192\n"
           "processor/SIM16A/address/eeprom/size = 256\n";
}

int count_lines(const std::string& text, const std::string& needle) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

std::string write_temp_file(const std::string& name, const std::string& text) {
    // One directory for every file of the test program.
    static const struct Dir {
        char path[32] = "/tmp/tarnwell-test-XXXXXX";
        Dir() {
            if (mkdtemp(path) == nullptr) throw std::runtime_error("mkdtemp failed");
        }
        ~Dir() { std::filesystem::remove_all(path); }
    } dir;
    static std::atomic<int> files = 0;  // tests may run programs from several threads
    std::string path = std::string(dir.path) + "/" + std::to_string(++files) + "-" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string read_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Through the shell, which becomes the program: no argument holds a quote. When signal is
// given, it is sent to the program once its standard output holds after, and *seconds gets the
// time from then to its end.
static Result run_command(const std::vector<std::string>& argv, int signal,
                          const std::string& after, double* seconds) {
    const std::string out = write_temp_file("out", ""), err = write_temp_file("err", "");
    std::string command = "exec ";
    for (const std::string& arg : argv) command += "'" + arg + "' ";
    command += "</dev/null >" + out + " 2>" + err;
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto sent = std::chrono::steady_clock::now();
    int status = 0;
    bool ended = false;
    while (signal != 0 && !(ended = waitpid(pid, &status, WNOHANG) == pid)) {
        if ((read_file(out) + read_file(err)).find(after) != std::string::npos) {
            kill(pid, signal);
            sent = std::chrono::steady_clock::now();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) waitpid(pid, &status, 0);
    if (seconds != nullptr)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    Result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

Result run_command(const std::vector<std::string>& argv) {
    return run_command(argv, 0, "", nullptr);
}

Result run_with_sim(const SimRun& setup, int signal, const std::string& after, double* seconds) {
    const std::string transcript = write_temp_file("transcript", ""),
                      dump = write_temp_file("d", "");
    std::vector<std::string> argv{ICD2SIM_BIN, "--transcript", transcript, "--dump", dump};
    argv.insert(argv.end(), setup.sim.begin(), setup.sim.end());
    argv.insert(argv.end(),
                {"--", TARNWELL_BIN, "-c", write_temp_file("c.config", setup.config), "-t", "@"});
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    if (!setup.hex.empty()) argv.push_back(write_temp_file("image.hex", setup.hex));
    Result result = run_command(argv, signal, after, seconds);
    result.transcript = read_file(transcript);
    result.dump = read_file(dump);
    return result;
}

}  // namespace harness
