// The serial line of in-process tests (icd2/line.h), under the real serial
// module: its far end is the simulator's link and target model, and its clock
// is simulated. Bytes cross the line at its speed, ten bits a byte, each way:
// what the host writes reaches the link when its last byte has, and the
// link's answer comes after it, byte by byte. Waits and pauses move the clock
// and cost no real time. A failing call fails with the errno the real one
// would, and the serial module logs its own line for it.
#include "icd2sim_tty.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <iterator>
#include <memory>
#include <set>

#include "icd2/line.h"
#include "icd2/tty.h"
#include "icd2sim_link.h"

namespace icd2sim::inprocess {
namespace {

// The simulated port's descriptor; no real file of the process is behind it.
constexpr int kPortFd = 1000;
// The host's output queue, as a UART driver's: a write takes what fits...
constexpr unsigned long long kOutputRoom = 4096;
// ...and a wait for room ends once fewer than this many bytes are queued.
constexpr unsigned long long kRoomMark = 256;

using Time = unsigned long long;  // microseconds on the simulated clock

// A write of the host's on the line, and the moment its last byte has
// crossed it.
struct Crossing {
    std::string bytes;
    Time at;
};
// A byte on its way to the host, and the moment it arrives.
struct Arrival {
    char byte;
    Time at;
};

struct Sim {
    explicit Sim(DeviceSettings device)
        : settings(std::move(device)),
          memory(settings),
          link(settings, memory, transcript, [this] { return speed; }) {
        transcript.keep();
    }
    DeviceSettings settings;
    Memory memory;
    Transcript transcript;
    Link link;
    bool open = false;
    bool opening = false;    // between the open and its settings: the open's own flush
    bool hung_up = false;    // the device vanished and took the pty with it
    bool held = false;       // the line takes nothing from the host (hold_line)
    unsigned speed = 19200;  // the line's speed, kept between opens as a pty's is
    Time now = 0;
    std::deque<Arrival> to_host;
    Time to_host_free = 0;         // when the last of them has arrived
    std::deque<Crossing> to_icd2;  // the host's writes
    Time to_icd2_free = 0;
    std::string wire;  // every byte the host has written
    unsigned long reads = 0;
    std::string failing;  // the call of fail_call, and its calls until the one that fails
    int calls_left = 0;
    bool has_latency_mode = false, low_latency = false;
    int latency_refusal = 0, latency_changes = 0;
};

std::unique_ptr<Sim> sim;
std::set<std::string> missing, busy;

Sim& current() {
    if (!sim) reset();
    return *sim;
}

// The line time of bytes bytes at speed, ten bits each, in whole microseconds.
Time line_time(unsigned speed, unsigned long long bytes) {
    return speed == 0 ? 0 : bytes * 10'000'000ULL / speed;
}

// Puts bytes on the line to the host, after what is on it already and no
// sooner than from. Each byte arrives when its last bit has: the times are
// counted from the first byte, as the serial module counts them.
void send_bytes(Sim& s, const std::string& bytes, unsigned speed, Time from) {
    const Time first = std::max(s.to_host_free, from) + line_time(speed, 1);
    for (size_t i = 0; i < bytes.size(); ++i)
        s.to_host.push_back({bytes[i], s.to_host_free = first + line_time(speed, i)});
}

// Whether this call of the serial module's function is the one fail_call
// planted a failure on.
bool planted(const char* function) {
    Sim& s = current();
    return s.failing == function && --s.calls_left == 0;
}

// Puts the link's answers on the line, the first no sooner than from.
void send_output(Sim& s, Time from) {
    for (const Link::Output& output : s.link.take_output())
        send_bytes(s, output.bytes, output.speed, std::max(s.to_host_free, from) + output.delay_us);
}

void hand_to_link(Sim& s, const std::string& bytes) {
    s.link.receive(bytes);
    send_output(s, s.now);
    // What a vanishing device had not delivered goes with it.
    if (s.link.vanished()) s.to_host.clear(), s.hung_up = true;
}

// Moves the clock on to target, handing the link each write as it arrives.
void advance(Sim& s, Time target) {
    while (!s.to_icd2.empty() && s.to_icd2.front().at <= target) {
        s.now = std::max(s.now, s.to_icd2.front().at);
        const std::string bytes = std::move(s.to_icd2.front().bytes);
        s.to_icd2.pop_front();
        hand_to_link(s, bytes);
    }
    s.now = std::max(s.now, target);
}

// Bytes the host has written that have not left it yet.
Time queued(const Sim& s) {
    const Time left = s.to_icd2_free - std::min(s.now, s.to_icd2_free);
    return (left * s.speed + 10'000'000ULL - 1) / 10'000'000ULL;
}

// The errno of a call on fd: EBADF on anything but the open port, EIO
// once the device has vanished and its pty hung up; 0 when the call works.
int failure(int fd) {
    const Sim& s = current();
    if (!s.open || fd != kPortFd) return EBADF;
    return s.hung_up ? EIO : 0;
}

}  // namespace

std::string reset(const std::vector<std::string>& settings) {
    DeviceSettings device;
    for (const std::string& setting : settings) {
        const size_t equals = setting.find('=');
        if (equals == std::string::npos) return setting + ": wants KEY=VALUE";
        const std::string error =
            apply_setting(device, setting.substr(0, equals), setting.substr(equals + 1));
        if (!error.empty()) return error;
    }
    if (std::string error = check_settings(device); !error.empty()) return error;
    sim = std::make_unique<Sim>(std::move(device));
    tty_interrupt(0);
    return "";
}

void mark_missing(const std::string& path) {
    missing.insert(path);
}
void mark_busy(const std::string& path) {
    busy.insert(path);
}
void fail_call(const std::string& function, int nth) {
    current().failing = function;
    current().calls_left = nth;
}
void hold_line() {
    current().held = true;
}
void offer_low_latency(bool on, int refusal) {
    current().has_latency_mode = true;
    current().low_latency = on;
    current().latency_refusal = refusal;
}
std::pair<bool, int> low_latency() {
    return {current().low_latency, current().latency_changes};
}
void send(const std::string& bytes, unsigned long delay_us) {
    Sim& s = current();
    send_bytes(s, bytes, s.speed, std::max(s.to_host_free, s.now) + delay_us);
}
Memory& memory() {
    return current().memory;
}
const std::string& transcript() {
    return current().transcript.kept();
}
const std::string& wire() {
    return current().wire;
}
unsigned long long elapsed_us() {
    return current().now;
}
unsigned long reads() {
    return current().reads;
}

}  // namespace icd2sim::inprocess

// The line itself: the calls of icd2/line.h on the simulated port.
namespace line {

using namespace icd2sim::inprocess;

Opened open_exclusive(const char* path) {
    Sim& s = current();
    // The port's lock is held while it is open, by this process too.
    if (busy.count(path) != 0 || s.open) return {-1, EWOULDBLOCK};
    // A vanished device took its pty, and the pty's device node, with it.
    if (missing.count(path) != 0 || s.hung_up || planted("tty_open")) return {-1, ENOENT};
    s.open = s.opening = true;
    return {kPortFd, 0};
}

bool in_use(const char* path) {
    return busy.count(path) != 0;
}

void close(int fd) {
    if (fd == kPortFd) current().open = current().opening = false;
}

SetFailure set_line(int fd, unsigned speed, bool raw) {
    Sim& s = current();
    if (const int err = failure(fd)) return {Step::kFetch, err};
    constexpr unsigned kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    if (std::find(std::begin(kSpeeds), std::end(kSpeeds), speed) == std::end(kSpeeds))
        return {Step::kSpeed, EINVAL};
    s.speed = speed;
    if (raw) s.opening = false;
    return {Step::kApply, 0};
}

unsigned speed(int fd) {
    const unsigned rate = current().speed;
    return failure(fd) != 0 || (rate != 9600 && rate != 19200 && rate != 57600) ? 0 : rate;
}

// Drops what has arrived and not been read, and what has not left yet; a
// byte already on its way still comes.
int flush(int fd) {
    Sim& s = current();
    if (!s.opening && planted("tty_flush")) return EIO;
    if (const int err = failure(fd)) return err;
    advance(s, s.now);
    while (!s.to_host.empty() && s.to_host.front().at <= s.now) s.to_host.pop_front();
    std::string queue;
    for (const Crossing& write : s.to_icd2) queue += write.bytes;
    queue.resize(queue.size() - queued(s));
    s.to_icd2.clear();
    if (!queue.empty()) hand_to_link(s, queue);
    s.to_icd2_free = s.now;
    return 0;
}

int drain(int fd) {
    Sim& s = current();
    if (planted("tty_set_baud")) return EIO;
    if (const int err = failure(fd)) return err;
    advance(s, std::max(s.now, s.to_icd2_free));
    return 0;
}

// The DTR requests reach the simulator through its preload library, which
// takes them even on a hung-up pty; only a closed port refuses them.
int dtr(int fd, bool raised) {
    Sim& s = current();
    if (planted("tty_dtr")) return EIO;
    if (failure(fd) == EBADF) return EBADF;
    advance(s, s.now);
    s.link.dtr(raised);
    send_output(s, s.now);
    return 0;
}

Latency low_latency(int fd) {
    const Sim& s = current();
    if (const int err = failure(fd)) return {false, err};
    return {s.low_latency, s.has_latency_mode ? 0 : ENOTTY};
}

int set_low_latency(int fd, bool low) {
    Sim& s = current();
    if (const int err = failure(fd)) return err;
    if (!s.has_latency_mode) return ENOTTY;
    if (s.latency_refusal != 0) return s.latency_refusal;
    s.latency_changes += s.low_latency != low;
    s.low_latency = low;
    return 0;
}

// A hung-up pty reads as its end; an open one with nothing yet as
// non-blocking.
Moved read(int fd, char* buffer, size_t length) {
    Sim& s = current();
    ++s.reads;
    const int err = failure(fd);
    if (err != 0) return {0, err == EIO ? 0 : err};
    size_t n = 0;
    for (; n < length && !s.to_host.empty() && s.to_host.front().at <= s.now; ++n) {
        buffer[n] = s.to_host.front().byte;
        s.to_host.pop_front();
    }
    return {n, n == 0 ? EAGAIN : 0};
}

Moved write(int fd, const char* buffer, size_t length) {
    Sim& s = current();
    if (planted("tty_write")) return {0, EIO};
    if (const int err = failure(fd)) return {0, err};
    const size_t taken = s.held ? 0 : std::min<size_t>(length, kOutputRoom - queued(s));
    if (taken == 0) return {0, EAGAIN};
    s.wire.append(buffer, taken);
    s.to_icd2_free = std::max(s.to_icd2_free, s.now) + line_time(s.speed, taken);
    s.to_icd2.push_back({std::string(buffer, taken), s.to_icd2_free});
    return {taken, 0};
}

bool can_wait(int) {
    return true;
}

Waited wait(int fd, bool writing, Micros limit) {
    Sim& s = current();
    const Time deadline = s.now + static_cast<Time>(limit.count());
    for (;;) {
        advance(s, s.now);
        if (const int err = failure(fd); err == EBADF) return {Ready::kFailed, err};
        if (s.hung_up) return {Ready::kYes, 0};
        // The moment there is something to read, or room to write.
        Time ready = ~0ULL;
        if (writing && s.held)
            ready = ~0ULL;
        else if (writing)
            ready =
                queued(s) < kRoomMark ? s.now : s.to_icd2_free - line_time(s.speed, kRoomMark - 1);
        else if (!s.to_host.empty())
            ready = s.to_host.front().at;
        if (ready <= s.now) return {Ready::kYes, 0};
        // The host's bytes that reach the link before then may bring an answer.
        const Time next = s.to_icd2.empty() ? ready : std::min(ready, s.to_icd2.front().at);
        if (next > deadline) {
            advance(s, deadline);
            return {Ready::kNotYet, 0};
        }
        advance(s, next);
    }
}

Micros now() {
    return Micros(current().now);
}

void sleep(Micros length) {
    Sim& s = current();
    advance(s, s.now + static_cast<Time>(length.count()));
}

}  // namespace line
