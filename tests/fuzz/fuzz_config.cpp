// Loads arbitrary bytes as a configuration file and checks the queries over
// what was loaded: the full key listing comes in pre-order with siblings in
// ascending byte order, every listed key resolves to its value under any
// spelling of its path, a subtree listing is the matching slice of the full
// listing, and looking keys up never changes what is listed.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "fuzz_support.h"

namespace {

using fuzz::require;

// Subtree checks cost a listing each; a few keys are enough to find faults.
constexpr size_t kKeysProbed = 16;
// Longest canonical key of an entry: a leading "/" and the 300-character key.
constexpr size_t kLongestKey = CONFIG_TEXT_MAX + 1;

std::string& config_path() {
    static std::string path;
    return path;
}

void remove_config_file() {
    if (!config_path().empty()) unlink(config_path().c_str());
}

void write_config_file(const uint8_t* data, size_t size) {
    const int fd = open(config_path().c_str(), O_WRONLY | O_TRUNC);
    require(fd >= 0, "cannot rewrite the configuration file");
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(fd, data + done, size - done);
        require(written > 0, "cannot write the configuration file");
        done += static_cast<size_t>(written);
    }
    close(fd);
}

// The POSIX locale's white space, which ends a key and is trimmed from values.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string_view> components(std::string_view key) {
    std::vector<std::string_view> parts;
    size_t start = 1;
    while (start <= key.size()) {
        size_t end = key.find('/', start);
        if (end == std::string_view::npos) end = key.size();
        parts.push_back(key.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Pre-order over the tree: an ancestor comes before its descendants, and
// siblings compare with strcmp (unsigned bytes).
bool listed_before(std::string_view a, std::string_view b) {
    const auto left = components(a);
    const auto right = components(b);
    for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
        const int order = std::string(left[i]).compare(std::string(right[i]));
        if (order != 0) return order < 0;
    }
    return left.size() < right.size();
}

void check_canonical(std::string_view key) {
    require(key.size() >= 2 && key.size() <= kLongestKey, "listed key of impossible length");
    require(key.front() == '/' && key.back() != '/', "listed key not in canonical form");
    require(key.find("//") == std::string_view::npos, "listed key with an empty component");
    for (const char c : key) require(!is_space(c), "listed key holds white space");
}

void check_value(const char* value, std::string_view input) {
    const size_t length = std::strlen(value);
    require(length >= 1 && length <= CONFIG_TEXT_MAX, "stored value of impossible length");
    require(!is_space(value[0]) && !is_space(value[length - 1]), "stored value not trimmed");
    require(std::strchr(value, '\n') == nullptr, "stored value spans lines");
    // Values are copied from the file, never made up.
    require(input.find(std::string_view(value, length)) != std::string_view::npos,
            "stored value does not occur in the file");
}

std::vector<std::string> copy_keys(char** keys) {
    std::vector<std::string> copy;
    for (char** key = keys; *key != nullptr; ++key) copy.emplace_back(*key);
    return copy;
}

std::vector<std::string> listed_keys(const char* key) {
    char** keys = get_config_keys(key);
    require(keys != nullptr, "get_config_keys failed on a loaded tree");
    std::vector<std::string> copy = copy_keys(keys);
    free_config_keys(&keys);
    return copy;
}

std::vector<const char*> listed_values(const char* key) {
    const char** values = get_config_values(key);
    require(values != nullptr, "get_config_values failed on a loaded tree");
    std::vector<const char*> copy;
    for (const char** value = values; *value != nullptr; ++value) copy.push_back(*value);
    free_config_values(&values);
    return copy;
}

bool is_within(const std::string& key, const std::string& ancestor) {
    return key == ancestor ||
           (key.size() > ancestor.size() && key.compare(0, ancestor.size(), ancestor) == 0 &&
            key[ancestor.size()] == '/');
}

// Other spellings of the same path: without the leading "/", with every "/"
// doubled, with a trailing "/".
void check_spellings(const std::string& key, const char* value) {
    std::string doubled;
    for (const char c : key) {
        doubled += c;
        if (c == '/') doubled += '/';
    }
    for (const std::string& spelling : {key.substr(1), doubled, key + "/"}) {
        require(get_config_string(spelling.c_str()) == value,
                "another spelling of a key finds another value");
    }
}

void check_subtree(const std::vector<std::string>& keys, const std::vector<const char*>& values,
                   size_t index) {
    const std::vector<std::string> sub_keys = listed_keys(keys[index].c_str());
    const std::vector<const char*> sub_values = listed_values(keys[index].c_str());
    size_t end = index;
    while (end < keys.size() && is_within(keys[end], keys[index])) ++end;
    require(sub_keys == std::vector<std::string>(keys.begin() + index, keys.begin() + end),
            "subtree listing is not the slice of the full listing");
    require(sub_values == std::vector<const char*>(values.begin() + index, values.begin() + end),
            "subtree values are not the slice of the full listing");
}

void check_loaded(std::string_view input) {
    const std::vector<std::string> keys = listed_keys(nullptr);
    const std::vector<const char*> values = listed_values(nullptr);
    require(keys.size() == values.size(), "key and value listings differ in length");

    for (size_t i = 0; i < keys.size(); ++i) {
        check_canonical(keys[i]);
        check_value(values[i], input);
        if (i > 0) require(listed_before(keys[i - 1], keys[i]), "keys listed out of order");
        require(get_config_string(keys[i].c_str()) == values[i],
                "a listed key does not resolve to its listed value");
    }
    for (size_t i = 0; i < keys.size() && i < kKeysProbed; ++i) {
        check_spellings(keys[i], values[i]);
        check_subtree(keys, values, i);
        // A lookup below a key creates elements without value, which no
        // listing may show. No key of a file can hold a blank.
        require(get_config_string((keys[i] + "/never loaded").c_str()) == nullptr,
                "a key never loaded has a value");
    }
    require(listed_keys(nullptr) == keys, "lookups changed the key listing");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* directory = std::getenv("TMPDIR");
    std::string path = std::string(directory != nullptr ? directory : "/tmp") +
                       "/tarnwell-fuzz-config-XXXXXX";
    const int fd = mkstemp(path.data());
    require(fd >= 0, "cannot create the configuration file");
    close(fd);
    config_path() = path;
    std::atexit(remove_config_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_config_file(data, size);
    {
        // Over-long keys and values and overwritten keys are warned about on
        // standard error.
        fuzz::Silenced quiet;
        require(load_config(config_path().c_str()) == 0, "a readable file did not load");
    }
    require(config_loaded() == 1, "no tree after a successful load");
    check_loaded(std::string_view(reinterpret_cast<const char*>(data), size));
    free_config();
    require(config_loaded() == 0 && configDB == nullptr, "free_config left the tree");
    return 0;
}
