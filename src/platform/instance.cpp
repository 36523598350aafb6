#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/device.h"

namespace platform::device {

namespace {
int lockFd = -1;  // kept open for the life of the process
}

bool LockProgram(long* holderPid) {
    *holderPid = 0;
    if (lockFd >= 0) return true;
    const auto path = PlatformFile("program.lock");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {};
        const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
        if (n > 0) *holderPid = std::strtol(buf, nullptr, 10);
        ::close(fd);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    lockFd = fd;
    return true;
}

}  // namespace platform::device
