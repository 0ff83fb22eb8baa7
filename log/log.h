// Levelled, timestamped log lines on standard error. The level in force for a
// module and function is looked up in the configuration on every call.
#pragma once

// Level names, indexed by level 0 (FATAL) .. 4 (DEBUG).
extern const char* const LOG_LEVEL[5];

// While 0 or more, the level of every module and function; -1 (the initial
// value) means the configuration decides. Set only by log_no_config.
extern int main_level;

// Writes "<ctime> <level> <code> <LEVEL> [module] [function] message\n" to
// standard error and flushes it, when level passes the filter.
void log_message(int level, int code, const char* module, const char* function, const char* format,
                 ...) __attribute__((format(printf, 5, 6)));

// The line log_message would write, without its newline, newly allocated
// (release with free); null when filtered out or out of memory.
char* build_message(int level, int code, const char* module, const char* function,
                    const char* format, ...) __attribute__((format(printf, 5, 6)));

// Deprecated form: prints a deprecation notice, then logs "text1 text2".
void error(int level, const char* module, const char* function, const char* text1,
           const char* text2, int code);

// Fixes the level of every module and function (0 or more), or returns to the
// configuration lookup (negative).
void log_no_config(int level);

// The level in force for module and function.
int log_get_level(const char* module, const char* function);
