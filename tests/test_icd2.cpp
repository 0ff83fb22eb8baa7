// The ICD2 link: the test plays the ICD2 on the far end of a socket pair
// that stands in for the serial line (the line itself is the serial port's
// test), queueing its frames and checking the host's bytes. Whether a
// failure gave the port up is judged on the descriptor the call was given.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <sstream>
#include <string>
#include <vector>

#include "icd2/icd2.h"
#include "icd2/tty.h"
#include "pty_peer.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class Icd2Test : public testing::Test {
  protected:
    void SetUp() override { port(); }
    void TearDown() override {
        close(icd2);
        if (is_open(fd)) close(fd);
        serial_fd = -1;
    }
    // The host's end, non-blocking like the real port; a new line when a
    // failure gave the old one up. On a SOCK_SEQPACKET line each write of
    // the host arrives on its own.
    int port(int type = SOCK_STREAM) {
        if (is_open(fd)) return fd;
        int ends[2];
        close(icd2);
        EXPECT_EQ(socketpair(AF_UNIX, type, 0, ends), 0);
        fcntl(ends[0], F_SETFL, O_NONBLOCK);
        icd2 = ends[1];
        return fd = serial_fd = ends[0];
    }
    // Byte by byte, so that no byte is lost where the host reads one at a time.
    void send(const std::string& bytes) const {
        for (const char c : bytes) ASSERT_EQ(write(icd2, &c, 1), 1);
    }
    // The ICD2 sends bytes and then nothing ever: reads meet the end at once.
    void send_last(const std::string& bytes) const {
        send(bytes);
        shutdown(icd2, SHUT_WR);
    }
    // What the host wrote, with separator between the writes that arrived apart.
    std::string sent(const char* separator = "") const {
        std::string bytes;
        char buffer[512];
        for (ssize_t n; (n = recv(icd2, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            bytes.append(bytes.empty() ? "" : separator).append(buffer, static_cast<size_t>(n));
        return bytes;
    }

    int fd = -1, icd2 = -1;
};

template <typename... Args>
std::string format(const char* format, Args... args) {
    char text[128];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

TEST(Ascii2Hex, ReadsTwoCharactersLikeStrtol) {
    for (auto [text, value] :
         {std::pair{"3D", 0x3D}, {"ff", 255}, {"3G", 3}, {"G3", 0}, {"0705", 7}})
        EXPECT_EQ(ascii2hex(text), value) << text;
    static const char empty[1] = {'\0'};  // one byte: the sanitizer build catches a read past it
    EXPECT_EQ(ascii2hex(empty), 0);
}

// A frame length below 6 has no room for a body; it is refused before
// anything is read into or written to payload.
TEST_F(Icd2Test, CorruptResponseIsReportedOnStdoutAndClosesPort) {
    for (auto [bytes, printed] : {std::pair{"[0A07053E]", "Invalid checksum 3D\n"},
                                  {"[0A07053D)", "Malformed response\n"},
                                  {"[050705xx]", "Malformed response\n"},
                                  {"[000705xx]", "Malformed response\n"},
                                  {"[G00705xx]", "Malformed response\n"}}) {
        const int given = port();
        send(bytes);
        CaptureStdout();
        EXPECT_EQ(receive_response(given), nullptr) << bytes;
        EXPECT_EQ(GetCapturedStdout(), printed);
        EXPECT_FALSE(is_open(given)) << bytes;
    }
}

TEST_F(Icd2Test, NoiseBeforeFrameIsSkippedSilentlyAndLongBodiesGrowPayload) {
    send("U\x01z}[0A07053D]");
    CaptureStderr();
    CaptureStdout();
    EXPECT_STREQ(receive_response(fd), "0705");
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");
    EXPECT_EQ(payload_length, 64);
    for (auto [size, capacity] : {std::pair{100, 128}, {0xFF - 6, 256}}) {
        const std::string body = "47" + std::string(static_cast<size_t>(size - 2), 'A');
        send(frame(body));
        EXPECT_STREQ(receive_response(fd), body.c_str());
        EXPECT_EQ(payload_length, capacity);
    }
}

TEST_F(Icd2Test, CommandFramesByteForByte) {
    for (const char* command : {"07", "05FF", "2A03"}) EXPECT_EQ(send_command(fd, command), 0);
    EXPECT_EQ(sent(), "<0807CF><0A05FF62><0A2A0347>");
    CaptureStderr();  // too long for its length digits: not sent
    EXPECT_EQ(send_command(fd, std::string(250, '0').c_str()), 1);
    EXPECT_EQ(send_command(fd, std::string(249, '0').c_str()), 0);
    EXPECT_EQ(sent().substr(0, 3), "<FF");
    close(fd);
    EXPECT_EQ(do_command("07"), nullptr);
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_write] Unbale to write, Reason: 9 "));
}

// One command, one answer: "00" messages are skipped, the code is compared
// without regard to case, and an answer left over is taken by the next command.
TEST_F(Icd2Test, CommandsTakeTheNextAnswerThatIsNotAMessage) {
    for (auto [answers, command, body, line] : {
             std::tuple{frame("00AB") + "[0a2a0387]", "2A03", "2a03",
                        " 3 1 INFO    [icd2] [expect_response] Ignoring unknown command 00AB\n"},
             {std::string("[0666]"), "07", nullptr,
              " 2 2 WARNING [icd2] [expect_response] Expecting: 07 Got: \n"},
             {frame("0705") + frame("0107"), "01", nullptr, "Expecting: 01 Got: 0705\n"},
             {std::string(), "01", "0107", ""},
         }) {
        send(answers);
        CaptureStderr();
        EXPECT_STREQ(do_command(command), body) << answers;
        EXPECT_TRUE(Contains(GetCapturedStderr(), line));
        EXPECT_EQ(sent(), frame(command, '<', '>'));
        EXPECT_TRUE(is_open(fd));
    }
}

// Whether no byte comes for 5 seconds or the line ends within a frame, the
// answer fails with one line and the port stays open.
TEST_F(Icd2Test, ReadFailuresLeaveThePortOpen) {
    CaptureStderr();
    EXPECT_GE(elapsed_ms([] { EXPECT_EQ(do_command("07"), nullptr); }), 4500);
    send_last("[0A07");
    EXPECT_EQ(receive_response(fd), nullptr);
    const std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, " 2 1 WARNING [icd2] [tty_getc] Timeout during read\n"));
    EXPECT_EQ(log.find("Timeout"), log.rfind("Timeout"));
    EXPECT_TRUE(Contains(log, "[tty_getc] Error during read"));
    EXPECT_TRUE(is_open(fd));
}

TEST(Icd2Init, FailsToOpenOrToPulseDtrOnPty) {
    CaptureStderr();
    EXPECT_EQ(icd2_init("/nonexistent/ttyICD"), 1);
    EXPECT_EQ(serial_fd, -1);
    PtyPeer peer;
    const int free_before = lowest_free_fd();
    EXPECT_EQ(icd2_init(peer.path()), 2);
    EXPECT_EQ(lowest_free_fd(), free_before);  // the port was given up
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_dtr] Unbale to clear DTR"));
    EXPECT_EQ(peer.take_all(50), "");
}

std::string firmware() {
    Icd2FirmwareDetails d{};
    const int result = get_firmware_details(&d);
    return format("%d %d %d.%d.%d %s", result, d.firmware_id, d.version[0], d.version[1],
                  d.version[2], d.version_text);
}

std::string voltages() {
    Icd2Voltages v{-1, -1, -1};
    const int result = get_voltages(&v);
    return format("%d %g %g %g", result, v.reading_37, v.target_vdd, v.reading_35);
}

// The results in the record's order, module VPP first and overall last.
std::string self_test() {
    Icd2SelfTest r{};
    const int result = get_self_test(&r);
    return format("%d %d%d%d%d%d%d", result, r.module_vpp, r.target_vdd, r.mclr_gnd, r.mclr_vdd,
                  r.mclr_vpp, r.overall);
}

// Each status operation with the ICD2's answers: its result and the fields
// it filled before any failure. A body too short for its fields fails.
TEST_F(Icd2Test, StatusCommandsDecodeTheirAnswers) {
    CaptureStderr();
    for (auto [answers, call, result] : {
             std::tuple{"0705 01070314", &firmware, "0 5 7.3.20 05.07.03.20"},
             {"07FF 01C8FF64", firmware, "0 255 200.255.100 255.200.255"},  // cut to its field
             {"07", firmware, "2 0 0.0.0 "},
             {"0705 010703", firmware, "3 5 0.0.0 "},
             {"37A0 3480 3500", voltages, "0 12.7808 4.99968 0"},
             {"3710 3410 3580", voltages, "0 1.27808 0.62496 10.2246"},
             {"3710 3580", voltages, "2 1.27808 -1 -1"},
             {"37A0 348", voltages, "2 12.7808 -1 -1"},
             {"020001008007", self_test, "0 100233"},  // reported target VDD first
             {"020000000000", self_test, "0 000000"},
             {"0202FF000000", self_test, "0 330003"},
             {"0200010080", self_test, "2 000000"},
         }) {
        std::stringstream bodies(answers);
        for (std::string body; bodies >> body;) send(frame(body));
        EXPECT_EQ(call(), result) << answers;
    }
    const std::string log = GetCapturedStderr();
    EXPECT_TRUE(
        Contains(log, " 2 1 WARNING [icd2] [get_self_test] Response too short: 0200010080\n"));
    EXPECT_TRUE(Contains(log, "[get_voltages] Response too short: 348\n"));
    EXPECT_TRUE(Contains(log, "[get_firmware_details] Response too short: 010703\n"));
    EXPECT_EQ(get_firmware_details(nullptr) + get_voltages(nullptr) + get_self_test(nullptr), 3);
}

TEST_F(Icd2Test, SetUpCommandTexts) {
    send(frame("2A03") + frame("2Aab") + frame("06") + frame("07"));
    EXPECT_EQ(set_target_family_type(3), 0);
    EXPECT_EQ(set_target_family_type(171), 0);
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 0);
    CaptureStderr();
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 2);
    GetCapturedStderr();
    EXPECT_EQ(sent(), "<0A2A0347><0A2AabA7><0E06001FFF3E><0E06001FFF3E>");
}

// The first response, the data block, the closing response: each failing
// step names itself in the result, and a wrong start or end gives the port up.
TEST_F(Icd2Test, BlockTransferFailuresNameTheirStep) {
    for (auto [code, icd2, result, line, open] : {
             std::tuple{"47", frame("07"), 1, "Expecting: 47 Got: 07\n", true},
             {"47", frame("47") + "[FF3F3412CF}" + frame("47"), 2,
              " 1 1 ERROR   [icd2] [icd2_word_read] Invalid start of word character: [\n", false},
             {"48", frame("48") + "{12ABE6)" + frame("48"), 2,
              " 1 5 ERROR   [icd2] [icd2_byte_read] Invalid end of byte character: )\n", false},
             {"47", frame("47") + "{FF3F3412CF}" + frame("43"), 3, "Expecting: 47 Got: 43\n", true},
             {"47", frame("47") + "{FF3F3412CE}" + frame("47"), 2,
              " 1 4 ERROR   [icd2] [icd2_word_read] Invalid checksum\n", true},
         }) {
        const int given = port();
        send(icd2);
        int words[2];
        uint8_t bytes[2];
        CaptureStderr();
        EXPECT_EQ(
            code[1] == '7' ? icd2_get_words(words, code, 0, 2) : icd2_get_bytes(bytes, code, 0, 2),
            result);
        EXPECT_TRUE(Contains(GetCapturedStderr(), line));
        EXPECT_EQ(is_open(given), open) << line;
    }
}

TEST_F(Icd2Test, BlockCutShortKeepsElementsReadSoFar) {
    send_last("{FF3F34");
    int words[2] = {-1, -1};
    CaptureStderr();
    EXPECT_EQ(icd2_word_read(fd, words, 2), 2);
    EXPECT_TRUE(is_open(fd));
    EXPECT_EQ(icd2_word_read(fd, words, 2), -2);  // no start: the port is given up
    EXPECT_FALSE(is_open(fd));
    GetCapturedStderr();
    EXPECT_EQ((std::vector<int>{words[0], words[1]}), (std::vector<int>{0x3FFF, -1}));
}

// A command frame is written as header, text and trailer, a data block as
// its start, each element and its checksum with the end.
TEST_F(Icd2Test, BlocksTravelLowByteFirstOneWriteAnElement) {
    close(fd);
    port(SOCK_SEQPACKET);
    send(frame("47") + "{FF3F3412CF}" + frame("47"));
    int words[2] = {};
    EXPECT_EQ(icd2_get_words(words, "47", 0x100, 2), 0);
    EXPECT_EQ((std::vector<int>{words[0], words[1]}), (std::vector<int>{0x3FFF, 0x1234}));
    EXPECT_EQ(sent("|"), "<18|470000010000000002|D7>");
    send(frame("44") + frame("44"));
    const uint8_t bytes[2] = {0x12, 0xAB};
    EXPECT_EQ(icd2_send_bytes(bytes, "44", 0x10, 2), 0);
    EXPECT_EQ(sent("|"), "<18|440000001000000002|D4>|{|12|AB|E6}");
    const int wide[1] = {0x12345};  // only the low 16 bits travel
    EXPECT_EQ(icd2_word_write(fd, wide, 1) + icd2_byte_write(fd, nullptr, 0), 0);
    EXPECT_EQ(sent("|"), "{|4523|CE}|{|00}");
    send("{00}{FF3F3412CF}{12ABE6}");  // no buffer: checked, not stored
    EXPECT_EQ(icd2_byte_read(fd, nullptr, 0) + icd2_word_read(fd, nullptr, 2), 0);
    EXPECT_EQ(icd2_byte_read(fd, nullptr, 2), 0);
}

}  // namespace
