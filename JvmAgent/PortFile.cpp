#include "PortFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "TempFiles.h"
#include "VeskLogger.h"

namespace Orlo {

void PortFile::Write(const std::string& address, int port) {
#ifndef _WIN32
    char path[64];
    snprintf(path, sizeof path, "%s%d", PREFIX, static_cast<int>(getpid()));
    char text[64];
    int length = snprintf(text, sizeof text, "%s %d\n", address.empty() ? "0.0.0.0" : address.c_str(), port);
    // /tmp is shared: only a file of ours goes (the sticky bit), and the new
    // one is made afresh, never through a link someone else planted.
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = fd >= 0 && length > 0 && length < static_cast<int>(sizeof text) &&
                   write(fd, text, static_cast<size_t>(length)) == length;
    int error = errno;
    if (fd >= 0) close(fd);
    if (!written) {
        if (fd >= 0) unlink(path);
        VeskLogger::LogError(false, "Cannot write %s (vesk --pid will not find the agent), errno=%d (%s)", path,
                             error, strerror(error));
        return;
    }
    try {
        TempFiles::Adopt(path);
    } catch (const std::bad_alloc&) {
        unlink(path);  // nobody would remove it at exit
    }
#else
    (void)address;
    (void)port;
#endif
}

}  // namespace Orlo
