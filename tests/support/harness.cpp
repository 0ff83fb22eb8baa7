#include "support/harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hex/hex.h"

namespace harness {
namespace {

std::string make_temp_dir() {
    char pattern[] = "/tmp/tarnwell-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void remove_tree(const std::string& dir) {
    std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

// Runs argv with stdout and stderr into files; returns the exit status
// (128 + signal when killed).
int run_program(const std::vector<std::string>& argv, const std::string& out_path,
                const std::string& err_path) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// The words of an Intel HEX dump by effective word address.
std::map<uint32_t, int> read_memory(const std::string& path) {
    std::map<uint32_t, int> memory;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return memory;
    HexRecord* list = nullptr;
    int result = readHexFile(file, &list);
    std::fclose(file);
    if (result != 0) throw std::runtime_error("simulator dump does not parse: " + path);
    uint32_t upper = 0;
    for (HexRecord* record = list; record != nullptr; record = record->next) {
        if (record->type == 4 && record->count >= 1) {
            uint32_t word = static_cast<uint32_t>(record->data[0]);
            upper = ((word & 0xFF) << 8) | (word >> 8);
        } else if (record->type == 0) {
            uint32_t base = (upper << 15) + static_cast<uint32_t>(record->address);
            for (int i = 0; i < record->count; ++i) memory[base + i] = record->data[i];
        }
    }
    freeHexList(&list);
    return memory;
}

// Runs argv with its output collected in dir, and times it.
Result timed_run(const std::vector<std::string>& argv, const std::string& dir) {
    Result run;
    auto start = std::chrono::steady_clock::now();
    run.status = run_program(argv, dir + "/out", dir + "/err");
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.out = read_file(dir + "/out");
    run.err = read_file(dir + "/err");
    return run;
}

}  // namespace

Result run_tarnwell(const std::vector<std::string>& args) {
    std::string dir = make_temp_dir();
    std::vector<std::string> argv{TARNWELL_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    Result run = timed_run(argv, dir);
    remove_tree(dir);
    return run;
}

Result run_with_sim(const SimRun& setup) {
    std::string dir = make_temp_dir();
    write_file(dir + "/tarnwell.config", setup.config);
    write_file(dir + "/image.hex", setup.hex);
    std::vector<std::string> argv{ICD2SIM_BIN, "--transcript", dir + "/transcript", "--dump",
                                  dir + "/dump.hex"};
    if (!setup.use_preload) argv.insert(argv.end(), {"--preload", "/nonexistent/none.so"});
    if (!setup.initial_memory.empty()) {
        write_file(dir + "/initial.hex", setup.initial_memory);
        argv.insert(argv.end(), {"--load", dir + "/initial.hex"});
    }
    for (const std::string& setting : setup.settings) argv.insert(argv.end(), {"--set", setting});
    argv.insert(argv.end(), {"--", TARNWELL_BIN, "-c", dir + "/tarnwell.config", "-t", "@"});
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    argv.push_back(dir + "/image.hex");

    Result run = timed_run(argv, dir);
    run.transcript = read_file(dir + "/transcript");
    run.memory = read_memory(dir + "/dump.hex");
    remove_tree(dir);
    return run;
}

std::string hex_line(int type, uint32_t byte_address, const std::vector<uint8_t>& bytes) {
    char field[16];
    std::string line = ":";
    unsigned sum = static_cast<unsigned>(bytes.size()) + ((byte_address >> 8) & 0xFF) +
                   (byte_address & 0xFF) + static_cast<unsigned>(type);
    std::snprintf(field, sizeof field, "%02X%04X%02X", static_cast<unsigned>(bytes.size()),
                  byte_address & 0xFFFF, type);
    line += field;
    for (uint8_t byte : bytes) {
        std::snprintf(field, sizeof field, "%02X", byte);
        line += field;
        sum += byte;
    }
    std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + field;
}

std::string hex_words(uint32_t word_address, const std::vector<int>& words) {
    std::vector<uint8_t> bytes;
    for (int word : words) {
        bytes.push_back(static_cast<uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<uint8_t>((word >> 8) & 0xFF));
    }
    return hex_line(0, word_address * 2, bytes);
}

std::string hex_upper(uint32_t upper) {
    return hex_line(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

std::vector<std::string> commands(const std::string& transcript) {
    std::vector<std::string> result;
    std::istringstream lines(transcript);
    std::string line;
    while (std::getline(lines, line)) {
        // "CMD #<n> <text>"
        if (line.rfind("CMD ", 0) != 0) continue;
        size_t space = line.find(' ', 4);
        if (space != std::string::npos) result.push_back(line.substr(space + 1));
    }
    return result;
}

int count_commands(const std::string& transcript, const std::string& code) {
    int count = 0;
    for (const std::string& command : commands(transcript)) {
        if (command.rfind(code, 0) == 0) ++count;
    }
    return count;
}

int count_lines(const std::string& text, const std::string& needle) {
    int count = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(needle) != std::string::npos) ++count;
    }
    return count;
}

std::string write_temp_file(const std::string& name, const std::string& text) {
    // Removed when the test program ends.
    static struct Cleanup {
        std::vector<std::string> dirs;
        ~Cleanup() {
            for (const std::string& dir : dirs) remove_tree(dir);
        }
    } cleanup;
    cleanup.dirs.push_back(make_temp_dir());
    std::string path = cleanup.dirs.back() + "/" + name;
    write_file(path, text);
    return path;
}

std::string default_config() {
    return "# The simulator's default device: one family, one processor.\n"
           "family/sim16/id = 3\n"
           "family/sim16/firmware/id = 5\n"
           "family/sim16/address/chipid/start = 8198\n"
           "family/sim16/id/mask = 16352\n"
           "family/sim16/address/prog/start = 0\n"
           "family/sim16/address/id/start = 8192\n"
           "family/sim16/address/id/size = 4\n"
           "family/sim16/address/config/start = 8199\n"
           "family/sim16/address/config/size = 1\n"
           "family/sim16/address/eeprom/start = 8448\n"
           "processor/SIM16A/family = sim16\n"
           "processor/SIM16A/id/value = 3392\n"
           "processor/SIM16A/address/prog/size = 8192\n"
           "processor/SIM16A/address/eeprom/size = 256\n";
}

}  // namespace harness
