#include "platform/filesys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/device.h"
#include "platform/faults.h"
#include "platform/kernel.h"
#include "platform/text.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOENT:
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        default: return ERROR_GEN_FAILURE;
    }
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

FILETIME ModificationTime(const struct stat& st) {
    return FromUnixTime(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec / 100));
}

void SyncDirectory(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// For a pattern "*" and then plain ASCII ("*.txt"): that ASCII text, lower-cased. A name
// matches such a pattern only when its UTF-8 bytes end in that text, in either case: no other
// character folds to an ASCII one. So names can be sorted out before they are converted.
std::optional<std::string> AsciiTail(std::u16string_view pattern) {
    if (pattern.size() < 2 || pattern[0] != u'*') return std::nullopt;
    std::string tail;
    for (char16_t c : pattern.substr(1)) {
        if (c >= 0x80 || c == u'*' || c == u'?') return std::nullopt;
        tail.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c + 32 : c));
    }
    return tail;
}

bool EndsWithNoCase(std::string_view name, std::string_view lowerTail) {
    if (name.size() < lowerTail.size()) return false;
    const std::string_view end = name.substr(name.size() - lowerTail.size());
    for (std::size_t i = 0; i < end.size(); ++i) {
        const char c = end[i] >= 'A' && end[i] <= 'Z' ? static_cast<char>(end[i] + 32) : end[i];
        if (c != lowerTail[i]) return false;
    }
    return true;
}

}  // namespace

bool CreateDirectoryW(std::u16string_view path) {
    auto host = device::HostPathText(path);
    ClearFailureCause();
    if (!host) return Fail(ERROR_INVALID_NAME);
    if (faults::Hit("CreateDirectoryW")) return Fail(ERROR_ACCESS_DENIED);
    if (::mkdir(host->c_str(), 0700) != 0) {
        SetFailureCause(*host, errno);
        return Fail(ErrorFromErrno(errno));
    }
    return true;
}

std::optional<std::vector<FindData>> FindFiles(std::u16string_view pattern) {
    const std::size_t cut = pattern.find_last_of(u"\\/");
    const std::u16string_view dirPath = cut == std::u16string_view::npos ? u"" : pattern.substr(0, cut);
    const std::u16string_view namePattern = cut == std::u16string_view::npos ? pattern : pattern.substr(cut + 1);
    auto host = device::HostPathText(dirPath);
    if (!host || namePattern.empty()) {
        Fail(ERROR_INVALID_NAME);
        return std::nullopt;
    }
    // Each entry is looked up relative to the open directory: a caller that searches one
    // directory for every message must not pay for resolving the whole path once per entry.
    DIR* dir = ::opendir(host->c_str());
    if (dir == nullptr) {
        Fail(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    const int dirFd = ::dirfd(dir);
    const std::optional<std::string> tail = AsciiTail(namePattern);
    std::vector<FindData> found;
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string_view hostName(entry->d_name);
        if (hostName == "." || hostName == "..") continue;
        if (tail && !EndsWithNoCase(hostName, *tail)) continue;
        std::u16string name = FromUtf8(hostName);
        if (!MatchesPattern(name, namePattern)) continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0) continue;
        FindData data;
        data.name = std::move(name);
        data.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
        data.creationTime = ModificationTime(st);
        data.attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (!data.name.empty() && data.name[0] == u'.') data.attributes |= FILE_ATTRIBUTE_HIDDEN;
        found.push_back(std::move(data));
    }
    ::closedir(dir);
    if (found.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    std::sort(found.begin(), found.end(), [](const FindData& a, const FindData& b) { return a.name < b.name; });
    return found;
}

bool MoveFileExW(std::u16string_view from, std::u16string_view to, std::uint32_t flags) {
    auto src = device::HostPathText(from);
    auto dst = device::HostPathText(to);
    ClearFailureCause();
    if (!src || !dst) return Fail(ERROR_INVALID_NAME);
    if (faults::Hit("MoveFileW")) return Fail(ERROR_ACCESS_DENIED);
    // The host refuses to replace the target itself unless asked to: no look at either name
    // beforehand. Only a failure is looked into, to tell a missing source from a missing target
    // directory.
    const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    int renamed = ::renameat2(AT_FDCWD, src->c_str(), AT_FDCWD, dst->c_str(), replace ? 0 : RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL && !replace) {
        // A file system that cannot refuse by itself: the target is looked for first.
        struct stat st {};
        if (::lstat(dst->c_str(), &st) == 0) return Fail(ERROR_ALREADY_EXISTS);
        renamed = ::rename(src->c_str(), dst->c_str());
    }
    if (renamed != 0) {
        const int err = errno;
        struct stat st {};
        if (::stat(src->c_str(), &st) != 0) {
            SetFailureCause(*src, errno);
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        if (err != EXDEV) {
            if (err != EEXIST) SetFailureCause(*dst, err);
            return Fail(ErrorFromErrno(err));
        }
        if (!replace && ::lstat(dst->c_str(), &st) == 0) return Fail(ERROR_ALREADY_EXISTS);
        // Across host file systems: copy, then remove the original.
        std::error_code ec;
        fs::copy_file(fs::path(*src), fs::path(*dst), fs::copy_options::overwrite_existing, ec);
        if (ec || !fs::remove(fs::path(*src), ec)) {
            SetFailureCause(*dst + ": " + ec.message());
            return Fail(ERROR_GEN_FAILURE);
        }
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        const fs::path srcDir = fs::path(*src).parent_path();
        const fs::path dstDir = fs::path(*dst).parent_path();
        SyncDirectory(dstDir);
        if (srcDir != dstDir) SyncDirectory(srcDir);
    }
    return true;
}

bool DeleteFileW(std::u16string_view path) {
    auto host = device::HostPathText(path);
    if (!host) return Fail(ERROR_INVALID_NAME);
    if (::unlink(host->c_str()) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

bool RemoveDirectoryW(std::u16string_view path) {
    auto host = device::HostPathText(path);
    if (!host) return Fail(ERROR_INVALID_NAME);
    if (::rmdir(host->c_str()) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

bool ExchangePaths(std::u16string_view a, std::u16string_view b) {
    auto first = device::HostPathText(a);
    auto second = device::HostPathText(b);
    if (!first || !second) return Fail(ERROR_INVALID_NAME);
    if (faults::Hit("ExchangePaths")) return Fail(ERROR_ACCESS_DENIED);
    if (::renameat2(AT_FDCWD, first->c_str(), AT_FDCWD, second->c_str(), RENAME_EXCHANGE) != 0) {
        return Fail(errno == EINVAL || errno == ENOSYS ? ERROR_NOT_SUPPORTED : ErrorFromErrno(errno));
    }
    const fs::path firstDir = fs::path(*first).parent_path();
    const fs::path secondDir = fs::path(*second).parent_path();
    SyncDirectory(firstDir);
    if (firstDir != secondDir) SyncDirectory(secondDir);
    return true;
}

bool PathExists(std::u16string_view path) {
    auto host = device::HostPathText(path);
    struct stat st {};
    return host && ::stat(host->c_str(), &st) == 0;
}

bool GetFileAttributesExW(std::u16string_view path, FindData* data) {
    auto host = device::HostPathText(path);
    if (!host) return Fail(ERROR_INVALID_NAME);
    struct stat st {};
    if (::stat(host->c_str(), &st) != 0) return Fail(ErrorFromErrno(errno));
    data->name.clear();
    data->size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
    data->creationTime = ModificationTime(st);
    data->attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    return true;
}

bool SetFileCreationTime(std::u16string_view path, const FILETIME& time) {
    auto host = device::HostPathText(path);
    if (!host) return Fail(ERROR_INVALID_NAME);
    const std::uint64_t ticks = ToTicks(time);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ToUnixSeconds(time));
    times[1].tv_nsec = static_cast<long>(ticks % 10'000'000 * 100);
    if (::utimensat(AT_FDCWD, host->c_str(), times, 0) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

std::unique_ptr<DirectoryWatch> DirectoryWatch::Start(std::u16string_view path) {
    auto host = device::HostPathText(path);
    if (!host) {
        Fail(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (faults::Hit("FindFirstChangeNotification")) {
        Fail(ERROR_GEN_FAILURE);
        return nullptr;
    }
    struct stat before {};
    if (::stat(host->c_str(), &before) != 0 || !S_ISDIR(before.st_mode)) {
        Fail(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        Fail(ERROR_GEN_FAILURE);
        return nullptr;
    }
    constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                    IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    // The directory is the one watched only if it is the same before and after the watch began.
    struct stat after {};
    if (::inotify_add_watch(fd, host->c_str(), kMask) < 0 || ::stat(host->c_str(), &after) != 0 ||
        after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
        ::close(fd);
        Fail(ERROR_GEN_FAILURE);
        return nullptr;
    }
    return std::make_unique<DirectoryWatch>(Key{}, fd, std::move(*host), static_cast<std::uint64_t>(after.st_dev),
                                            static_cast<std::uint64_t>(after.st_ino));
}

DirectoryWatch::DirectoryWatch(Key, int fd, std::string hostPath, std::uint64_t device, std::uint64_t inode)
    : fd_(fd), hostPath_(std::move(hostPath)), device_(device), inode_(inode) {}

DirectoryWatch::~DirectoryWatch() { ::close(fd_); }

void DirectoryWatch::Expect(std::u16string_view path) {
    auto host = device::HostPathText(path);
    if (!host) return;
    const std::size_t slash = host->rfind('/');
    // Only an entry of the watched directory itself can be expected.
    if (slash == std::string::npos || std::string_view(*host).substr(0, slash) != hostPath_) {
        changed_ = true;
        return;
    }
    expected_.insert(host->substr(slash + 1));
}

void DirectoryWatch::ForgetExpected() {
    Changed();
    expected_.clear();
}

bool DirectoryWatch::Changed() {
    if (changed_) return true;
    // Any notification (an overflowed queue included) counts as a change, unless it names an
    // entry the caller said it changes itself.
    alignas(struct inotify_event) char buffer[4096 + NAME_MAX + 1];
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EAGAIN) break;
        if (got <= 0) {
            changed_ = true;
            return true;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= got;) {
            struct inotify_event event {};
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            const std::string_view entry = event.len > 0 ? std::string_view(name, ::strnlen(name, event.len)) : "";
            const bool own =
                !entry.empty() && (event.mask & IN_Q_OVERFLOW) == 0 && expected_.contains(std::string(entry));
            if (!own) changed_ = true;
        }
        if (changed_) return true;
    }
    // The path may lead elsewhere now (a directory above renamed, another put in its place):
    // the watch follows the directory, a fresh search follows the path.
    struct stat st {};
    if (::stat(hostPath_.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_dev) != device_ ||
        static_cast<std::uint64_t>(st.st_ino) != inode_) {
        changed_ = true;
    }
    return changed_;
}

}  // namespace platform
