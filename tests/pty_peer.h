// The far end of a pseudo-terminal, and the small helpers of the serial line tests: the code under
// test opens path() like any serial port, and the test plays the ICD2 on the master side.
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
    // Discards what the host has not read yet; its reads then end at once and its writes fail.
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

// "[LLbodyCC]" as the ICD2 sends it, or "<LLtextCC>" as the host does: LL the
// whole frame's length, CC the sum of the length digits and the body.
inline std::string frame(std::string_view body, char open = '[', char close = ']') {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(body.size() + 6));
    const std::string summed = digits + std::string(body);
    unsigned sum = 0;
    for (const char c : summed) sum += static_cast<unsigned char>(c);
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return open + summed + digits + close;
}

template <typename F>
long elapsed_ms(F&& f) {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    f();
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

inline testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}
