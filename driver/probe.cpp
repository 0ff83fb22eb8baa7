// Brings the ICD2 up, checks the target's supply and the ICD2's self test,
// and identifies the attached processor by its chip identifier.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "config/config.h"
#include "driver/driver.h"
#include "icd2/icd2.h"
#include "icd2/tty.h"
#include "log/log.h"

// The target family last sent to the ICD2; 0xFF until the first is sent, so a
// family number of 255 is never sent.
uint8_t last_family_id = 0xFF;

namespace {

constexpr const char* kModule = "tarnwell";
constexpr int kConnectAttempts = 3;

// The setting of device as a number; false when neither the processor nor
// its family has it.
bool read_setting(const char* device, const char* suffix, long* value) {
    char* key = get_device_config_key(device, suffix);
    if (key == nullptr) return false;
    *value = get_config_long(key);
    std::free(key);
    return true;
}

// A serial device the user may not open is the commonest failure on a new
// machine: name the group that owns it, so that the fix is obvious. When the
// group may not use it either, joining it would not help: name the owner.
void explain_permission(const char* tty) {
    if (access(tty, R_OK | W_OK) == 0 || errno != EACCES) return;
    struct stat info;
    if (stat(tty, &info) != 0) return;
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        const struct passwd* owner = getpwuid(info.st_uid);
        std::string user = owner != nullptr ? owner->pw_name : std::to_string(info.st_uid);
        log_message(1, 17, kModule, "find_device",
                    "No permission to open %s: it belongs to user %s, and only that user (or "
                    "root) may open it",
                    tty, user.c_str());
        return;
    }
    const struct group* owner = getgrgid(info.st_gid);
    std::string group = owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
    log_message(1, 17, kModule, "find_device",
                "No permission to open %s: it belongs to group %s, and your user must be a member "
                "of it (on Debian usually dialout; log in again after joining)",
                tty, group.c_str());
}

bool connect(const char* tty) {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (icd2_init(tty) == 0) return true;
        // The run is ending; the attempts left would fail at once, and their
        // lines would only hide why.
        if (tty_interrupted() != 0) return false;
        log_message(2, 1, kModule, "find_device", "ICD Connection failed, retrying.");
    }
    log_message(1, 2, kModule, "find_device", "ICD Connection failed.");
    if (tty_in_use(tty))
        log_message(1, 18, kModule, "find_device", "%s is in use by another process", tty);
    explain_permission(tty);
    return false;
}

// One DEBUG line per self-test check, in the order the ICD2 reports them.
void log_self_test(const Icd2SelfTest& test) {
    static const char* const kResults[] = {"pass", "low", "high", "fail"};
    const std::pair<Icd2TestResult, const char*> checks[] = {{test.target_vdd, "Target VDD"},
                                                             {test.module_vpp, "Module VPP"},
                                                             {test.mclr_gnd, "MCLR GND"},
                                                             {test.mclr_vdd, "MCLR VDD"},
                                                             {test.mclr_vpp, "MCLR VPP"}};
    int code = 11;
    for (const auto& [result, name] : checks) {
        if (result <= ICD2_TEST_FAIL)
            log_message(4, code, kModule, "find_device", "Self Test: %s: %s", name,
                        kResults[result]);
        ++code;
    }
}

// Tells the ICD2 where program memory of the matched processor ends.
bool configure_code_space(const char* device) {
    long start = 0;
    long size = 0;
    if (!read_setting(device, "/address/prog/start", &start)) {
        log_message(1, 5, kModule, "find_device",
                    "Unable to get program memory start for device (%s)", device);
        return false;
    }
    if (!read_setting(device, "/address/prog/size", &size)) {
        log_message(1, 6, kModule, "find_device",
                    "Unable to get program memory size for device (%s)", device);
        return false;
    }
    // The configuration holds 32-bit quantities; the last address wraps as
    // 32-bit arithmetic does.
    uint32_t last = static_cast<uint32_t>(start) + static_cast<uint32_t>(size) - 1u;
    if (set_end_of_code_space(last) != 0) {
        log_message(1, 7, kModule, "find_device",
                    "Unable to configure program memory size for device (%s)", device);
        return false;
    }
    return true;
}

}  // namespace

namespace {

void note_chip_id(ProbeReport& report, uint8_t family, long address, bool read_ok, int word) {
    ChipIdRead read{family, static_cast<uint32_t>(address), read_ok, word};
    for (ChipIdRead& earlier : report.chip_ids) {
        if (earlier.family == family) {
            earlier = read;
            return;
        }
    }
    report.chip_ids.push_back(read);
}

}  // namespace

namespace {

// test_device, noting the chip identifier it read in report (may be null).
int try_device(const char* device, uint8_t firmware_id, ProbeReport* report) {
    long value = 0;
    if (!read_setting(device, "/firmware/id", &value)) return 8;
    if (static_cast<uint8_t>(value) != firmware_id) {
        log_message(3, 1, kModule, "test_device",
                    "Device %s not compatible with current firmware version.", device);
        return 9;
    }
    long chipid_address = 0;
    if (!read_setting(device, "/address/chipid/start", &chipid_address)) return 1;
    long family = 0;
    if (!read_setting(device, "/id", &family)) return 3;

    uint8_t family_id = static_cast<uint8_t>(family);
    if (family_id != last_family_id) {
        set_target_family_type(family_id);
        last_family_id = family_id;
    }

    int chipid = 0;
    bool read_ok = icd2_read_chip_id(&chipid, static_cast<uint32_t>(chipid_address)) == 0;
    if (report != nullptr) note_chip_id(*report, family_id, chipid_address, read_ok, chipid);
    if (!read_ok || chipid == 0) return 4;

    long mask = 0;
    long expected = 0;
    if (!read_setting(device, "/id/mask", &mask)) return 5;
    if (!read_setting(device, "/id/value", &expected)) return 6;
    uint32_t word = static_cast<uint32_t>(chipid);
    uint32_t mask32 = static_cast<uint32_t>(mask);
    return (word & mask32) == (static_cast<uint32_t>(expected) & mask32) ? 0 : 7;
}

}  // namespace

int test_device(const char* device, uint8_t firmware_id) {
    return try_device(device, firmware_id, nullptr);
}

char* find_device(const char* tty) {
    ProbeReport report;
    return probe_device(tty, &report);
}

char* probe_device(const char* tty, ProbeReport* report) {
    report->stage = Stage::kConnect;
    if (!connect(tty)) return nullptr;

    Icd2Voltages voltages{};
    if (get_voltages(&voltages) != 0) {
        log_message(1, 3, kModule, "find_device", "Unable to read ICD2 voltages.");
        return nullptr;
    }
    report->have_voltages = true;
    report->voltages = voltages;
    if (voltages.target_vdd == 0.0f) {
        log_message(3, 4, kModule, "find_device",
                    "No target VDD found, enabling target VDD via ICD2");
        if (icd2_enable_target_vdd() != 0) {
            log_message(1, 8, kModule, "find_device", "Unable to set VDD via ICD2");
            return nullptr;
        }
    }

    Icd2FirmwareDetails firmware{};
    if (get_firmware_details(&firmware) != 0) {
        log_message(1, 9, kModule, "find_device", "Unable to retrieve ICD2 firmware version");
        return nullptr;
    }
    log_message(4, 9, kModule, "find_device", "Firmware version: %s", firmware.version_text);
    report->have_firmware = true;
    report->firmware = firmware;

    Icd2SelfTest self_test{};
    if (get_self_test(&self_test) != 0) {
        report->stage = Stage::kSelfTest;
        log_message(1, 10, kModule, "find_device", "Unable to run ICD2 self test.");
        return nullptr;
    }
    report->have_self_test = true;
    report->self_test = self_test;
    log_self_test(self_test);
    report->stage = Stage::kSelfTest;
    if (self_test.overall != ICD2_TEST_PASS) {
        log_message(1, 16, kModule, "find_device", "ICD2 self test failed.");
        return nullptr;
    }

    report->stage = Stage::kIdentify;
    char** names = get_device_names();
    if (names == nullptr) return nullptr;
    for (char** name = names; *name != nullptr; ++name) {
        if (try_device(*name, firmware.firmware_id, report) != 0) continue;
        char* device = strdup(*name);
        free_device_names(&names);
        if (device == nullptr) return nullptr;
        if (!configure_code_space(device)) {
            std::free(device);
            return nullptr;
        }
        report->device = device;
        for (const ChipIdRead& read : report->chip_ids) {
            if (read.family == last_family_id) report->chip_id = read.word;
        }
        return device;
    }
    free_device_names(&names);
    return nullptr;
}
