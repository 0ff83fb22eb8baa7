// Helpers for the configuration and logger tests: what a call writes on
// standard error, and a configuration file to load.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

// Everything body wrote on standard error; gtest points descriptor 2 at a
// file meanwhile, so stdio and direct writes are both caught.
template <typename Body>
std::string stderr_of(Body&& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

// A temporary file holding content, removed with the object.
class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/tarnwell_config_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return;
        path_ = name;  // a short write leaves the file for the test's load to reject
        if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            ADD_FAILURE() << "short write to " << path_;
        close(fd);
    }
    ~TempFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};
