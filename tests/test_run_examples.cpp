// The README's main job: the bundled example configuration, simulated device
// and image, programmed and then verified. In the sanitizer build this also
// proves the job runs without leaks or undefined behaviour.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/harness.h"

namespace {

std::string read_example(const std::string& name) {
    std::ifstream file(std::string(SOURCE_DIR) + "/examples/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The simulated device's settings, as --set arguments.
std::vector<std::string> example_device() {
    std::vector<std::string> settings;
    std::istringstream lines(read_example("sim-device.conf"));
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        auto trim = [](std::string text) {
            text.erase(0, text.find_first_not_of(' '));
            text.erase(text.find_last_not_of(' ') + 1);
            return text;
        };
        settings.push_back(trim(line.substr(0, equals)) + "=" + trim(line.substr(equals + 1)));
    }
    return settings;
}

TEST(Examples, ProgramThenVerifyTheExampleImage) {
    harness::SimRun setup;
    setup.config = read_example("tarnwell.config");
    setup.hex = read_example("example.hex");
    setup.settings = example_device();
    ASSERT_FALSE(setup.settings.empty());

    harness::Result programmed = harness::run_with_sim(setup);
    EXPECT_EQ(programmed.status, 0) << programmed.err;
    EXPECT_TRUE(programmed.out.ends_with("\rProgramming TW14-B : Done Verifying : Passed        \n"))
        << programmed.out;
    // The firmware-6 family is passed over, the first firmware-5 part does
    // not match, the second does.
    EXPECT_EQ(harness::count_lines(programmed.err, "not compatible with current firmware"), 2);

    // The same part, now holding the image, verifies.
    std::string memory;
    uint32_t upper = 0;
    for (const auto& [address, word] : programmed.memory) {
        if ((address >> 15) != upper) {
            upper = address >> 15;
            memory += harness::hex_upper(upper);
        }
        memory += harness::hex_words(address & 0x7FFF, {word});
    }
    setup.initial_memory = memory + harness::hex_end();
    setup.args = {"-v"};
    harness::Result verified = harness::run_with_sim(setup);
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_TRUE(verified.out.ends_with("\rVerifying TW14-B : Passed          \n")) << verified.out;
    EXPECT_EQ(harness::count_commands(verified.transcript, "29"), 0);
}

}  // namespace
