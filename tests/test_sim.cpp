// icd2sim as a program: the test is the host on the --link tty and pulses DTR through the preload
// library's ioctl; the device model is tested in process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "support/harness.h"

namespace {

using harness::count_lines;
using harness::write_temp_file;
using Texts = std::vector<std::string>;

using Options = std::vector<std::string>;

// The shell command line that runs icd2sim with args.
std::string command(const Options& args) {
    std::string line = std::string("'") + ICD2SIM_BIN + "'";
    for (const std::string& arg : args) line += " '" + arg + "'";
    return line;
}

// The preload library's ioctl, which reports DTR on a pty to ICD2SIM_CONTROL.
int preload_dtr(int fd, bool raise) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto ioctl =
        reinterpret_cast<Ioctl>(dlsym(dlopen(ICD2SIM_PRELOAD, RTLD_NOW | RTLD_LOCAL), "ioctl"));
    int bits = TIOCM_DTR;
    return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits);
}

class Sim : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(dir_)); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    // Runs the simulator on a link with options, plays the host's script on
    // it and ends the simulator as its user does; what the host read.
    std::string session(Options options, const std::string& script) {
        options.insert(options.begin(),
                       {"--preload", ICD2SIM_PRELOAD, "--dump", path("dump.hex"), "--transcript",
                        path("transcript"), "--link", path("tty")});
        FILE* sim = popen(("echo $$; exec " + command(options)).c_str(), "r");
        char preload[512] = "", control[512] = "";
        int pid = 0;
        EXPECT_EQ(fscanf(sim, "%d LD_PRELOAD=%511s ICD2SIM_CONTROL=%511s", &pid, preload, control),
                  3);
        EXPECT_STREQ(preload, ICD2SIM_PRELOAD);
        setenv("ICD2SIM_CONTROL", control, 1);
        const int fd = open(path("tty").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const std::string replies = fd >= 0 ? play(fd, script) : "no link";
        close(fd);
        if (pid > 0) kill(pid, SIGTERM);  // never 0, the whole process group
        EXPECT_EQ(pclose(sim), 0);
        EXPECT_FALSE(std::filesystem::is_symlink(path("tty"))) << "the link outlived icd2sim";
        transcript = "\n" + harness::read_file(path("transcript"));
        dump = harness::read_file(path("dump.hex"));
        return replies;
    }

    // Steps separated by ';': H the host's connect handshake and the wake
    // reply, B<baud>, F<command text> framed, W<bytes>, R one frame or
    // block, Q<ms> all that comes within ms. Each read ends with '|'.
    static std::string play(int fd, const std::string& script) {
        std::string replies;
        std::stringstream steps(script);
        for (std::string step; std::getline(steps, step, ';');) {
            for (const char* wake : {"Z", "U"}) {  // two DTR pulses, a byte after each
                if (step != "H") break;
                EXPECT_EQ(preload_dtr(fd, false), 0);
                usleep(1000);
                EXPECT_EQ(preload_dtr(fd, true), 0);
                if (*wake == 'U') tcflush(fd, TCIOFLUSH);
                EXPECT_EQ(write(fd, wake, 1), 1);
            }
            const std::string arg = step.substr(1);
            const std::string bytes = step[0] == 'F' ? frame(arg, '<', '>') : arg;
            const ssize_t length = bytes.size();
            EXPECT_EQ(std::strchr("FW", step[0]) ? write(fd, bytes.data(), length) : length,
                      length);
            termios tio{};
            if (step[0] == 'B' && tcgetattr(fd, &tio) == 0) {
                cfsetspeed(&tio, arg == "57600" ? B57600 : B19200);
                tcsetattr(fd, TCSANOW, &tio);
            }
            if (!std::strchr("RQH", step[0])) continue;
            const char* ends = step[0] == 'R' ? "])}" : step[0] == 'H' ? "Uu" : "";
            pollfd p = {fd, POLLIN, 0};
            for (char c = 0; poll(&p, 1, step[0] == 'Q' ? std::stoi(arg) : 1000) > 0 &&
                             read(fd, &c, 1) == 1 && (replies += c, !std::strchr(ends, c));) {
            }
            replies += '|';
        }
        return replies;
    }

    const std::string dir_ = testing::TempDir() + "test_sim." + std::to_string(getpid());
    std::string transcript, dump;
};

// Bytes before the first DTR pulse are noise; frames count only at the speed
// in force; faults land where named (n-th of a code, every command, n-th
// frame, a phase); what is loaded is read and dumped; pacing holds. Initial
// words give way to a load and an erase, clear-only cells keep old & new and
// unimplemented bits read 0 after a load, a write and an erase.
TEST_F(Sim, ServesItsPtyAsAskedAndDumpsWhatItHolds) {
    std::ofstream(path("device")) << "# a device for the test\nfirmware.id = 0x09   # comment\n\n"
                                     "fault = checksum 07#2\nfault = noise 07#2\n";
    std::ofstream(path("load.hex")) << ":044200001200AB00FD\n:020000040001F9\n"
                                       ":0400000034127856E8\n:00000001FF\n";
    const Options device = {"--device", path("device")};
    const Options load = {"--load=" + path("load.hex"), "--set=config.start=0x8000",
                          "--set=config.size=2", "--set=fault=end 49/close",
                          "--set=prog.mask=0x3FFF"};
    const Options calibrated = {"--device",
                                std::string(SOURCE_DIR) + "/examples/sim-calibrated.conf",
                                "--set=clear_only=1"};
    const Options lacking = {"--set=config.start=0x8000", "--set=config.size=2",
                             "--set=implemented=config:0x8001=0x0F0F",
                             "--set=word=config:0x8000=0x0F0F", "--load=" + path("load.hex")};
    for (auto [options, script, replies, event] :
         {std::tuple{Options{}, "F07;Q200;H;F07;R", "|U|[0A07053D]|",
                     "\nRAW <0807CF>\nDTR 0\nDTR 1\nRESET attempt 1\n"},
          {Options{}, "H;B57600;F07;Q200;B19200;F4D;R;F07;Q200;B57600;F07;R",
           "U||[084DE0]||[0A07053D]|",
           "\nBADFRAME <0807CF> speed\nCMD #1 4D\nRESP 4D\nSPEED 57600\n"
           "BADFRAME <0807CF> speed\nCMD #2 07\n"},
          {device, "H;F07;R;F07;R", "U|[0A070941]|U?x[0A070942]|",
           "\nFAULT noise 07#2 at #2 07/resp\n"},
          {Options{"--set=fault=checksum *"}, "H;F07;R;F01;R", "U|[0A07053E]|[0E0107031406]|",
           "\nFAULT checksum * at #2 01/resp\n"},
          {Options{"--set=fault=silence #2"}, "H;F07;R;F01;Q200;F07;Q200", "U|[0A07053D]|||",
           "\nFAULT silence #2 at #2 01/resp\n"},
          {Options{"--pace"}, "H;F4D;R;B57600;F470000000000000004;R;R;R",
           "U|[084DE0]|[0847D3]|{FF3FFF3FFF3FFF3F14}|[0847D3]|", "\nSPEED 57600\n"},
          {calibrated,
           "H;F490000200700000001;R;R;R;F4300001FFE00000002;R;W{0000FFFFD8};R;"
           "F4700001FFE00000002;R;R;R;F29;R;F4700001FFE00000002;R;R;R;F490000200700000001;R;R;R",
           "U|[0849D5]|{7D3FF4}|[0849D5]|[0843CF]|[0843CF]|[0847D3]|{000080348F}|[0847D3]|"
           "[0829D3]|[0847D3]|{FF3FFF3F0A}|[0847D3]|[0849D5]|{7F3FF6}|[0849D5]|",
           "\nCMD #4 29\n"},
          {lacking,
           "H;F490000800000000002;R;R;R;F450000800000000002;R;W{FFFFFFFF30};R;"
           "F490000800000000002;R;R;R",
           "U|[0849D5]|{3412080698}|[0849D5]|[0845D1]|[0845D1]|[0849D5]|{FFFF0F0F04}|[0849D5]|",
           "\nBLOCK-IN 45 2 ok\n"},
          {load, "H;F490000800000000002;R;R;R;F430000001000000002;R;W{FFFF3412E2};R",
           "U|[0849D5]|{34127856A4}|[0849D5)|[0843CF]|[0843CF]|",
           "\nFAULT end 49/close at #1 49/close\n"}}) {
        EXPECT_EQ(session(options, script), replies);
        EXPECT_TRUE(Contains(transcript, event));
    }
    // Whole spaces in address order, 8 words a record, EEPROM bytes as words,
    // extended addresses from 64 KiB on; program words as the mask leaves them.
    EXPECT_TRUE(Contains(dump, "\n:10002000FF3F3412FF3FFF3F"));
    EXPECT_TRUE(Contains(dump, "\n:104200001200AB00FF00FF00"));
    EXPECT_TRUE(dump.ends_with("\n:020000040001F9\n:0400000034127856E8\n:00000001FF\n"));
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 1024 + 1 + 32 + 2 + 1);
}

// The program gets the tty for "@", the preload and the control socket, and
// its exit status or signal comes back. Bad usage is status 64 and the
// program never runs; "@" is a file that is neither a device file nor a link.
TEST_F(Sim, RunsTheProgramAndPassesItsStatusThroughUnlessMisused) {
    std::ofstream(path("bad")) << "firmware.id 5\n";
    const std::string sees_all =
        "[ -c \"$1\" ] && [ -S \"$ICD2SIM_CONTROL\" ] && "
        "case $LD_PRELOAD in \"$2\"*) exit 7;; esac";
    for (auto [option, program, status] :
         {std::tuple<std::string, std::string, int>{"--set=firmware.id=5", sees_all, 7},
          {"--pace", "exit 3", 3},
          {"--pace", "kill -TERM $$", 128 + SIGTERM},
          {"--no-such-option", "exit 3", 64},
          {"--set=prog.size=banana", "exit 3", 64},
          {"--set=implemented=prog:0x2000=0x3F7F", "exit 3", 64},  // beyond 8192 words
          {"--set=implemented=config:0x2007=0x10000", "exit 3", 64},
          {"--set=word=id:0x1FFF=0", "exit 3", 64},
          {"--set=word=eeprom:0x2100=0x100", "exit 3", 64},
          {"--set=clear_only=yes", "exit 3", 64},
          {"--device=@", "exit 3", 64},
          {"--link=@", "exit 3", 64},
          {"--pace", "", 64}}) {  // neither a program nor a link
        if (option.ends_with("@")) option.replace(option.size() - 1, 1, path("bad"));
        Options args = {"--preload", ICD2SIM_PRELOAD, option};
        if (!program.empty())
            args.insert(args.end(), {"--", "/bin/sh", "-c", program, "sh", "@", ICD2SIM_PRELOAD});
        EXPECT_EQ(WEXITSTATUS(std::system(command(args).c_str())), status) << option << program;
    }
}

}  // namespace
