// A file stream on the device, opened by device path with the C runtime's mode strings.
//
// Binary reads and writes move bytes unchanged. The wide text-mode operations write and read
// UTF-8 with "\n" line ends: every UTF-16 text written becomes UTF-8 (a surrogate pair is one
// character, a lone surrogate U+FFFD), and reading hands back UTF-16 code units one at a time,
// never failing on invalid bytes (they read as U+FFFD).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

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
    struct Key {
        explicit Key() = default;
    };

public:
    File(Key, std::FILE* stream, std::string hostPath) : stream_(stream), path_(std::move(hostPath)) {}

private:
    // `ok`, having set the failure cause (the file and errno's words) when it is false.
    bool Succeeded(bool ok);

    std::FILE* stream_;
    std::string path_;  // the host file, named by failure causes
    char16_t pendingLow_ = 0;  // second half of a surrogate pair not yet handed out
};

}  // namespace platform
