#include "config/config.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config_lookup.h"

data_base* configDB = nullptr;

namespace {

// What get_config_line returns for each kind of line.
enum LineResult {
    LINE_ENTRY = 0,
    LINE_END_OF_FILE = 1,
    LINE_BLANK = 2,
    LINE_COMMENT = 3,
    LINE_KEY_ALONE = 4,
    LINE_EMPTY_KEY = 5,
    LINE_NO_EQUALS = 6,
    LINE_EMPTY_VALUE = 7,
};

// The white-space class of the POSIX locale, spelled out so that the user's
// locale cannot change how a configuration file reads.
bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool ends_key(int c) {
    return c == EOF || c == '=' || is_space(c);
}

// Returns the first character that is not white space, a newline included, or EOF.
int skip_blanks(FILE* stream) {
    int c;
    do {
        c = fgetc(stream);
    } while (c != '\n' && is_space(c));
    return c;
}

// Consumes the rest of the line; returns '\n', or EOF when the file ended first.
int skip_line(FILE* stream) {
    int c;
    do {
        c = fgetc(stream);
    } while (c != EOF && c != '\n');
    return c;
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct ListReleaser {
    void operator()(dataBaseList* list) const { free_data_base_list(&list); }
};
using List = std::unique_ptr<dataBaseList, ListReleaser>;

void store_entry(const char* key, const char* value, int line, const char* file_name) {
    data_base_element* element = get_data_base_element(configDB, key, nullptr);
    if (element == nullptr) {
        fprintf(stderr, "WARNING: line %d in file \"%s\" could not be loaded due lack of memory\n",
                line, file_name);
        return;
    }
    if (element->value != nullptr) {
        char canonical[DATA_BASE_KEY_SIZE];
        fprintf(stderr, "WARNING line %d in file \"%s\" overwrites key \"%s\"\n", line, file_name,
                get_data_base_element_key(element, canonical));
    }
    // The replaced value is released here: nothing else holds it once the
    // element points at its successor.
    free(element->value);
    element->value = strdup(value);
    if (element->value == nullptr) {
        fprintf(stderr, "WARNING: line %d in file \"%s\" could not be loaded due lack of memory\n",
                line, file_name);
    }
}

// The subtree listing of key (the root's descendants for a null key), which
// both enumerations walk.
List list_config(const char* key) {
    data_base_element* element =
        key == nullptr ? configDB->root : get_data_base_element(configDB, key, nullptr);
    return List(element == nullptr ? nullptr : get_data_base_list(element, 0));
}

size_t count_nodes(const dataBaseList* list) {
    size_t count = 0;
    for (; list != nullptr; list = list->next) ++count;
    return count;
}

}  // namespace

int get_config_line(char* key, char* value, FILE* stream, int* line, const char* file_name) {
    ++*line;

    int c = skip_blanks(stream);
    if (c == EOF) return LINE_END_OF_FILE;
    if (c == '\n') return LINE_BLANK;
    if (c == '#') return skip_line(stream) == EOF ? LINE_END_OF_FILE : LINE_COMMENT;

    // The first non-blank character belongs to the key whatever it is, even "=".
    int length = 0;
    key[length++] = static_cast<char>(c);
    bool key_truncated = false;
    for (c = fgetc(stream); !ends_key(c); c = fgetc(stream)) {
        if (length < CONFIG_TEXT_MAX) {
            key[length++] = static_cast<char>(c);
        } else {
            key_truncated = true;
        }
    }
    key[length] = '\0';
    if (key_truncated) {
        fprintf(stderr, "WARNING: line %d  in file \"%s\". The key has been truncated\n", *line,
                file_name);
    }
    if (c == EOF) return LINE_END_OF_FILE;
    if (c == '\n') return LINE_KEY_ALONE;
    if (key[0] == '\0') return LINE_EMPTY_KEY;

    if (c != '=') {
        c = skip_blanks(stream);
        if (c == EOF) return LINE_END_OF_FILE;
        if (c == '\n') return LINE_KEY_ALONE;
        if (c != '=') return skip_line(stream) == EOF ? LINE_END_OF_FILE : LINE_NO_EQUALS;
    }

    c = skip_blanks(stream);
    if (c == EOF) return LINE_END_OF_FILE;
    if (c == '\n') return LINE_BLANK;

    // The end of the file ends a value like a newline, so a last line without
    // its line end still counts. Only dropped characters that are not white
    // space make a truncation: trailing blanks and the CR of a CR LF file
    // would be trimmed anyway.
    length = 0;
    bool value_truncated = false;
    for (; c != EOF && c != '\n'; c = fgetc(stream)) {
        if (length < CONFIG_TEXT_MAX) {
            value[length++] = static_cast<char>(c);
        } else if (!is_space(c)) {
            value_truncated = true;
        }
    }
    value[length] = '\0';
    if (value_truncated) {
        fprintf(stderr, "WARNING: line %d  in file \"%s\". The value has been truncated\n", *line,
                file_name);
    }

    length = static_cast<int>(strlen(value));
    while (length > 0 && is_space(static_cast<unsigned char>(value[length - 1]))) --length;
    value[length] = '\0';
    return value[0] == '\0' ? LINE_EMPTY_VALUE : LINE_ENTRY;
}

int load_config(const char* file_name) {
    int line = 0;
    if (file_name == nullptr) return 1;
    File file(fopen(file_name, "r"));
    if (!file) return 1;
    if (configDB == nullptr) {
        configDB = new_data_base("config");
        if (configDB == nullptr) return 2;
    }

    char key[CONFIG_TEXT_MAX + 1];
    char value[CONFIG_TEXT_MAX + 1];
    // A read error never sets the end-of-file indicator; without the ferror
    // test an unreadable file (a directory, say) would be read forever.
    while (!feof(file.get()) && !ferror(file.get())) {
        if (get_config_line(key, value, file.get(), &line, file_name) == LINE_ENTRY) {
            store_entry(key, value, line, file_name);
        }
    }
    return ferror(file.get()) ? 1 : 0;
}

int config_loaded() {
    return configDB != nullptr ? 1 : 0;
}

const char* get_config_string(const char* key) {
    if (configDB == nullptr) return nullptr;
    const data_base_element* element = get_data_base_element(configDB, key, nullptr);
    return element == nullptr ? nullptr : element->value;
}

const char* find_config_string(const char* key) {
    if (configDB == nullptr) return nullptr;
    const data_base_element* element = get_existing_data_base_element(configDB, key, nullptr);
    return element == nullptr ? nullptr : element->value;
}

int get_config_int(const char* key) {
    const char* value = get_config_string(key);
    return value == nullptr ? 0 : atoi(value);
}

long get_config_long(const char* key) {
    const char* value = get_config_string(key);
    return value == nullptr ? 0 : atol(value);
}

char** get_config_keys(const char* key) {
    if (configDB == nullptr) return nullptr;
    const List list = list_config(key);
    // Room for every listed element; those without a value are skipped below.
    auto** keys = static_cast<char**>(malloc((count_nodes(list.get()) + 1) * sizeof(char*)));
    if (keys == nullptr) return nullptr;

    size_t used = 0;
    char canonical[DATA_BASE_KEY_SIZE];
    for (const dataBaseList* node = list.get(); node != nullptr; node = node->next) {
        if (node->element->value == nullptr) continue;
        keys[used] = strdup(get_data_base_element_key(node->element, canonical));
        if (keys[used] == nullptr) {
            free_config_keys(&keys);
            return nullptr;
        }
        ++used;
    }
    keys[used] = nullptr;
    return keys;
}

void free_config_keys(char*** keys) {
    if (keys == nullptr || *keys == nullptr) return;
    for (char** key = *keys; *key != nullptr; ++key) free(*key);
    free(*keys);
}

const char** get_config_values(const char* key) {
    if (configDB == nullptr) return nullptr;
    const List list = list_config(key);
    auto** values =
        static_cast<const char**>(malloc((count_nodes(list.get()) + 1) * sizeof(char*)));
    if (values == nullptr) return nullptr;

    size_t used = 0;
    for (const dataBaseList* node = list.get(); node != nullptr; node = node->next) {
        if (node->element->value != nullptr) values[used++] = node->element->value;
    }
    values[used] = nullptr;
    return values;
}

void free_config_values(const char*** values) {
    if (values != nullptr && *values != nullptr) free(*values);
}

void free_config() {
    free_data_base(&configDB, free);
}
