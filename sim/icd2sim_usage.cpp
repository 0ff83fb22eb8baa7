// The usage and --help texts of icd2sim. The device settings' part comes
// from the settings parser (settings_help), so that it is kept beside it.

#include "icd2sim_usage.h"

#include "icd2sim_settings.h"

namespace icd2sim {

void print_usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: icd2sim [options] -- PROGRAM [ARGS...]   (\"@\" in ARGS is the tty)\n"
                 "       icd2sim [options] --link PATH\n"
                 "       icd2sim --help | --version\n"
                 "options: --device FILE, --set KEY=VALUE, --load HEXFILE, --dump HEXFILE,\n"
                 "         --transcript FILE, --preload LIB, --pace, --device-time CODE=USEC,\n"
                 "         --latency USEC\n");
}

void print_help(std::FILE* out) {
    print_usage(out);
    std::fputs(
        "\n"
        "An option's value is the next argument, or follows it after '=' (--set=KEY=VALUE).\n"
        "  --load, --dump HEXFILE   Intel HEX, each word at byte address 2 x word address\n"
        "  --device-time CODE=USEC  CODE two characters, USEC decimal microseconds\n"
        "  --latency USEC           every answer held USEC microseconds (decimal, at most\n"
        "                           10000000) before its first byte, as a USB adapter holds it\n"
        "  --preload LIB            default: libicd2sim_preload.so beside icd2sim, else where\n"
        "                           it was installed or built\n"
        "\n"
        "--link PATH makes PATH a link to the pty and prints one line, the environment\n"
        "the program needs; without it, DTR cannot be driven on the pty. By hand:\n"
        "  $ icd2sim --device sim-device.conf --link /tmp/icd2\n"
        "  LD_PRELOAD=/.../libicd2sim_preload.so ICD2SIM_CONTROL=/tmp/icd2sim.XXXXXX/control\n"
        "and in another shell, with the line it printed:\n"
        "  $ env LD_PRELOAD=/.../libicd2sim_preload.so "
        "ICD2SIM_CONTROL=/tmp/icd2sim.XXXXXX/control \\\n"
        "        tarnwell -c tarnwell.config -t /tmp/icd2 example.hex\n"
        "then Ctrl-C (or SIGTERM, SIGHUP) ends icd2sim: it writes --dump and --transcript\n"
        "and removes the link.\n"
        "\n",
        out);
    std::fputs(settings_help(), out);
}

}  // namespace icd2sim
