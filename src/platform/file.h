// A file stream on the device, opened by device path with the C runtime's mode strings.
//
// Binary reads and writes move bytes unchanged. The wide text-mode operations write and read
// UTF-8 with "\n" line ends: every UTF-16 text written becomes UTF-8 (a surrogate pair is one
// character, a lone surrogate U+FFFD), and reading hands back UTF-16 code units one at a time,
// never failing on invalid bytes (they read as U+FFFD).
//
// A file opened only for writing ("w", "wb") is written through the host's file descriptor with
// a buffer of its own rather than the C runtime's stream: a writer of many small files (an export)
// pays one open, one write and one close for each, as a stream would cost a few more calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Directory;

// The end-of-file value of `File::ReadWideChar`; outside the range of code units, so that a
// U+FFFF character in a text reads as itself.
constexpr std::uint32_t WEOF_VALUE = 0xFFFFFFFF;

class File {
public:
    // Opens a device path ("rb", "wb", "ab+", "rb+", "a+", "a", "w", ...). Returns null and sets
    // the thread's last error when the path is refused or the file cannot be opened.
    static std::unique_ptr<File> Open(std::u16string_view devicePath, std::u16string_view mode);

    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Binary I/O: the number of bytes moved.
    std::size_t Read(void* buffer, std::size_t size);
    std::size_t Write(const void* buffer, std::size_t size);

    // Positioning (origin is SEEK_SET, SEEK_CUR or SEEK_END); false on failure.
    bool Seek(std::int64_t offset, int origin);
    std::int64_t Tell();
    // The size of the file in bytes, or -1.
    std::int64_t Size();

    // Copies up to `count` bytes from `source`'s position to this file and moves both positions
    // past them: the number copied (fewer when `source` ends first), or nullopt when writing
    // failed. The host copies them between the two files where it can, without reading them
    // out; each 64 KiB counts as one write.
    std::optional<std::uint64_t> CopyFrom(File& source, std::uint64_t count);

    // Wide text mode: writes the text as UTF-8; false when not all of it was written.
    bool WriteText(std::u16string_view text);
    // Reads one UTF-16 code unit from UTF-8 text, or WEOF_VALUE at the end of the file.
    std::uint32_t ReadWideChar();

    // Cuts the file to `size` bytes (buffered writes are flushed first); the position is left
    // where it was. False on failure.
    bool Truncate(std::int64_t size);

    // Flushes buffered writes; Sync also asks the host to put them on the medium.
    bool Flush();
    bool Sync();
    // Closes the stream; false when buffered data could not be written.
    bool Close();

private:
    friend class Directory;
    struct Key {
        explicit Key() = default;
    };

public:
    File(Key, std::FILE* stream, std::string hostPath) : stream_(stream), path_(std::move(hostPath)) {}
    // A file only written, through `fd` (owned).
    File(Key, int fd, std::string hostPath) : stream_(nullptr), fd_(fd), path_(std::move(hostPath)) {}

private:
    // `ok`, having set the failure cause (the file and errno's words) when it is false.
    bool Succeeded(bool ok);
    // A file only written: its buffered bytes handed to the host; false (cause set) on failure.
    bool WriteOut();
    bool WriteAll(const char* data, std::size_t size);

    std::FILE* stream_;
    int fd_ = -1;              // a file only written (stream_ is null), until it is closed
    std::string pending_;      // its bytes not handed to the host yet
    std::int64_t offset_ = 0;  // its host position, where `pending_` goes
    std::string path_;         // the host file, named by failure causes
    char16_t pendingLow_ = 0;  // second half of a surrogate pair not yet handed out
};

// A directory held open by device path: the files in it are opened and renamed by their names
// alone, without the host walking the directory's whole path again for each (a writer of many
// files in a few directories). A directory removed after its opening takes no new files (they
// fail as in a missing directory); one moved is followed.
class Directory {
public:
    // Null, with the thread's last error set, when it cannot be opened.
    static std::unique_ptr<Directory> Open(std::u16string_view devicePath);

    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // As File::Open of the directory's path and `name` (one name, no separator).
    std::unique_ptr<File> OpenFile(std::u16string_view name, std::u16string_view mode);
    // As MoveFileW within the directory: `to` must not exist (ERROR_ALREADY_EXISTS), a missing
    // `from` fails with ERROR_FILE_NOT_FOUND.
    bool MoveFile(std::u16string_view from, std::u16string_view to);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    Directory(Key, int fd, std::string hostPath) : fd_(fd), path_(std::move(hostPath)) {}

private:
    // The host name of one device name; nullopt for a name that is not a single valid name.
    std::optional<std::string> HostName(std::u16string_view name) const;

    int fd_;
    std::string path_;  // the host directory, named by failure causes
};

}  // namespace platform
