#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "config/config_lookup.h"

const char* const LOG_LEVEL[5] = {"FATAL   ", "ERROR  ", "WARNING", "INFO   ", "DEBUG  "};

int main_level = -1;

namespace {

// The key being looked up; one buffer serves every lookup.
char config_string[CONFIG_TEXT_MAX + 1];

// The level keys are read without creating elements (see config_lookup.h),
// with the meaning get_config_int gives them: a missing value reads as 0.
int configured_level(const char* key) {
    const char* value = find_config_string(key);
    return value == nullptr ? 0 : atoi(value);
}

// glibc prints "(null)" for a null %s, but the standard leaves it undefined.
const char* text_or_null(const char* text) {
    return text != nullptr ? text : "(null)";
}

// A call outside 0 .. 4 still gets a line instead of reading past the table.
const char* level_name(int level) {
    return level >= 0 && level < 5 ? LOG_LEVEL[level] : "UNKNOWN";
}

// ctime's text, or an empty one for a time ctime cannot express.
struct TimeText {
    char text[26] = "";
    explicit TimeText(time_t when) {
        if (ctime_r(&when, text) == nullptr) text[0] = '\0';
    }
};

bool passes_filter(int level, const char* module, const char* function) {
    return level <= log_get_level(module, function);
}

// The whole line, newly allocated. The prefix and the message are formatted
// separately so that a "%" in a module or function name is printed as it
// stands instead of being read as a conversion.
char* format_line(time_t now, int level, int code, const char* module, const char* function,
                  const char* format, va_list args) {
    const TimeText stamp(now);
    const int prefix = snprintf(nullptr, 0, "%24.24s %d %d %s [%s] [%s] ", stamp.text, level, code,
                                level_name(level), text_or_null(module), text_or_null(function));
    va_list measure;
    va_copy(measure, args);
    const int message = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (prefix < 0 || message < 0) return nullptr;

    const size_t size = static_cast<size_t>(prefix) + static_cast<size_t>(message) + 1;
    auto* line = static_cast<char*>(malloc(size));
    if (line == nullptr) return nullptr;
    snprintf(line, size, "%24.24s %d %d %s [%s] [%s] ", stamp.text, level, code, level_name(level),
             text_or_null(module), text_or_null(function));
    vsnprintf(line + prefix, size - static_cast<size_t>(prefix), format, args);
    return line;
}

}  // namespace

int log_get_level(const char* module, const char* function) {
    if (main_level >= 0) return main_level;

    const char* ceiling_text = find_config_string("log/main");
    const int ceiling = ceiling_text == nullptr ? -1 : atoi(ceiling_text);

    // A module or function key of 0 cannot be told from a missing one and so
    // counts as not set. A key longer than any the configuration file can
    // hold is never looked up: cut to fit, it could name some other key.
    int level = 0;
    function = text_or_null(function);
    const int full = snprintf(config_string, sizeof config_string, "%s/%s/%s", "log/module",
                              text_or_null(module), function);
    if (full >= 0) {
        if (full <= CONFIG_TEXT_MAX) level = configured_level(config_string);
        // Dropping the function leaves a trailing "/", which the key tree ignores.
        const size_t module_end = static_cast<size_t>(full) - strlen(function);
        if (level == 0 && module_end <= static_cast<size_t>(CONFIG_TEXT_MAX)) {
            config_string[module_end] = '\0';
            level = configured_level(config_string);
        }
    }
    if (level == 0) {
        level = find_config_string("log/default") != nullptr ? configured_level("log/default") : 4;
    }

    return ceiling >= 0 && level > ceiling ? ceiling : level;
}

void log_message(int level, int code, const char* module, const char* function, const char* format,
                 ...) {
    const time_t now = time(nullptr);
    if (!passes_filter(level, module, function)) return;

    const TimeText stamp(now);
    fprintf(stderr, "%24.24s %d %d %s [%s] [%s] ", stamp.text, level, code, level_name(level),
            text_or_null(module), text_or_null(function));
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

char* build_message(int level, int code, const char* module, const char* function,
                    const char* format, ...) {
    const time_t now = time(nullptr);
    if (!passes_filter(level, module, function)) return nullptr;

    va_list args;
    va_start(args, format);
    char* line = format_line(now, level, code, module, function, format, args);
    va_end(args);
    return line;
}

void error(int level, const char* module, const char* function, const char* text1,
           const char* text2, int code) {
    fprintf(stderr, "** Using deprecated method - error() - in module %s, method %s.\n",
            text_or_null(module), text_or_null(function));
    log_message(level, code, module, function, "%s %s", text_or_null(text1), text_or_null(text2));
}

void log_no_config(int level) {
    main_level = level;
}
