// The configuration file loader and the queries over the process-wide tree.
#pragma once

#include <cstdio>

#include "config/data_base.h"

// The process-wide configuration tree; null until the first load_config that
// can open its file.
extern data_base* configDB;

// Longest key or value stored from a configuration line.
constexpr int CONFIG_TEXT_MAX = 300;

// Loads "key = value" lines of file_name into configDB. 0 when read to its
// end, 1 when the file cannot be opened, 2 when configDB cannot be created.
int load_config(const char* file_name);
// Reads one line; key and value hold CONFIG_TEXT_MAX + 1 bytes each. Returns
// 0 for an entry, 1 at end of file, 2 to 7 for lines that carry no entry.
int get_config_line(char* key, char* value, FILE* stream, int* line, const char* file_name);

// 1 when configDB exists, else 0.
int config_loaded();
// The value at key (the tree's own text, never freed by the caller), or null.
const char* get_config_string(const char* key);
// The value converted with atoi / atol, or 0 when there is none.
int get_config_int(const char* key);
long get_config_long(const char* key);
// Newly allocated null-terminated array of the canonical keys with a value
// under key (null: the whole tree); release with free_config_keys.
char** get_config_keys(const char* key);
void free_config_keys(char*** keys);
// Newly allocated null-terminated array of the tree's value texts under key;
// release the array (not the texts) with free_config_values.
const char** get_config_values(const char* key);
void free_config_values(const char*** values);
// Releases configDB with every value; configDB is null afterwards.
void free_config();
