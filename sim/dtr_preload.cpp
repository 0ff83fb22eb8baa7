// Preloaded into the programs run under icd2sim. A Linux pty refuses the
// modem-control ioctls, so a program could never pulse DTR towards the
// simulator; this library takes those requests on a pty slave, keeps the DTR
// state itself and reports every change to the simulator before returning,
// so that the simulator sees the edge before any byte written after it.
// Every other ioctl, and every ioctl on a real serial port, goes through
// untouched. Without ICD2SIM_CONTROL, the modem-control requests on a pty go
// through too (and fail there), after one line on standard error that says
// why.

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

// A tty raises DTR when it is opened.
int dtr_raised = 1;

IoctlFunction next_ioctl() {
    static const IoctlFunction next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return next;
}

// Unix98 pty slaves have the major numbers 136 to 143.
bool pty_slave(int fd, dev_t* device) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int major_number = major(st.st_rdev);
    if (major_number < 136 || major_number > 143) return false;
    *device = st.st_rdev;
    return true;
}

// One datagram per change, on a socket that lives only for this call, so the
// program never holds a descriptor of ours. sendto returns once the datagram
// is queued at the simulator. 0, or -1 with errno set.
int report(const char* control, int raised, dev_t device) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(control) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, control);

    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    char message[64];
    const int length = snprintf(message, sizeof message, "DTR %d %llu", raised,
                                static_cast<unsigned long long>(device));
    ssize_t sent;
    do {
        sent = sendto(sock, message, static_cast<size_t>(length), 0,
                      reinterpret_cast<const struct sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    const int saved = errno;
    close(sock);
    errno = saved;
    return sent == length ? 0 : -1;
}

bool modem_request(unsigned long request) {
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCMSET;
}

int modem_control(unsigned long request, int* bits, const char* control, dev_t device) {
    if (bits == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == TIOCMGET) {
        // The lines a present, powered ICD2 would show.
        *bits = (dtr_raised ? TIOCM_DTR : 0) | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    }
    int raised = dtr_raised;
    if (request == TIOCMSET)
        raised = (*bits & TIOCM_DTR) != 0;
    else if (*bits & TIOCM_DTR)
        raised = request == TIOCMBIS;
    else
        return 0;  // other lines mean nothing to the simulator
    if (report(control, raised, device) != 0) return -1;
    dtr_raised = raised;
    return 0;
}

// Without ICD2SIM_CONTROL the request goes on to the system, which refuses
// it on a pty; the program's own error then does not say why, so this does,
// once a process.
void hint_missing_control() {
    static std::atomic_flag said = ATOMIC_FLAG_INIT;
    if (said.test_and_set()) return;
    static const char kHint[] =
        "icd2sim preload: ICD2SIM_CONTROL is not set; DTR requests on a pseudo-terminal fail\n";
    const int saved = errno;
    ssize_t written;
    do {
        written = write(STDERR_FILENO, kHint, sizeof kHint - 1);
    } while (written < 0 && errno == EINTR);
    errno = saved;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);

    const char* control = getenv("ICD2SIM_CONTROL");
    dev_t device;
    if (modem_request(request) && pty_slave(fd, &device)) {
        if (control != nullptr && *control != '\0')
            return modem_control(request, static_cast<int*>(argument), control, device);
        hint_missing_control();
    }

    const IoctlFunction next = next_ioctl();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}
