// The read-out file of -r: written to a temporary file beside its
// destination and renamed over it only when the whole read succeeded.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

// The read-out goes to a temporary file beside its destination, so that a
// failed read leaves nothing partial at the path the user named.
class ReadOutFile {
  public:
    explicit ReadOutFile(const char* path) : path_(path) {
        // What exists at the path must be a file that the rename can replace:
        // a directory never can, and a device or pipe must not be.
        if (struct stat info; stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
            error_ = S_ISDIR(info.st_mode) ? EISDIR : EEXIST;
            return;
        }
        std::string directory = ".";
        std::string name = path_;
        if (size_t slash = path_.rfind('/'); slash != std::string::npos) {
            directory = slash == 0 ? "/" : path_.substr(0, slash);
            name = path_.substr(slash + 1);
        }
        temporary_ = directory + "/." + name + ".XXXXXX";
        int fd = mkstemp(temporary_.data());
        if (fd < 0) {
            error_ = errno;
            temporary_.clear();
            return;
        }
        // mkstemp makes the file private; the result gets the usual mode.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        stream_ = fdopen(fd, "w");
        if (stream_ == nullptr) {
            error_ = errno;
            close(fd);
        }
    }
    ~ReadOutFile() {
        if (stream_ != nullptr) std::fclose(stream_);
        if (!temporary_.empty()) unlink(temporary_.c_str());
    }
    ReadOutFile(const ReadOutFile&) = delete;
    ReadOutFile& operator=(const ReadOutFile&) = delete;

    FILE* stream() const { return stream_; }
    int error() const { return error_; }
    // Writes the file out and moves it to its path; false (errno) on failure.
    bool commit() {
        bool written = std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0;
        written = std::fclose(stream_) == 0 && written;
        stream_ = nullptr;
        if (!written || std::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
        temporary_.clear();
        return true;
    }

  private:
    std::string path_;
    std::string temporary_;
    FILE* stream_ = nullptr;
    int error_ = 0;
};
