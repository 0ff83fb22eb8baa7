// The programming pass (erase, then write, read back and compare each data
// record) and the verification pass (read and compare only). Both place a
// record by its word address in one of the processor's four memory spaces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config.h"
#include "driver/driver.h"
#include "icd2/icd2.h"
#include "log/log.h"

namespace {

constexpr const char* kModule = "tarnwell";
constexpr size_t kInitialBufferWords = 1024;
constexpr int kProgramBlockWords = 8;
constexpr int kBlankProgramWord = 0x3FFF;
constexpr int kDataRecord = 0x00;
constexpr int kExtendedLinearAddressRecord = 0x04;

struct Space {
    uint32_t start = 0;
    uint32_t size = 0;

    // The sum is taken in 32 bits, as the ICD2's addresses are.
    bool holds(uint32_t address) const {
        return start <= address && address < static_cast<uint32_t>(start + size);
    }
};

// How each space is moved through the ICD2, and the words each pass uses
// when a transfer fails.
struct SpaceOps {
    const char* write_code;
    const char* read_code;
    bool bytes;  // EEPROM holds one byte per record word: its low 8 bits
    int write_error_code;
    const char* write_error;
    int prog_read_error_code;
    int verify_read_error_code;
    const char* read_error;
};

enum SpaceIndex { kProgram, kEeprom, kId, kConfig, kSpaceCount };

// In the order a record's address is tested: where spaces overlap, program
// memory wins, then EEPROM, then ID.
const SpaceOps kSpaceOps[kSpaceCount] = {
    {"43", "47", false, 6, "Unbale to write program memory: %04X", 10, 8,
     "Unbale to read program memory: %04X"},
    {"44", "48", true, 8, "Unbale to write eeprom memory: %04X", 14, 8,
     "Unbale to read eeprom memory: %04X"},
    {"46", "4A", false, 9, "Unbale to write ID memory: %04X", 12, 9,
     "Unbale to read ID memory: %04X"},
    {"45", "49", false, 7, "Unbale to write config memory: %04X", 13, 7,
     "Unbale to read config memory: %04X"},
};

struct Bound {
    const char* suffix;
    SpaceIndex space;
    bool is_start;
    int code;
    const char* missing;
};

// Read in this order; the first missing one ends the pass with its code.
const Bound kBounds[] = {
    {"/address/prog/start", kProgram, true, 1,
     "Unable to get start of program address space for device."},
    {"/address/prog/size", kProgram, false, 2, "Unable to get program address size for device."},
    {"/address/config/start", kConfig, true, 3,
     "Unable to get start of config address space for device."},
    {"/address/config/size", kConfig, false, 4, "Unable to get config address size for device."},
    {"/address/eeprom/start", kEeprom, true, 10,
     "Unable to get start of eeprom address space for device."},
    {"/address/eeprom/size", kEeprom, false, 11, "Unable to get eeprom address size for device."},
    {"/address/id/start", kId, true, 12, "Unable to get start of id address space for device."},
    {"/address/id/size", kId, false, 13, "Unable to get id address size for device."},
};

// Reads the eight bounds; 0, or the code of the first missing one (logged).
int read_spaces(const char* device, const char* function, Space (&spaces)[kSpaceCount]) {
    for (const Bound& bound : kBounds) {
        char* key = get_device_config_key(device, bound.suffix);
        if (key == nullptr) {
            log_message(1, bound.code, kModule, function, "%s", bound.missing);
            return bound.code;
        }
        uint32_t value = static_cast<uint32_t>(get_config_long(key));
        std::free(key);
        Space& space = spaces[bound.space];
        (bound.is_start ? space.start : space.size) = value;
    }
    return 0;
}

// The space that holds address, or kSpaceCount after the warning that
// skips the record.
int find_space(const Space (&spaces)[kSpaceCount], uint32_t address, const char* function) {
    for (int index = 0; index < kSpaceCount; ++index) {
        if (spaces[index].holds(address)) return index;
    }
    log_message(2, 5, kModule, function,
                "Unable to identify address space from hex file: %04X. Ignoring line.", address);
    return kSpaceCount;
}

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

// The read-back buffer: words, or bytes for EEPROM, in one block that only
// grows.
class ReadBuffer {
public:
    bool allocate(size_t words) { return grow(words); }

    // Makes room for a record of words; false (logged with code) when the
    // buffer cannot grow.
    bool make_room(int32_t words, int code, const char* function) {
        if (static_cast<size_t>(words) <= capacity_ || grow(static_cast<size_t>(words))) return true;
        log_message(1, code, kModule, function, "Unable to allocate memory for verification.");
        return false;
    }

    bool grow(size_t words) {
        void* block = std::realloc(block_.get(), words * sizeof(int));
        if (block == nullptr) return false;
        block_.release();
        block_.reset(static_cast<int*>(block));
        capacity_ = words;
        return true;
    }

    int* words() { return block_.get(); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(block_.get()); }

private:
    std::unique_ptr<int, FreeDeleter> block_;
    size_t capacity_ = 0;
};

// A data record with the word address it really stands for: the upper half
// of its byte address comes from the last extended linear address record
// before it, so data above 64 KiB is never folded onto low addresses.
struct DataRecord {
    const HexRecord* record;
    uint32_t address;
};

class DataRecords {
public:
    explicit DataRecords(HexRecord* list) : next_(list) {}

    // The next data record, or false at the end of the list.
    bool next(DataRecord* out) {
        for (; next_ != nullptr; next_ = next_->next) {
            const HexRecord* record = next_;
            if (record->type == kExtendedLinearAddressRecord && record->count >= 1) {
                // The two data bytes are big-endian; the reader stored the
                // first byte as the low half of the word.
                uint32_t word = static_cast<uint32_t>(record->data[0]);
                upper_ = ((word & 0xFFu) << 8) | ((word >> 8) & 0xFFu);
            }
            if (record->type != kDataRecord) continue;
            next_ = record->next;
            out->record = record;
            out->address = (upper_ << 15) + static_cast<uint32_t>(record->address);
            return true;
        }
        return false;
    }

private:
    HexRecord* next_;
    uint32_t upper_ = 0;
};

// What reading a record back and comparing it found.
struct Comparison {
    enum Outcome { kMatch, kDifference, kReadFailed } outcome = kMatch;
    int index = 0;  // the first unit that differs
    int value = 0;  // what was read there
};

// Reads the record's range back into the buffer and compares it with the
// record. A read that failed decides its words: whatever the buffer holds
// was rejected by the link (a block that failed its checksum may still carry
// the right digits), so nothing read is compared and the record counts as
// failed at its first word.
Comparison read_and_compare(const SpaceOps& ops, ReadBuffer& buffer, const DataRecord& data,
                            int read_error_code, const char* function) {
    const HexRecord* record = data.record;
    int count = record->count;
    int status = ops.bytes ? icd2_get_bytes(buffer.bytes(), ops.read_code, data.address,
                                            static_cast<uint32_t>(count))
                           : icd2_get_words(buffer.words(), ops.read_code, data.address,
                                            static_cast<uint32_t>(count));
    Comparison result;
    if (status != 0) {
        log_message(1, read_error_code, kModule, function, ops.read_error, data.address);
        result.outcome = Comparison::kReadFailed;
        return result;
    }
    for (int i = 0; i < count; ++i) {
        int read = ops.bytes ? buffer.bytes()[i] : buffer.words()[i];
        int expected = ops.bytes ? (record->data[i] & 0xFF) : record->data[i];
        if (read != expected) {
            result = {Comparison::kDifference, i, read};
            break;
        }
    }
    return result;
}

// Program memory is written in 8-word blocks; the last, incomplete block is
// filled up with blank words, which are written but never read back.
bool write_program(const HexRecord* record, uint32_t address) {
    bool ok = true;
    int count = record->count;
    int tail = count % kProgramBlockWords;
    int whole = count - tail;
    if (whole > 0 && icd2_send_words(record->data, "43", address, static_cast<uint32_t>(whole)) != 0) {
        log_message(1, 6, kModule, "do_prog", "Unbale to write program memory: %04X", address);
        ok = false;
    }
    if (tail != 0) {
        int block[kProgramBlockWords];
        for (int i = 0; i < kProgramBlockWords; ++i)
            block[i] = i < tail ? record->data[whole + i] : kBlankProgramWord;
        if (icd2_send_words(block, "43", address + static_cast<uint32_t>(whole),
                            kProgramBlockWords) != 0) {
            log_message(1, 6, kModule, "do_prog", "Unbale to write program memory: %04X", address);
            ok = false;
        }
    }
    return ok;
}

void write_record(int space, const HexRecord* record, uint32_t address, ReadBuffer& buffer) {
    const SpaceOps& ops = kSpaceOps[space];
    uint32_t count = static_cast<uint32_t>(record->count);
    int result = 0;
    if (space == kProgram) {
        write_program(record, address);
        return;
    }
    if (ops.bytes) {
        uint8_t* bytes = buffer.bytes();
        for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(record->data[i]);
        result = icd2_send_bytes(bytes, ops.write_code, address, count);
    } else {
        result = icd2_send_words(record->data, ops.write_code, address, count);
    }
    if (result != 0)
        log_message(1, ops.write_error_code, kModule, "do_prog", ops.write_error, address);
}

}  // namespace

int erase_device() {
    if (do_command("3300") == nullptr) {
        log_message(1, 1, kModule, "erase_device", "Unable to clear MCLR");
        return 1;
    }
    if (do_command("29") == nullptr) {
        log_message(1, 2, kModule, "erase_device", "Unable to erase device");
        return 1;
    }
    return 0;
}

int do_prog(HexRecord* list, const char* device) {
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_prog", spaces); code != 0) return code;

    ReadBuffer buffer;
    if (!buffer.allocate(kInitialBufferWords)) {
        log_message(1, 25, kModule, "do_prog", "Unable to allocate memory for verification.");
        return 25;
    }
    if (erase_device() != 0) {
        log_message(1, 14, kModule, "do_prog", "Unable to erase device.");
        return 14;
    }
    std::printf("Programming %s : ", device);
    std::fflush(stdout);

    DataRecords records(list);
    DataRecord data{};
    while (records.next(&data)) {
        const HexRecord* record = data.record;
        if (!buffer.make_room(record->count, 15, "do_prog")) return 15;
        std::printf("\rProgramming %s : %04X Verifying : %04X", device, data.address, data.address);
        std::fflush(stdout);

        int space = find_space(spaces, data.address, "do_prog");
        if (space == kSpaceCount) continue;
        const SpaceOps& ops = kSpaceOps[space];
        write_record(space, record, data.address, buffer);
        Comparison found =
            read_and_compare(ops, buffer, data, ops.prog_read_error_code, "do_prog");
        if (found.outcome == Comparison::kMatch) continue;
        if (found.outcome == Comparison::kReadFailed) {
            std::printf("\rProgramming %s : Verify failed at adress %04X, read failed\n", device,
                        data.address);
            std::fflush(stdout);
            return 11;
        }
        int index = found.index;
        int read_value = found.value;
        uint32_t where = data.address + static_cast<uint32_t>(index);
        if (ops.bytes) {
            std::printf("\rProgramming %s : Verify failed at adress %04X Reads %2X instead of %02X\n",
                        device, where, read_value, record->data[index] & 0xFF);
        } else {
            std::printf(
                "\rProgramming %s : Verify failed at adress %04X Reads %04X instead of %04X\n",
                device, where, read_value, record->data[index]);
        }
        std::fflush(stdout);
        return 11;
    }
    std::printf("\rProgramming %s : Done Verifying : Passed        \n", device);
    std::fflush(stdout);
    return 0;
}

int do_verify(HexRecord* list, const char* device) {
    Space spaces[kSpaceCount];
    if (int code = read_spaces(device, "do_verify", spaces); code != 0) return code;

    ReadBuffer buffer;
    if (!buffer.allocate(kInitialBufferWords)) {
        log_message(1, 14, kModule, "do_verify", "Unable to allocate memory for verification.");
        return 14;
    }
    std::printf("Verifying %s : ", device);
    std::fflush(stdout);

    DataRecords records(list);
    DataRecord data{};
    while (records.next(&data)) {
        const HexRecord* record = data.record;
        std::printf("\rVerifying %s : %04X", device, data.address);
        std::fflush(stdout);
        if (!buffer.make_room(record->count, 15, "do_verify")) return 15;
        int space = find_space(spaces, data.address, "do_verify");
        if (space == kSpaceCount) continue;
        const SpaceOps& ops = kSpaceOps[space];
        Comparison found =
            read_and_compare(ops, buffer, data, ops.verify_read_error_code, "do_verify");
        if (found.outcome == Comparison::kMatch) continue;
        if (found.outcome == Comparison::kReadFailed) {
            std::printf(ops.bytes ? "\rVerifying %s : Failed at adress %4X, read failed\n"
                                  : "\rVerifying %s : Failed at adress %04X, read failed\n",
                        device, data.address);
            std::fflush(stdout);
            return 16;
        }
        int index = found.index;
        int read_value = found.value;
        uint32_t where = data.address + static_cast<uint32_t>(index);
        if (ops.bytes) {
            std::printf("\rVerifying %s : Failed at adress %4X Reads %4X instead of %04X\n", device,
                        where, read_value, record->data[index] & 0xFF);
        } else {
            std::printf("\rVerifying %s : Failed at adress %04X Reads %04X instead of %04X\n",
                        device, where, read_value, record->data[index]);
        }
        std::fflush(stdout);
        return 16;
    }
    std::printf("\rVerifying %s : Passed          \n", device);
    std::fflush(stdout);
    return 0;
}
