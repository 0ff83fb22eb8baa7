// icd2sim as a program: its command line, the pty and DTR it offers, pacing,
// dump and load files, and the fault syntax. The test is the host on the
// --link tty and pulses DTR through the preload library's own ioctl, as a
// program run under the simulator does. The device's answers, faults and
// memory are the driver tests' simulated ICD2, in process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_peer.h"

namespace {

using Options = std::vector<std::string>;

std::string read_file(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Starts icd2sim with args, its standard output on out_fd; the alarm, which
// survives exec, ends a hung simulator.
pid_t spawn(Options args, int out_fd = 1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(out_fd, 1);
    alarm(30);
    std::vector<char*> argv = {const_cast<char*>(ICD2SIM_BIN)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(99);
}

int exit_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    void SetUp() override {
        char dir[] = "/tmp/test_sim.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    // Runs the simulator on a link with options, plays the host's script on
    // it and ends the simulator as its user does; what the host read.
    std::string session(Options options, const std::string& script) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        options.insert(options.begin(),
                       {"--preload", ICD2SIM_PRELOAD, "--dump", path("dump.hex"), "--transcript",
                        path("transcript"), "--link", path("tty")});
        const pid_t pid = spawn(options, out[1]);
        close(out[1]);
        std::string line;
        for (char c; read(out[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
        close(out[0]);
        const std::string head = std::string("LD_PRELOAD=") + ICD2SIM_PRELOAD + " ICD2SIM_CONTROL=";
        EXPECT_TRUE(line.starts_with(head)) << line;
        setenv("ICD2SIM_CONTROL", line.substr(std::min(line.size(), head.size())).c_str(), 1);
        fd_ = open(path("tty").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const std::string replies = fd_ >= 0 ? play(script) : "no link";
        close(fd_);
        kill(pid, SIGTERM);
        EXPECT_EQ(exit_status(pid), 0);
        EXPECT_FALSE(std::filesystem::is_symlink(path("tty"))) << "the link outlived icd2sim";
        transcript = "\n" + read_file(path("transcript"));
        dump = read_file(path("dump.hex"));
        return replies;
    }

    // Steps separated by ';': H the host's connect handshake and the wake
    // reply, B<baud>, W<bytes>, F<command text> framed, R one frame or block,
    // Q<ms> all that comes within ms. Each read ends with '|'.
    std::string play(const std::string& script) {
        std::string replies;
        std::stringstream steps(script);
        for (std::string step; std::getline(steps, step, ';');) {
            for (const char* wake : {"Z", "U"}) {  // two DTR pulses, a byte after each
                if (step != "H") break;
                EXPECT_EQ(preload_dtr(fd_, false), 0);
                usleep(1000);
                EXPECT_EQ(preload_dtr(fd_, true), 0);
                if (*wake == 'U') tcflush(fd_, TCIOFLUSH);
                EXPECT_EQ(write(fd_, wake, 1), 1);
            }
            const std::string arg = step.substr(1);
            const std::string bytes = step[0] == 'F' ? frame(arg, '<', '>') : arg;
            if (step[0] == 'W' || step[0] == 'F') {
                EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
            }
            termios tio{};
            if (step[0] == 'B' && tcgetattr(fd_, &tio) == 0) {
                cfsetspeed(&tio, arg == "57600" ? B57600 : B19200);
                tcsetattr(fd_, TCSANOW, &tio);
            }
            if (step[0] != 'R' && step[0] != 'Q' && step[0] != 'H') continue;
            const char* ends = step[0] == 'R' ? "])}" : step[0] == 'H' ? "Uu" : "";
            pollfd p = {fd_, POLLIN, 0};
            for (char c = 0; poll(&p, 1, step[0] == 'Q' ? std::stoi(arg) : 1000) > 0 &&
                             read(fd_, &c, 1) == 1 && (replies += c, !std::strchr(ends, c));) {
            }
            replies += '|';
        }
        return replies;
    }

    std::string dir_, transcript, dump;
    int fd_ = -1;
};

// Only on a pty does the preload take a DTR request. Before the first DTR
// pulse every byte is noise; each pulse restarts the link, and at 19200 baud
// the wake byte is answered.
TEST_F(Sim, WakesAfterDtrPulsesOnItsPty) {
    const int file = open("/dev/null", O_RDWR);
    EXPECT_EQ(preload_dtr(file, true), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(file);
    EXPECT_EQ(session({}, "W<0807CF>;Q200;H;F07;R"), "|U|[0A07053D]|");
    // The Z may come before or after the second drop.
    EXPECT_TRUE(Contains(transcript, "\nRAW <0807CF>\nDTR 0\nDTR 1\nRESET attempt 1\n"));
    EXPECT_TRUE(Contains(transcript, "\nDTR 1\nRESET attempt 1\nWAKE U -> U\nCMD #1 07\n"));
    EXPECT_EQ(session({}, "B57600;H"), "|");
    EXPECT_TRUE(Contains(transcript, "\nWAKE U -> none (speed 57600)\n"));
}

// Frames count only at the line speed in force: 19200 until "4D" is answered.
TEST_F(Sim, SeesFramesAtTheSpeedInForceOnly) {
    EXPECT_EQ(session({}, "H;B57600;F07;Q200;B19200;F4D;R;F07;Q200;B57600;F07;R"),
              "U||[084DE0]||[0A07053D]|");
    EXPECT_TRUE(Contains(transcript,
                         "\nBADFRAME <0807CF> speed\nCMD #1 4D\nRESP 4D\n"
                         "SPEED 57600\nBADFRAME <0807CF> speed\nCMD #2 07\n"));
}

// WHERE forms beyond CODE[#n][/PHASE]: every command, and the n-th frame.
TEST_F(Sim, FaultsLandWhereTheyAreNamed) {
    EXPECT_EQ(session({"--set=fault=checksum *"}, "H;F07;R;F01;R"), "U|[0A07053E]|[0E0107031406]|");
    EXPECT_TRUE(Contains(transcript, "\nFAULT checksum * at #2 01/resp\n"));
    EXPECT_EQ(session({"--set=fault=silence #2"}, "H;F07;R;F01;Q200;F07;Q200"), "U|[0A07053D]|||");
    EXPECT_TRUE(Contains(transcript, "\nFAULT silence #2 at #2 01/resp\n"));
}

TEST_F(Sim, AnswersFromDeviceFileAndLoadPacedOrDelayed) {
    std::ofstream(path("device")) << "# a device for the test\nfirmware.id = 0x09   # comment\n\n"
                                     "fault = checksum 07#2\nfault = noise 07#2\n";
    std::ofstream(path("high.hex")) << ":020000040001F9\n:0400000034127856E8\n:00000001FF\n";
    const Options high = {"--load", path("high.hex"), "--set=config.start=0x8000",
                          "--set=config.size=2"};
    for (auto [options, script, replies] : {
             std::tuple{Options{"--device", path("device")}, "H;F07;R;F07;R",
                        "U|[0A070941]|U?x[0A070942]|"},
             {high, "H;F490000800000000002;R;R;R", "U|[0849D5]|{34127856A4}|[0849D5]|"},
             {Options{"--pace"}, "H;F4D;R;B57600;F470000000000000004;R;R;R",
              "U|[084DE0]|[0847D3]|{FF3FFF3FFF3FFF3F14}|[0847D3]|"},
             // Generous: the answer is due after 600 ms and must not be there at 100 ms.
             {Options{"--device-time", "29=600000"}, "H;F29;Q100;R", "U||[0829D3]|"},
         })
        EXPECT_EQ(session(options, script), replies);
}

// Whole spaces in address order, 8 words a record, EEPROM bytes as words,
// extended addresses from 64 KiB on; program words as the mask leaves them.
TEST_F(Sim, DumpsEverySpace) {
    EXPECT_EQ(
        session({"--set=config.start=0x8000", "--set=config.size=2", "--set=prog.mask=0x3FFF"},
                "H;F430000001000000002;R;W{FFFF3412E2};R;F440000210000000002;R;W{12ABE6};R;"
                "F450000800000000002;R;W{34127856A4};R"),
        "U|[0843CF]|[0843CF]|[0844D0]|[0844D0]|[0845D1]|[0845D1]|");
    EXPECT_TRUE(Contains(dump, "\n:10002000FF3F3412FF3FFF3F"));  // masked to 14 bits
    EXPECT_TRUE(Contains(dump, "\n:104200001200AB00FF00FF00"));
    EXPECT_TRUE(dump.ends_with("\n:020000040001F9\n:0400000034127856E8\n:00000001FF\n"));
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 1024 + 1 + 32 + 2 + 1);
}

// The program gets the tty for "@", the preload and the control socket, and
// its exit status or signal comes back.
TEST_F(Sim, RunsTheProgramAndPassesItsStatusThrough) {
    const std::string sees_all =
        "[ -c \"$1\" ] && [ -S \"$ICD2SIM_CONTROL\" ] && "
        "case $LD_PRELOAD in \"$2\"*) exit 7;; esac";
    for (auto [program, status] : {
             std::pair{Options{"/bin/sh", "-c", sees_all, "sh", "@", ICD2SIM_PRELOAD}, 7},
             {Options{"/bin/sh", "-c", "exit 3"}, 3},
             {Options{"/bin/sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
         }) {
        Options args = {"--preload", ICD2SIM_PRELOAD, "--"};
        args.insert(args.end(), program.begin(), program.end());
        EXPECT_EQ(exit_status(spawn(args)), status) << program[2];
    }
}

// Bad usage is status 64, and the program ("exit 3") never runs. "@" is a
// file that is neither a device file nor a link.
TEST_F(Sim, RejectsBadUsage) {
    std::ofstream(path("bad")) << "firmware.id 5\n";
    for (std::string option :
         {"--set=bogus.key=1", "--set=prog.size=banana", "--set=stuck=prog:0x9999=0",
          "--set=eeprom.start=0x100", "--no-such-option", "--load=/nonexistent/file.hex",
          "--device=@", "--link=@", "--device-time=4D=fast", "--set=fault=melt 07",
          "--set=fault=checksum", "--set=fault=cut 47", "--set=fault=start 47/resp",
          "--set=fault=code 47/block", "--set=fault=end 47/later", "--set=fault=end 07#0",
          "--set=fault=end *#2", "--set=fault=end 470", "--set=fault=end /close"}) {
        if (option.ends_with("@")) option.replace(option.size() - 1, 1, path("bad"));
        EXPECT_EQ(exit_status(spawn({option, "--", "/bin/sh", "-c", "exit 3"})), 64) << option;
    }
    EXPECT_EQ(exit_status(spawn({"--pace"})), 64);  // neither a program nor a link
    EXPECT_EQ(exit_status(spawn({"--set=firmware.id=5", "--", "/bin/sh", "-c", "exit 3"})), 3);
}

}  // namespace
