// The far end of a pseudo-terminal: the code under test opens path() like
// any serial port, and the test plays the ICD2 on the master side.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

class PtyPeer {
  public:
    PtyPeer() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        if (const char* name = ptsname(master_)) path_ = name;
        // After the last slave descriptor closes the master reads only EIO;
        // this one outlives every close the code under test makes.
        keep_open_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~PtyPeer() {
        hang_up();
        if (keep_open_ >= 0) close(keep_open_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const char* path() const { return path_.c_str(); }
    int master() const { return master_; }
    void send(std::string_view bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything the host wrote until it has been quiet for quiet_ms.
    std::string take_all(int quiet_ms = 100) const {
        std::string bytes;
        pollfd p{master_, POLLIN, 0};
        char buffer[256];
        for (ssize_t got = 0; poll(&p, 1, quiet_ms) > 0 && (got = read(master_, buffer, 256)) > 0;)
            bytes.append(buffer, static_cast<size_t>(got));
        return bytes;
    }
    // Discards what the host has not read yet; its reads then end at once
    // and its writes fail.
    void hang_up() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

  private:
    int master_;
    int keep_open_ = -1;
    std::string path_;
};

inline bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// The number the next open would get: a failed open that leaked its
// descriptor makes it differ afterwards.
inline int lowest_free_fd() {
    const int fd = dup(0);
    if (fd >= 0) close(fd);
    return fd;
}

// open + digits + checksum + close, the checksum being the sum of the digits.
inline std::string checksummed(std::string_view digits, char open = '{', char close = '}') {
    unsigned sum = 0;
    for (char c : digits) sum += static_cast<unsigned char>(c);
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X", sum % 256);
    return open + std::string(digits) + checksum + close;
}

// "[LLbodyCC]" as the ICD2 sends it, or "<LLtextCC>" as the host does.
inline std::string frame(std::string_view body, char open = '[', char close = ']') {
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(body.size() + 6));
    return checksummed(length + std::string(body), open, close);
}

template <typename F>
long elapsed_ms(F&& f) {
    using std::chrono::steady_clock;
    const auto start = steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start)
        .count();
}

inline testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}
