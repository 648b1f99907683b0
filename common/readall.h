// Reading everything an open file gives, for the programs that take a whole file (a flow
// file, a message body). Header only, like the rest of common/.
#pragma once

#include <cerrno>
#include <string>
#include <unistd.h>

namespace readall {

// Appends to `out` what `fd` gives until its end, reading again after an interruption.
// 0 when the end was reached, otherwise the errno of the read that failed. The caller
// keeps and closes the descriptor.
inline int readAll(int fd, std::string &out) {
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        out.append(chunk, static_cast<size_t>(n));
    }
}

} // namespace readall
