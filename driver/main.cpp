// tarnwell: writes an Intel HEX image into a microcontroller attached to an
// ICD2, reads it back to verify it, or with -v only verifies.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "config/config.h"
#include "driver/driver.h"
#include "hex/hex.h"
#include "log/log.h"

namespace {

// Exit statuses: each names the stage of the run that failed.
enum ExitStatus {
    kSuccess = 0,
    kUsageOrConfig = 1,
    kHexUnreadable = 2,
    kHexInvalid = 3,
    kNotIdentified = 4,
    kPassFailed = 5,
};

void usage() {
    std::fputs("Usage: tarnwell [-c <config file>] -t <tty> [-v] <hex file>\n", stdout);
    std::fputs("\n", stdout);
    std::fputs("\t-c <config file> The path to the config file with the processor info in. Defaults to "
               TARNWELL_DEFAULT_CONFIG "\n",
               stdout);
    std::fputs("\t-t <tty> The path to the serial device that the ICD2 is connect to\n", stdout);
    std::fputs("\t-v Verify the hex file against the device. Without this it programs and verifies\n\n",
               stdout);
}

// Opens the HEX file for reading. A directory opens on Linux but can never
// be read, so it counts as a file that cannot be opened.
FILE* open_hex_file(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

struct Options {
    const char* config_path = TARNWELL_DEFAULT_CONFIG;
    const char* tty_path = nullptr;
    bool verify = false;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    // "+": scanning stops at the first operand, so a HEX file given before
    // -t leaves the tty unset instead of being reordered past it.
    int option;
    while ((option = getopt(argc, argv, "+c:t:v")) != -1) {
        switch (option) {
            case 'c': options.config_path = optarg; break;
            case 't': options.tty_path = optarg; break;
            case 'v': options.verify = true; break;
            default: break;  // getopt has printed its own diagnostic
        }
    }
    argc -= optind;
    argv += optind;
    if (options.tty_path == nullptr || argc < 1) {
        usage();
        return kUsageOrConfig;
    }
    const char* hex_path = argv[0];

    if (load_config(options.config_path) != 0) {
        log_message(1, 1, "tarnwell", "main", "Unable to open config file: %s", options.config_path);
        return kUsageOrConfig;
    }

    FILE* hex_file = open_hex_file(hex_path);
    if (hex_file == nullptr) {
        log_message(1, 1, "tarnwell", "main", "Unable to open hex file: %s", hex_path);
        return kHexUnreadable;
    }
    HexRecord* list = nullptr;
    int line = 0;
    if (int error = readHexFileLine(hex_file, &list, &line); error != 0) {
        std::fclose(hex_file);
        log_message(1, 2, "tarnwell", "main", "Error parsing hex file: %s", hex_path);
        // Where and what, so that nobody has to bisect a long file by hand.
        log_message(1, 2, "tarnwell", "main", "Line %d of %s: %s", line, hex_path,
                    getHexError(error));
        return kHexInvalid;
    }
    std::fclose(hex_file);

    char* device = find_device(options.tty_path);
    if (device == nullptr) {
        freeHexList(&list);
        log_message(1, 3, "tarnwell", "main", "Unable to identify processor.");
        return kNotIdentified;
    }

    // A device that failed to program or verify must never look like a
    // success to the script that ran us.
    int result = options.verify ? do_verify(list, device) : do_prog(list, device);
    freeHexList(&list);
    std::free(device);
    return result == 0 ? kSuccess : kPassFailed;
}
