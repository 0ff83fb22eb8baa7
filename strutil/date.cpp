#include <cstdlib>
#include <cstring>
#include <ctime>

#include "strutil/strutil.h"

namespace {

constexpr char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// atoi of the characters at positions first .. first + count - 1, stopping
// early at the end of the text; a text shorter than the field converts what
// is there and never reads past its NUL.
int field(const char* text, size_t length, size_t first, size_t count) {
    char scratch[8] = {};
    for (size_t i = 0; i < count && first + i < length; ++i) {
        scratch[i] = text[first + i];
    }
    return std::atoi(scratch);
}

// Not every platform's struct tm carries an offset from UTC.
template <typename Tm>
void clear_utc_offset(Tm& tm) {
    if constexpr (requires { tm.tm_gmtoff; }) {
        tm.tm_gmtoff = 0;
    }
}

}  // namespace

int str_to_tm(const char* text, struct tm* tm) {
    const size_t length = strnlen(text, 20);
    if (length < 18 || text[2] != '/' || text[6] != '/' || text[11] != ':' || text[14] != ':' ||
        text[17] != ':') {
        return 1;
    }
    tm->tm_mday = field(text, length, 0, 2);
    tm->tm_year = field(text, length, 7, 4) - 1900;
    tm->tm_hour = field(text, length, 12, 2);
    tm->tm_min = field(text, length, 15, 2);
    tm->tm_sec = field(text, length, 18, 2);
    for (int month = 0; month < 12; ++month) {
        if (std::memcmp(text + 3, MONTHS[month], 3) == 0) {
            tm->tm_mon = month;
            break;
        }
    }
    tm->tm_isdst = 0;
    clear_utc_offset(*tm);
    return 0;
}

time_t date_to_time_t(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        return 0;
    }
    const size_t length = strnlen(text, 8);
    struct tm date = {};
    date.tm_year = field(text, length, 0, 4) - 1900;
    date.tm_mon = field(text, length, 4, 2) - 1;
    date.tm_mday = field(text, length, 6, 2);
    // Midnight in local standard time: the daylight-saving flag stays 0.
    date.tm_isdst = 0;
    return std::mktime(&date);
}
