// The serial port against a real pseudo-terminal; the test holds the master.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <string>
#include <thread>

#include "icd2/tty.h"
#include "pty_peer.h"

using namespace testing::internal;

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
// no modem lines, so both DTR requests fail there; /dev/null is no tty.
TEST_F(TtyTest, FailuresLogTheirLineAndCloseThePort) {
    CaptureStderr();  // first, so that its own file does not take a closed number
    const int ports[] = {tty_open(peer.path(), 19200), tty_open(peer.path(), 19200),
                         tty_open(peer.path(), 19200), open("/dev/null", O_RDWR), fd};
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

// Every byte travels untranslated, 0xFF no failure. A read takes what came at
// once, a frame in two bursts whole, and nothing beyond count; a block that
// stops keeps what came, unterminated, when the wait runs out. A flush drops
// what the host has not read.
TEST_F(TtyTest, BytesTravelUntranslatedByTheBurstAndNothingBeyondCount) {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    EXPECT_EQ(tty_write(fd, all.data(), all.size()) + tty_write(fd, "", 0), 0);
    EXPECT_EQ(peer.take_all(), all);
    for (auto [first, later, count, result, kept, next] : {
             std::tuple<std::string, std::string, int, int, std::string, int>{all + "\xFF", "", 256,
                                                                              0, all + '\0', 0xFF},
             {"[0A07", "053D]X", 10, 0, std::string("[0A07053D]\0", 11), 'X'},
             {"FF3F34", "", 8, -1, "FF3F34xx", -2},
             {"", std::string("\0AB", 3), 3, 0, std::string("\0AB\0", 4),
              -2},  // a NUL after a wait
             {"stale", "", 0, 0, std::string("\0x", 2), 's'},
         }) {
        peer.send(first);
        std::thread icd2([this, later = later] {
            usleep(200000);
            peer.send(later);
        });
        std::string buffer(300, 'x');
        int received = -1, status = 1;
        CaptureStderr();
        const long waited = elapsed_ms([&, count = count] {
            status = tty_read_burst(fd, buffer.data(), count, 1, &received);
        });
        icd2.join();
        EXPECT_EQ(tty_getc(fd, 0), next);
        const std::string log = GetCapturedStderr();
        EXPECT_EQ(status, result) << first;
        EXPECT_EQ(received, result == 0 ? count : static_cast<int>(first.size())) << first;
        EXPECT_EQ(buffer.substr(0, kept.size()), kept);
        EXPECT_EQ(waited >= 900, result == -1) << waited;
        const auto logged = [&log](const char* line) { return log.find(line) != log.npos; };
        EXPECT_EQ(logged(" 2 1 WARNING [icd2] [tty_getc] Timeout during read\n"), result == -1);
        EXPECT_EQ(logged(" 1 2 ERROR   [icd2] [tty_getc] Error during read, Reason: "), next == -2);
    }
    EXPECT_EQ(tty_flush(fd), 0);  // what is left of "stale" is gone
    EXPECT_EQ(read(fd, all.data(), 1), 0);
}

// An announced burst is taken off the port with its first byte and handed
// out in order, before what comes later; taken bytes go with a flush, a close
// or an open, even when the new port gets the same number.
TEST_F(TtyTest, AnnouncedBurstIsTakenWholeAndGoesWithThePort) {
    char buffer[16] = {};
    int queued = -1;
    tty_expect(fd, 9);
    tty_expect(fd, 4);  // the larger announcement counts
    peer.send("[0847D3]{AB");
    EXPECT_EQ(tty_getc(fd, 1), '[');
    ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 2);  // "AB" was not announced
    std::thread icd2([this] { usleep(100000), peer.send("CD}"); });
    EXPECT_EQ(tty_read(fd, buffer, 12, 1), 0);
    icd2.join();
    EXPECT_STREQ(buffer, "0847D3]{ABCD");
    EXPECT_EQ(tty_getc(fd, 1), '}');
    for (bool reopen : {false, true}) {
        tty_expect(fd, 8);
        peer.send("[0847D3]");
        EXPECT_EQ(tty_getc(fd, 1), '[');
        if (reopen) {
            tty_close(fd);
            CaptureStderr();
            EXPECT_EQ(tty_getc(fd, 0), -2);  // closed, whatever it held
            EXPECT_TRUE(Contains(GetCapturedStderr(), "Bad file descriptor"));
        }
        EXPECT_EQ(reopen ? (fd = tty_open(peer.path(), 19200)) < 0 : tty_flush(fd), 0);
        peer.send("Z");
        EXPECT_EQ(tty_getc(fd, 1), 'Z');
    }
}

TEST_F(TtyTest, OpenLeavesLineRawAndSetBaudChangesOnlyTheSpeed) {
    termios t{}, after{};
    ASSERT_EQ(tcgetattr(peer.master(), &t), 0);
    EXPECT_EQ(std::pair(cfgetispeed(&t), cfgetospeed(&t)),
              std::pair(speed_t{B19200}, speed_t{B19200}));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | HUPCL | CSTOPB | CREAD | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(t.c_iflag & (ISTRIP | INPCK | INLCR | IGNCR | ICRNL | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP), 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
    EXPECT_EQ(tty_set_baud(fd, 57600), 0);
    ASSERT_EQ(tcgetattr(peer.master(), &after), 0);
    EXPECT_EQ(std::pair(cfgetispeed(&after), cfgetospeed(&after)),
              std::pair(speed_t{B57600}, speed_t{B57600}));
    EXPECT_EQ(after.c_cflag & ~CBAUD, t.c_cflag & ~CBAUD);
    EXPECT_EQ(after.c_lflag, t.c_lflag);
}

// A device that takes a long buffer in pieces: a slow reader on a small
// blocking pipe interrupts each write it has made room for, so that the
// write returns what it managed so far.
TEST(TtyWrite, PartialWritesSendEveryByteOnceInOrder) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    struct sigaction interrupt = {};
    interrupt.sa_handler = [](int) {};
    interrupt.sa_flags = SA_RESTART;  // a write interrupted before any byte starts over
    ASSERT_EQ(sigaction(SIGUSR1, &interrupt, nullptr), 0);
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
    EXPECT_TRUE(received == data) << received.size() << " bytes arrived, not in order";
}

}  // namespace
