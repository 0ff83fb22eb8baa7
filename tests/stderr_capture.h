// Helpers for the configuration and logger tests: what a call writes on
// standard error, and a fixture that loads configuration text.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config/config.h"
#include "config/data_base_testing.h"
#include "log/log.h"

// Everything body wrote on standard error; gtest points descriptor 2 at a
// file meanwhile, so stdio and direct writes are both caught.
template <typename Body>
std::string stderr_of(Body&& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// Leaves the process-wide configuration and logger state as it found them.
class ConfigTest : public testing::Test {
  protected:
    void TearDown() override {
        log_no_config(-1);
        data_base_fail_allocation(0);
        free_config();
        std::remove(path.c_str());
    }
    // Loads content from a file; returns what the loader wrote on standard error.
    std::string load(const std::string& content) {
        std::ofstream(path) << content;
        return stderr_of([this] { EXPECT_EQ(load_config(path.c_str()), 0); });
    }
    const std::string path = testing::TempDir() + "tarnwell" + std::to_string(getpid()) + ".config";
};
