// -l: lists the processors that the configuration lets tarnwell try, and
// warns about every setting that cannot work as its author meant: numbers
// that the decimal reading misreads, processors that can never be tried,
// memory spaces that are missing or overlap.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"

namespace {

struct Entry {
    std::string value;
    int line = 0;
};

// Every entry of the file by its canonical key ("/a/b"), with the line that
// gave it its value: the last one, as in the tree.
std::map<std::string, Entry> read_entries(const char* path) {
    std::map<std::string, Entry> entries;
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return entries;
    char key[CONFIG_TEXT_MAX + 1];
    char value[CONFIG_TEXT_MAX + 1];
    int line = 0;
    for (int result = 0; result != 1;) {
        result = get_config_line(key, value, file, &line, path);
        if (result != 0) continue;
        std::string canonical;
        for (const char* part = std::strtok(key, "/"); part != nullptr;
             part = std::strtok(nullptr, "/"))
            canonical += std::string("/") + part;
        entries[canonical] = Entry{value, line};
    }
    std::fclose(file);
    return entries;
}

// A number as the configuration reads it: decimal digits, with a sign.
bool is_decimal(const std::string& text) {
    size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (start == text.size()) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Settings read as numbers: everything of a processor or family but the
// processor's family name, and the log levels.
bool is_numeric_key(const std::string& key) {
    if (key.rfind("/log/", 0) == 0) return true;
    if (key.rfind("/family/", 0) == 0) return true;
    if (key.rfind("/processor/", 0) != 0) return false;
    size_t slash = key.find('/', std::strlen("/processor/"));
    return slash != std::string::npos && key.substr(slash) != "/family";
}

class Checker {
  public:
    explicit Checker(const char* path) : entries_(read_entries(path)) {}

    int run() {
        for (const auto& [key, entry] : entries_) {
            if (is_numeric_key(key) && !is_decimal(entry.value))
                warn(entry.line, key + " = \"" + entry.value + "\" reads as " +
                                     std::to_string(std::atol(entry.value.c_str())) +
                                     ": numbers are decimal");
        }
        std::set<std::string> listed;
        char** names = get_device_names();
        for (char** name = names; name != nullptr && *name != nullptr; ++name) {
            listed.insert(*name);
            list_processor(*name);
        }
        free_device_names(&names);
        for (const std::string& name : processors()) {
            if (listed.count(name) == 0) warn_never_tried(name);
        }
        for (const std::string& warning : warnings_) std::printf("%s\n", warning.c_str());
        std::fflush(stdout);
        return warnings_.empty() ? 0 : 1;
    }

  private:
    struct Setting {
        bool present = false;
        long value = 0;
    };

    Setting setting(const char* device, const char* suffix) {
        Setting result;
        if (char* key = get_device_config_key(device, suffix); key != nullptr) {
            result = {true, get_config_long(key)};
            std::free(key);
        }
        return result;
    }

    // The line of a processor's first entry, for warnings about it as a whole.
    int processor_line(const std::string& name) {
        std::string prefix = "/processor/" + name + "/";
        int line = 0;
        for (const auto& [key, entry] : entries_)
            if (key.rfind(prefix, 0) == 0 && (line == 0 || entry.line < line)) line = entry.line;
        return line;
    }

    std::set<std::string> processors() {
        std::set<std::string> names;
        for (const auto& [key, entry] : entries_) {
            if (key.rfind("/processor/", 0) != 0) continue;
            size_t start = std::strlen("/processor/");
            size_t slash = key.find('/', start);
            if (slash != std::string::npos) names.insert(key.substr(start, slash - start));
        }
        return names;
    }

    // The line of the entry behind key, as get_device_config_key spells it.
    int line_of(const std::string& key) {
        std::string canonical = "/";
        for (char c : key)
            if (c != '/' || canonical.back() != '/') canonical += c;
        auto entry = entries_.find(canonical);
        return entry != entries_.end() ? entry->second.line : 0;
    }

    void warn(int line, const std::string& text) {
        warnings_.push_back("WARNING: line " + std::to_string(line) + ": " + text);
    }

    void warn_never_tried(const std::string& name) {
        auto family = entries_.find("/processor/" + name + "/family");
        std::string why;
        if (family == entries_.end())
            why = "it has no family setting";
        else if (entries_.count("/family/" + family->second.value + "/id") == 0)
            why = "its family \"" + family->second.value + "\" has no id setting";
        warn(processor_line(name), "processor " + name + " is never tried: " + why);
    }

    void list_processor(const char* name) {
        static const char* const kSpaces[] = {"prog", "eeprom", "id", "config"};
        const char* family =
            get_config_string(("/processor/" + std::string(name) + "/family").c_str());
        Setting firmware = setting(name, "/firmware/id");
        Setting chipid = setting(name, "/address/chipid/start");
        Setting mask = setting(name, "/id/mask");
        Setting value = setting(name, "/id/value");
        Setting id = setting(name, "/id");
        std::printf("%s: family %s (%ld), firmware %ld, chip id at %04lX mask %04lX value %04lX\n",
                    name, family != nullptr ? family : "", id.value, firmware.value, chipid.value,
                    mask.value, value.value);
        std::vector<std::string> missing;
        if (!firmware.present) missing.push_back("/firmware/id");
        if (!chipid.present) missing.push_back("/address/chipid/start");
        if (!mask.present) missing.push_back("/id/mask");
        if (!value.present) missing.push_back("/id/value");
        for (const std::string& key : missing)
            warn(processor_line(name),
                 std::string("processor ") + name + " never matches: no " + key);

        Setting start[4];
        Setting size[4];
        for (int space = 0; space < 4; ++space) {
            std::string prefix = std::string("/address/") + kSpaces[space];
            start[space] = setting(name, (prefix + "/start").c_str());
            size[space] = setting(name, (prefix + "/size").c_str());
            std::printf("  %-7s %04lX, %ld words\n", kSpaces[space], start[space].value,
                        size[space].value);
            if (!start[space].present || !size[space].present)
                warn(processor_line(name), std::string("processor ") + name + " has no " + prefix +
                                               (start[space].present ? "/size" : "/start"));
        }
        for (int a = 0; a < 4; ++a) {
            for (int b = a + 1; b < 4; ++b) {
                if (size[a].value <= 0 || size[b].value <= 0) continue;
                if (start[a].value < start[b].value + size[b].value &&
                    start[b].value < start[a].value + size[a].value)
                    warn(processor_line(name), std::string("processor ") + name + ": spaces " +
                                                   kSpaces[a] + " and " + kSpaces[b] + " overlap");
            }
        }
        list_calibration(name, start, size);
    }

    // The calibration words, each in a line; one that lies in no word space
    // or has a mask of 0 keeps nothing, and is warned about.
    void list_calibration(const char* name, const Setting (&start)[4], const Setting (&size)[4]) {
        for (int n = 1; n <= 16; ++n) {
            const std::string entry = "/calibration/" + std::to_string(n);
            char* key = get_device_config_key(name, (entry + "/address").c_str());
            if (key == nullptr) break;
            const long address = get_config_long(key);
            const int line = line_of(key);
            std::free(key);
            const Setting mask = setting(name, (entry + "/mask").c_str());
            const long bits = mask.present ? mask.value : 0x3FFF;
            std::printf("  calibration %04lX mask %04lX\n", address, bits);
            bool placed = false;
            for (int space : {0, 2, 3})  // program, ID and configuration words
                placed = placed || (start[space].value <= address &&
                                    address < start[space].value + size[space].value);
            const std::string what =
                std::string("processor ") + name + ": calibration word " + std::to_string(n);
            if (!placed) warn(line, what + " lies in no word space");
            if (bits == 0) warn(line, what + " has a mask of 0: it keeps nothing");
        }
    }

    std::map<std::string, Entry> entries_;
    std::vector<std::string> warnings_;
};

}  // namespace

int check_config(const char* path) {
    return Checker(path).run();
}
