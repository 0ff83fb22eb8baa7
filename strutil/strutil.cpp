#include "strutil/strutil.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Reads and drops characters up to and including the next newline, so that
// the rest of an over-long line never comes back as a line of its own.
// Returns false when input ended before any character was read.
bool discard_line() {
    int ch = std::getchar();
    if (ch == EOF) {
        return false;
    }
    while (ch != '\n' && ch != EOF) {
        ch = std::getchar();
    }
    return true;
}

using string_compare = int (*)(const char*, const char*);

// Index of the best non-null entry; a candidate replaces the best only when
// strictly better, so the lowest index wins among equals.
template <typename Better>
int select_string(const char* const* array, int count, string_compare compare, Better better) {
    int best = -1;
    for (int i = 0; i < count; ++i) {
        if (array[i] == nullptr) {
            continue;
        }
        if (best < 0 || better(compare(array[i], array[best]))) {
            best = i;
        }
    }
    return best;
}

bool is_lower(int order) {
    return order < 0;
}
bool is_higher(int order) {
    return order > 0;
}

}  // namespace

char* safe_gets(char* buffer, int size) {
    int stored = 0;
    int ch = 0;
    while (stored < size) {
        ch = std::getchar();
        if (ch == EOF || ch == '\n') {
            break;
        }
        buffer[stored++] = static_cast<char>(ch);
    }
    buffer[stored] = '\0';
    if (size <= 0) {
        return discard_line() ? buffer : nullptr;
    }
    if (stored == 0 && ch == EOF) {
        return nullptr;
    }
    if (ch != '\n' && ch != EOF) {
        discard_line();
    }
    return buffer;
}

int strsplit(char separator, const char** cursor, char* output, int size) {
    const char* p = *cursor;
    while (*p == separator && *p != '\0') {
        ++p;
    }
    *cursor = p;
    if (*p == '\0') {
        return 0;
    }
    int copied = 0;
    for (; *p != separator && *p != '\0'; ++p) {
        if (copied < size) {
            output[copied++] = *p;
        }
    }
    output[copied] = '\0';
    *cursor = p;
    return 1;
}

char* strreverse(char* string) {
    size_t low = 0;
    size_t high = std::strlen(string);
    while (high > low + 1) {
        --high;
        const char swap = string[low];
        string[low] = string[high];
        string[high] = swap;
        ++low;
    }
    return string;
}

unsigned int strhash(unsigned int buckets, const char* string) {
    uint32_t hash = 0;
    for (size_t i = 0; string[i] != '\0'; ++i) {
        // Bytes from 0x80 up enter as negative numbers; the bucket of every
        // stored name depends on it.
        const auto ch =
            static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(string[i])));
        if (i % 2 == 0) {
            hash ^= (hash << 7) ^ ch ^ (hash >> 3);
        } else {
            hash ^= ~((hash << 11) ^ ch ^ (hash >> 5));
        }
    }
    return (hash & 0x7FFFFFFFU) % buckets;
}

int get_lowest_string(const char* const* array, int count) {
    return select_string(array, count, std::strcmp, is_lower);
}

int get_lowest_case_string(const char* const* array, int count) {
    return select_string(array, count, strcasecmp, is_lower);
}

int get_highest_string(const char* const* array, int count) {
    return select_string(array, count, std::strcmp, is_higher);
}

int get_highest_case_string(const char* const* array, int count) {
    return select_string(array, count, strcasecmp, is_higher);
}

char* strupper(char* string) {
    for (char* p = string; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    return string;
}

const char* is_in_case_list(const char* const* list, const char* string) {
    for (; *list != nullptr; ++list) {
        if (strcasecmp(*list, string) == 0) {
            return *list;
        }
    }
    return nullptr;
}
