// The benchmark's configurations: the example configuration with every
// "transfer/coalesce" line removed, and the same plus coalescing for the
// example part's family.

#include "configs.h"

#include <stdio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "util.h"

namespace bench {

namespace {

// Whether a configuration line sets "transfer/coalesce" for some section:
// the key runs from the first non-blank character to a blank or "=", and
// empty path components do not count.
bool sets_coalesce(const std::string& line) {
    const size_t first = line.find_first_not_of(" \t\v\f\r");
    if (first == std::string::npos || line[first] == '#') return false;
    const std::string key = line.substr(first, line.find_first_of(" \t\v\f\r=", first) - first);
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= key.size()) {
        const size_t slash = std::min(key.find('/', pos), key.size());
        if (slash > pos) parts.push_back(key.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return parts.size() >= 2 && parts[parts.size() - 2] == "transfer" && parts.back() == "coalesce";
}

}  // namespace

// Writes FROM without any coalesce setting to PLAIN, and the same with the
// setting on for the simulated part's family to COALESCED.
void write_configs(const std::string& from, const std::string& plain,
                   const std::string& coalesced) {
    FILE* in = std::fopen(from.c_str(), "r");
    if (!in) die_errno(from);
    std::string kept;
    char* raw = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&raw, &capacity, in)) > 0) {
        std::string line(raw, static_cast<size_t>(length));
        if (line.back() != '\n') line += '\n';
        if (!sets_coalesce(line)) kept += line;
    }
    std::free(raw);
    std::fclose(in);
    const std::string setting =
        std::string("family/") + kCoalescingFamily + "/transfer/coalesce = 1\n";
    for (const auto& [path, text] :
         {std::pair{plain, kept}, std::pair{coalesced, kept + setting}}) {
        FILE* out = std::fopen(path.c_str(), "w");
        if (!out) die_errno(path);
        std::fputs(text.c_str(), out);
        if (std::fclose(out) != 0) die_errno(path);
    }
}

}  // namespace bench
