// The ICD2's serial line and link: first the serial port against a real pseudo-terminal, the
// test holding the master; then the link, the test playing the ICD2 on the far end of a socket
// pair that stands in for the serial line, queueing its bytes and checking the host's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "icd2/icd2.h"
#include "icd2/tty.h"
#include "pty_peer.h"

using namespace testing::internal;

namespace {

class TtyTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_GE(fd = tty_open(peer.path(), 19200), 0); }
    void TearDown() override { tty_close(fd); }

    PtyPeer peer;
    int fd = -1;
};

// The fixture's port is another's to a second open: refused, and still working.
TEST_F(TtyTest, OpenFailureLogsWithPathAndLeavesNothingOpen) {
    PtyPeer free;
    for (auto [path, speed, result, line] : {
             std::tuple<std::string, unsigned, int, const char*>{
                 "/dev/null", 19200, -2,
                 " 1 2 ERROR   [icd2] [tty_open] Unbale to open flush port: "},
             {free.path(), 12345, -4,
              " 1 4 ERROR   [icd2] [tty_open] Unbale to set baud rate for port: "},
             {peer.path(), 19200, -6,
              " 1 1 ERROR   [icd2] [tty_open] Unbale to open serial port: "},
         }) {
        CaptureStderr();  // first, so that its own file does not take the number
        const int free_before = lowest_free_fd();
        EXPECT_EQ(tty_open(path.c_str(), speed), result);
        EXPECT_EQ(lowest_free_fd(), free_before) << path;
        EXPECT_TRUE(Contains(GetCapturedStderr(), line + path + " Reason: "));
        EXPECT_EQ(tty_in_use(path.c_str()), result == -6) << path;
    }
    EXPECT_EQ(tty_write(fd, "Z", 1), 0);
    EXPECT_EQ(peer.take_all(), "Z");
}

// Each failing operation logs its own line and gives the port up. A pty has
// no modem lines, so both DTR requests fail there; /dev/null is no tty.
TEST_F(TtyTest, FailuresLogTheirLineAndCloseThePort) {
    PtyPeer more[3];
    CaptureStderr();  // first, so that its own file does not take a closed number
    const int ports[] = {tty_open(more[0].path(), 19200), tty_open(more[1].path(), 19200),
                         tty_open(more[2].path(), 19200), open("/dev/null", O_RDWR), fd};
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

// The line is raw: every byte travels untranslated both ways, 0xFF no failure and a NUL no end of
// a read, and a flush drops what the host has not read. A new speed changes nothing else.
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
    std::string all(256, '\0'), back(257, 'x');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    EXPECT_TRUE(tty_write(fd, all.data(), all.size()) == 0 && peer.take_all() == all);
    peer.send(all + "stale");
    EXPECT_EQ(tty_read(fd, back.data(), 256, 1), 0);
    EXPECT_EQ(back, all + '\0');
    EXPECT_EQ(tty_flush(fd), 0);
    EXPECT_EQ(read(fd, back.data(), 1), 0);
    EXPECT_EQ(tty_set_baud(fd, 57600), 0);
    ASSERT_EQ(tcgetattr(peer.master(), &after), 0);
    EXPECT_EQ(std::pair(cfgetispeed(&after), cfgetospeed(&after)),
              std::pair(speed_t{B57600}, speed_t{B57600}));
    EXPECT_EQ(after.c_cflag & ~CBAUD, t.c_cflag & ~CBAUD);
    EXPECT_EQ(after.c_lflag, t.c_lflag);
}

// A line slower than the host: the write waits for room, through signals that
// cut its waits short, until every byte went once and in order.
TEST_F(TtyTest, FullQueueIsWaitedForUntilEveryByteWent) {
    signal(SIGUSR1, [](int) {});  // a select is never restarted: EINTR
    std::string data(64 * 1024, '\0'), received;
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    std::thread reader([&, writer = pthread_self()] {
        char buffer[512];
        pollfd p{peer.master(), POLLIN, 0};
        for (ssize_t got; received.size() < data.size() && poll(&p, 1, 6000) > 0 &&
                          (got = read(peer.master(), buffer, sizeof buffer)) > 0;
             usleep(1000), pthread_kill(writer, SIGUSR1))
            received.append(buffer, static_cast<size_t>(got));
    });
    EXPECT_EQ(tty_write(fd, data.data(), data.size()), 0);
    reader.join();
    EXPECT_TRUE(received == data) << received.size() << " bytes arrived, not in order";
}

// An interruption (a handler's, another thread's) ends a wait at once, silently; then nothing is
// paused for, sent, read or opened, and the port stays open. Taking it back (0) restores the line.
TEST_F(TtyTest, InterruptionEndsEveryWaitAndSendsNothing) {
    signal(SIGALRM, [](int signal) { tty_interrupt(signal); });
    char buffer[4];
    CaptureStderr();
    for (const int signal : {SIGALRM, SIGTERM}) {
        std::thread other([signal, waiting = pthread_self()] {
            usleep(300000);
            signal == SIGALRM ? (void)pthread_kill(waiting, signal) : tty_interrupt(signal);
        });
        const long waited = elapsed_ms([&] {
            EXPECT_EQ(tty_read(fd, buffer, 3, 5), -3);
            tty_sleep_ms(5000);
        });
        other.join();
        peer.send("X");
        EXPECT_EQ(std::tuple(tty_getc(fd, 1), tty_write(fd, "07", 2), tty_open(peer.path(), 19200),
                             tty_interrupted(), waited < 2000),
                  std::tuple(-3, 1, -1, signal, true));
        tty_interrupt(0);
        EXPECT_EQ(tty_getc(fd, 1), 'X');
    }
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(peer.take_all(), "");
}

class Icd2Test : public testing::Test {
  protected:
    void SetUp() override { port(); }
    void TearDown() override {
        close(icd2);
        if (is_open(fd)) tty_close(fd);
        serial_fd = -1;
    }
    // A new line: the host's end, non-blocking like the real port. On a
    // SOCK_SEQPACKET line each write arrives on its own.
    int port(int type = SOCK_STREAM) {
        if (is_open(fd)) tty_close(fd);
        close(icd2);
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, type, 0, ends), 0);
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        icd2 = ends[1];
        return fd = serial_fd = ends[0];
    }
    // Byte by byte; with last the ICD2 then says nothing ever, so reads meet
    // the end of the line at once.
    void send(const std::string& bytes, bool last = false) const {
        for (const char c : bytes) ASSERT_EQ(write(icd2, &c, 1), 1);
        if (last) shutdown(icd2, SHUT_WR);
    }
    // What the host wrote, with "|" between the writes that arrived apart.
    std::string sent() const {
        std::string bytes;
        char buffer[512];
        for (ssize_t n; (n = recv(icd2, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            bytes.append(bytes.empty() ? "" : "|").append(buffer, static_cast<size_t>(n));
        return bytes;
    }

    int fd = -1, icd2 = -1;
};

TEST(Ascii2Hex, ReadsTwoCharactersLikeStrtol) {
    static const char empty[1] = {'\0'};  // one byte: the sanitizer build catches a read past it
    for (auto [text, value] : std::initializer_list<std::pair<const char*, int>>{
             {"3D", 0x3D}, {"ff", 255}, {"3G", 3}, {"G3", 0}, {"0705", 7}, {empty, 0}})
        EXPECT_EQ(ascii2hex(text), value) << text;
}

// A corrupt frame (a length below 6 before any body is read) is reported on stdout and gives the
// port up; noise and "00" messages are skipped, codes match in any case, a leftover answer is the
// next command's, and 5 silent seconds make one line. Log lines are compared whole after the time.
TEST_F(Icd2Test, ResponsesAreCheckedAndMatchedToTheirCommand) {
    for (auto [bytes, command, body, printed, line] : {
             std::tuple<std::string, const char*, const char*, const char*, const char*>{
                 "[0A07053E]", "", nullptr, "Invalid checksum 3D\n", ""},
             {"[0A07053D)", "", nullptr, "Malformed response\n", ""},
             {"[050705xx]", "", nullptr, "Malformed response\n", ""},
             {"[G00705xx]", "", nullptr, "Malformed response\n", ""},
             {"U\x01z}[0A07053D]", "", "0705", "", ""},
             {frame("00AB") + frame("0012") + "[0a2a0387]", "2A03", "2a03", "",
              " 3 1 INFO    [icd2] [expect_response] Ignoring unknown command 00AB\n"
              " 3 1 INFO    [icd2] [expect_response] Ignoring unknown command 0012\n"},
             {"[0666]", "07", nullptr, "",
              " 2 2 WARNING [icd2] [expect_response] Expecting: 07 Got: \n"},
             {frame("0705") + frame("0107"), "01", nullptr, "",
              " 2 2 WARNING [icd2] [expect_response] Expecting: 01 Got: 0705\n"},
             {"", "01", "0107", "", ""},
         }) {
        const int given = is_open(fd) ? fd : port();
        send(bytes);
        CaptureStdout();
        CaptureStderr();
        const char* got = *command ? do_command(command) : receive_response(given);
        const std::string log = GetCapturedStderr();
        EXPECT_STREQ(got, body) << bytes;
        EXPECT_EQ(GetCapturedStdout(), printed) << bytes;
        std::string untimed;  // each line without its time
        for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1)
            untimed += log.substr(at + 24, log.find('\n', at) - at - 23);
        EXPECT_EQ(untimed, line);
        EXPECT_EQ(is_open(given), *printed == '\0') << bytes;
        EXPECT_EQ(sent(), *command ? frame(command, '<', '>') : "");
    }
}

// Header, text and trailer, one write each; a text too long for the length
// digits is not sent, and a write on a closed port fails.
TEST_F(Icd2Test, CommandFramesByteForByte) {
    port(SOCK_SEQPACKET);
    for (const char* command : {"07", "05FF"}) EXPECT_EQ(send_command(fd, command), 0);
    send(frame("2A03") + frame("2Aab") + frame("06") + frame("07"));
    EXPECT_EQ(set_target_family_type(3), 0);
    EXPECT_EQ(set_target_family_type(171), 0);
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 0);
    CaptureStderr();
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 2);
    EXPECT_EQ(
        sent(),
        "<08|07|CF>|<0A|05FF|62>|<0A|2A03|47>|<0A|2Aab|A7>|<0E|06001FFF|3E>|<0E|06001FFF|3E>");
    EXPECT_EQ(send_command(fd, std::string(250, '0').c_str()), 1);
    EXPECT_EQ(send_command(fd, std::string(249, '0').c_str()), 0);
    EXPECT_EQ(sent().substr(0, 4), "<FF|");
    close(fd);
    EXPECT_EQ(do_command("07"), nullptr);
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_write] Unbale to write, Reason: 9 "));
}

// The operation's result and the fields it filled, in the record's order:
// the self test's module VPP first and overall last.
std::string status(int which) {
    Icd2FirmwareDetails d{};
    Icd2Voltages v{-1, -1, -1};
    Icd2SelfTest r{};
    std::ostringstream text;  // each result before the fields it filled
    if (which == 0)
        text << get_firmware_details(&d) << ' ' << +d.firmware_id << ' ' << +d.version[0] << '.'
             << +d.version[1] << '.' << +d.version[2] << ' ' << d.version_text;
    else if (which == 1)
        text << get_voltages(&v) << ' ' << v.reading_37 << ' ' << v.target_vdd << ' '
             << v.reading_35;
    else
        text << get_self_test(&r) << ' ' << +r.module_vpp << +r.target_vdd << +r.mclr_gnd
             << +r.mclr_vdd << +r.mclr_vpp << +r.overall;
    return text.str();
}

// Each status operation with the ICD2's answers: its result and the fields
// it filled before any failure. A body too short for its fields fails.
TEST_F(Icd2Test, StatusCommandsDecodeTheirAnswers) {
    CaptureStderr();
    for (auto [answers, which, result] : {
             std::tuple{"07FF 01C8FF64", 0, "0 255 200.255.100 255.200.255"},  // cut to its field
             {"07", 0, "2 0 0.0.0 "},
             {"0705 010703", 0, "3 5 0.0.0 "},
             {"3710 3580", 1, "2 1.27808 -1 -1"},
             {"37A0 3480 35", 1, "3 12.7808 4.99968 -1"},
             {"37A0 3480 3564", 1, "0 12.7808 4.99968 7.988"},
             {"020001008007", 2, "0 100233"},  // reported target VDD first
             {"0200010080", 2, "2 000000"},
         }) {
        std::stringstream bodies(answers);
        for (std::string body; bodies >> body;) send(frame(body));
        EXPECT_EQ(status(which), result) << answers;
    }
    GetCapturedStderr();
    EXPECT_EQ(get_firmware_details(nullptr) + get_voltages(nullptr) + get_self_test(nullptr), 3);
}

// A data block read, the line ending after the bytes: result, log line, port,
// and the first word (elements read before a failure stay).
TEST_F(Icd2Test, DataBlockReadFailuresNameTheirStep) {
    const char* ended = " 1 2 ERROR   [icd2] [tty_getc] Error during read, Reason: 0 Success\n";
    for (auto [bytes, result, line, open, first] : {
             std::tuple<const char*, int, const char*, bool, int>{"", -2, ended, false, -1},
             {"[FF3F3412CF}", 1,
              " 1 1 ERROR   [icd2] [icd2_word_read] Invalid start of word character: [\n", false,
              -1},
             {"{FF3F34", 2, ended, true, 0x3FFF},
             {"{FF3F3412C", 3, ended, true, 0x3FFF},
             {"{FF3F3412CE}", 4, " 1 4 ERROR   [icd2] [icd2_word_read] Invalid checksum\n", true,
              0x3FFF},
             {"{12ABE6)", 5,
              " 1 5 ERROR   [icd2] [icd2_byte_read] Invalid end of byte character: )\n", false, -1},
             {"[12AB", 1,
              " 1 1 ERROR   [icd2] [icd2_byte_read] Invalid start of byte character: [\n", false,
              -1},
             {"{FF3F3412CF)", 5,
              " 1 5 ERROR   [icd2] [icd2_word_read] Invalid end of word character: )\n", false,
              0x3FFF},
         }) {
        const int given = port();
        send(bytes, true);
        int words[2] = {-1, -1};
        uint8_t two[2];
        CaptureStderr();
        EXPECT_EQ(std::strstr(line, "byte") ? icd2_byte_read(given, two, 2)
                                            : icd2_word_read(given, words, 2),
                  result);
        const std::string log = GetCapturedStderr();
        std::string untimed;  // each line without its time
        for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1)
            untimed += log.substr(at + 24, log.find('\n', at) - at - 23);
        EXPECT_EQ(untimed, line);
        EXPECT_EQ(is_open(given), open) << bytes;
        EXPECT_EQ(words[0], first) << bytes;
    }
}

// A data block is written as start, each element, checksum with end; a block operation fails at its
// step, and the closing response a failed block left unread answers the next command.
TEST_F(Icd2Test, BlockTransfersByteForByteAndWhereTheyFail) {
    port(SOCK_SEQPACKET);
    send(frame("47") + "{FFFF3412E2}" + frame("47"));  // all 16 bits of a word come through
    int words[2] = {};
    EXPECT_EQ(icd2_get_words(words, "47", 0x100, 2), 0);
    EXPECT_EQ((std::vector<int>{words[0], words[1]}), (std::vector<int>{0xFFFF, 0x1234}));
    EXPECT_EQ(sent(), "<18|470000010000000002|D7>");
    send(frame("44") + frame("44"));
    uint8_t bytes[2] = {0x12, 0xAB};
    EXPECT_EQ(icd2_send_bytes(bytes, "44", 0x10, 2), 0);
    EXPECT_EQ(sent(), "<18|440000001000000002|D4>|{|12|AB|E6}");
    const int wide[1] = {0x12345};
    EXPECT_EQ(icd2_word_write(fd, wide, 1), 0);
    EXPECT_EQ(icd2_byte_write(fd, nullptr, 0), 0);
    EXPECT_EQ(sent(), "{|4523|CE}|{|00}");
    send("{00}{12ABE6}{FF3F3412CF}");  // no buffer: checked, not stored
    for (int count : {0, 2}) EXPECT_EQ(icd2_byte_read(fd, nullptr, count), 0) << count;
    EXPECT_EQ(icd2_word_read(fd, nullptr, 2), 0);
    send(frame("07") + frame("48") + "{CDEF13}" + frame("48") + "{CDEF12}" + frame("43"));
    CaptureStderr();
    EXPECT_EQ(icd2_get_words(words, "47", 0, 2), 1);
    EXPECT_EQ(icd2_get_bytes(bytes, "48", 0, 2), 2);
    EXPECT_EQ(icd2_get_bytes(bytes, "48", 0, 2), 3);
    const std::string log = GetCapturedStderr();
    for (const char* line : {"Expecting: 47 Got: 07\n", "[icd2_byte_read] Invalid checksum\n",
                             "Expecting: 48 Got: 43\n"})
        EXPECT_TRUE(Contains(log, line));
    EXPECT_EQ(bytes[0] * 256 + bytes[1], 0xCDEF);
    EXPECT_TRUE(is_open(fd));
}

}  // namespace
