#include "Core/StandardStreams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tracker::StandardStreams {

void ensureOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, since the ones below it are open by now.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

}  // namespace tracker::StandardStreams
