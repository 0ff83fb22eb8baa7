// Preloaded into the programs run under icd2sim. A Linux pty refuses the
// modem-control ioctls, so a program could never pulse DTR towards the
// simulator; this library takes those requests on a pty slave, keeps the DTR
// state itself and reports every change to the simulator before returning,
// so that the simulator sees the edge before any byte written after it.
// Every other ioctl, and every ioctl on a real serial port, goes through
// untouched.

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

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);

    const char* control = getenv("ICD2SIM_CONTROL");
    dev_t device;
    if (modem_request(request) && control != nullptr && *control != '\0' && pty_slave(fd, &device))
        return modem_control(request, static_cast<int*>(argument), control, device);

    const IoctlFunction next = next_ioctl();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}
