// Loads arbitrary bytes as a configuration file and checks the queries: keys
// listed in pre-order, siblings in byte order, each found under any spelling,
// a subtree listing the slice of the full one, and lookups changing nothing.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "fuzz_support.h"

namespace {

using fuzz::require;

// Subtree checks cost a listing each; a few keys are enough to find faults.
constexpr size_t kKeysProbed = 16;

std::string config_path;

// The POSIX locale's white space, which ends a key and is trimmed from values.
constexpr auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };

// Pre-order, siblings in strcmp order: a byte-wise comparison in which "/"
// sorts before every other byte.
bool listed_before(std::string a, std::string b) {
    std::replace(a.begin(), a.end(), '/', '\0');
    std::replace(b.begin(), b.end(), '/', '\0');
    return a < b;
}

void check_entry(std::string_view key, std::string_view value, std::string_view input) {
    require(key.size() >= 2 && key.size() <= CONFIG_TEXT_MAX + 1,
            "listed key of impossible length");
    require(key.front() == '/' && key.back() != '/' && key.find("//") == std::string_view::npos,
            "listed key not in canonical form");
    require(std::none_of(key.begin(), key.end(), is_space), "listed key holds white space");
    require(!value.empty() && value.size() <= CONFIG_TEXT_MAX, "stored value of impossible length");
    require(!is_space(value.front()) && !is_space(value.back()), "stored value not trimmed");
    require(value.find('\n') == std::string_view::npos, "stored value spans lines");
    // Values are copied from the file, never made up.
    require(input.find(value) != std::string_view::npos, "stored value does not occur in the file");
}

using Listing = std::pair<std::vector<std::string>, std::vector<const char*>>;

// The listings under a key (null: the whole tree): copies of the keys, the tree's own value texts.
Listing listed(const char* under) {
    char** keys = get_config_keys(under);
    const char** values = get_config_values(under);
    require(keys != nullptr && values != nullptr, "a listing failed on a loaded tree");
    Listing listing;
    for (char** key = keys; *key != nullptr; ++key) listing.first.emplace_back(*key);
    for (const char** value = values; *value != nullptr; ++value) listing.second.push_back(*value);
    free_config_keys(&keys);
    free_config_values(&values);
    return listing;
}

void check_loaded(std::string_view input) {
    const auto [keys, values] = listed(nullptr);
    require(keys.size() == values.size(), "key and value listings differ in length");
    for (size_t i = 0; i < keys.size(); ++i) {
        check_entry(keys[i], values[i], input);
        require(i == 0 || listed_before(keys[i - 1], keys[i]), "keys listed out of order");
        require(get_config_string(keys[i].c_str()) == values[i], "a listed key misses its value");
    }
    for (size_t i = 0; i < keys.size() && i < kKeysProbed; ++i) {
        // Other spellings of the path: without the leading "/", with every
        // "/" doubled, with a trailing "/".
        std::string doubled;
        for (const char c : keys[i]) doubled += c == '/' ? "//" : std::string(1, c);
        for (const std::string& spelling : {keys[i].substr(1), doubled, keys[i] + "/"})
            require(get_config_string(spelling.c_str()) == values[i],
                    "a spelling finds another value");
        // The subtree: the key and those below it, which follow it.
        size_t end = i + 1;
        while (end < keys.size() && keys[end].starts_with(keys[i] + "/")) ++end;
        require(listed(keys[i].c_str()) == Listing{{keys.begin() + i, keys.begin() + end},
                                                   {values.begin() + i, values.begin() + end}},
                "subtree listing is not the slice of the full listing");
        // A lookup below a key creates elements without value, which no
        // listing may show. No key of a file can hold a blank.
        require(get_config_string((keys[i] + "/never loaded").c_str()) == nullptr,
                "a key never loaded has a value");
    }
    require(listed(nullptr) == Listing{keys, values}, "lookups changed the listing");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* directory = std::getenv("TMPDIR");
    config_path = std::string(directory != nullptr ? directory : "/tmp") + "/tarnwell-fuzz-XXXXXX";
    const int fd = mkstemp(config_path.data());
    require(fd >= 0, "cannot create the configuration file");
    close(fd);
    std::atexit([] { unlink(config_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    require(std::ofstream(config_path, std::ios::binary).write(input.data(), input.size()).good(),
            "cannot write the configuration file");
    {
        // Over-long keys and values and overwritten keys are warned about.
        const fuzz::Silenced silenced;
        require(load_config(config_path.c_str()) == 0, "a readable file did not load");
    }
    require(config_loaded() == 1, "no tree after a successful load");
    check_loaded(input);
    free_config();
    require(config_loaded() == 0 && configDB == nullptr, "free_config left the tree");
    return 0;
}
