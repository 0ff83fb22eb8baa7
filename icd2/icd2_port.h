// Inside the ICD2 layer: the one place where the ICD2's port is given up.
#pragma once

#include <cstddef>

// The port fd has been closed, by the serial operation that failed on it or
// by icd2_drop_port. When it is serial_fd the number is forgotten (-1), so no
// later command can reach a descriptor the process has opened since; the
// next write fails with EBADF just as it would on the closed port.
void icd2_port_closed(int fd);
// Closes fd (when it is a descriptor at all) and forgets it as above.
void icd2_drop_port(int fd);
// tty_write; false when the write failed, which closed the port.
bool icd2_write(int fd, const char* bytes, size_t length);
