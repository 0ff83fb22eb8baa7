// The simulator tested from the outside: each test runs icd2sim with this
// very binary as its program, in client mode, where a small script drives the
// tty (DTR through the preload library, speed changes, raw bytes, frames)
// and records what came back.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- wire texts

std::string hex2(unsigned value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

unsigned char_sum(const std::string& text) {
  unsigned sum = 0;
  for (unsigned char c : text) sum += c;
  return sum;
}

std::string framed(char open, const std::string& text, char close) {
  const std::string length = hex2(text.size() + 6);
  return open + length + text + hex2(char_sum(length + text)) + close;
}

std::string command(const std::string& text) { return framed('<', text, '>'); }
std::string response(const std::string& body) { return framed('[', body, ']'); }
std::string block(const std::string& digits) { return "{" + digits + hex2(char_sum(digits)) + "}"; }

// ---------------------------------------------------------------- client mode

void client_append(int out, const std::string& text) {
  [[maybe_unused]] const ssize_t n = write(out, text.data(), text.size());
}

// Reads until a frame or block end character, or until the line has been
// quiet for idle_ms; a hung-up line is recorded as <EOF> or <EIO>.
std::string client_read(int fd, int idle_ms, bool stop_at_end) {
  std::string got;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, idle_ms) <= 0) return got;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n == 0) return got + "<EOF>";
    if (n < 0) {
      if (errno == EAGAIN) continue;
      return got + (errno == EIO ? "<EIO>" : "<ERR>");
    }
    got.push_back(c);
    if (stop_at_end && (c == ']' || c == ')' || c == '}')) return got;
  }
}

std::string client_read_byte(int fd) {
  pollfd p = {fd, POLLIN, 0};
  char c;
  if (poll(&p, 1, 1000) == 1 && read(fd, &c, 1) == 1) return std::string(1, c);
  return "";
}

void client_dtr(int fd, int out, bool raised) {
  int bits = TIOCM_DTR;
  if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) != 0) client_append(out, "<DTR failed>\n");
}

void client_speed(int fd, speed_t speed) {
  termios tio;
  tcgetattr(fd, &tio);
  cfsetspeed(&tio, speed);
  tcsetattr(fd, TCSANOW, &tio);
}

// Script steps, separated by ';': D0/D1 DTR, B57600/B19200 speed, W<bytes>,
// F<command text> (framed), H (the host's connect handshake), R (read one
// frame or block), C (read the wake reply), Q<ms> (read all for ms), N (DTR ioctl on /dev/null),
// X<status> exit, K terminate by signal.
[[noreturn]] void run_client(const char* tty, const std::string& script, const char* out_path) {
  const int out = open(out_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int fd = open(tty, O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0 || out < 0) _exit(90);
  const auto write_all = [fd](const std::string& bytes) {
    [[maybe_unused]] const ssize_t n = write(fd, bytes.data(), bytes.size());
  };
  std::stringstream steps(script);
  for (std::string step; std::getline(steps, step, ';');) {
    if (step.empty()) continue;
    const std::string arg = step.substr(1);
    switch (step[0]) {
      case 'D': client_dtr(fd, out, arg == "1"); break;
      case 'B': client_speed(fd, arg == "57600" ? B57600 : B19200); break;
      case 'W': write_all(arg); break;
      case 'F': write_all(command(arg)); break;
      case 'H':
        client_dtr(fd, out, false);
        usleep(1000);
        client_dtr(fd, out, true);
        write_all("Z");
        client_dtr(fd, out, false);
        usleep(1000);
        client_dtr(fd, out, true);
        tcflush(fd, TCIOFLUSH);
        write_all("U");
        break;
      case 'R': client_append(out, client_read(fd, 1000, true) + "\n"); break;
      case 'C': client_append(out, client_read_byte(fd) + "\n"); break;
      case 'Q': client_append(out, client_read(fd, std::atoi(arg.c_str()), false) + "\n"); break;
      case 'N': {
        const int null_fd = open("/dev/null", O_RDWR);
        int bits = TIOCM_DTR;
        const int result = ioctl(null_fd, TIOCMBIS, &bits);
        client_append(out, result == -1 && errno == ENOTTY ? "ENOTTY\n" : "intercepted\n");
        close(null_fd);
        break;
      }
      case 'X': _exit(std::atoi(arg.c_str()));
      case 'K': raise(SIGTERM); break;
    }
  }
  _exit(0);
}

// Runs before gtest's main: in client mode this process is the program under
// the simulator, not a test run.
void client_entry(int argc, char** argv, char**) {
  const char* script = std::getenv("ICD2SIM_TEST_SCRIPT");
  if (script == nullptr || argc < 3 || std::strcmp(argv[1], "--sim-client") != 0) return;
  run_client(argv[2], script, std::getenv("ICD2SIM_TEST_OUT"));
}

__attribute__((section(".init_array"), used)) void (*client_init)(int, char**, char**) = client_entry;

// ---------------------------------------------------------------- test side

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string self_path() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

// Waits for pid at most timeout_s, then kills it: a hung simulator fails the
// test instead of hanging the suite.
int wait_bounded(pid_t pid, int timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SimRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/test_sim.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    for (const char* name : {"/out", "/transcript", "/dump.hex", "/load.hex", "/tty"})
      unlink((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }

  // Runs the simulator with options and the client script; the exit status.
  int run(const std::string& script, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {ICD2SIM_BIN, "--preload", ICD2SIM_PRELOAD, "--transcript",
                                     dir_ + "/transcript", "--dump", dir_ + "/dump.hex"};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* arg : {"--", "", "--sim-client", "@"}) args.push_back(arg);
    args[args.size() - 3] = self_path();
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("ICD2SIM_TEST_SCRIPT", script.c_str(), 1);
      setenv("ICD2SIM_TEST_OUT", (dir_ + "/out").c_str(), 1);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(99);
    }
    return wait_bounded(pid, 30);
  }

  std::string out() { return read_file(dir_ + "/out"); }
  std::string transcript() { return read_file(dir_ + "/transcript"); }
  bool logged(const std::string& line) { return ("\n" + transcript()).find("\n" + line + "\n") != std::string::npos; }

  // The dump as word address -> word.
  std::map<uint32_t, uint16_t> dump() {
    std::map<uint32_t, uint16_t> words;
    std::ifstream in(dir_ + "/dump.hex");
    uint32_t upper = 0;
    for (std::string line; std::getline(in, line);) {
      const unsigned length = std::stoul(line.substr(1, 2), nullptr, 16);
      const uint32_t offset = std::stoul(line.substr(3, 4), nullptr, 16);
      const unsigned type = std::stoul(line.substr(7, 2), nullptr, 16);
      if (type == 4) upper = std::stoul(line.substr(9, 4), nullptr, 16) << 16;
      if (type != 0) continue;
      for (unsigned i = 0; i + 1 < length; i += 2) {
        const unsigned low = std::stoul(line.substr(9 + 2 * i, 2), nullptr, 16);
        const unsigned high = std::stoul(line.substr(11 + 2 * i, 2), nullptr, 16);
        words[(upper + offset + i) / 2] = static_cast<uint16_t>(high << 8 | low);
      }
    }
    return words;
  }

  void write_load_file(uint32_t word_address, uint16_t value) {
    const uint32_t byte_address = 2 * word_address;
    const std::string body = "02" + hex2(byte_address >> 8) + hex2(byte_address) + "00" + hex2(value) + hex2(value >> 8);
    unsigned sum = 0;
    for (size_t i = 0; i < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
    std::ofstream(dir_ + "/load.hex") << ":" << body << hex2(0x100 - (sum & 0xFF)) << "\n:00000001FF\n";
  }

  std::string dir_;
};

// ---------------------------------------------------------------- handshake

TEST_F(SimRun, AnswersWakeByteAfterDtrPulsesThenCommandFrames) {
  ASSERT_EQ(run("H;C;F07;R"), 0);
  EXPECT_EQ(out(), "U\n[0A07053D]\n");
  EXPECT_TRUE(logged("DTR 0"));
  EXPECT_TRUE(logged("DTR 1"));
  EXPECT_TRUE(logged("WAKE U -> U"));
  EXPECT_TRUE(logged("CMD #1 07"));
  EXPECT_TRUE(logged("RESP 0705"));
}

TEST_F(SimRun, IgnoresFramesBeforeTheLinkIsWoken) {
  ASSERT_EQ(run("W<0807CF>;Q200"), 0);
  EXPECT_EQ(out(), "\n");
  EXPECT_TRUE(logged("RAW <0807CF>"));
  EXPECT_EQ(transcript().find("CMD"), std::string::npos);
}

TEST_F(SimRun, WakeReplyFollowsDeviceSettings) {
  struct Case {
    const char* set;
    const char* expected;
    const char* line;
  };
  const Case cases[] = {
      {"wake.from_attempt=2", "\nU\n", "WAKE U -> none (attempt 1)"},
      {"wake.reply=none", "\n\n", "WAKE U -> none"},
      {"wake.reply=u", "u\nu\n", "WAKE U -> u"},
      {"silent=1", "\n\n", "WAKE U -> none (silent)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    ASSERT_EQ(run("H;Q200;H;Q200", {"--set", c.set}), 0);
    EXPECT_EQ(out(), c.expected);
    EXPECT_TRUE(logged(c.line));
    unlink((dir_ + "/out").c_str());
  }
}

// ---------------------------------------------------------------- framing

TEST_F(SimRun, RejectsCorruptFramesAndAnswersTheNextGoodOne) {
  struct Case {
    const char* sent;
    const char* line;
  };
  const Case cases[] = {
      {"<0807CE>", "BADFRAME <0807CE> checksum"},
      {"<0807CF)", "BADFRAME <0807CF) end"},
      {"<0G07CF>", "BADFRAME <0G length"},
      {"<0307CF>", "BADFRAME <03 length"},
      {"<0807", "BADFRAME <0807 truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    ASSERT_EQ(run(std::string("H;C;W") + c.sent + ";F07;R"), 0);
    EXPECT_EQ(out(), "U\n[0A07053D]\n");
    EXPECT_TRUE(logged(c.line));
    EXPECT_TRUE(logged("CMD #1 07"));
    unlink((dir_ + "/out").c_str());
  }
}

TEST_F(SimRun, AnswersNothingToUnknownOrMalformedCommands) {
  struct Case {
    const char* text;
    const char* reason;
  };
  const Case cases[] = {
      {"99", "unknown"},     {"4800002100000002", "malformed"}, {"2A0F", "malformed"},
      {"05FE", "malformed"}, {"0700", "malformed"},             {"470000000000000010000", "malformed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(run(std::string("H;C;F") + c.text + ";F07;R"), 0);
    EXPECT_EQ(out(), "U\n[0A07053D]\n");
    EXPECT_TRUE(logged(std::string("BADCMD ") + c.text + " " + c.reason));
    unlink((dir_ + "/out").c_str());
  }
}

TEST_F(SimRun, IgnoresFramesAtAnotherSpeedThanTheOneInForce) {
  ASSERT_EQ(run("H;C;B57600;F07;Q200;B19200;F07;R"), 0);
  EXPECT_EQ(out(), "U\n\n[0A07053D]\n");
  EXPECT_TRUE(logged("BADFRAME <0807CF> speed"));
}

TEST_F(SimRun, SpeaksAt57600OnceTheSpeedCommandIsAnswered) {
  ASSERT_EQ(run("H;C;F4D;R;F07;Q200;B57600;F07;R"), 0);
  EXPECT_EQ(out(), "U\n" + response("4D") + "\n\n[0A07053D]\n");
  EXPECT_TRUE(logged("SPEED 57600"));
  EXPECT_TRUE(logged("BADFRAME <0807CF> speed"));
}

TEST_F(SimRun, AnswersStatusCommandsFromTheDeviceSettings) {
  ASSERT_EQ(run("H;C;F37;R;F34;R;F05FF;R;F34;R;F01;R;F02;R",
                {"--set", "voltage.vdd=0", "--set", "voltage.vdd_on=0x81", "--set", "firmware.version=1 2 30",
                 "--set", "selftest=00 01 00 80 07"}),
            0);
  EXPECT_EQ(out(), "U\n" + response("37A0") + "\n" + response("3400") + "\n" + response("05") + "\n" +
                       response("3481") + "\n" + response("0101021E") + "\n" + response("020001008007") + "\n");
}

// ---------------------------------------------------------------- blocks

TEST_F(SimRun, ReadsWordsLowByteFirstBetweenTwoResponses) {
  write_load_file(0x101, 0x1234);
  ASSERT_EQ(run("H;C;F470000010000000002;R;R;R", {"--load", dir_ + "/load.hex"}), 0);
  EXPECT_EQ(out(), "U\n[0847D3]\n{FF3F3412CF}\n[0847D3]\n");
  EXPECT_TRUE(logged("BLOCK-OUT 47 2"));
}

TEST_F(SimRun, ChipIdReadsZeroUntilItsFamilyIsSelected) {
  ASSERT_EQ(run("H;C;F4A0000200600000001;R;R;R;F2A03;R;F4A0000200600000001;R;R;R;F470000400000000001;R;R;R",
                {"--set", "chipid.family=3"}),
            0);
  const std::string r4a = response("4A");
  const std::string r47 = response("47");
  EXPECT_EQ(out(), "U\n" + r4a + "\n{0000C0}\n" + r4a + "\n" + response("2A") + "\n" + r4a + "\n{400DD8}\n" + r4a +
                       "\n" + r47 + "\n{0000C0}\n" + r47 + "\n");
}

TEST_F(SimRun, EraseRestoresEverythingButStuckCells) {
  ASSERT_EQ(run("H;C;F430000001000000001;R;W" + block("3412") + ";R;F29;R;F470000001000000001;R;R;R",
                {"--set", "stuck=config:0x2007=0x1234"}),
            0);
  const std::string r43 = response("43");
  const std::string r47 = response("47");
  EXPECT_EQ(out(), "U\n" + r43 + "\n" + r43 + "\n" + response("29") + "\n" + r47 + "\n" + block("FF3F") + "\n" +
                       r47 + "\n");
  auto words = dump();
  EXPECT_EQ(words.size(), 8192u + 256 + 4 + 1);
  EXPECT_EQ(words[0x10], 0x3FFF);
  EXPECT_EQ(words[0x2100], 0x00FF);
  EXPECT_EQ(words[0x2007], 0x1234);
  const std::string text = read_file(dir_ + "/dump.hex");
  EXPECT_EQ(text.substr(text.size() - 12), ":00000001FF\n");
}

TEST_F(SimRun, DumpHoldsWrittenWordsMaskedAndEepromBytes) {
  ASSERT_EQ(run("H;C;F430000001000000002;R;W" + block("FFFF3412") + ";R;F440000210000000002;R;W{12ABE6};R",
                {"--set", "prog.mask=0x3FFF"}),
            0);
  auto words = dump();
  EXPECT_EQ(words[0x10], 0x3FFF);
  EXPECT_EQ(words[0x11], 0x1234);
  EXPECT_EQ(words[0x12], 0x3FFF);
  EXPECT_EQ(words[0x2100], 0x0012);
  EXPECT_EQ(words[0x2101], 0x00AB);
  EXPECT_EQ(words[0x2102], 0x00FF);
}

TEST_F(SimRun, DumpCrossesSixtyFourKibAndLoadsBack) {
  const std::vector<std::string> layout = {"--set", "config.start=0x8000", "--set", "config.size=2"};
  auto options = layout;
  ASSERT_EQ(run("H;C;F450000800000000002;R;W" + block("34127856") + ";R", options), 0);
  const std::string text = read_file(dir_ + "/dump.hex");
  EXPECT_NE(text.find("\n:020000040001F9\n"), std::string::npos);
  EXPECT_EQ(dump()[0x8001], 0x5678);

  rename((dir_ + "/dump.hex").c_str(), (dir_ + "/load.hex").c_str());
  unlink((dir_ + "/out").c_str());
  options.insert(options.end(), {"--load", dir_ + "/load.hex"});
  ASSERT_EQ(run("H;C;F490000800000000002;R;R;R", options), 0);
  EXPECT_EQ(out(), "U\n" + response("49") + "\n" + block("34127856") + "\n" + response("49") + "\n");
}

TEST_F(SimRun, RejectsCorruptWriteBlocksWithoutClosingOrStoring) {
  struct Case {
    const char* block;
    const char* reason;
  };
  const Case cases[] = {
      {"{FF3F3412CE}", "checksum"},
      {"[FF3F3412CF}", "start"},
      {"{FF3F3412CF)", "end"},
      {"{FF3G3412CF}", "digit"},
      {"{ff3f3412CF}", "digit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    ASSERT_EQ(run(std::string("H;C;F430000001000000002;R;W") + c.block + ";Q200"), 0);
    EXPECT_EQ(out(), "U\n" + response("43") + "\n\n");
    EXPECT_TRUE(logged(std::string("BLOCK-IN 43 2 ") + c.reason));
    EXPECT_EQ(dump()[0x11], 0x3FFF);
    unlink((dir_ + "/out").c_str());
  }
}

// ---------------------------------------------------------------- faults

TEST_F(SimRun, InjectsFaultsIntoResponsesAndBlocks) {
  const std::string r47 = response("47");
  struct Case {
    const char* fault;
    const char* script;
    std::string expected;
  };
  const Case cases[] = {
      {"checksum 07", "F07;R", "[0A07053E]\n"},
      {"end 07", "F07;R", "[0A07053D)\n"},
      {"code 07", "F07;R", response("7E05") + "\n"},
      {"short 07", "F07;R", response("07") + "\n"},
      {"noise 07", "F07;R", "U?x[0A07053D]\n"},
      {"zeros 07", "F07;R;R;R", response("00AB") + "\n" + response("0012") + "\n[0A07053D]\n"},
      {"checksum 07#2", "F07;R;F07;R", "[0A07053D]\n[0A07053E]\n"},
      {"start 47/block", "F470000000000000001;R;R;R", r47 + "\n[FF3F05}\n" + r47 + "\n"},
      {"end 47/close", "F470000000000000001;R;R;R", r47 + "\n" + block("FF3F") + "\n[0847D3)\n"},
      {"cut 47/block", "F470000000000000002;R;Q200;F07;Q200", r47 + "\n{FF3F\n\n"},
      {"silence #2", "F07;R;F01;Q200;F07;Q200", "[0A07053D]\n\n\n"},
      {"silence 43/block", "F430000000000000001;R;W{FF3F05};Q200", response("43") + "\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(run(std::string("H;C;") + c.script, {"--set", std::string("fault=") + c.fault}), 0);
    EXPECT_EQ(out(), "U\n" + c.expected);
    EXPECT_NE(transcript().find(std::string("FAULT ") + std::string(c.fault).substr(0, std::string(c.fault).find(' '))),
              std::string::npos);
    unlink((dir_ + "/out").c_str());
  }
}

TEST_F(SimRun, VanishingDeviceHangsUpTheLineButStillWritesItsFiles) {
  ASSERT_EQ(run("H;C;F07;Q500;X5", {"--set", "fault=vanish 07"}), 5);
  const std::string got = out();
  EXPECT_TRUE(got == "U\n<EOF>\n" || got == "U\n<EIO>\n") << got;
  EXPECT_TRUE(logged("FAULT vanish 07 at #1 07/resp"));
  EXPECT_EQ(dump().size(), 8192u + 256 + 4 + 1);
}

TEST_F(SimRun, ReadsDeviceFileWithCommentsAndRepeatedFaults) {
  std::ofstream(dir_ + "/load.hex") << "# a device for the test\n"
                                      "firmware.id = 0x09   # trailing comment\n"
                                      "\n"
                                      "fault = checksum 07#2\n"
                                      "fault = noise 07#2\n";
  ASSERT_EQ(run("H;C;F07;R;F07;R", {"--device", dir_ + "/load.hex"}), 0);
  EXPECT_EQ(out(), "U\n" + response("0709") + "\nU?x[0A0709" + hex2(char_sum("0A0709") + 1) + "]\n");

  std::ofstream(dir_ + "/load.hex") << "firmware.id 5\n";
  EXPECT_EQ(run("X0", {"--device", dir_ + "/load.hex"}), 64);
}

TEST_F(SimRun, PacedLineStillCarriesWholeSessions) {
  ASSERT_EQ(run("H;C;F4D;R;B57600;F470000000000000004;R;R;R", {"--pace"}), 0);
  EXPECT_EQ(out(), "U\n" + response("4D") + "\n" + response("47") + "\n" + block("FF3FFF3FFF3FFF3F") + "\n" +
                       response("47") + "\n");
}

TEST_F(SimRun, DeviceTimeDelaysTheAnswer) {
  // Generous: the answer is due after 600 ms and must not be there at 100 ms.
  ASSERT_EQ(run("H;C;F29;Q100;R", {"--device-time", "29=600000"}), 0);
  EXPECT_EQ(out(), "U\n\n" + response("29") + "\n");
}

// ---------------------------------------------------------------- the process

TEST_F(SimRun, PassesTheProgramsExitStatusThrough) {
  EXPECT_EQ(run("X3"), 3);
  EXPECT_EQ(run("K"), 128 + SIGTERM);
  EXPECT_EQ(run("H;C"), 0);
}

TEST_F(SimRun, RejectsBadUsageWithoutRunningTheProgram) {
  const std::vector<std::vector<std::string>> cases = {
      {"--set", "bogus.key=1"},      {"--set", "fault=melt 07"},         {"--set", "fault=cut 47"},
      {"--set", "prog.size=banana"}, {"--set", "stuck=prog:0x9999=0"},   {"--set", "eeprom.start=0x100"},
      {"--no-such-option"},          {"--load", "/nonexistent/file.hex"},
  };
  for (const auto& options : cases) {
    SCOPED_TRACE(options.back());
    EXPECT_EQ(run("X0", options), 64);
    struct stat st;
    EXPECT_NE(stat((dir_ + "/out").c_str(), &st), 0) << "the program ran";
  }
}

TEST_F(SimRun, PreloadLeavesModemIoctlsOnOtherFilesAlone) {
  ASSERT_EQ(run("N"), 0);
  EXPECT_EQ(out(), "ENOTTY\n");
}

TEST_F(SimRun, LinkModeOffersTheTtyUntilTerminated) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const std::string link = dir_ + "/tty";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    execl(ICD2SIM_BIN, ICD2SIM_BIN, "--preload", ICD2SIM_PRELOAD, "--transcript", (dir_ + "/transcript").c_str(),
          "--link", link.c_str(), static_cast<char*>(nullptr));
    _exit(99);
  }
  close(pipe_fds[1]);
  std::string line;
  char c;
  while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(pipe_fds[0]);
  EXPECT_EQ(line.rfind(std::string("LD_PRELOAD=") + ICD2SIM_PRELOAD + " ICD2SIM_CONTROL=/", 0), 0u) << line;
  char target[PATH_MAX] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_bounded(pid, 10), 0);
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the simulator";
}

}  // namespace
