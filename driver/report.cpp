#include "driver/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "log/log.h"
#include "strutil/json.h"

namespace {

const char* test_result(Icd2TestResult result) {
    static const char* const kNames[] = {"pass", "low", "high", "fail"};
    return result <= ICD2_TEST_FAIL ? kNames[result] : "unknown";
}

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

void write_probe(JsonWriter& json, const ProbeReport& probe) {
    if (probe.have_firmware || probe.have_voltages) {
        json.key("icd2").begin_object();
        if (probe.have_firmware) json.key("firmware").string(probe.firmware.version_text);
        if (probe.have_self_test) {
            const Icd2SelfTest& test = probe.self_test;
            json.key("selftest").begin_object();
            json.key("target_vdd").string(test_result(test.target_vdd));
            json.key("module_vpp").string(test_result(test.module_vpp));
            json.key("mclr_gnd").string(test_result(test.mclr_gnd));
            json.key("mclr_vdd").string(test_result(test.mclr_vdd));
            json.key("mclr_vpp").string(test_result(test.mclr_vpp));
            json.end_object();
        }
        if (probe.have_voltages) {
            json.key("target_vdd").number(probe.voltages.target_vdd, 3);
            json.key("reading_37").number(probe.voltages.reading_37, 3);
            json.key("reading_35").number(probe.voltages.reading_35, 3);
        }
        json.end_object();
    }
    if (!probe.device.empty()) {
        json.key("device").begin_object();
        json.key("name").string(probe.device);
        json.key("chip_id").number(static_cast<long long>(probe.chip_id));
        json.end_object();
    }
}

}  // namespace

const char* stage_word(Stage stage) {
    static const char* const kWords[] = {
        "ok",         "usage",     "config",      "hex-open", "hex-parse",  "output",
        "connect",    "selftest",  "identify",    "erase",    "write",      "read",
        "difference", "not-blank", "calibration", "serial",   "interrupted"};
    static_assert(std::size(kWords) == static_cast<size_t>(Stage::kInterrupted) + 1);
    return kWords[static_cast<size_t>(stage)];
}

void describe_image(RunReport& report, const char* path, const HexRecord* list) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    report.have_image = true;
    report.image_path = path;
    report.image_size = bytes.size();
    report.image_sha256 = sha256_hex(bytes.data(), bytes.size());
    HexDataCursor cursor = hexDataCursor(list);
    uint32_t address = 0;
    while (const HexRecord* record = nextHexData(&cursor, &address)) {
        ++report.image_records;
        report.image_words += record->count;
    }
}

std::string report_line(const RunReport& report) {
    JsonWriter json;
    json.begin_object();
    json.key("time").string(utc_now());
    json.key("version").string(TARNWELL_VERSION);
    json.key("job").string(report.job);
    if (!report.tty.empty()) json.key("tty").string(report.tty);
    json.key("config").string(report.config);
    if (report.have_image) {
        json.key("image").begin_object();
        json.key("path").string(report.image_path);
        json.key("size").number(static_cast<long long>(report.image_size));
        json.key("sha256").string(report.image_sha256);
        json.key("records").number(static_cast<long long>(report.image_records));
        json.key("words").number(static_cast<long long>(report.image_words));
        json.end_object();
    }
    if (report.probe != nullptr) write_probe(json, *report.probe);
    if (report.outcome != nullptr && !report.outcome->calibration.empty()) {
        json.key("calibration").begin_array();
        for (const CalibrationValue& value : report.outcome->calibration) {
            json.begin_object();
            json.key("address").number(static_cast<long long>(value.address));
            json.key("value").number(static_cast<long long>(value.value));
            json.key("source").string(value.from_option ? "option" : "device");
            json.end_object();
        }
        json.end_array();
    }
    if (report.serial_number >= 0) {
        json.key("serial").begin_object();
        json.key("number").number(static_cast<long long>(report.serial_number));
        json.key("file").string(report.serial_file);
        json.end_object();
    }
    if (report.outcome != nullptr && report.outcome->skipped_records > 0) {
        json.key("skipped").begin_object();
        json.key("records").number(static_cast<long long>(report.outcome->skipped_records));
        json.key("first").number(static_cast<long long>(report.outcome->first_skipped));
        json.end_object();
    }
    if (report.outcome != nullptr && report.outcome->eeprom_kept >= 0)
        json.key("eeprom_kept").number(static_cast<long long>(report.outcome->eeprom_kept));
    json.key("result").begin_object();
    json.key("status").number(static_cast<long long>(report.status));
    json.key("stage").string(stage_word(report.stage));
    if (report.outcome != nullptr && report.outcome->difference) {
        json.key("address").number(static_cast<long long>(report.outcome->address));
        json.key("read").number(static_cast<long long>(report.outcome->read));
        json.key("expected").number(static_cast<long long>(report.outcome->expected));
    }
    json.end_object();
    json.key("seconds").begin_object();
    json.key("total").number(report.seconds, 3);
    if (report.pass_seconds >= 0) json.key("pass").number(report.pass_seconds, 3);
    json.end_object();
    json.end_object();
    return json.text();
}

bool can_append_report(const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        int error = errno;
        log_message(1, 8, "tarnwell", "main", "Unable to open report file: %s Reason: %d %s", path,
                    error, std::strerror(error));
        return false;
    }
    close(fd);
    return true;
}

void append_report(const char* path, const std::string& line) {
    std::string text = line + "\n";
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    // One write: lines of several processes sharing the file never interleave.
    ssize_t written = fd < 0 ? -1 : write(fd, text.data(), text.size());
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && written >= 0) {
        written = -1;
        error = errno;
    }
    if (written != static_cast<ssize_t>(text.size())) {
        if (written >= 0) error = EIO;
        log_message(1, 7, "tarnwell", "main", "Unable to write report file: %s Reason: %d %s", path,
                    error, std::strerror(error));
    }
}
