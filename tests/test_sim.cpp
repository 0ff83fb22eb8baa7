// The simulator tested from the outside: each test runs icd2sim with this
// very binary as its program, in client mode, where a small script drives the
// tty (DTR through the preload library, speed changes, raw bytes, frames)
// and records what came back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string command(const std::string& text) {
    const std::string body = hex2(text.size() + 6) + text;
    unsigned sum = 0;
    for (unsigned char c : body) sum += c;
    return "<" + body + hex2(sum) + ">";
}

// Reads until one of the ends arrives, or until the line has been quiet for
// idle_ms; a hung-up line is recorded as <EOF> or <EIO>.
std::string client_read(int fd, int idle_ms, const char* ends) {
    std::string got;
    for (pollfd p = {fd, POLLIN, 0}; poll(&p, 1, idle_ms) > 0;) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n == 0) return got + "<EOF>";
        if (n < 0 && errno == EAGAIN) continue;
        if (n < 0) return got + (errno == EIO ? "<EIO>" : "<ERR>");
        got.push_back(c);
        if (std::strchr(ends, c) != nullptr) return got;
    }
    return got;
}

void client_dtr(int fd, int out, bool raised) {
    int bits = TIOCM_DTR;
    if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) != 0) dprintf(out, "<DTR failed>\n");
}

// The host's connect handshake: two DTR pulses, each followed by a wake byte.
void client_handshake(int fd, int out) {
    for (const char* wake : {"Z", "U"}) {
        client_dtr(fd, out, false);
        usleep(1000);
        client_dtr(fd, out, true);
        if (*wake == 'U') tcflush(fd, TCIOFLUSH);
        [[maybe_unused]] const ssize_t n = write(fd, wake, 1);
    }
}

// What a DTR request on a file that is no tty gets: the preload passes it on.
const char* dtr_on_a_file() {
    const int fd = open("/dev/null", O_RDWR);
    int bits = TIOCM_DTR;
    const bool refused = ioctl(fd, TIOCMBIS, &bits) == -1 && errno == ENOTTY;
    close(fd);
    return refused ? "ENOTTY" : "intercepted";
}

// Script steps, separated by ';': B57600/B19200 speed, W<bytes>, F<command
// text> (framed), H (the host's connect handshake), R (read one frame or
// block), C (read the wake reply), Q<ms> (read all for ms), N (DTR ioctl on
// /dev/null), X<status> exit, K terminate by signal.
[[noreturn]] void run_client(const char* tty, const std::string& script, const char* out_path) {
    const int out = open(out_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int fd = open(tty, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 || out < 0) _exit(90);
    const auto send = [fd](const std::string& bytes) {
        [[maybe_unused]] const ssize_t n = write(fd, bytes.data(), bytes.size());
    };
    std::stringstream steps(script);
    for (std::string step; std::getline(steps, step, ';');) {
        if (step.empty()) continue;
        const char kind = step[0];
        const std::string arg = step.substr(1);
        if (kind == 'W' || kind == 'F') send(kind == 'W' ? arg : command(arg));
        if (kind == 'H') client_handshake(fd, out);
        if (kind == 'R' || kind == 'C' || kind == 'Q') {
            const char* ends = kind == 'R' ? "])}" : kind == 'C' ? "Uu" : "";
            const int idle_ms = kind == 'Q' ? std::atoi(arg.c_str()) : 1000;
            dprintf(out, "%s\n", client_read(fd, idle_ms, ends).c_str());
        }
        termios tio;
        if (kind == 'B' && tcgetattr(fd, &tio) == 0) {
            cfsetspeed(&tio, arg == "57600" ? B57600 : B19200);
            tcsetattr(fd, TCSANOW, &tio);
        }
        if (kind == 'N') dprintf(out, "%s\n", dtr_on_a_file());
        if (kind == 'X') _exit(std::atoi(arg.c_str()));
        if (kind == 'K') raise(SIGTERM);
    }
    _exit(0);
}

// Runs before gtest's main: in client mode this process is the program under
// the simulator, not a test run.
void client_entry(int argc, char** argv, char**) {
    if (argc == 5 && std::strcmp(argv[1], "--sim-client") == 0)
        run_client(argv[2], argv[3], argv[4]);
}

__attribute__((section(".init_array"), used)) void (*client_init)(int, char**,
                                                                  char**) = client_entry;

std::string read_file(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The exit status of a simulator started by start_simulator.
int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts icd2sim with args, its standard output on stdout_fd unless that is
// -1; the alarm, which survives exec, ends a hung simulator so that the test
// fails instead of hanging the suite.
pid_t start_simulator(std::vector<std::string> args, int stdout_fd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (stdout_fd >= 0) dup2(stdout_fd, 1);
    alarm(30);
    std::vector<char*> argv = {const_cast<char*>(ICD2SIM_BIN)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(99);
}

using Options = std::vector<std::string>;

// A client script run once the link is woken, what the client read back
// after the wake reply, lines the transcript must hold and the options of the
// simulator.
struct Session {
    std::string script;
    std::string out;
    std::string lines;
    Options options = {};
};

class SimRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/test_sim.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs the simulator with options and the client script; the exit status.
    int run(const std::string& script, const Options& options = {}) {
        unlink((dir_ + "/out").c_str());
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return -1;
        Options args = {"--preload",        ICD2SIM_PRELOAD, "--transcript",
                        path("transcript"), "--dump",        path("dump.hex")};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--", self, "--sim-client", "@", script, path("out")});
        return exit_status(start_simulator(args));
    }

    void expect_sessions(const std::vector<Session>& sessions) {
        for (const Session& s : sessions) {
            SCOPED_TRACE(s.script + (s.options.empty() ? "" : " with " + s.options.back()));
            ASSERT_EQ(run("H;C;" + s.script, s.options), 0);
            EXPECT_EQ(out(), "U\n" + s.out);
            EXPECT_TRUE(logged(s.lines)) << transcript();
        }
    }

    std::string path(const char* name) const { return dir_ + "/" + name; }
    std::string out() const { return read_file(path("out")); }
    std::string transcript() const { return read_file(path("transcript")); }
    // Whether each of the lines is a whole line of the transcript.
    bool logged(const std::string& lines) const {
        const std::string text = "\n" + transcript();
        std::stringstream wanted(lines);
        for (std::string line; std::getline(wanted, line);)
            if (text.find("\n" + line + "\n") == std::string::npos) return false;
        return true;
    }

    // The dump as word address -> word.
    std::map<uint32_t, uint16_t> dump() const {
        std::map<uint32_t, uint16_t> words;
        std::ifstream in(path("dump.hex"));
        uint32_t upper = 0;
        for (std::string line; std::getline(in, line);) {
            const auto field = [&line](size_t at, size_t digits) {
                return static_cast<uint32_t>(std::stoul(line.substr(at, digits), nullptr, 16));
            };
            const uint32_t type = field(7, 2), base = upper + field(3, 4);
            if (type == 4) upper = field(9, 4) << 16;
            for (uint32_t i = 0; type == 0 && i + 1 < field(1, 2); i += 2)
                words[(base + i) / 2] =
                    static_cast<uint16_t>(field(11 + 2 * i, 2) << 8 | field(9 + 2 * i, 2));
        }
        return words;
    }

    std::string dir_;
};

TEST_F(SimRun, AnswersWakeByteAfterDtrPulsesThenCommandFrames) {
    ASSERT_EQ(run("H;C;F07;R"), 0);
    EXPECT_EQ(out(), "U\n[0A07053D]\n");
    EXPECT_TRUE(logged("DTR 0\nDTR 1\nWAKE U -> U\nCMD #1 07\nRESP 0705"));
}

// How the wake byte is answered under each device setting shows in the
// end-to-end runs; a link not yet woken ignores even a good frame.
TEST_F(SimRun, IgnoresFramesBeforeTheLinkIsWoken) {
    ASSERT_EQ(run("W<0807CF>;Q200"), 0);
    EXPECT_EQ(out(), "\n");
    EXPECT_TRUE(logged("RAW <0807CF>"));
    EXPECT_EQ(transcript().find("CMD"), std::string::npos);
}

TEST_F(SimRun, RejectsCorruptFramesAndAnswersTheNextGoodOne) {
    expect_sessions({
        {"W<0807CE>;F07;R", "[0A07053D]\n", "BADFRAME <0807CE> checksum\nCMD #1 07"},
        {"W<0807CF);F07;R", "[0A07053D]\n", "BADFRAME <0807CF) end\nCMD #1 07"},
        {"W<0G07CF>;F07;R", "[0A07053D]\n", "BADFRAME <0G length\nCMD #1 07"},
        {"W<0307CF>;F07;R", "[0A07053D]\n", "BADFRAME <03 length\nCMD #1 07"},
        {"W<0807;F07;R", "[0A07053D]\n", "BADFRAME <0807 truncated\nCMD #1 07"},
        // Frames at another speed than the one in force are not seen.
        {"B57600;F07;Q200;B19200;F07;R", "\n[0A07053D]\n", "BADFRAME <0807CF> speed"},
        {"F4D;R;F07;Q200;B57600;F07;R", "[084DE0]\n\n[0A07053D]\n",
         "BADFRAME <0807CF> speed\nSPEED 57600"},
    });
}

TEST_F(SimRun, AnswersNothingToUnknownOrMalformedCommands) {
    for (std::string bad : {"99 unknown", "4800002100000002 malformed", "2A0F malformed",
                            "05FE malformed", "0700 malformed", "470000000000000010000 malformed"})
        expect_sessions({{"F" + bad.substr(0, bad.find(' ')) + ";F07;R", "[0A07053D]\n",
                          "BADCMD " + bad + "\nCMD #2 07"}});
}

// How the chip id follows the selected family shows in the end-to-end runs.
TEST_F(SimRun, AnswersFromTheDeviceSettingsPacedDelayedAndLeavesOtherIoctlsAlone) {
    std::ofstream(path("load.hex")) << ":020202003412B4\n:00000001FF\n";  // 0x1234 at word 0x101
    expect_sessions({
        {"F37;R;F34;R;F05FF;R;F34;R;F01;R;F02;R",
         "[0A37A04C]\n[0A340038]\n[0805CD]\n[0A348141]\n[0E0101021E0F]\n[12020001008007B5]\n",
         "CMD #6 02",
         {"--set", "voltage.vdd=0", "--set", "voltage.vdd_on=0x81", "--set",
          "firmware.version=1 2 30", "--set", "selftest=00 01 00 80 07"}},
        // Words travel low byte first between two responses.
        {"F470000010000000002;R;R;R",
         "[0847D3]\n{FF3F3412CF}\n[0847D3]\n",
         "BLOCK-OUT 47 2",
         {"--load", path("load.hex")}},
        {"F4D;R;B57600;F470000000000000004;R;R;R",
         "[084DE0]\n[0847D3]\n{FF3FFF3FFF3FFF3F14}\n[0847D3]\n",
         "",
         {"--pace"}},
        // Generous: the answer is due after 600 ms and must not be there at 100 ms.
        {"F29;Q100;R", "\n[0829D3]\n", "", {"--device-time", "29=600000"}},
        {"N", "ENOTTY\n", ""},  // a DTR request on another file is no tty's
    });
}

TEST_F(SimRun, EraseRestoresEverythingButStuckCells) {
    expect_sessions({{"F430000001000000001;R;W{3412CA};R;F29;R;F470000001000000001;R;R;R",
                      "[0843CF]\n[0843CF]\n[0829D3]\n[0847D3]\n{FF3F05}\n[0847D3]\n",
                      "",
                      {"--set", "stuck=config:0x2007=0x1234"}}});
    auto words = dump();
    EXPECT_EQ(words.size(), 8192u + 256 + 4 + 1);
    EXPECT_EQ((std::vector<int>{words[0x10], words[0x2100], words[0x2007]}),
              (std::vector<int>{0x3FFF, 0x00FF, 0x1234}));
    EXPECT_TRUE(read_file(path("dump.hex")).ends_with("\n:00000001FF\n"));
}

TEST_F(SimRun, DumpHoldsWrittenWordsMaskedAndEepromBytes) {
    ASSERT_EQ(run("H;C;F430000001000000002;R;W{FFFF3412E2};R;F440000210000000002;R;W{12ABE6};R",
                  {"--set", "prog.mask=0x3FFF"}),
              0);
    auto w = dump();
    EXPECT_EQ((std::vector<int>{w[0x10], w[0x11], w[0x12], w[0x2100], w[0x2101], w[0x2102]}),
              (std::vector<int>{0x3FFF, 0x1234, 0x3FFF, 0x0012, 0x00AB, 0x00FF}));
}

TEST_F(SimRun, DumpCrossesSixtyFourKibAndLoadsBack) {
    Options options = {"--set", "config.start=0x8000", "--set", "config.size=2"};
    ASSERT_EQ(run("H;C;F450000800000000002;R;W{34127856A4};R", options), 0);
    EXPECT_NE(read_file(path("dump.hex")).find("\n:020000040001F9\n"), std::string::npos);
    EXPECT_EQ(dump()[0x8001], 0x5678);
    rename(path("dump.hex").c_str(), path("load.hex").c_str());
    options.insert(options.end(), {"--load", path("load.hex")});
    expect_sessions(
        {{"F490000800000000002;R;R;R", "[0849D5]\n{34127856A4}\n[0849D5]\n", "", options}});
}

TEST_F(SimRun, RejectsCorruptWriteBlocksWithoutClosingOrStoring) {
    for (std::string bad : {"{FF3F3412CE} checksum", "[FF3F3412CF} start", "{FF3F3412CF) end",
                            "{FF3G3412CF} digit", "{ff3f3412CF} digit"}) {
        expect_sessions({{"F430000001000000002;R;W" + bad.substr(0, 12) + ";Q200", "[0843CF]\n\n",
                          "BLOCK-IN 43 2 " + bad.substr(13)}});
        EXPECT_EQ(dump()[0x11], 0x3FFF);
    }
}

// Each kind of fault corrupts exactly what it names; the end-to-end runs show
// how the host takes every kind at every stage.
TEST_F(SimRun, InjectsFaultsIntoResponsesAndBlocks) {
    for (auto [fault, script, expected] : {
             std::tuple{"checksum 07", "F07;R", "[0A07053E]\n"},
             {"end 07", "F07;R", "[0A07053D)\n"},
             {"code 07", "F07;R", "[0A7E0552]\n"},
             {"short 07", "F07;R", "[0807CF]\n"},
             {"noise 07", "F07;R", "U?x[0A07053D]\n"},
             {"zeros 07", "F07;R;R;R", "[0A00AB54]\n[0A001234]\n[0A07053D]\n"},
             {"checksum 07#2", "F07;R;F07;R", "[0A07053D]\n[0A07053E]\n"},
             {"start 47/block", "F470000000000000001;R;R;R", "[0847D3]\n[FF3F05}\n[0847D3]\n"},
             {"end 47/close", "F470000000000000001;R;R;R", "[0847D3]\n{FF3F05}\n[0847D3)\n"},
             {"cut 47/block", "F470000000000000002;R;Q200;F07;Q200", "[0847D3]\n{FF3F\n\n"},
             {"silence #2", "F07;R;F01;Q200;F07;Q200", "[0A07053D]\n\n\n"},
             {"silence 43/block", "F430000000000000001;R;W{FF3F05};Q200", "[0843CF]\n\n"},
         }) {
        expect_sessions({{script, expected, "", {"--set", std::string("fault=") + fault}}});
        EXPECT_NE(transcript().find("\nFAULT " + std::string(fault) + " at "), std::string::npos);
    }
    ASSERT_EQ(run("H;C;F07;Q500;X5", {"--set", "fault=vanish 07"}), 5);
    EXPECT_TRUE(out() == "U\n<EOF>\n" || out() == "U\n<EIO>\n") << out();
    EXPECT_TRUE(logged("FAULT vanish 07 at #1 07/resp"));
}

TEST_F(SimRun, ReadsDeviceFileWithCommentsAndRepeatedFaults) {
    std::ofstream(path("load.hex")) << "# a device for the test\n"
                                       "firmware.id = 0x09   # trailing comment\n"
                                       "\n"
                                       "fault = checksum 07#2\n"
                                       "fault = noise 07#2\n";
    expect_sessions(
        {{"F07;R;F07;R", "[0A070941]\nU?x[0A070942]\n", "", {"--device", path("load.hex")}}});
    std::ofstream(path("load.hex")) << "firmware.id 5\n";
    EXPECT_EQ(run("X0", {"--device", path("load.hex")}), 64);
}

TEST_F(SimRun, PassesTheProgramsExitStatusThrough) {
    EXPECT_EQ(run("X3"), 3);
    EXPECT_EQ(run("K"), 128 + SIGTERM);
    EXPECT_EQ(run("H;C"), 0);
}

TEST_F(SimRun, RejectsBadUsageWithoutRunningTheProgram) {
    const std::vector<Options> cases = {
        {"--set", "bogus.key=1"},
        {"--set", "fault=melt 07"},
        {"--set", "fault=cut 47"},
        {"--set", "prog.size=banana"},
        {"--set", "stuck=prog:0x9999=0"},
        {"--set", "eeprom.start=0x100"},
        {"--no-such-option"},
        {"--load", "/nonexistent/file.hex"},
    };
    for (const auto& options : cases) {
        EXPECT_EQ(run("X0", options), 64) << options.back();
        EXPECT_NE(access(path("out").c_str(), F_OK), 0) << "the program ran: " << options.back();
    }
}

TEST_F(SimRun, LinkModeOffersTheTtyUntilTerminated) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const std::string link = path("tty");
    const pid_t pid = start_simulator(
        {"--preload", ICD2SIM_PRELOAD, "--transcript", path("transcript"), "--link", link},
        pipe_fds[1]);
    close(pipe_fds[1]);
    std::string line;
    for (char c; read(pipe_fds[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
    close(pipe_fds[0]);
    EXPECT_TRUE(
        line.starts_with(std::string("LD_PRELOAD=") + ICD2SIM_PRELOAD + " ICD2SIM_CONTROL=/"))
        << line;
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_TRUE(std::string(target).starts_with("/dev/pts/"));
    kill(pid, SIGTERM);
    EXPECT_EQ(exit_status(pid), 0);
    EXPECT_LT(readlink(link.c_str(), target, sizeof target), 0)
        << "the link outlived the simulator";
}

}  // namespace
