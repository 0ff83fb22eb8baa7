// Support for the driver's tests: Intel HEX images and the configuration of
// the simulator's device, and for the end-to-end runs the real tarnwell
// binary, alone or against icd2sim on a pseudo-terminal.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace harness {

// A data record of 16-bit words at a word address, low byte first.
std::string hex_words(uint32_t word_address, const std::vector<int>& words);
// An extended linear address record for the upper half of byte addresses.
std::string hex_upper(uint32_t upper);
inline const char* hex_end() {
    return ":00000001FF\n";
}
// The words of Intel HEX text by word address (records 00 and 04), decoded
// here rather than by the program's reader, which is under test.
std::map<uint32_t, int> hex_decode(const std::string& text);

// The configuration of the simulator's default device, processor SIM16A.
std::string default_config();
// Number of lines of text that contain needle.
int count_lines(const std::string& text, const std::string& needle);
// The command texts of a simulator transcript in order, each after a blank.
std::string commands(const std::string& transcript);
// Path of a new file holding text, removed when the test program ends.
std::string write_temp_file(const std::string& name, const std::string& text);

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    std::string transcript;  // the simulator's
    std::string dump;        // the simulator's memory at exit, Intel HEX
};
struct SimRun {
    std::string config;                 // configuration file text
    std::string hex;                    // HEX image text; "" for none
    std::vector<std::string> args;      // options before the HEX file, e.g. "-v"
    std::string device;                 // icd2sim --device FILE, or ""
    std::vector<std::string> settings;  // icd2sim --set KEY=VALUE
    std::string initial_memory;         // Intel HEX the simulator loads first, or ""
};

// Runs a program with exactly these arguments (argv[0] the program).
Result run_command(const std::vector<std::string>& argv);
// Runs tarnwell with exactly these arguments, without a simulator.
Result run_tarnwell(const std::vector<std::string>& args);
// Runs "icd2sim ... -- tarnwell -c <config> -t @ <args> <hex>".
Result run_with_sim(const SimRun& setup);

}  // namespace harness
