// The serial module and the ICD2's connection in the test's own process, on the simulated line
// (sim/icd2sim_tty.h) and its clock: what needs no real terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "icd2/icd2.h"
#include "icd2/tty.h"
#include "icd2sim_tty.h"
#include "support/harness.h"

namespace {

namespace sim = icd2sim::inprocess;
using harness::count_lines;
using Texts = std::vector<std::string>;

// Each serial call of the handshake failing in turn, then the reply: icd2_connect names the step
// and gives the port up unless only the reply failed; icd2_init names its own steps.
TEST(Connection, FailuresNameTheirStep) {
    const std::string tty = "/dev/ttyICD-sim";
    // A call and which of its calls fails, or a setting (0); icd2_connect's and icd2_init's result.
    const std::tuple<const char*, int, int, int> rows[] = {
        {"tty_set_baud", 1, 1, 2},  {"tty_dtr", 1, 2, 2},   {"tty_dtr", 2, 3, 2},
        {"tty_write", 1, 4, 2},     {"tty_dtr", 3, 5, 2},   {"tty_dtr", 4, 6, 2},
        {"tty_flush", 1, 7, 2},     {"tty_write", 2, 8, 2}, {"wake.reply=none", 0, 9, 2},
        {"wake.reply=X", 0, 10, 2}, {"tty_open", 1, 0, 1},  {"fault=silence 4D", 0, 0, 3},
        {"tty_set_baud", 2, 0, 4}};
    testing::internal::CaptureStderr();
    for (auto [call, nth, connect, init] : rows) {
        for (const bool whole : {false, true}) {
            ASSERT_EQ(sim::reset(nth == 0 ? Texts{call} : Texts{}), "");
            if (!whole) serial_fd = tty_open(tty.c_str(), 19200);
            sim::fail_call(call, nth);
            const int step = whole ? icd2_init(tty.c_str()) : icd2_connect('U');
            EXPECT_EQ(step, whole ? init : connect) << call << nth;
            EXPECT_EQ(serial_fd >= 0, step == 0 || (!whole && step >= 9)) << call << nth;
            icd2_close();
        }
    }
    testing::internal::GetCapturedStderr();
}

// ---- The serial module on the simulated line, in what needs no real terminal. A read takes what
// came and lets the rest of a burst gather for its line time, a few reads a burst; it stops at
// count, or keeps what came, unterminated, when the wait runs out.
TEST(SerialLine, ReadsGatherBurstsStopAtCountAndTimeOut) {
    for (auto [first, later, count, result, kept, next, reads] : {
             std::tuple<std::string, std::string, int, int, std::string, int, unsigned long>{
                 "[0A07", "053D]X", 10, 0, std::string("[0A07053D]\0", 11), 'X', 7},
             {"FF3F34", "", 8, -1, "FF3F34xx", -2, 4},
             {std::string("\0AB", 3), "", 3, 0, std::string("\0AB\0", 4), -2, 3},
             {std::string(600, '7') + 'Z', "", 600, 0, std::string(600, '7') + '\0', 'Z', 3},
         }) {
        ASSERT_EQ(sim::reset(), "");
        const int fd = tty_open("/dev/ttyICD-sim", 19200);
        sim::send(first), sim::send(later, 200'000);
        std::string buffer(700, 'x');
        int received = -1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(tty_read_burst(fd, buffer.data(), count, 1, &received), result) << first;
        EXPECT_EQ(std::pair(sim::reads(), sim::elapsed_us() >= 1'000'000),
                  std::pair(reads, result == -1));
        tty_sleep_ms(10);
        EXPECT_EQ(tty_getc(fd, 0), next);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(received, result == 0 ? count : static_cast<int>(first.size())) << first;
        EXPECT_EQ(buffer.substr(0, kept.size()), kept);
        EXPECT_EQ(count_lines(log, "[tty_getc] Timeout during read"), result == -1);
        EXPECT_EQ(count_lines(log, "[tty_getc] Error during read, Reason: 11 "), next == -2);
    }
}

// An announced burst (the larger announcement, at most kTtyReadAhead bytes) is taken off the line
// as its first byte is waited for, and handed out without a read (the braces below evaluate in
// order); it goes with a flush and a close.
TEST(SerialLine, AnnouncedBurstIsTakenWholeAndGoesWithThePort) {
    ASSERT_EQ(sim::reset(), "");
    int fd = tty_open("/dev/ttyICD-sim", 19200);
    char buffer[kTtyReadAhead] = {};
    tty_expect(fd, 9), tty_expect(fd, 4);
    sim::send("[0847D3]{AB"), sim::send("CD}", 100'000);
    EXPECT_EQ((std::tuple{tty_getc(fd, 1), tty_read(fd, buffer, 7, 0), sim::reads()}),
              std::tuple('[', 0, 2ul));
    EXPECT_EQ(tty_read(fd, buffer + 7, 6, 1), 0);
    EXPECT_STREQ(buffer, "0847D3]{ABCD}");
    tty_expect(fd, 4096);
    sim::send(std::string(kTtyReadAhead, 'B'));
    const unsigned long before = sim::reads();  // the last byte is waited for and read
    EXPECT_EQ((std::tuple{tty_getc(fd, 1), tty_read(fd, buffer, kTtyReadAhead - 2, 0),
                          sim::reads() - before, tty_getc(fd, 1), sim::reads() - before}),
              std::tuple('B', 0, 2ul, 'B', 3ul));
    for (const bool reopen : {false, true}) {
        tty_expect(fd, 9), sim::send("[0847D3]");
        EXPECT_EQ(tty_getc(fd, 1), '[');
        if (reopen) tty_close(fd);
        EXPECT_EQ(reopen ? (fd = tty_open("/dev/ttyICD-sim", 19200)) < 0 : tty_flush(fd), 0);
        sim::send("Z");
        EXPECT_EQ(tty_getc(fd, 1), 'Z');
    }
}

// A write longer than the output queue goes whole and in order as the line takes it, returning once
// the rest fits: after the line carried more than the rest, at 520 us a byte. A line that then
// takes nothing for 5 s fails the next write as timed out.
TEST(SerialLine, AWriteLongerThanTheQueueGoesWholeAsTheLineTakesIt) {
    ASSERT_EQ(sim::reset(), "");
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
    const int fd = tty_open("/dev/ttyICD-sim", 19200);
    EXPECT_EQ(tty_write(fd, data.data(), data.size()), 0);
    const unsigned long long carried = sim::elapsed_us() / 520;
    EXPECT_TRUE(sim::wire() == data && carried >= 10000 - 4096 && carried < 10000) << carried;

    sim::hold_line();
    const unsigned long long held = sim::elapsed_us();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tty_write(fd, "{", 1), 1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_lines(log, "[tty_write] Unbale to write, Reason: 110 Connection timed out"), 1)
        << log;
    EXPECT_EQ(sim::elapsed_us() - held, 5'000'000ULL);
    EXPECT_EQ(sim::wire(), data);
}

// Where the driver has a low-latency mode, the open turns it on and the close (before the port
// goes) turns it back off, unless it was on already; where it has none (a pty), or refuses it, the
// port opens all the same and nothing is logged.
TEST(SerialLine, LowLatencyIsAskedForAndGivenBack) {
    // The mode (-1: none, else on at first) and its refusal; whether the port has it, and the mode
    // and its changes after the close.
    for (auto [mode, refusal, took, changes] :
         {std::tuple{-1, 0, false, 0}, {0, 0, true, 2}, {1, 0, true, 0}, {0, EPERM, false, 0}}) {
        ASSERT_EQ(sim::reset(), "");
        if (mode >= 0) sim::offer_low_latency(mode == 1, refusal);
        testing::internal::CaptureStderr();
        const int fd = tty_open("/dev/ttyICD-sim", 19200);
        EXPECT_EQ(std::tuple(fd, tty_low_latency(), sim::low_latency().first),
                  std::tuple(1000, took, took))
            << mode << refusal;
        tty_close(fd);
        EXPECT_EQ(sim::low_latency(), std::pair(mode == 1, changes)) << mode << refusal;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// A run that ends with its port open has the mode turned back off as the process exits (the
// check is registered before the port's, so it runs after it).
TEST(SerialLineDeathTest, LowLatencyIsGivenBackAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit([] { std::_Exit(sim::low_latency() == std::pair(false, 2) ? 3 : 4); });
            sim::reset();
            sim::offer_low_latency(false);
            tty_open("/dev/ttyICD-sim", 19200);
            std::exit(0);
        },
        testing::ExitedWithCode(3), "");
}

}  // namespace
