#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/faults.h"
#include "platform/kernel.h"
#include "platform/text.h"

namespace platform {

namespace {

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        default: return ERROR_GEN_FAILURE;
    }
}

// Accepts the runtime's mode strings: r, w or a, then any of "+", "b" and "t".
bool ValidMode(std::u16string_view mode, std::string* out) {
    if (mode.empty() || (mode[0] != u'r' && mode[0] != u'w' && mode[0] != u'a')) return false;
    out->push_back(static_cast<char>(mode[0]));
    bool plus = false;
    for (char16_t c : mode.substr(1)) {
        if (c == u'+') {
            plus = true;
        } else if (c != u'b' && c != u't') {
            return false;
        }
    }
    if (plus) out->push_back('+');
    return true;
}

// A mode that only writes, emptying the file first: such a file is written through its descriptor.
bool OnlyWrites(const std::string& hostMode) { return hostMode == "w"; }

constexpr int kOnlyWritesFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

// Bytes a file only written gathers before it hands them to the host.
constexpr std::size_t kWriteBuffer = 64 * 1024;
// A piece at least this large is handed to the host at once when nothing is gathered before it.
constexpr std::size_t kWriteAtOnce = 4096;

// The checks every opening makes before the host is asked: a name and a mode it takes, and
// the fault plan. False, with the last error set, when the file is not to be opened.
bool MayOpen(const std::optional<std::string>& host, std::u16string_view mode, std::string* hostMode) {
    ClearFailureCause();
    if (!host || !ValidMode(mode, hostMode)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (faults::Hit("_wfopen")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// The host refused to open `path` (errno `err`): the cause and the last error say so.
std::nullptr_t Refused(const std::string& path, int err) {
    SetFailureCause(path, err);
    SetLastError(ErrorFromErrno(err));
    return nullptr;
}

}  // namespace

std::unique_ptr<File> File::Open(std::u16string_view devicePath, std::u16string_view mode) {
    std::string hostMode;
    auto host = device::HostPathText(devicePath);
    if (!MayOpen(host, mode, &hostMode)) return nullptr;
    if (OnlyWrites(hostMode)) {
        const int fd = ::open(host->c_str(), kOnlyWritesFlags, 0666);
        if (fd < 0) return Refused(*host, errno);
        return std::make_unique<File>(Key{}, fd, std::move(*host));
    }
    std::FILE* stream = std::fopen(host->c_str(), hostMode.c_str());
    if (stream == nullptr) return Refused(*host, errno);
    return std::make_unique<File>(Key{}, stream, std::move(*host));
}

File::~File() {
    if (stream_) std::fclose(stream_);
    if (fd_ >= 0) {
        WriteOut();
        ::close(fd_);
    }
}

bool File::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetFailureCause(path_, n < 0 ? errno : EIO);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset_ += n;
    }
    return true;
}

bool File::WriteOut() {
    if (pending_.empty()) return true;
    const bool ok = WriteAll(pending_.data(), pending_.size());
    pending_.clear();
    return ok;
}

std::size_t File::Read(void* buffer, std::size_t size) {
    if (size == 0 || !stream_) return 0;
    return std::fread(buffer, 1, size, stream_);
}

std::size_t File::Write(const void* buffer, std::size_t size) {
    if (size == 0) return 0;
    ClearFailureCause();
    if (faults::Hit("fwrite")) return 0;
    if (!stream_) {
        if (fd_ < 0) return 0;  // closed
        const char* bytes = static_cast<const char*>(buffer);
        // Small pieces are gathered; a large one with nothing gathered before it goes out as
        // it is, without a copy.
        if (pending_.empty() && size >= kWriteAtOnce) return WriteAll(bytes, size) ? size : 0;
        if (pending_.size() + size <= kWriteBuffer) {
            if (pending_.empty()) pending_.reserve(kWriteAtOnce);
            pending_.append(bytes, size);
            return size;
        }
        if (!WriteOut()) return 0;
        if (size >= kWriteBuffer) return WriteAll(bytes, size) ? size : 0;
        pending_.append(bytes, size);
        return size;
    }
    const std::size_t written = std::fwrite(buffer, 1, size, stream_);
    if (written != size) SetFailureCause(path_, errno);
    return written;
}

std::optional<std::uint64_t> File::CopyFrom(File& source, std::uint64_t count) {
    std::uint64_t copied = 0;
    // Between two descriptors with nothing of either held in a buffer, the host copies.
    off_t from = source.stream_ ? ftello(source.stream_) : -1;
    bool direct = fd_ >= 0 && source.stream_ != nullptr && from >= 0 && WriteOut();
    std::vector<char> buffer;
    while (copied < count) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - copied, kWriteBuffer));
        ClearFailureCause();
        if (faults::Hit("fwrite")) return std::nullopt;
        if (direct) {
            loff_t in = from;
            const ssize_t n = ::copy_file_range(::fileno(source.stream_), &in, fd_, nullptr, piece, 0);
            if (n > 0) {
                from = in;
                offset_ += n;
                copied += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0) break;  // the source ends here
            // A pair of file systems the host cannot copy between: read and write instead.
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
                SetFailureCause(path_, errno);
                fseeko(source.stream_, from, SEEK_SET);
                return std::nullopt;
            }
            direct = false;
            if (fseeko(source.stream_, from, SEEK_SET) != 0) break;
        }
        if (buffer.empty()) buffer.resize(kWriteBuffer);
        const std::size_t got = source.Read(buffer.data(), piece);
        if (got == 0) break;
        if (stream_ != nullptr) {
            if (std::fwrite(buffer.data(), 1, got, stream_) != got) {
                SetFailureCause(path_, errno);
                return std::nullopt;
            }
        } else if (!WriteOut() || !WriteAll(buffer.data(), got)) {
            return std::nullopt;
        }
        copied += got;
    }
    // The stream reads on after what was copied.
    if (direct) fseeko(source.stream_, from, SEEK_SET);
    return copied;
}

bool File::Seek(std::int64_t offset, int origin) {
    ClearFailureCause();
    if (faults::Hit("fseek")) return false;
    pendingLow_ = 0;
    if (!stream_) {
        if (!WriteOut()) return false;
        const off_t to = ::lseek(fd_, static_cast<off_t>(offset), origin);
        if (to >= 0) offset_ = to;
        return Succeeded(to >= 0);
    }
    return Succeeded(fseeko(stream_, static_cast<off_t>(offset), origin) == 0);
}

bool File::Succeeded(bool ok) {
    if (!ok) SetFailureCause(path_, errno);
    return ok;
}

std::int64_t File::Tell() {
    if (!stream_) return fd_ >= 0 ? offset_ + static_cast<std::int64_t>(pending_.size()) : -1;
    return static_cast<std::int64_t>(ftello(stream_));
}

std::int64_t File::Size() {
    if (!stream_) {
        struct stat st {};
        if (fd_ < 0 || !WriteOut() || ::fstat(fd_, &st) != 0) return -1;
        return static_cast<std::int64_t>(st.st_size);
    }
    const off_t here = ftello(stream_);
    if (here < 0 || fseeko(stream_, 0, SEEK_END) != 0) return -1;
    const off_t size = ftello(stream_);
    fseeko(stream_, here, SEEK_SET);
    return static_cast<std::int64_t>(size);
}

bool File::WriteText(std::u16string_view text) {
    const std::string bytes = ToUtf8(text);
    return Write(bytes.data(), bytes.size()) == bytes.size();
}

std::uint32_t File::ReadWideChar() {
    if (pendingLow_ != 0) {
        char16_t low = pendingLow_;
        pendingLow_ = 0;
        return low;
    }
    if (!stream_) return WEOF_VALUE;
    int first = std::fgetc(stream_);
    if (first == EOF) return WEOF_VALUE;
    const unsigned char lead = static_cast<unsigned char>(first);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0) return 0xFFFD;
    if (length == 1) return lead;
    std::string seq(1, static_cast<char>(lead));
    for (int i = 1; i < length; ++i) {
        int next = std::fgetc(stream_);
        if (next == EOF) return 0xFFFD;
        if ((next & 0xC0) != 0x80) {
            std::ungetc(next, stream_);  // the byte starts something else: read it next time
            return 0xFFFD;
        }
        seq.push_back(static_cast<char>(next));
    }
    std::u16string units = FromUtf8(seq);
    if (units.size() == 2) pendingLow_ = units[1];
    return units.empty() ? 0xFFFD : units[0];
}

bool File::Truncate(std::int64_t size) {
    if (faults::Hit("SetEndOfFile")) return false;
    ClearFailureCause();
    if (!stream_) return fd_ >= 0 && WriteOut() && Succeeded(::ftruncate(fd_, static_cast<off_t>(size)) == 0);
    return Succeeded(std::fflush(stream_) == 0 && ::ftruncate(::fileno(stream_), static_cast<off_t>(size)) == 0);
}

bool File::Flush() {
    ClearFailureCause();
    if (!stream_) return fd_ >= 0 && WriteOut();
    return Succeeded(std::fflush(stream_) == 0);
}

bool File::Sync() {
    ClearFailureCause();
    if (faults::Hit("fsync")) return false;
    const int fd = stream_ ? ::fileno(stream_) : fd_;
    return Flush() && Succeeded(::fsync(fd) == 0);
}

bool File::Close() {
    if (fd_ >= 0) {
        ClearFailureCause();
        const bool written = WriteOut();
        const bool closed = Succeeded(::close(fd_) == 0);
        fd_ = -1;
        return written && closed;
    }
    if (!stream_) return true;
    ClearFailureCause();
    const bool ok = Succeeded(std::fclose(stream_) == 0);
    stream_ = nullptr;
    return ok;
}

std::unique_ptr<Directory> Directory::Open(std::u16string_view devicePath) {
    auto host = device::HostPathText(devicePath);
    ClearFailureCause();
    if (!host) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const int fd = ::open(host->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetFailureCause(*host, errno);
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    return std::make_unique<Directory>(Key{}, fd, std::move(*host));
}

Directory::~Directory() { ::close(fd_); }

std::optional<std::string> Directory::HostName(std::u16string_view name) const { return device::HostNameText(name); }

std::unique_ptr<File> Directory::OpenFile(std::u16string_view name, std::u16string_view mode) {
    std::string hostMode;
    auto host = HostName(name);
    if (!MayOpen(host, mode, &hostMode)) return nullptr;
    // The flags the C runtime gives these modes.
    const bool plus = hostMode.size() > 1;
    int flags = plus ? O_RDWR : (hostMode[0] == 'r' ? O_RDONLY : O_WRONLY);
    if (hostMode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (hostMode[0] == 'a') flags |= O_CREAT | O_APPEND;
    const bool onlyWrites = OnlyWrites(hostMode);
    const std::string hostPath = path_ + "/" + *host;
    const int fd = ::openat(fd_, host->c_str(), onlyWrites ? kOnlyWritesFlags : flags, 0666);
    if (fd < 0) return Refused(hostPath, errno);
    if (onlyWrites) return std::make_unique<File>(File::Key{}, fd, hostPath);
    std::FILE* stream = ::fdopen(fd, hostMode.c_str());
    if (stream == nullptr) {
        const int err = errno;
        ::close(fd);
        return Refused(hostPath, err);
    }
    return std::make_unique<File>(File::Key{}, stream, hostPath);
}

bool Directory::MoveFile(std::u16string_view from, std::u16string_view to) {
    auto src = HostName(from);
    auto dst = HostName(to);
    ClearFailureCause();
    if (!src || !dst) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (faults::Hit("MoveFileW")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    int renamed = ::renameat2(fd_, src->c_str(), fd_, dst->c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL) {
        // A file system that cannot refuse by itself: the target is looked for first.
        struct stat st {};
        if (::fstatat(fd_, dst->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
        renamed = ::renameat(fd_, src->c_str(), fd_, dst->c_str());
    }
    if (renamed == 0) return true;
    const int err = errno;
    struct stat st {};
    if (::fstatat(fd_, src->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        SetFailureCause(path_ + "/" + *src, errno);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (err != EEXIST) SetFailureCause(path_ + "/" + *dst, err);
    SetLastError(ErrorFromErrno(err));
    return false;
}

}  // namespace platform
