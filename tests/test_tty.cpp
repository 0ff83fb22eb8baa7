// The serial port against a real pseudo-terminal; the test holds the master.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>

#include <cstring>
#include <string>
#include <thread>

#include "icd2/tty.h"
#include "pty_peer.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class TtyTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(fd = tty_open(peer.path(), 19200), 0); }
    void TearDown() override { close(fd); }

    PtyPeer peer;
    int fd = -1;
};

TEST_F(TtyTest, OpenFailureLogsWithPathAndLeavesNothingOpen) {
    for (auto [path, speed, result, line] : {
             std::tuple<std::string, unsigned, int, const char*>{
                 "/nonexistent/ttyICD", 19200, -1,
                 " 1 1 ERROR   [icd2] [tty_open] Unbale to open serial port: "},
             {"/dev/null", 19200, -2, " 1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: "},
             {peer.path(), 12345, -4,
              " 1 4 ERROR   [icd2] [tty_open] Unbale to set baud rate for port: "},
         }) {
        CaptureStderr();  // first, so that its own file does not take the number
        const int free_before = lowest_free_fd();
        EXPECT_EQ(tty_open(path.c_str(), speed), result);
        EXPECT_EQ(lowest_free_fd(), free_before) << path;
        EXPECT_TRUE(Contains(GetCapturedStderr(), line + path + " Reason: "));
    }
}

// Each failing operation logs its own line and gives the port up. A pty has
// no modem lines, so both DTR requests fail there; a pipe is no tty.
TEST_F(TtyTest, FailuresLogTheirLineAndCloseThePort) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    close(pipe_ends[1]);
    CaptureStderr();  // first, so that its own file does not take a closed number
    const int ports[] = {tty_open(peer.path(), 19200), tty_open(peer.path(), 19200),
                         tty_open(peer.path(), 19200), pipe_ends[0], fd};
    EXPECT_EQ(tty_set_baud(ports[0], 12345), 3);
    EXPECT_EQ(tty_dtr(ports[1], 5), 1);
    EXPECT_EQ(tty_dtr(ports[2], 0), 2);
    EXPECT_EQ(tty_flush(ports[3]), 2);
    peer.hang_up();
    EXPECT_EQ(tty_write(ports[4], "07", 2), 1);
    for (int port : ports) EXPECT_FALSE(is_open(port)) << port;
    EXPECT_EQ(tty_set_baud(ports[0], 57600), 1);
    const std::string log = GetCapturedStderr();
    for (const char* line : {
             " 1 4 ERROR   [icd2] [tty_set_baud] Unbale to set baud rate for port, Reason: 22 "
             "Invalid argument\n",
             " 1 1 ERROR   [icd2] [tty_dtr] Unbale to set DTR, Reason: 25 ",
             " 1 2 ERROR   [icd2] [tty_dtr] Unbale to clear DTR, Reason: 25 ",
             " 1 2 ERROR   [icd2] [tty_flush] Unbale to open flush port, Reason: 25 ",
             " 1 1 ERROR   [icd2] [tty_write] Unbale to write, Reason: 5 Input/output error\n",
             " 1 1 ERROR   [icd2] [tty_set_baud] Unbale to drain port, Reason: 9 Bad file "
             "descriptor\n",
         })
        EXPECT_TRUE(Contains(log, line));
}

// Without a wait an empty line fails at once; with one it times out after it.
TEST_F(TtyTest, GetcFailsAfterItsWaitWithPortOpen) {
    CaptureStderr();
    EXPECT_GE(elapsed_ms([&] { EXPECT_EQ(tty_getc(fd, 1), -1); }), 900);
    EXPECT_LT(elapsed_ms([&] { EXPECT_EQ(tty_getc(fd, 0), -2); }), 500);
    const std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, " 2 1 WARNING [icd2] [tty_getc] Timeout during read\n"));
    EXPECT_TRUE(Contains(log, " 1 2 ERROR   [icd2] [tty_getc] Error during read, Reason: "));
    EXPECT_TRUE(is_open(fd));
}

// A terminator follows the bytes read, unless a byte did not come.
TEST_F(TtyTest, ReadTerminatesAfterCountBytesOrKeepsThemOnTimeout) {
    peer.send("ABCDA");
    char buffer[6] = "xxxxx";
    EXPECT_EQ(tty_read(fd, buffer, 3, 1) + tty_read(fd, buffer + 4, 0, 1), 0);
    EXPECT_EQ(std::string(buffer, 5), std::string("ABC\0\0", 5));
    EXPECT_EQ(tty_getc(fd, 1), 'D');
    std::memset(buffer, 'x', 5);
    CaptureStderr();
    EXPECT_EQ(tty_read(fd, buffer, 3, 1), -1);
    GetCapturedStderr();
    EXPECT_EQ(std::string(buffer, 5), "Axxxx");
}

TEST_F(TtyTest, OpenLeavesLineRawAndSetBaudChangesOnlyTheSpeed) {
    termios t{}, after{};
    ASSERT_EQ(tcgetattr(peer.master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | HUPCL | CSTOPB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(t.c_iflag & (ISTRIP | INPCK | INLCR | IGNCR | ICRNL | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP), 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    EXPECT_EQ(tty_set_baud(fd, 57600), 0);
    ASSERT_EQ(tcgetattr(peer.master(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B57600));
    EXPECT_EQ(after.c_cflag & ~CBAUD, t.c_cflag & ~CBAUD);
    EXPECT_EQ(after.c_lflag, t.c_lflag);
}

// Every byte value, 0xFF included, which is no failure; a flush drops what
// the host has not read.
TEST_F(TtyTest, BytesTravelUntranslatedAndFlushDropsTheRest) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    EXPECT_EQ(tty_write(fd, all.data(), all.size()) + tty_write(fd, "", 0), 0);
    EXPECT_EQ(peer.take_all(), all);
    peer.send(all + "stale");
    for (int i = 0; i < 256; ++i) EXPECT_EQ(tty_getc(fd, 1), i);
    EXPECT_EQ(tty_flush(fd), 0);
    CaptureStderr();
    EXPECT_EQ(tty_getc(fd, 0), -2);
    GetCapturedStderr();
}

// A device that takes a long buffer in pieces: a slow reader on a small
// blocking pipe interrupts each write it has made room for, so that the
// write returns what it managed so far.
TEST(TtyWrite, PartialWritesSendEveryByteOnceInOrder) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    struct sigaction interrupt = {}, saved = {};
    interrupt.sa_handler = [](int) {};
    interrupt.sa_flags = SA_RESTART;  // a write interrupted before any byte starts over
    ASSERT_EQ(sigaction(SIGUSR1, &interrupt, &saved), 0);
    std::string data(64 * 1024, '\0'), received;
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    std::thread reader([&received, from = ends[0], writer = pthread_self()] {
        char buffer[700];
        for (ssize_t got; (got = read(from, buffer, sizeof buffer)) > 0;
             pthread_kill(writer, SIGUSR1))
            received.append(buffer, static_cast<size_t>(got));
    });
    EXPECT_EQ(tty_write(ends[1], data.data(), data.size()), 0);
    close(ends[1]);
    reader.join();
    close(ends[0]);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(received == data) << received.size() << " bytes arrived, not in order";
}

}  // namespace
