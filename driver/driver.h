// The programming driver: processor settings from the configuration, the
// probe and identification of the target, and the programming and
// verification passes.
#pragma once

#include <cstdint>

#include "hex/hex.h"

// Newly allocated key under which the processor (or else its family) has the
// setting suffix ("/address/prog/start", ...); null when neither has it.
// The caller frees it.
char* get_device_config_key(const char* device, const char* suffix);
// Newly allocated null-terminated list of the processors that can be tried,
// grouped by family; release with free_device_names. Null when out of memory.
char** get_device_names();
void free_device_names(char*** names);

// Connects to the ICD2 on tty, checks supply and self test and identifies the
// processor. Newly allocated device name (caller frees), or null.
char* find_device(const char* tty);
// 0 when device is the attached processor, else 1, 3 .. 9.
int test_device(const char* device, uint8_t firmware_id);

// Clears MCLR and erases the device. 0, or 1.
int erase_device();
// Erases, programs and read-back-verifies the data records. 0, or a code.
int do_prog(HexRecord* list, const char* device);
// Compares the device with the data records. 0, or a code.
int do_verify(HexRecord* list, const char* device);
