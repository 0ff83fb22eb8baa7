// Support for the driver's tests: Intel HEX, the simulator's device's configuration, and runs of
// the real tarnwell binary, alone or against icd2sim on a pseudo-terminal.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace harness {

// A data record of 16-bit words at a word address, low byte first.
std::string hex_words(uint32_t word_address, const std::vector<int>& words);
inline const char* const kHexEnd = ":00000001FF\n";
// The words of Intel HEX text by word address (records 00 and 04), decoded here, not by the
// program's reader, which is under test.
std::map<uint32_t, int> hex_decode(const std::string& text);

// The configuration of the simulator's default device, processor SIM16A.
std::string default_config();
// Number of lines of text that contain needle.
int count_lines(const std::string& text, const std::string& needle);
// Path of a new file holding text, removed when the test program ends.
std::string write_temp_file(const std::string& name, const std::string& text);
std::string read_file(const std::string& path);

struct Result {
    int status = -1;
    std::string out, err;
    std::string transcript, dump;  // the simulator's, the dump its memory at exit as Intel HEX
};
struct SimRun {
    std::string config;                  // configuration file text
    std::string hex;                     // HEX image text; "" for none
    std::vector<std::string> args = {};  // options before the HEX file, e.g. "-v"
    std::vector<std::string> sim = {};   // icd2sim's own options, e.g. "--set", "KEY=VALUE"
};

// Runs a program with exactly these arguments (argv[0] the program).
Result run_command(const std::vector<std::string>& argv);
// Runs tarnwell with exactly these arguments, without a simulator.
inline Result run_tarnwell(std::vector<std::string> args) {
    args.insert(args.begin(), TARNWELL_BIN);
    return run_command(args);
}
// Runs "icd2sim ... -- tarnwell -c <config> -t @ <args> <hex>". With a signal, the simulator
// (which passes it on) gets it once tarnwell's output or log holds after; *seconds: from then to
// the end.
Result run_with_sim(const SimRun& setup, int signal = 0, const std::string& after = "",
                    double* seconds = nullptr);

}  // namespace harness
