// Helpers for the configuration and logger tests: what a call writes on
// standard error, and a configuration file to load.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

// Points descriptor 2 at a temporary file until text() is called, so stdio
// and direct writes are both caught.
class StderrCapture {
  public:
    StderrCapture() : file_(tmpfile()) {
        fflush(stderr);
        if (file_ != nullptr) saved_ = dup(2);
        if (saved_ >= 0) dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        if (file_ != nullptr) fclose(file_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written since construction; ends the capture.
    std::string text() {
        restore();
        std::string result;
        if (file_ == nullptr) return result;
        rewind(file_);
        for (int c = fgetc(file_); c != EOF; c = fgetc(file_)) result += static_cast<char>(c);
        return result;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

    FILE* file_;
    int saved_ = -1;
};

// A temporary file holding content, removed with the object.
class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/tarnwell_config_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return;
        if (write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size())) {
            path_ = name;
        } else {
            unlink(name);  // an empty path makes the test's load fail visibly
        }
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
