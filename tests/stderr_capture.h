// What a call writes on standard error, and a fixture that loads configuration text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "config/config.h"
#include "config/data_base_testing.h"
#include "log/log.h"

// Everything body wrote on descriptor 2 (stdio or not), with the failing-th
// allocation of the key tree made to fail meanwhile (0: none).
template <typename Body>
std::string stderr_of(Body&& body, int failing = 0) {
    testing::internal::CaptureStderr();
    data_base_fail_allocation(failing);
    body();
    data_base_fail_allocation(0);
    return testing::internal::GetCapturedStderr();
}

// Leaves the process-wide configuration and logger state as it found them.
class ConfigTest : public testing::Test {
  protected:
    void TearDown() override {
        log_no_config(-1);
        free_config();
        std::remove(path.c_str());
    }
    // Loads content from a file; returns what the loader wrote on standard error.
    std::string load(const std::string& content, int failing = 0) {
        std::ofstream(path) << content;
        return stderr_of([this] { EXPECT_EQ(load_config(path.c_str()), 0); }, failing);
    }
    const std::string path = testing::TempDir() + "tarnwell" + std::to_string(getpid()) + ".config";
};
