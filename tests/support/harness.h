// Runs the real tarnwell binary, alone or against the ICD2 simulator on a
// pseudo-terminal, and collects what it printed, its status and what the
// simulator saw.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace harness {

struct Result {
    int status = -1;          // exit status of tarnwell (or of the simulator wrapping it)
    std::string out;          // standard output
    std::string err;          // standard error
    std::string transcript;   // the simulator's transcript ("" without simulator)
    std::map<uint32_t, int> memory;  // the simulator's memory at exit: word address -> word
    double seconds = 0;       // wall time of the run
};

struct SimRun {
    std::string config;                    // configuration file text
    std::string hex;                       // HEX image text
    std::vector<std::string> settings;     // simulator --set KEY=VALUE
    std::vector<std::string> args;         // extra tarnwell options, e.g. "-v"
    std::string initial_memory;            // Intel HEX loaded into the simulator first, or ""
    bool use_preload = true;
};

// Runs tarnwell with exactly these arguments, without a simulator.
Result run_tarnwell(const std::vector<std::string>& args);
// Runs "icd2sim ... -- tarnwell -c <config> -t @ <args> <hex>".
Result run_with_sim(const SimRun& setup);

// One Intel HEX record line (with "\n") of the given type at the byte
// address, checksummed.
std::string hex_line(int type, uint32_t byte_address, const std::vector<uint8_t>& bytes);
// A data record of 16-bit words at a word address, low byte first.
std::string hex_words(uint32_t word_address, const std::vector<int>& words);
// An extended linear address record for the upper half of byte addresses.
std::string hex_upper(uint32_t upper);
inline const char* hex_end() { return ":00000001FF\n"; }

// Number of "CMD" lines of the transcript whose command text starts with code.
int count_commands(const std::string& transcript, const std::string& code);
// Command texts of the transcript, in order.
std::vector<std::string> commands(const std::string& transcript);
// Number of lines of text containing needle.
int count_lines(const std::string& text, const std::string& needle);

// Writes text to a new file in a fresh temporary directory; returns its path.
std::string write_temp_file(const std::string& name, const std::string& text);

// The configuration that describes the simulator's default device, used by
// most end-to-end tests.
std::string default_config();

}  // namespace harness
