// String and list helpers over NUL-terminated byte strings, and two date
// converters. Nothing here allocates or keeps state; every buffer belongs to
// the caller.
#pragma once

#include <ctime>

// Reads one line of standard input into buffer (size + 1 bytes), keeping at
// most size characters and discarding the rest of a longer line. Returns the
// buffer, or null when input ended before any character was read.
// A size of 0 (or less) keeps nothing: the rest of the line is consumed, the
// buffer holds the empty text, and the result follows the rule above.
char* safe_gets(char* buffer, int size);

// Yields the next field of the text under *cursor split at separator, copying
// at most size characters into output (size + 1 bytes) and advancing *cursor
// past the field. Runs of separators never give empty fields. Returns 1 when
// a field was produced, 0 when none is left (output untouched).
int strsplit(char separator, const char** cursor, char* output, int size);

// Reverses the string in place; returns the same pointer.
char* strreverse(char* string);

// Bucket index 0 .. buckets - 1 of the string; characters count as signed
// bytes. buckets must be at least 1.
unsigned int strhash(unsigned int buckets, const char* string);

// Index of the lowest / highest entry of array (count entries, null entries
// are holes), compared with strcmp or, for the _case variants, strcasecmp.
// Among equal entries the lowest index wins; -1 when no entry is non-null.
int get_lowest_string(const char* const* array, int count);
int get_lowest_case_string(const char* const* array, int count);
int get_highest_string(const char* const* array, int count);
int get_highest_case_string(const char* const* array, int count);

// Upper-cases the string in place (POSIX locale); returns the same pointer.
char* strupper(char* string);

// The first entry of the null-terminated list equal to string ignoring case
// (the list's own pointer), or null.
const char* is_in_case_list(const char* const* list, const char* string);

// Reads "DD/Mon/YYYY:HH:MM:SS" into *tm. Returns 0, or 1 when the separators
// are not in place (then *tm is untouched).
int str_to_tm(const char* text, struct tm* tm);

// Calendar time of local midnight of the date "YYYYMMDD"; 0 for a null or
// empty text. A text shorter than 8 characters converts only what is there.
time_t date_to_time_t(const char* text);
