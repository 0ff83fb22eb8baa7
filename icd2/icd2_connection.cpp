// Bringing the ICD2 up, asking it about itself and the target, and telling
// it what it is about to program.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "icd2/icd2.h"
#include "icd2/icd2_port.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "icd2";
constexpr int kReplyTimeout = 5;
constexpr unsigned int kHandshakeBaud = 19200;
constexpr unsigned int kWorkingBaud = 57600;

// Volts per count of the ICD2's converter readings.
constexpr double kSupplyScale = 0.07988;
constexpr double kTargetVddScale = 0.03906;

// Handshake steps after which the port is still open: the reply did not come
// or was not the wake character. Every earlier step failed in the serial
// layer, which closed the port.
constexpr int kFirstReplyFailure = 9;

// The body answering command, when it is long enough for the fields decoded
// from it (length characters); null otherwise. A short body would have the
// fields read from past its end.
const char* status_body(const char* command, size_t length, const char* function) {
    const char* body = do_command(command);
    if (body == nullptr) return nullptr;
    if (std::strlen(body) < length) {
        log_message(2, 1, kModule, function, "Response too short: %s", body);
        return nullptr;
    }
    return body;
}

float reading(const char* body, double scale) {
    return static_cast<float>(static_cast<double>(ascii2hex(body + 2)) * scale);
}

Icd2TestResult test_result(int raw) {
    switch (raw) {
        case 0x00:
            return ICD2_TEST_PASS;
        case 0x01:
            return ICD2_TEST_LOW;
        case 0x80:
            return ICD2_TEST_HIGH;
        default:
            return ICD2_TEST_FAIL;
    }
}

// The DTR and wake-byte handshake on serial_fd. 0, or the failing step.
int handshake(char wake) {
    if (tty_set_baud(serial_fd, kHandshakeBaud) != 0) return 1;
    // The ICD2 is woken by two DTR pulses with a "Z" between them, and
    // answers the wake byte with its echo.
    if (tty_dtr(serial_fd, 0) != 0) return 2;
    tty_sleep_ms(1);
    if (tty_dtr(serial_fd, 1) != 0) return 3;
    if (tty_write(serial_fd, "Z", 1) != 0) return 4;
    if (tty_dtr(serial_fd, 0) != 0) return 5;
    tty_sleep_ms(1);
    if (tty_dtr(serial_fd, 1) != 0) return 6;
    // Anything the reset shook loose must not be taken for the echo.
    if (tty_flush(serial_fd) != 0) return 7;
    if (tty_write(serial_fd, &wake, 1) != 0) return 8;
    int reply = tty_getc(serial_fd, kReplyTimeout);
    if (reply < 0) return 9;
    return std::toupper(reply) == static_cast<unsigned char>(wake) ? 0 : 10;
}

}  // namespace

int icd2_init(const char* path) {
    serial_fd = tty_open(path, kHandshakeBaud);
    if (serial_fd < 0) {
        // A failure code, not a descriptor: tty_open closed what it opened.
        icd2_port_closed(serial_fd);
        return 1;
    }
    // A port that a failed step has closed is forgotten already, so what is
    // dropped here is one still open.
    if (icd2_connect('U') != 0) {
        icd2_drop_port(serial_fd);
        return 2;
    }
    // The ICD2 takes "4D" at the handshake speed and switches to the working
    // speed after answering it.
    if (do_command("4D") == nullptr) {
        icd2_drop_port(serial_fd);
        return 3;
    }
    if (tty_set_baud(serial_fd, kWorkingBaud) != 0) {
        icd2_port_closed(serial_fd);
        return 4;
    }
    tty_sleep_ms(10);
    return 0;
}

int icd2_connect(char wake) {
    int result = handshake(wake);
    // The serial operation that failed closed the port; waiting for the reply
    // does not.
    if (result != 0 && result < kFirstReplyFailure) icd2_port_closed(serial_fd);
    return result;
}

int icd2_close() {
    icd2_drop_port(serial_fd);
    return 0;
}

int get_firmware_details(Icd2FirmwareDetails* details) {
    if (details == nullptr) return 1;
    const char* body = status_body("07", 4, "get_firmware_details");
    if (body == nullptr) return 2;
    details->firmware_id = static_cast<uint8_t>(ascii2hex(body + 2));
    body = status_body("01", 8, "get_firmware_details");
    if (body == nullptr) return 3;
    for (int i = 0; i < 3; ++i) {
        details->version[i] = static_cast<uint8_t>(ascii2hex(body + 2 + 2 * i));
    }
    // Bytes of 100 or more need three digits; the text is cut to its field
    // rather than written past it.
    char text[sizeof "255.255.255.255"];
    std::snprintf(text, sizeof text, "%02d.%02d.%02d.%02d", details->firmware_id,
                  details->version[0], details->version[1], details->version[2]);
    std::memset(details->version_text, 0, sizeof details->version_text);
    std::memcpy(details->version_text, text,
                std::min(std::strlen(text), sizeof details->version_text - 1));
    return 0;
}

int get_voltages(Icd2Voltages* voltages) {
    if (voltages == nullptr) return 1;
    const char* body = status_body("37", 4, "get_voltages");
    if (body == nullptr) return 1;
    voltages->reading_37 = reading(body, kSupplyScale);
    body = status_body("34", 4, "get_voltages");
    if (body == nullptr) return 2;
    voltages->target_vdd = reading(body, kTargetVddScale);
    body = status_body("35", 4, "get_voltages");
    if (body == nullptr) return 3;
    voltages->reading_35 = reading(body, kSupplyScale);
    return 0;
}

int get_self_test(Icd2SelfTest* self_test) {
    if (self_test == nullptr) return 1;
    const char* body = status_body("02", 12, "get_self_test");
    if (body == nullptr) return 2;
    // The ICD2 reports target VDD first; the record keeps module VPP first.
    self_test->target_vdd = test_result(ascii2hex(body + 2));
    self_test->module_vpp = test_result(ascii2hex(body + 4));
    self_test->mclr_gnd = test_result(ascii2hex(body + 6));
    self_test->mclr_vdd = test_result(ascii2hex(body + 8));
    self_test->mclr_vpp = test_result(ascii2hex(body + 10));
    bool all_pass = self_test->target_vdd == ICD2_TEST_PASS &&
                    self_test->module_vpp == ICD2_TEST_PASS &&
                    self_test->mclr_gnd == ICD2_TEST_PASS &&
                    self_test->mclr_vdd == ICD2_TEST_PASS && self_test->mclr_vpp == ICD2_TEST_PASS;
    self_test->overall = all_pass ? ICD2_TEST_PASS : ICD2_TEST_FAIL;
    return 0;
}

int set_target_family_type(uint8_t family) {
    // The text is built in place, so the "memory Allocation error" case of a
    // heap-built text cannot arise. The ICD2 wants the family in lower case.
    char command[8];
    std::snprintf(command, sizeof command, "2A%02x", family);
    return do_command(command) == nullptr ? 2 : 0;
}

int set_end_of_code_space(uint32_t last_address) {
    char command[16];
    std::snprintf(command, sizeof command, "06%06X", last_address);
    return do_command(command) == nullptr ? 2 : 0;
}
