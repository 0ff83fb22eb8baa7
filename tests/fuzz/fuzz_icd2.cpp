// Plays the ICD2 with arbitrary bytes: the input chooses a few host operations and the rest is all
// the "ICD2" ever sends, on a socket pair shut for writing so that the host meets the end of the
// line, not its 5-second timeouts. The sanitizers catch accesses outside payload or the exact-size
// buffers; the checks hold results to their documented sets (the stack trace names the call) and
// what the first operation accepts to the bytes on the line.
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "icd2/icd2.h"
#include "icd2/tty.h"

namespace {

using fuzz::require;
using fuzz::require_one_of;

// An input: up to kMaxSteps pairs (selector, count), each selector with bit 7 set when another pair
// follows; then the line's bytes, as many as a socket holds without blocking the writer.
constexpr size_t kMaxSteps = 4;
constexpr size_t kMaxLineBytes = 32 * 1024;

enum Operation { COMMAND, RECEIVE, EXPECT, WORD_READ, BYTE_READ, GET_WORDS, GET_BYTES, SEND };

struct Step {
    Operation operation;
    bool flag;          // reads: no buffer; SEND: bytes; COMMAND: a status or set-up command
    uint8_t selection;  // picks a command or a code
    uint32_t count;
};

const char* const kCommands[] = {
    "07", "4D", "05FF", "2A03", "2a0f", "3300", "29", "0600001FFF", "470000000000000010", "00"};
const char* const kCodes[] = {"47", "4A", "49", "48"};

// Exactly count elements, so that one element too many is a heap overflow.
template <typename T>
std::unique_ptr<T[], decltype(&std::free)> exact_buffer(uint32_t count, T fill) {
    auto* block = static_cast<T*>(std::malloc(sizeof(T) * count));
    require(block != nullptr || count == 0, "out of memory");
    std::fill_n(block, count, fill);
    return {block, &std::free};
}

int hex_pair(const char* text) {
    const char pair[3] = {text[0], text[1], '\0'};
    return static_cast<int>(std::strtol(pair, nullptr, 16));
}

// A body handed back must be the payload, answer the code, and not be one
// of the ICD2's own "00" messages.
void check_answer(const char* body, std::string_view code) {
    if (body == nullptr) return;
    require(body == payload, "response body outside payload");
    require(strncasecmp(body, code.data(), code.size()) == 0, "response does not answer the code");
    require(strncasecmp(body, "00", 2) != 0 || code == "00",
            "an unknown-command message was taken as the answer");
}

void check_first_response(const std::string& line, const char* body) {
    const size_t start = line.find('[');
    require(start != std::string::npos && line.size() >= start + 3, "a response without a frame");
    const int frame_length = hex_pair(&line[start + 1]);
    require(frame_length >= 6, "a frame shorter than its own framing was accepted");
    const size_t body_length = static_cast<size_t>(frame_length) - 6;
    require(line.size() >= start + body_length + 6 && line[start + body_length + 5] == ']',
            "a response without its closing bracket was accepted");
    require(
        std::strlen(body) <= body_length && line.compare(start + 3, std::strlen(body), body) == 0,
        "the response body differs from the frame's");
}

template <typename T>
void run_block_read(const Step& step, bool first, const std::string& line) {
    const size_t digits = sizeof(T) == 1 ? 2 : 4;
    const T unset = static_cast<T>(-1);
    auto buffer = exact_buffer<T>(step.count, unset);
    T* target = step.flag ? nullptr : buffer.get();
    int result;
    if constexpr (sizeof(T) == 1) result = icd2_byte_read(serial_fd, target, step.count);
    if constexpr (sizeof(T) > 1) result = icd2_word_read(serial_fd, target, step.count);
    // The line ends, but is never silent: no read may time out.
    require_one_of(result, {-2, 0, 1, 2, 3, 4, 5});
    for (uint32_t i = 0; i < step.count; ++i) {
        require(target != nullptr || buffer[i] == unset, "an element stored without a buffer");
        if constexpr (sizeof(T) > 1) {
            require(buffer[i] == unset || (buffer[i] >= 0 && buffer[i] <= 0xFFFF),
                    "word out of range");
            require(result != 0 || target == nullptr || buffer[i] != unset, "a word left unset");
        }
    }
    if (!first || result != 0) return;
    const size_t trailer = 1 + digits * step.count;
    require(line.size() >= trailer + 3 && line[0] == '{' && line[trailer + 2] == '}',
            "a block without its braces was accepted");
    unsigned sum = 0;
    for (size_t i = 1; i < trailer; ++i) sum += static_cast<unsigned char>(line[i]);
    require(static_cast<int>(sum % 256) == hex_pair(&line[trailer]),
            "a block with a wrong checksum was accepted");
    for (uint32_t i = 0; target != nullptr && i < step.count; ++i) {
        const char* element = &line[1 + digits * i];  // low byte first
        const int value =
            digits == 4 ? hex_pair(element + 2) * 256 + hex_pair(element) : hex_pair(element);
        require(target[i] == value, "an element was decoded wrongly");
    }
}

void run_transfer(const Step& step) {
    const char* code = kCodes[step.selection % 4];
    const uint32_t address = step.selection * 0x10001U;
    auto words = exact_buffer<int>(step.count, 0x12345);  // only the low 16 bits travel
    auto bytes = exact_buffer<uint8_t>(step.count, 0xA5);
    int* w = step.flag && step.operation != SEND ? nullptr : words.get();
    uint8_t* b = step.flag && step.operation != SEND ? nullptr : bytes.get();
    const int result = step.operation == GET_WORDS   ? icd2_get_words(w, code, address, step.count)
                       : step.operation == GET_BYTES ? icd2_get_bytes(b, code, address, step.count)
                       : step.flag                   ? icd2_send_bytes(b, code, address, step.count)
                                   : icd2_send_words(w, code, address, step.count);
    require_one_of(result, {0, 1, 2, 3});
}

// The status and set-up commands, which decode the response data.
void run_status_command(const Step& step) {
    Icd2FirmwareDetails details{};
    std::memset(details.version_text, 'x', sizeof details.version_text);
    Icd2Voltages v{};
    Icd2SelfTest t{};
    switch (step.selection % 5) {
        case 0:
            if (require_one_of(get_firmware_details(&details), {0, 2, 3}) == 0)
                require(std::memchr(details.version_text, '\0', 12) != nullptr,
                        "version text without terminator");
            break;
        case 1:
            require_one_of(get_voltages(&v), {0, 1, 2, 3});
            require(v.reading_37 >= 0 && v.target_vdd >= 0 && v.reading_35 >= 0,
                    "a negative voltage");
            break;
        case 2: {
            const int result = require_one_of(get_self_test(&t), {0, 2});
            const int parts[] = {t.module_vpp, t.target_vdd, t.mclr_gnd, t.mclr_vdd, t.mclr_vpp};
            const bool passed = std::count(parts, parts + 5, ICD2_TEST_PASS) == 5;
            require(result != 0 || *std::max_element(parts, parts + 5) <= ICD2_TEST_FAIL,
                    "self-test result out of range");
            require(result != 0 || t.overall == (passed ? ICD2_TEST_PASS : ICD2_TEST_FAIL),
                    "overall self-test result disagrees with its parts");
            break;
        }
        case 3:
            require_one_of(set_target_family_type(static_cast<uint8_t>(step.count)), {0, 2});
            break;
        default:
            require_one_of(set_end_of_code_space(step.count * 0x101U), {0, 2});
    }
}

void run(const Step& step, bool first, const std::string& line) {
    const char* command = kCommands[step.selection % 10];
    const char* code = kCodes[step.selection % 4];
    if (step.operation == COMMAND && step.flag) {
        run_status_command(step);
    } else if (step.operation == COMMAND) {
        check_answer(do_command(command), {command, 2});
    } else if (step.operation == RECEIVE) {
        const char* body = receive_response(serial_fd);
        require(body == nullptr || body == payload, "response body outside payload");
        if (first && body != nullptr) check_first_response(line, body);
    } else if (step.operation == EXPECT) {
        check_answer(expect_response(serial_fd, code), code);
    } else if (step.operation == WORD_READ || step.operation == BYTE_READ) {
        step.operation == WORD_READ ? run_block_read<int>(step, first, line)
                                    : run_block_read<uint8_t>(step, first, line);
    } else {
        run_transfer(step);
    }
    if (payload == nullptr) return;
    require(payload_length >= 64 && payload_length % 64 == 0, "payload capacity off its steps");
    // The sanitizer reports a missing terminator here.
    require(std::strlen(payload) <= static_cast<size_t>(payload_length), "payload overfull");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a closed far end must fail, not kill
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Step steps[kMaxSteps];
    size_t used = 0, position = 0;
    for (bool more = true; more && used < kMaxSteps; position += 2) {
        if (position + 2 > size) return 0;
        const uint8_t selector = data[position];
        steps[used++] = {static_cast<Operation>(selector & 0x07), (selector & 0x08) != 0,
                         static_cast<uint8_t>((selector >> 4) & 0x07), data[position + 1]};
        more = (selector & 0x80) != 0;
    }
    const std::string line(reinterpret_cast<const char*>(data) + position,
                           std::min(size - position, kMaxLineBytes));
    int ends[2];
    require(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0, "socketpair failed");
    const int host = serial_fd = ends[0], icd2 = ends[1];
    require(write(icd2, line.data(), line.size()) == static_cast<ssize_t>(line.size()),
            "cannot fill the line");
    // The ICD2 has said all it ever will, but still takes what the host
    // writes; the host's end is non-blocking like the real port, so a host
    // that outran the room in the socket fails instead of hanging the run.
    shutdown(icd2, SHUT_WR);
    fcntl(host, F_SETFL, O_NONBLOCK);
    const fuzz::Silenced silenced;
    char sink[4096];
    for (size_t i = 0; i < used; ++i) {
        run(steps[i], i == 0, line);
        // What the host wrote is taken away, as the ICD2 would consume it:
        // each small write takes far more room in the socket than its bytes.
        while (recv(icd2, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    // The host closes its end itself on most failures; the rest is closed as the port, so that no
    // byte taken ahead reaches the next input, which gets the same descriptor number.
    if (fcntl(host, F_GETFD) != -1) tty_close(host);
    close(icd2);
    return 0;
}
