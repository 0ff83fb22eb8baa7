// The ICD2 link over a real pseudo-terminal: the test plays the ICD2 on the
// master side, queueing its frames and checking the host's bytes.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
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
    void SetUp() override {
        ASSERT_TRUE(peer.ready());
        serial_fd = tty_open(peer.path(), 57600);
        ASSERT_GE(serial_fd, 0);
    }
    void TearDown() override {
        if (is_open(serial_fd)) close(serial_fd);
        serial_fd = -1;
    }

    PtyPeer peer;
};

// Hanging up discards what the host has not read yet, so the line is cut
// once the host has had ample time to take what was sent; its next read
// then fails at once instead of after the 5-second wait.
std::thread hang_up_later(PtyPeer& peer) {
    return std::thread([&peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer.hang_up();
    });
}

TEST(Ascii2Hex, ReadsTwoCharactersLikeStrtol) {
    EXPECT_EQ(ascii2hex("3D"), 0x3D);
    EXPECT_EQ(ascii2hex("ff"), 255);
    EXPECT_EQ(ascii2hex("3G"), 3);
    EXPECT_EQ(ascii2hex("G3"), 0);
    EXPECT_EQ(ascii2hex("0705"), 7);
    // Exactly one byte: the sanitizer build catches a read of a second one.
    static const char empty[1] = {'\0'};
    EXPECT_EQ(ascii2hex(empty), 0);
}

// A frame length below 6 has no room for a body; it is refused before
// anything is read into or written to payload.
TEST_F(Icd2Test, CorruptResponseIsReportedOnStdoutAndClosesPort) {
    for (auto [bytes, printed] : {std::pair{"[0A07053E]", "Invalid checksum 3D\n"},
                                  std::pair{"[0A07053D)", "Malformed response\n"},
                                  std::pair{"[050705xx]", "Malformed response\n"},
                                  std::pair{"[000705xx]", "Malformed response\n"},
                                  std::pair{"[G00705xx]", "Malformed response\n"}}) {
        SCOPED_TRACE(bytes);
        if (!is_open(serial_fd)) serial_fd = tty_open(peer.path(), 57600);
        peer.send(bytes);
        CaptureStdout();
        EXPECT_EQ(receive_response(serial_fd), nullptr);
        EXPECT_EQ(GetCapturedStdout(), printed);
        EXPECT_FALSE(is_open(serial_fd));
    }
}

TEST_F(Icd2Test, TruncatedFrameFailsWithPortOpen) {
    peer.send("[0A07");
    CaptureStderr();
    std::thread stop = hang_up_later(peer);
    EXPECT_EQ(receive_response(serial_fd), nullptr);
    stop.join();
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_getc] Error during read"));
    EXPECT_TRUE(is_open(serial_fd));
}

TEST_F(Icd2Test, NoiseBeforeFrameIsSkippedSilentlyAndLongBodiesGrowPayload) {
    peer.send("U\x01z}[0A07053D]");
    CaptureStderr();
    CaptureStdout();
    char* first = receive_response(serial_fd);
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "0705");
    EXPECT_EQ(payload_length, 64);
    for (auto [size, capacity] : {std::pair{100, 128}, std::pair{0xFF - 6, 256}}) {
        std::string long_body = "47" + std::string(static_cast<size_t>(size - 2), 'A');
        peer.send(response_frame(long_body));
        char* body = receive_response(serial_fd);
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(std::string(body), long_body);
        EXPECT_EQ(payload_length, capacity);
    }
}

TEST_F(Icd2Test, CommandFramesByteForByte) {
    for (const char* command : {"07", "05FF", "2A03"})
        EXPECT_EQ(send_command(serial_fd, command), 0);
    EXPECT_EQ(peer.take_all(), "<0807CF><0A05FF62><0A2A0347>");
    CaptureStderr();  // too long for its length digits: not sent
    EXPECT_EQ(send_command(serial_fd, std::string(250, '0').c_str()), 1);
    GetCapturedStderr();
    EXPECT_EQ(send_command(serial_fd, std::string(249, '0').c_str()), 0);
    EXPECT_EQ(peer.take_all().substr(0, 3), "<FF");
}

TEST_F(Icd2Test, SendOnClosedPortFailsAtFirstWrite) {
    CaptureStderr();  // before the close, so that its file cannot take the number
    close(serial_fd);
    EXPECT_EQ(do_command("07"), nullptr);
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_write] Unbale to write, Reason: 9 "));
}

TEST_F(Icd2Test, UnsolicitedFramesAreSkippedAndCaseIsIgnored) {
    peer.send(response_frame("00AB") + "[0a2a0387]");
    CaptureStderr();
    char* body = do_command("2A03");
    EXPECT_TRUE(Contains(GetCapturedStderr(),
                         " 3 1 INFO    [icd2] [expect_response] Ignoring unknown command 00AB\n"));
    ASSERT_NE(body, nullptr);
    EXPECT_STREQ(body, "2a03");
}

TEST_F(Icd2Test, EmptyBodyAnswersNoCommand) {
    peer.send("[0666]");
    CaptureStderr();
    EXPECT_EQ(do_command("07"), nullptr);
    EXPECT_TRUE(Contains(GetCapturedStderr(),
                         " 2 2 WARNING [icd2] [expect_response] Expecting: 07 Got: \n"));
    EXPECT_TRUE(is_open(serial_fd));
}

TEST_F(Icd2Test, LateAnswerIsTakenForTheNextCommand) {
    CaptureStderr();
    EXPECT_GE(elapsed_ms([] { EXPECT_EQ(do_command("07"), nullptr); }), 4500);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, "[tty_getc] Timeout during read\n"));
    EXPECT_EQ(log.find("Timeout"), log.rfind("Timeout"));
    EXPECT_TRUE(is_open(serial_fd));

    peer.send(response_frame("0705") + response_frame("0107"));
    CaptureStderr();
    EXPECT_EQ(do_command("01"), nullptr);
    EXPECT_TRUE(Contains(GetCapturedStderr(), "Expecting: 01 Got: 0705\n"));
    EXPECT_NE(do_command("01"), nullptr);
}

TEST(Icd2Init, FailsToOpenOrToPulseDtrOnPty) {
    CaptureStderr();
    EXPECT_EQ(icd2_init("/nonexistent/ttyICD"), 1);
    EXPECT_EQ(serial_fd, -1);
    PtyPeer peer;
    EXPECT_EQ(icd2_init(peer.path()), 2);
    EXPECT_TRUE(Contains(GetCapturedStderr(), "[tty_dtr] Unbale to clear DTR"));
    EXPECT_GE(serial_fd, 0);  // the number is kept
    EXPECT_FALSE(is_open(serial_fd));
    EXPECT_EQ(peer.take_all(50), "");
    serial_fd = -1;
}

TEST_F(Icd2Test, FirmwareDetailsAreDecodedAndFormatted) {
    peer.send(response_frame("0705") + response_frame("01070314"));
    Icd2FirmwareDetails details{};
    EXPECT_EQ(get_firmware_details(&details), 0);
    EXPECT_EQ(details.firmware_id, 5);
    EXPECT_EQ(details.version[0] * 10000 + details.version[1] * 100 + details.version[2], 70320);
    EXPECT_STREQ(details.version_text, "05.07.03.20");
    EXPECT_EQ(peer.take_all(), "<0807CF><0801C9>");

    peer.send(response_frame("07FF") + response_frame("01C8FF64"));
    EXPECT_EQ(get_firmware_details(&details), 0);
    EXPECT_STREQ(details.version_text, "255.200.255");  // cut to its field
}

TEST_F(Icd2Test, VoltagesAreScaledReadings) {
    peer.send(response_frame("37A0") + response_frame("3480") + response_frame("3500"));
    Icd2Voltages voltages{-1, -1, -1};
    EXPECT_EQ(get_voltages(&voltages), 0);
    EXPECT_FLOAT_EQ(voltages.reading_37, static_cast<float>(160 * 0.07988));
    EXPECT_FLOAT_EQ(voltages.target_vdd, static_cast<float>(4.99968));
    EXPECT_EQ(voltages.reading_35, 0.0f);

    peer.send(response_frame("3710") + response_frame("3580"));
    CaptureStderr();
    EXPECT_EQ(get_voltages(&voltages), 2);
    GetCapturedStderr();
    EXPECT_FLOAT_EQ(voltages.reading_37, static_cast<float>(16 * 0.07988));
}

TEST_F(Icd2Test, SelfTestMapsRawBytesInReportOrder) {
    const auto [L, P, H, F] =
        std::tuple{ICD2_TEST_LOW, ICD2_TEST_PASS, ICD2_TEST_HIGH, ICD2_TEST_FAIL};
    for (auto [body, expected] : {std::pair{"020001008007", std::vector<int>{L, P, P, H, F, F}},
                                  std::pair{"020000000000", std::vector<int>{P, P, P, P, P, P}},
                                  std::pair{"0202FF000000", std::vector<int>{F, F, P, P, P, F}}}) {
        peer.send(response_frame(body));
        Icd2SelfTest r{};
        EXPECT_EQ(get_self_test(&r), 0);
        EXPECT_EQ((std::vector<int>{r.module_vpp, r.target_vdd, r.mclr_gnd, r.mclr_vdd, r.mclr_vpp,
                                    r.overall}),
                  expected)
            << body;
    }
}

// Bodies too short for their fields fail their command instead of being read
// past their end (the sanitizer build checks that).
TEST_F(Icd2Test, ShortStatusBodiesFailTheirCommand) {
    Icd2SelfTest self_test{};
    Icd2FirmwareDetails details{};
    Icd2Voltages voltages{};
    CaptureStderr();
    peer.send(response_frame("0200010080"));
    EXPECT_EQ(get_self_test(&self_test), 2);
    peer.send(response_frame("07"));
    EXPECT_EQ(get_firmware_details(&details), 2);
    peer.send(response_frame("0705") + response_frame("010703"));
    EXPECT_EQ(get_firmware_details(&details), 3);
    EXPECT_EQ(details.firmware_id, 5);
    peer.send(response_frame("37A0") + response_frame("348"));
    EXPECT_EQ(get_voltages(&voltages), 2);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, "[get_self_test] Response too short: 0200010080\n"));
    EXPECT_TRUE(Contains(log, "[get_voltages] Response too short: 348\n"));
    EXPECT_EQ(get_self_test(nullptr) + get_voltages(nullptr) + get_firmware_details(nullptr), 3);
}

TEST_F(Icd2Test, SetUpCommandTexts) {
    peer.send(response_frame("2A03") + response_frame("2Aab") + response_frame("06"));
    EXPECT_EQ(set_target_family_type(3), 0);
    EXPECT_EQ(set_target_family_type(171), 0);
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 0);
    EXPECT_EQ(peer.take_all(), "<0A2A0347><0A2AabA7><0E06001FFF3E>");
    CaptureStderr();
    peer.send(response_frame("07"));
    EXPECT_EQ(set_end_of_code_space(0x1FFF), 2);
    GetCapturedStderr();
}

TEST_F(Icd2Test, CorruptBlockFailsTheTransferWithItsLine) {
    for (auto [code, block, line, port_open] : {
             std::tuple{"47", "[FF3F3412CF}",
                        " 1 1 ERROR   [icd2] [icd2_word_read] Invalid start of word character: [\n",
                        false},
             {"48", "{12ABE6)",
              " 1 5 ERROR   [icd2] [icd2_byte_read] Invalid end of byte character: )\n", false},
             {"47", "{FF3F3412CE}", " 1 4 ERROR   [icd2] [icd2_word_read] Invalid checksum\n",
              true},
         }) {
        if (!is_open(serial_fd)) serial_fd = tty_open(peer.path(), 57600);
        peer.send(response_frame(code) + block + response_frame(code));
        int words[2] = {};
        uint8_t bytes[2] = {};
        CaptureStderr();
        EXPECT_EQ(
            code[1] == '7' ? icd2_get_words(words, code, 0, 2) : icd2_get_bytes(bytes, code, 0, 2),
            2);
        EXPECT_TRUE(Contains(GetCapturedStderr(), line));
        EXPECT_EQ(is_open(serial_fd), port_open) << block;
    }
}

TEST_F(Icd2Test, BlockCutShortKeepsElementsReadSoFar) {
    peer.send("{FF3F34");
    int words[2] = {-1, -1};
    CaptureStderr();
    std::thread stop = hang_up_later(peer);
    EXPECT_EQ(icd2_word_read(serial_fd, words, 2), 2);
    EXPECT_TRUE(is_open(serial_fd));
    EXPECT_EQ(icd2_word_read(serial_fd, words, 2), -2);  // no start: the port is given up
    stop.join();
    GetCapturedStderr();
    EXPECT_EQ((std::vector<int>{words[0], words[1]}), (std::vector<int>{0x3FFF, -1}));
    EXPECT_FALSE(is_open(serial_fd));
}

TEST_F(Icd2Test, BlockOperationResultsNameTheFailingStep) {
    CaptureStderr();
    peer.send(response_frame("07"));
    EXPECT_EQ(icd2_get_words(nullptr, "47", 0, 0), 1);
    peer.send(response_frame("47") + "{00}" + response_frame("43"));
    EXPECT_EQ(icd2_get_words(nullptr, "47", 0, 0), 3);
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(Contains(log, "Expecting: 47 Got: 07\n"));
    EXPECT_TRUE(Contains(log, "Expecting: 47 Got: 43\n"));
}

TEST_F(Icd2Test, BlockExamples) {
    peer.send(response_frame("47") + "{FF3F3412CF}" + response_frame("47"));
    int words[2] = {};
    EXPECT_EQ(icd2_get_words(words, "47", 0x100, 2), 0);
    EXPECT_EQ((std::vector<int>{words[0], words[1]}), (std::vector<int>{0x3FFF, 0x1234}));
    EXPECT_EQ(peer.take_all(), "<18470000010000000002D7>");

    peer.send(response_frame("44") + response_frame("44"));
    const uint8_t bytes[2] = {0x12, 0xAB};
    EXPECT_EQ(icd2_send_bytes(bytes, "44", 0x10, 2), 0);
    EXPECT_EQ(peer.take_all(), "<18440000001000000002D4>{12ABE6}");

    const int wide[1] = {0x12345};  // only the low 16 bits travel
    EXPECT_EQ(icd2_word_write(serial_fd, wide, 1), 0);
    EXPECT_EQ(icd2_byte_write(serial_fd, nullptr, 0), 0);
    EXPECT_EQ(peer.take_all(), "{4523CE}{00}");

    peer.send("{00}{FF3F3412CF}{12ABE6}");  // no buffer: checked, not stored
    EXPECT_EQ(icd2_byte_read(serial_fd, nullptr, 0), 0);
    EXPECT_EQ(icd2_word_read(serial_fd, nullptr, 2), 0);
    EXPECT_EQ(icd2_byte_read(serial_fd, nullptr, 2), 0);
}

TEST_F(Icd2Test, FullBlockOfWordsTravelsBothWays) {
    constexpr uint32_t kCount = 127;
    std::vector<int> words(kCount);
    std::string digits;
    for (uint32_t i = 0; i < kCount; ++i) {
        words[i] = static_cast<int>((i * 0x0203 + 0x3A1) & 0xFFFF);
        char element[5];
        std::snprintf(element, sizeof element, "%02X%02X", words[i] & 0xFF, words[i] >> 8);
        digits += element;
    }
    peer.send(response_frame("43") + response_frame("43"));
    EXPECT_EQ(icd2_send_words(words.data(), "43", 0x200, kCount), 0);
    EXPECT_EQ(peer.take_all(), "<1843000002000000007FEF>" + data_block(digits));

    peer.send(response_frame("47") + data_block(digits) + response_frame("47"));
    std::vector<int> read_back(kCount, -1);
    EXPECT_EQ(icd2_get_words(read_back.data(), "47", 0x200, kCount), 0);
    EXPECT_EQ(read_back, words);
}

}  // namespace
