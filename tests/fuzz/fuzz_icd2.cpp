// Plays the ICD2 with arbitrary bytes: the input chooses a few host
// operations (command exchanges, response reads, data block reads and block
// transfers) and the rest of it is everything the "ICD2" sends, written into
// the far end of a socket pair that stands in for the serial line. The far
// end is shut for writing, so the host meets the end of the line at once
// instead of waiting out its 5-second timeouts.
//
// The sanitizers catch any access outside payload or the caller's buffers
// (the buffers are heap blocks of exactly the size asked for); the checks
// below hold every result to its documented set.
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "icd2/icd2.h"

namespace {

using fuzz::require;

// Layout of an input: up to kMaxOperations pairs (selector, count), each
// selector with bit 7 set when another pair follows; then the line's bytes.
constexpr size_t kMaxOperations = 4;
// A socket's buffer holds this much without blocking the writer.
constexpr size_t kMaxLineBytes = 32 * 1024;

enum Operation : uint8_t {
    DO_COMMAND = 0,
    RECEIVE_RESPONSE = 1,
    EXPECT_RESPONSE = 2,
    WORD_READ = 3,
    BYTE_READ = 4,
    GET_WORDS = 5,
    GET_BYTES = 6,
    SEND_BLOCK = 7,
};

struct Step {
    Operation operation;
    bool flag;          // null buffer for reads; bytes instead of words for sends;
                        // a status command instead of a plain one
    uint8_t selection;  // picks a command or a code
    uint32_t count;
};

constexpr std::array<const char*, 10> kCommands = {
    "07", "4D", "05FF", "2A03", "2a0f", "3300", "29", "0600001FFF", "470000000000000010", "00"};
constexpr std::array<const char*, 4> kCodes = {"47", "4A", "49", "48"};

struct Free {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Buffer = std::unique_ptr<T[], Free>;

// Exactly count elements, so that one element too many is a heap overflow.
// malloc(0) still gives a block that no element may touch.
template <typename T>
Buffer<T> exact_buffer(uint32_t count, T fill) {
    auto* block = static_cast<T*>(std::malloc(sizeof(T) * count));
    require(block != nullptr || count == 0, "out of memory");
    for (uint32_t i = 0; i < count; ++i) block[i] = fill;
    return Buffer<T>(block);
}

int hex_pair(const char* text) {
    const char pair[3] = {text[0], text[1], '\0'};
    return static_cast<int>(std::strtol(pair, nullptr, 16));
}

void check_payload() {
    if (payload == nullptr) return;
    require(payload_length >= 64 && payload_length % 64 == 0, "payload capacity off its steps");
    // The sanitizer reports a missing terminator here.
    require(std::strlen(payload) <= static_cast<size_t>(payload_length),
            "payload holds more than its capacity");
}

// A body handed back must be the payload, answer the code, and not be one of
// the ICD2's own "00" messages.
void check_answer(const char* body, const char* code) {
    if (body == nullptr) return;
    require(body == payload, "response body outside payload");
    require(strncasecmp(body, code, std::strlen(code)) == 0, "response does not answer the code");
    require(strncasecmp(body, "00", 2) != 0 || strncasecmp(code, "00", 2) == 0,
            "an unknown-command message was taken as the answer");
}

bool one_of(int value, std::initializer_list<int> allowed) {
    for (const int candidate : allowed) {
        if (value == candidate) return true;
    }
    return false;
}

// The line is at its end, never silent, so no read may time out.
void check_block_read(int result) {
    require(one_of(result, {-2, 0, 1, 2, 3, 4, 5}), "data block read gave an undocumented result");
}

// When the first operation reads straight from the line, a success can be
// checked against the bytes themselves.
void check_first_block(const std::string& line, int result, uint32_t count, int digits,
                       const int* words, const uint8_t* bytes) {
    if (result != 0) return;
    const size_t trailer = 1 + static_cast<size_t>(digits) * count;
    require(line.size() >= trailer + 3 && line[0] == '{' && line[trailer + 2] == '}',
            "a block without its braces was accepted");
    unsigned int sum = 0;
    for (size_t i = 1; i < trailer; ++i) sum += static_cast<unsigned char>(line[i]);
    require(static_cast<int>(sum % 256) == hex_pair(&line[trailer]),
            "a block with a wrong checksum was accepted");
    for (uint32_t i = 0; i < count; ++i) {
        const char* element = &line[1 + static_cast<size_t>(digits) * i];
        if (words != nullptr) {
            // Low byte first on the line.
            require(words[i] == hex_pair(element + 2) * 256 + hex_pair(element),
                    "a word was decoded wrongly");
        }
        if (bytes != nullptr) {
            require(bytes[i] == hex_pair(element), "a byte was decoded wrongly");
        }
    }
}

void check_first_response(const std::string& line, const char* body) {
    if (body == nullptr) return;
    const size_t start = line.find('[');
    require(start != std::string::npos && line.size() >= start + 3,
            "a response was made up without a frame");
    const int frame_length = hex_pair(&line[start + 1]);
    require(frame_length >= 6, "a frame shorter than its own framing was accepted");
    const size_t body_length = static_cast<size_t>(frame_length) - 6;
    require(line.size() >= start + 3 + body_length + 3 && line[start + 3 + body_length + 2] == ']',
            "a response without its closing bracket was accepted");
    require(std::strlen(body) <= body_length &&
                line.compare(start + 3, std::strlen(body), body) == 0,
            "the response body differs from the frame's");
}

void run_word_read(const Step& step, bool first, const std::string& line) {
    Buffer<int> buffer = exact_buffer<int>(step.count, -1);
    int* target = step.flag ? nullptr : buffer.get();
    int result;
    {
        fuzz::Silenced quiet;
        result = icd2_word_read(serial_fd, target, step.count);
    }
    check_block_read(result);
    for (uint32_t i = 0; i < step.count; ++i) {
        require(buffer[i] == -1 || (target != nullptr && buffer[i] >= 0 && buffer[i] <= 0xFFFF),
                "a stored word is out of range, or stored without a buffer");
        require(result != 0 || target == nullptr || buffer[i] != -1,
                "a successful read left a word unset");
    }
    if (first) check_first_block(line, result, step.count, 4, target, nullptr);
}

void run_byte_read(const Step& step, bool first, const std::string& line) {
    Buffer<uint8_t> buffer = exact_buffer<uint8_t>(step.count, 0);
    uint8_t* target = step.flag ? nullptr : buffer.get();
    int result;
    {
        fuzz::Silenced quiet;
        result = icd2_byte_read(serial_fd, target, step.count);
    }
    check_block_read(result);
    if (first) check_first_block(line, result, step.count, 2, nullptr, target);
}

void run_transfer(const Step& step) {
    const char* code = kCodes[step.selection % kCodes.size()];
    const uint32_t address = static_cast<uint32_t>(step.selection) * 0x10001U;
    int result = 0;
    if (step.operation == GET_WORDS) {
        Buffer<int> buffer = exact_buffer<int>(step.count, -1);
        fuzz::Silenced quiet;
        result = icd2_get_words(step.flag ? nullptr : buffer.get(), code, address, step.count);
    } else if (step.operation == GET_BYTES) {
        Buffer<uint8_t> buffer = exact_buffer<uint8_t>(step.count, 0);
        fuzz::Silenced quiet;
        result = icd2_get_bytes(step.flag ? nullptr : buffer.get(), code, address, step.count);
    } else if (step.flag) {
        Buffer<uint8_t> buffer = exact_buffer<uint8_t>(step.count, 0xA5);
        fuzz::Silenced quiet;
        result = icd2_send_bytes(buffer.get(), code, address, step.count);
    } else {
        Buffer<int> buffer = exact_buffer<int>(step.count, 0x12345);
        fuzz::Silenced quiet;
        result = icd2_send_words(buffer.get(), code, address, step.count);
    }
    require(one_of(result, {0, 1, 2, 3}), "block transfer gave an undocumented result");
}

bool is_test_result(Icd2TestResult result) {
    return result == ICD2_TEST_PASS || result == ICD2_TEST_LOW || result == ICD2_TEST_HIGH ||
           result == ICD2_TEST_FAIL;
}

// The status and set-up commands, which decode the response data.
void run_status_command(const Step& step) {
    switch (step.selection % 5) {
        case 0: {
            Icd2FirmwareDetails details{};
            std::memset(details.version_text, 'x', sizeof details.version_text);
            int result;
            {
                fuzz::Silenced quiet;
                result = get_firmware_details(&details);
            }
            require(one_of(result, {0, 2, 3}), "get_firmware_details gave an undocumented result");
            if (result == 0) {
                require(std::memchr(details.version_text, '\0', sizeof details.version_text),
                        "version text without terminator");
            }
            break;
        }
        case 1: {
            Icd2Voltages voltages{};
            int result;
            {
                fuzz::Silenced quiet;
                result = get_voltages(&voltages);
            }
            require(one_of(result, {0, 1, 2, 3}), "get_voltages gave an undocumented result");
            require(voltages.reading_37 >= 0 && voltages.target_vdd >= 0 &&
                        voltages.reading_35 >= 0,
                    "a negative voltage was decoded");
            break;
        }
        case 2: {
            Icd2SelfTest test{};
            int result;
            {
                fuzz::Silenced quiet;
                result = get_self_test(&test);
            }
            require(one_of(result, {0, 2}), "get_self_test gave an undocumented result");
            if (result == 0) {
                const Icd2TestResult parts[] = {test.module_vpp, test.target_vdd, test.mclr_gnd,
                                                test.mclr_vdd, test.mclr_vpp};
                bool all_pass = true;
                for (const Icd2TestResult part : parts) {
                    require(is_test_result(part), "self-test result out of range");
                    all_pass = all_pass && part == ICD2_TEST_PASS;
                }
                require(test.overall == (all_pass ? ICD2_TEST_PASS : ICD2_TEST_FAIL),
                        "overall self-test result disagrees with its parts");
            }
            break;
        }
        case 3: {
            fuzz::Silenced quiet;
            const int result = set_target_family_type(static_cast<uint8_t>(step.count));
            require(one_of(result, {0, 2}), "set_target_family_type gave an undocumented result");
            break;
        }
        default: {
            fuzz::Silenced quiet;
            const int result = set_end_of_code_space(step.count * 0x101U);
            require(one_of(result, {0, 2}), "set_end_of_code_space gave an undocumented result");
            break;
        }
    }
}

void run(const Step& step, bool first, const std::string& line) {
    switch (step.operation) {
        case DO_COMMAND: {
            if (step.flag) {
                run_status_command(step);
                break;
            }
            const char* command = kCommands[step.selection % kCommands.size()];
            const char code[3] = {command[0], command[1], '\0'};
            char* body;
            {
                fuzz::Silenced quiet;
                body = do_command(command);
            }
            check_answer(body, code);
            break;
        }
        case RECEIVE_RESPONSE: {
            char* body;
            {
                fuzz::Silenced quiet;
                body = receive_response(serial_fd);
            }
            require(body == nullptr || body == payload, "response body outside payload");
            if (first) check_first_response(line, body);
            break;
        }
        case EXPECT_RESPONSE: {
            const char* code = kCodes[step.selection % kCodes.size()];
            char* body;
            {
                fuzz::Silenced quiet;
                body = expect_response(serial_fd, code);
            }
            check_answer(body, code);
            break;
        }
        case WORD_READ:
            run_word_read(step, first, line);
            break;
        case BYTE_READ:
            run_byte_read(step, first, line);
            break;
        default:
            run_transfer(step);
            break;
    }
    check_payload();
}

// A socket pair whose far end has sent everything it will ever send.
class Line {
public:
    explicit Line(const std::string& bytes) {
        require(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) == 0, "socketpair failed");
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = write(ends_[1], bytes.data() + done, bytes.size() - done);
            require(written > 0, "cannot fill the line");
            done += static_cast<size_t>(written);
        }
        // Reads meet the end of the line at once. The far end's reading side
        // stays open so that the host's commands can still be written.
        shutdown(ends_[1], SHUT_WR);
        // Non-blocking like the real port: should the host ever outrun the
        // room in the socket, its write fails instead of hanging the run.
        const int flags = fcntl(ends_[0], F_GETFL);
        fcntl(ends_[0], F_SETFL, flags | O_NONBLOCK);
    }
    // Throws away what the host has written, as the ICD2 would consume it.
    // Every element of a block is a write of its own, and each small write
    // takes far more room in the socket than its bytes.
    void drain() {
        char sink[4096];
        while (recv(ends_[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    ~Line() {
        // The host closes its end itself on most failures; nothing has been
        // opened since, so a valid descriptor here is still ours.
        if (fcntl(ends_[0], F_GETFD) != -1) close(ends_[0]);
        close(ends_[1]);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    int host() const { return ends_[0]; }

private:
    int ends_[2] = {-1, -1};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Should the far end ever be closed early, a write must fail, not kill.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Step steps[kMaxOperations];
    size_t used = 0;
    size_t position = 0;
    for (bool more = true; more && used < kMaxOperations;) {
        if (position + 2 > size) return 0;
        const uint8_t selector = data[position];
        steps[used++] = Step{static_cast<Operation>(selector & 0x07), (selector & 0x08) != 0,
                             static_cast<uint8_t>((selector >> 4) & 0x07), data[position + 1]};
        more = (selector & 0x80) != 0;
        position += 2;
    }
    const std::string line(reinterpret_cast<const char*>(data) + position,
                           std::min(size - position, kMaxLineBytes));

    Line link(line);
    serial_fd = link.host();
    for (size_t i = 0; i < used; ++i) {
        run(steps[i], i == 0, line);
        link.drain();
    }
    return 0;
}
