// Command and response frames: "<LLtextCC>" out, "[LLbodyCC]" in, where LL
// is the whole frame's length and CC the sum of the length digits and the
// text. Every ICD2 command of the program goes through do_command.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "icd2/icd2.h"
#include "icd2/icd2_port.h"
#include "icd2/tty.h"
#include "log/log.h"

int serial_fd = -1;
char* payload = nullptr;
int payload_length = 0;

namespace {

constexpr const char* kModule = "icd2";
constexpr int kByteTimeout = 5;
// "<", two length digits, two checksum digits and ">" around the text.
constexpr int kFrameOverhead = 6;
// The frame length travels as two hex digits.
constexpr size_t kLongestCommand = 0xFF - kFrameOverhead;
constexpr int kPayloadStep = 64;

unsigned int add_characters(unsigned int sum, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(text[i]);
    return sum;
}

// Grows payload to hold a frame of frame_length characters. The buffer is
// kept for the whole run because callers hold pointers into it until the
// next response; on failure the old buffer stays as it was.
bool reserve_payload(int frame_length) {
    int capacity = payload != nullptr ? payload_length : kPayloadStep;
    while (capacity < frame_length) capacity += kPayloadStep;
    if (payload != nullptr && capacity == payload_length) return true;
    void* grown = std::realloc(payload, static_cast<size_t>(capacity) + 1);
    if (grown == nullptr) return false;
    payload = static_cast<char*>(grown);
    payload_length = capacity;
    // A body read that fails part way leaves no terminator of its own; this
    // one keeps the buffer a string whatever happens.
    payload[capacity] = '\0';
    return true;
}

// The ICD2 cannot be trusted to stay in step after a garbled frame, so the
// link is given up: the port is closed and the reason goes to the user.
char* reject_frame(int fd) {
    icd2_drop_port(fd);
    std::printf("Malformed response\n");
    std::fflush(stdout);
    return nullptr;
}

}  // namespace

void icd2_port_closed(int fd) {
    if (fd == serial_fd) serial_fd = -1;
}

void icd2_drop_port(int fd) {
    if (fd >= 0) tty_close(fd);
    icd2_port_closed(fd);
}

bool icd2_write(int fd, const char* bytes, size_t length) {
    if (tty_write(fd, bytes, length) == 0) return true;
    icd2_port_closed(fd);
    return false;
}

int ascii2hex(const char* text) {
    // Only two characters are ever looked at; a terminator in the first
    // stops the copy so that nothing past the end of a string is read.
    char scratch[3] = {text[0], '\0', '\0'};
    if (scratch[0] != '\0') scratch[1] = text[1];
    return static_cast<int>(std::strtol(scratch, nullptr, 16));
}

int send_command(int fd, const char* command) {
    size_t length = std::strlen(command);
    if (length > kLongestCommand) {
        // Its length would not fit the frame's two digits and the ICD2 would
        // read a wrong frame.
        log_message(1, 1, kModule, "send_command", "Command too long: %zu characters", length);
        return 1;
    }
    char header[4];
    std::snprintf(header, sizeof header, "<%02X",
                  static_cast<unsigned int>(length) + kFrameOverhead);
    // The checksum covers the length digits and the text, not the brackets.
    unsigned int sum = add_characters(0, header + 1, 2);
    sum = add_characters(sum, command, length) % 256;
    char trailer[4];
    std::snprintf(trailer, sizeof trailer, "%02X>", sum);

    if (!icd2_write(fd, header, 3)) return 1;
    if (!icd2_write(fd, command, length)) return 2;
    if (!icd2_write(fd, trailer, 3)) return 3;
    return 0;
}

char* receive_response(int fd) {
    // Whatever precedes "[" (the echo of a wake byte, the tail of a block
    // left unread after a failure) is not a frame and is dropped.
    char byte[2];
    do {
        if (tty_read(fd, byte, 1, kByteTimeout) != 0) return nullptr;
    } while (byte[0] != '[');

    char length_digits[3];
    if (tty_read(fd, length_digits, 2, kByteTimeout) != 0) return nullptr;
    int frame_length = ascii2hex(length_digits);
    // Shorter than its own brackets, length and checksum: no body to read.
    if (frame_length < kFrameOverhead) return reject_frame(fd);
    if (!reserve_payload(frame_length)) {
        icd2_drop_port(fd);
        return nullptr;
    }
    // The body, the checksum and the end character in one burst; the
    // trailer is then moved out and the body terminated.
    const int body_length = frame_length - kFrameOverhead;
    if (tty_read(fd, payload, body_length + 3, kByteTimeout) != 0) return nullptr;
    char trailer[4];
    std::memcpy(trailer, payload + body_length, 4);
    payload[body_length] = '\0';

    unsigned int sum = add_characters(0, length_digits, 2);
    sum = add_characters(sum, payload, std::strlen(payload)) % 256;
    if (static_cast<int>(sum) != ascii2hex(trailer)) {
        icd2_drop_port(fd);
        std::printf("Invalid checksum %02X\n", sum);
        std::fflush(stdout);
        return nullptr;
    }
    if (trailer[2] != ']') return reject_frame(fd);
    return payload;
}

char* expect_response(int fd, const char* expected) {
    // The answer is a frame at least as long as one that holds the code.
    tty_expect(fd, kFrameOverhead + static_cast<int>(std::strlen(expected)));
    char* body = receive_response(fd);
    // "00" frames are the ICD2 talking on its own account, never an answer.
    while (body != nullptr && strncasecmp(body, "00", 2) == 0) {
        log_message(3, 1, kModule, "expect_response", "Ignoring unknown command %s", body);
        body = receive_response(fd);
    }
    if (body == nullptr) return nullptr;
    if (strncasecmp(body, expected, std::strlen(expected)) == 0) return body;
    log_message(2, 2, kModule, "expect_response", "Expecting: %s Got: %s", expected, body);
    return nullptr;
}

char* do_command(const char* command) {
    if (send_command(serial_fd, command) != 0) return nullptr;
    char code[3] = {};
    std::strncpy(code, command, 2);
    return expect_response(serial_fd, code);
}
