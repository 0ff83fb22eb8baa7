// Block transfers of target memory: a command frame naming the space,
// address and count, one "{digits CC}" data block, and a closing response
// frame with the same code.

#include <cstdarg>
#include <cstdio>
#include <string>

#include "icd2/icd2.h"
#include "icd2/icd2_port.h"
#include "icd2/tty.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "icd2";
constexpr int kByteTimeout = 5;
constexpr int kWordDigits = 4;
constexpr int kByteDigits = 2;

std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format_text(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}

// The shortest frame that answers a block command: "[", length, the code,
// checksum, "]".
constexpr int kAnswerFrame = 8;

// The block operations differ only in the data block they move in between.
// answer_block is the length of the data block the ICD2 sends after its
// answer to the command (0 when the block goes to it).
template <typename DataBlock>
int block_transfer(const char* code, uint32_t address, uint32_t count, int answer_block,
                   DataBlock data_block) {
    std::string command = format_text("%s%08X%08X", code, address, count);
    // A read is answered in one go: the answer, the block, the closing frame.
    if (answer_block > 0) tty_expect(serial_fd, kAnswerFrame + answer_block + kAnswerFrame);
    if (do_command(command.c_str()) == nullptr) return 1;
    if (data_block() != 0) return 2;
    if (expect_response(serial_fd, code) == nullptr) return 3;
    return 0;
}

// "{", the elements' digits, checksum, "}"; beyond what the serial module
// takes ahead in one burst it does not matter how far.
int block_length(uint32_t count, int digits) {
    return count > static_cast<uint32_t>(kTtyReadAhead) ? kTtyReadAhead
                                                        : static_cast<int>(count) * digits + 4;
}

struct BlockRead {
    int result;
    int offending;  // the wrong start or end character, for results 1 and 5
};

// Receives a block of count elements of digits characters each and hands
// each element's digits to store. The start and end characters frame the
// block: when either is wrong the ICD2 is out of step, so the port is given
// up. A missing digit or a bad checksum leaves it open; the next response
// reader skips the leftovers up to its "[".
template <typename Store>
BlockRead read_elements(int fd, uint32_t count, int digits, const char* function, Store store) {
    unsigned int sum = 0;
    int start = tty_getc(fd, kByteTimeout);
    if (start < 0) {
        icd2_drop_port(fd);
        return {start, 0};
    }
    if (start != '{') {
        icd2_drop_port(fd);
        return {1, start};
    }
    // All the elements' digits in one burst; the elements that arrived whole
    // are stored even when the rest does not come.
    std::string elements(static_cast<size_t>(count) * static_cast<size_t>(digits) + 1, '\0');
    int received = 0;
    int status = tty_read_burst(fd, elements.data(), static_cast<int>(elements.size() - 1),
                                kByteTimeout, &received);
    for (uint32_t index = 0; index < static_cast<uint32_t>(received / digits); ++index) {
        const char* element = elements.data() + static_cast<size_t>(index) * digits;
        char copy[kWordDigits + 1] = {};
        for (int i = 0; i < digits; ++i) copy[i] = element[i];
        store(index, copy);
        for (int i = 0; i < digits; ++i) sum += static_cast<unsigned char>(element[i]);
    }
    if (status != 0) return {2, 0};
    char trailer[4];
    if (tty_read(fd, trailer, 3, kByteTimeout) != 0) return {3, 0};
    if (static_cast<int>(sum % 256) != ascii2hex(trailer)) {
        log_message(1, 4, kModule, function, "Invalid checksum");
        return {4, 0};
    }
    if (trailer[2] != '}') {
        icd2_drop_port(fd);
        return {5, static_cast<unsigned char>(trailer[2])};
    }
    return {0, 0};
}

// A wrong start or end character is logged with the element's name ("word",
// "byte").
template <typename Store>
int read_block(int fd, uint32_t count, int digits, const char* function, const char* element_name,
               Store store) {
    BlockRead block = read_elements(fd, count, digits, function, store);
    if (block.result == 1) {
        log_message(1, 1, kModule, function, "Invalid start of %s character: %c", element_name,
                    block.offending);
    } else if (block.result == 5) {
        log_message(1, 5, kModule, function, "Invalid end of %s character: %c", element_name,
                    block.offending);
    }
    return block.result;
}

// Sends count elements, each formatted by format into its digits and
// written with one call.
template <typename Format>
int write_block(int fd, uint32_t count, Format format) {
    if (!icd2_write(fd, "{", 1)) return 1;
    unsigned int sum = 0;
    char element[kWordDigits + 1];
    for (uint32_t index = 0; index < count; ++index) {
        int length = format(index, element);
        if (!icd2_write(fd, element, static_cast<size_t>(length))) return 2;
        for (int i = 0; i < length; ++i) sum += static_cast<unsigned char>(element[i]);
    }
    char trailer[4];
    std::snprintf(trailer, sizeof trailer, "%02X}", sum % 256);
    if (!icd2_write(fd, trailer, 3)) return 3;
    return 0;
}

}  // namespace

int icd2_word_read(int fd, int* buffer, uint32_t count) {
    return read_block(fd, count, kWordDigits, "icd2_word_read", "word",
                      [buffer](uint32_t index, const char* digits) {
                          // Low byte first on the wire.
                          if (buffer != nullptr)
                              buffer[index] =
                                  (ascii2hex(digits + 2) * 256 + ascii2hex(digits)) & 0xFFFF;
                      });
}

int icd2_byte_read(int fd, uint8_t* buffer, uint32_t count) {
    return read_block(fd, count, kByteDigits, "icd2_byte_read", "byte",
                      [buffer](uint32_t index, const char* digits) {
                          if (buffer != nullptr)
                              buffer[index] = static_cast<uint8_t>(ascii2hex(digits));
                      });
}

int icd2_word_write(int fd, const int* buffer, uint32_t count) {
    return write_block(fd, count, [buffer](uint32_t index, char* digits) {
        unsigned int word = static_cast<unsigned int>(buffer[index]);
        return std::snprintf(digits, kWordDigits + 1, "%02X%02X", word & 0xFF, (word >> 8) & 0xFF);
    });
}

int icd2_byte_write(int fd, const uint8_t* buffer, uint32_t count) {
    return write_block(fd, count, [buffer](uint32_t index, char* digits) {
        return std::snprintf(digits, kByteDigits + 1, "%02X", buffer[index]);
    });
}

int icd2_get_words(int* buffer, const char* code, uint32_t address, uint32_t count) {
    return block_transfer(code, address, count, block_length(count, kWordDigits),
                          [&] { return icd2_word_read(serial_fd, buffer, count); });
}

int icd2_get_bytes(uint8_t* buffer, const char* code, uint32_t address, uint32_t count) {
    return block_transfer(code, address, count, block_length(count, kByteDigits),
                          [&] { return icd2_byte_read(serial_fd, buffer, count); });
}

int icd2_send_words(const int* buffer, const char* code, uint32_t address, uint32_t count) {
    return block_transfer(code, address, count, 0,
                          [&] { return icd2_word_write(serial_fd, buffer, count); });
}

int icd2_send_bytes(const uint8_t* buffer, const char* code, uint32_t address, uint32_t count) {
    return block_transfer(code, address, count, 0,
                          [&] { return icd2_byte_write(serial_fd, buffer, count); });
}
