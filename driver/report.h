// The run report: one JSON line per run, appended to a file that several
// tarnwell processes may share.
#pragma once

#include <cstdint>
#include <string>

#include "driver/driver.h"

struct RunReport {
    std::string job;  // "program", "verify", "read", "blank", "erase", "identify", "list"
    std::string tty;
    std::string config;
    bool have_image = false;
    std::string image_path;
    uint64_t image_size = 0;
    std::string image_sha256;
    long image_records = 0;  // data records
    long image_words = 0;    // words in them
    const ProbeReport* probe = nullptr;
    int status = 0;
    Stage stage = Stage::kOk;
    const PassOutcome* outcome = nullptr;  // the pass, when one ran
    long serial_number = -1;               // -s: the number the run took; -1: none
    std::string serial_file;               // -s: its file, as given
    double seconds = 0;
    double pass_seconds = -1;  // negative: no pass ran
};

// Size, SHA-256 and record counts of the image, as read from path.
void describe_image(RunReport& report, const char* path, const HexRecord* list);
// The report as one JSON object, without the newline.
std::string report_line(const RunReport& report);
// Opens (creates) path for appending and closes it again, so that a report
// that can never be written is found out before the run touches the device.
// False, after an ERROR line, when it cannot be opened.
bool can_append_report(const char* path);
// Appends line and a newline with a single write to path (O_APPEND); an
// ERROR line when that fails. The run's status is never changed by it.
void append_report(const char* path, const std::string& line);
