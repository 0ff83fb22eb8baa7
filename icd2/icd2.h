// The ICD2 link: command framing, the connection handshake and status
// commands, and block transfers of target memory, all over serial_fd.
#pragma once

#include <cstdint>

// The ICD2's serial port as opened by icd2_init; -1 when there is none: before
// the first open, and from any failure that closed the port on.
extern int serial_fd;
// Receive buffer of the latest response body (payload_length + 1 bytes);
// grows in steps of 64 and lives until the process exits.
extern char* payload;
extern int payload_length;

enum Icd2TestResult : uint8_t {
    ICD2_TEST_PASS = 0,
    ICD2_TEST_LOW = 1,
    ICD2_TEST_HIGH = 2,
    ICD2_TEST_FAIL = 3,
};

struct Icd2Voltages {
    float reading_37;
    float target_vdd;  // 0.0 exactly when the target has no supply
    float reading_35;
};

struct Icd2FirmwareDetails {
    uint8_t firmware_id;
    uint8_t version[3];
    char version_text[12];  // "%02d.%02d.%02d.%02d", truncated to fit
};

struct Icd2SelfTest {
    Icd2TestResult module_vpp;
    Icd2TestResult target_vdd;
    Icd2TestResult mclr_gnd;
    Icd2TestResult mclr_vdd;
    Icd2TestResult mclr_vpp;
    Icd2TestResult overall;  // pass only when all five passed, else fail
};

// Value of the two characters at text read as hexadecimal, strtol-style.
int ascii2hex(const char* text);
// Sends command in a "<LLtextCC>" frame. 0, or 1 .. 3 for the failing write.
int send_command(int fd, const char* command);
// The body of the next "[LLbodyCC]" frame, in payload; null on any failure.
char* receive_response(int fd);
// The first response body not beginning "00", if it begins with expected;
// null otherwise.
char* expect_response(int fd, const char* expected);
// Sends command on serial_fd and returns the body that answers it, or null.
char* do_command(const char* command);

// Opens path, wakes the ICD2 and moves the line to 57600 baud. 0, or 1 .. 4.
int icd2_init(const char* path);
// The DTR and wake-byte handshake on serial_fd. 0, or 1 .. 10.
int icd2_connect(char wake);
// Closes serial_fd. 0.
int icd2_close();
// Status commands; 0, or the code of the first command that failed.
int get_firmware_details(Icd2FirmwareDetails* details);
int get_voltages(Icd2Voltages* voltages);
int get_self_test(Icd2SelfTest* self_test);
// Set-up commands "2A" and "06". 0; 1 no memory; 2 the command failed.
int set_target_family_type(uint8_t family);
int set_end_of_code_space(uint32_t last_address);

// The target's memory spaces, each with its own read and write command.
enum Icd2Space : int {
    ICD2_PROGRAM = 0,
    ICD2_EEPROM = 1,
    ICD2_ID = 2,
    ICD2_CONFIG = 3,
    ICD2_SPACE_COUNT = 4,
};
// True for EEPROM, which moves one byte per element; the other spaces move
// words.
bool icd2_space_moves_bytes(Icd2Space space);
// Block transfers of a space, as icd2_get_words and the others below.
int icd2_read_words(Icd2Space space, int* buffer, uint32_t address, uint32_t count);
int icd2_read_bytes(Icd2Space space, uint8_t* buffer, uint32_t address, uint32_t count);
int icd2_write_words(Icd2Space space, const int* buffer, uint32_t address, uint32_t count);
int icd2_write_bytes(Icd2Space space, const uint8_t* buffer, uint32_t address, uint32_t count);
// The word at the chip identifier's address, read as ID memory.
int icd2_read_chip_id(int* word, uint32_t address);
// Single commands; 0, or 1 when the command failed. Clearing MCLR comes
// before an erase; the erase clears program, EEPROM, ID and configuration
// memory; the target supply is switched on when the target has none.
int icd2_clear_mclr();
int icd2_erase();
int icd2_enable_target_vdd();

// Block transfers: command, data block, closing response. 0; 1 the command
// failed; 2 the data block failed; 3 the closing response failed. buffer
// holds count elements (words in the low 16 bits of each int).
int icd2_get_words(int* buffer, const char* code, uint32_t address, uint32_t count);
int icd2_get_bytes(uint8_t* buffer, const char* code, uint32_t address, uint32_t count);
int icd2_send_words(const int* buffer, const char* code, uint32_t address, uint32_t count);
int icd2_send_bytes(const uint8_t* buffer, const char* code, uint32_t address, uint32_t count);

// Data blocks "{digits CC}" on fd. Reads: 0; negative tty_getc result when
// the start does not arrive; 1 wrong start; 2 element missing; 3 trailer
// missing; 4 checksum mismatch; 5 wrong end. A null buffer only checks.
int icd2_word_read(int fd, int* buffer, uint32_t count);
int icd2_byte_read(int fd, uint8_t* buffer, uint32_t count);
// Writes: 0; 1 "{" failed; 2 an element failed; 3 checksum and "}" failed.
int icd2_word_write(int fd, const int* buffer, uint32_t count);
int icd2_byte_write(int fd, const uint8_t* buffer, uint32_t count);
