#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

namespace platform::device {

std::string ProgramCommandLine(long pid) {
    if (pid <= 0) return {};
    std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "rb");
    if (!file) return {};
    std::vector<std::string> words(1);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (c == '\0') {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(c));
        }
    }
    std::fclose(file);
    while (!words.empty() && words.back().empty()) words.pop_back();
    if (words.empty()) return {};
    std::string line = std::filesystem::path(words.front()).filename().string();
    for (std::size_t i = 1; i < words.size(); ++i) {
        // The device folder is the one this command names too; it would only lengthen the line.
        if (words[i] == "--device") {
            ++i;
            continue;
        }
        if (words[i].rfind("--device=", 0) == 0) continue;
        line += ' ' + words[i];
    }
    return line;
}

}  // namespace platform::device
