// The serial port against a real pseudo-terminal; the test holds the master.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "icd2/tty.h"
#include "pty_peer.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class TtyTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ready());
        fd = tty_open(peer.path(), 19200);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (is_open(fd)) close(fd);
    }

    PtyPeer peer;
    int fd = -1;
};

TEST_F(TtyTest, OpenFailureLogsWithPathAndLeavesNothingOpen) {
    const struct {
        const char* path;  // null: the pty
        unsigned int speed;
        int result;
        const char* line;
    } cases[] = {
        {"/nonexistent/ttyICD", 19200, -1,
         " 1 1 ERROR   [icd2] [tty_open] Unbale to open serial port: "},
        {"/dev/null", 19200, -2, " 1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: "},
        {nullptr, 12345, -4, " 1 4 ERROR   [icd2] [tty_open] Unbale to set baud rate for port: "},
    };
    for (const auto& c : cases) {
        const std::string path = c.path != nullptr ? c.path : peer.path();
        CaptureStderr();  // first, so that its own file does not take the number
        const int free_before = lowest_free_fd();
        EXPECT_EQ(tty_open(path.c_str(), c.speed), c.result);
        EXPECT_EQ(lowest_free_fd(), free_before) << path;
        EXPECT_TRUE(Contains(GetCapturedStderr(), c.line + path + " Reason: "));
    }
}

// Each failing operation logs its own line and gives the port up.
TEST_F(TtyTest, FailuresCloseThePort) {
    CaptureStderr();
    EXPECT_EQ(tty_set_baud(fd, 12345), 3);
    EXPECT_FALSE(is_open(fd));
    EXPECT_EQ(tty_set_baud(fd, 57600), 1);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(tty_flush(ends[0]), 2);
    EXPECT_FALSE(is_open(ends[0]));
    close(ends[1]);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log,
                         " 1 4 ERROR   [icd2] [tty_set_baud] Unbale to set baud rate for "
                         "port, Reason: 22 Invalid argument\n"));
    EXPECT_TRUE(Contains(log,
                         " 1 1 ERROR   [icd2] [tty_set_baud] Unbale to drain port, Reason: "
                         "9 Bad file descriptor\n"));
    EXPECT_TRUE(Contains(log,
                         " 1 2 ERROR   [icd2] [tty_flush] Unbale to open flush port, Reason: "
                         "25 Inappropriate ioctl for device\n"));
}

// A pty has no modem lines, so both DTR requests fail there; the result and
// the line show which request was made.
TEST_F(TtyTest, DtrFailsOnPtyAndClosesPort) {
    for (int flag : {1, 5, 0}) {
        int port = tty_open(peer.path(), 19200);
        CaptureStderr();
        EXPECT_EQ(tty_dtr(port, flag), flag != 0 ? 1 : 2);
        EXPECT_TRUE(
            Contains(GetCapturedStderr(),
                     flag != 0 ? " 1 1 ERROR   [icd2] [tty_dtr] Unbale to set DTR, Reason: 25"
                               : " 1 2 ERROR   [icd2] [tty_dtr] Unbale to clear DTR, Reason: 25"));
        EXPECT_FALSE(is_open(port)) << flag;
    }
}

TEST_F(TtyTest, WriteToHungUpLineFailsAndClosesPort) {
    peer.hang_up();
    CaptureStderr();
    EXPECT_EQ(tty_write(fd, "07", 2), 1);
    EXPECT_TRUE(Contains(GetCapturedStderr(),
                         " 1 1 ERROR   [icd2] [tty_write] Unbale to write, "
                         "Reason: 5 Input/output error\n"));
    EXPECT_FALSE(is_open(fd));
}

// Without a wait an empty line fails at once; with one it times out after it.
TEST_F(TtyTest, GetcFailsAfterItsWaitWithPortOpen) {
    int result = 0;
    CaptureStderr();
    EXPECT_GE(elapsed_ms([&] { result = tty_getc(fd, 1); }), 900);
    EXPECT_EQ(result, -1);
    EXPECT_LT(elapsed_ms([&] { result = tty_getc(fd, 0); }), 500);
    EXPECT_EQ(result, -2);
    const std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, " 2 1 WARNING [icd2] [tty_getc] Timeout during read\n"));
    EXPECT_TRUE(Contains(log, " 1 2 ERROR   [icd2] [tty_getc] Error during read, Reason: "));
    EXPECT_TRUE(is_open(fd));
}

TEST_F(TtyTest, ReadTerminatesAfterCountBytesOrKeepsThemOnTimeout) {
    peer.send("ABCDA");
    char buffer[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(tty_read(fd, buffer, 3, 1), 0);
    EXPECT_EQ(std::string(buffer, 5), std::string("ABC\0x", 5));
    EXPECT_EQ(tty_read(fd, buffer, 0, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(tty_getc(fd, 1), 'D');
    std::memset(buffer, 'x', sizeof buffer);
    CaptureStderr();
    EXPECT_EQ(tty_read(fd, buffer, 3, 1), -1);  // no terminator after a timeout
    GetCapturedStderr();
    EXPECT_EQ(std::string(buffer, 5), "Axxxx");
}

TEST_F(TtyTest, OpenLeavesLineRawAndSetBaudChangesOnlyTheSpeed) {
    termios t = peer.settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | HUPCL | CSTOPB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(t.c_iflag & (ISTRIP | INPCK | INLCR | IGNCR | ICRNL | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    EXPECT_EQ(tty_set_baud(fd, 57600), 0);
    termios after = peer.settings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B57600));
    EXPECT_EQ(after.c_cflag & ~CBAUD, t.c_cflag & ~CBAUD);
    EXPECT_EQ(after.c_lflag, t.c_lflag);
}

TEST_F(TtyTest, FlushDiscardsPendingInput) {
    peer.send("stale");
    ASSERT_EQ(tty_getc(fd, 1), 's');  // the bytes have reached the host side
    EXPECT_EQ(tty_flush(fd), 0);
    CaptureStderr();
    EXPECT_EQ(tty_getc(fd, 1), -1);
    GetCapturedStderr();
}

TEST_F(TtyTest, BytesTravelUntranslatedBothWays) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(i % 256);
    EXPECT_EQ(tty_write(fd, data.data(), data.size()), 0);
    EXPECT_EQ(tty_write(fd, "", 0), 0);
    EXPECT_EQ(peer.take_all(), data);
    peer.send(std::string("\xFF\x00\x0D", 3));  // high bytes come back unsigned
    EXPECT_EQ(tty_getc(fd, 1), 255);
    EXPECT_EQ(tty_getc(fd, 1), 0);
    EXPECT_EQ(tty_getc(fd, 1), '\r');
}

}  // namespace
