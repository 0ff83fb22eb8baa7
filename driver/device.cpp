// Processor settings from the configuration: a processor's own section wins
// over its family's, and only processors whose family has an "id" are tried.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "log/log.h"

namespace {

constexpr const char* kProcessorPrefix = "/processor/";
constexpr const char* kFamilyPrefix = "/family/";

// A newly allocated copy of a formatted key; null when out of memory.
char* format_key(const char* format, const char* first, const char* second) {
    int length = std::snprintf(nullptr, 0, format, first, second);
    if (length < 0) return nullptr;
    char* key = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (key != nullptr) std::snprintf(key, static_cast<size_t>(length) + 1, format, first, second);
    return key;
}

// For a key "<prefix><name>/<rest>", the name and the rest; false when the
// key does not have that shape.
bool split_section_key(const char* key, const char* prefix, std::string& name, std::string& rest) {
    size_t prefix_length = std::strlen(prefix);
    if (std::strncmp(key, prefix, prefix_length) != 0) return false;
    const char* name_start = key + prefix_length;
    const char* slash = std::strchr(name_start, '/');
    if (slash == nullptr) return false;
    name.assign(name_start, slash);
    rest.assign(slash + 1);
    return true;
}

// Frees a key array from get_config_keys on every path out.
struct ConfigKeys {
    char** keys;
    explicit ConfigKeys(const char* prefix) : keys(get_config_keys(prefix)) {}
    ~ConfigKeys() {
        if (keys != nullptr) free_config_keys(&keys);
    }
    ConfigKeys(const ConfigKeys&) = delete;
    ConfigKeys& operator=(const ConfigKeys&) = delete;
};

}  // namespace

char* get_device_config_key(const char* device, const char* suffix) {
    char* key = format_key("/processor/%s/%s", device, suffix);
    if (key == nullptr) return nullptr;
    if (get_config_string(key) != nullptr) return key;
    std::free(key);

    char* family_key = format_key("/processor/%s/%s", device, "family");
    if (family_key == nullptr) return nullptr;
    const char* family = get_config_string(family_key);
    if (family == nullptr) {
        std::free(family_key);
        return nullptr;
    }
    key = format_key("family/%s/%s", family, suffix);
    std::free(family_key);
    if (key == nullptr) return nullptr;
    if (get_config_string(key) != nullptr) return key;
    std::free(key);
    return nullptr;
}

char** get_device_names() {
    ConfigKeys processors(kProcessorPrefix);
    std::string name;
    std::string rest;
    size_t candidates = 0;
    for (char** key = processors.keys; key != nullptr && *key != nullptr; ++key) {
        if (split_section_key(*key, kProcessorPrefix, name, rest) && rest == "family") ++candidates;
    }

    char** names = static_cast<char**>(std::calloc(candidates + 1, sizeof(char*)));
    if (names == nullptr) {
        log_message(1, 1, "tarnwell", "get_device_names",
                    "Unbale to allocate memory for device names.");
        return nullptr;
    }

    // Families come in ascending order of name, and within a family the
    // processors in ascending order of theirs, because both key lists do.
    ConfigKeys families(kFamilyPrefix);
    size_t count = 0;
    std::string family;
    for (char** fkey = families.keys; fkey != nullptr && *fkey != nullptr; ++fkey) {
        if (!split_section_key(*fkey, kFamilyPrefix, family, rest) || rest != "id") continue;
        for (char** pkey = processors.keys; pkey != nullptr && *pkey != nullptr; ++pkey) {
            if (!split_section_key(*pkey, kProcessorPrefix, name, rest) || rest != "family")
                continue;
            const char* value = get_config_string(*pkey);
            if (value == nullptr || family != value || count == candidates) continue;
            char* copy = strdup(name.c_str());
            if (copy == nullptr) continue;
            names[count++] = copy;
        }
    }
    names[count] = nullptr;
    return names;
}

void free_device_names(char*** names) {
    if (names == nullptr || *names == nullptr) return;
    for (char** name = *names; *name != nullptr; ++name) std::free(*name);
    std::free(*names);
}
