// Directories and whole-file operations on the device's file system, by device path.
// Each call reports failure by its result and the thread's last error (kernel.h), as the
// device's own calls do.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/time.h"

namespace platform {

constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;

constexpr std::uint32_t MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr std::uint32_t MOVEFILE_WRITE_THROUGH = 0x8;

// One entry of a directory search.
struct FindData {
    std::uint32_t attributes = 0;  // FILE_ATTRIBUTE_*; names beginning with "." are hidden
    FILETIME creationTime;         // the host file's modification time (see SetFileCreationTime)
    std::uint64_t size = 0;
    std::u16string name;
};

// Creates one directory level; fails with ERROR_ALREADY_EXISTS (183) when it exists and with
// ERROR_PATH_NOT_FOUND when its parent is missing.
bool CreateDirectoryW(std::u16string_view path);

// Searches a directory: `pattern` is a device path whose last component may hold "*" and "?",
// matched without regard to letter case ("\Tallyport\Inbox\*.txt"). Entries come sorted by
// name. Returns nothing (last error ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND) when the
// directory is missing or nothing matches, as the device's search does.
std::optional<std::vector<FindData>> FindFiles(std::u16string_view pattern);

// Moves a file. Without MOVEFILE_REPLACE_EXISTING an existing target makes the call fail with
// ERROR_ALREADY_EXISTS; with MOVEFILE_WRITE_THROUGH the move is on the medium when it returns.
bool MoveFileExW(std::u16string_view from, std::u16string_view to, std::uint32_t flags);
inline bool MoveFileW(std::u16string_view from, std::u16string_view to) { return MoveFileExW(from, to, 0); }

bool DeleteFileW(std::u16string_view path);
// Removes an empty directory.
bool RemoveDirectoryW(std::u16string_view path);
// Swaps the two entries `a` and `b` (files or directories, both existing, on one host file
// system) in one step, and puts the swap on the medium: whenever the process or the machine
// stops, each name holds either what it held or what the other held, never nothing. Fails
// (ERROR_NOT_SUPPORTED) where the host file system cannot swap in one step.
bool ExchangePaths(std::u16string_view a, std::u16string_view b);

// Whether a file or directory exists at the path.
bool PathExists(std::u16string_view path);

// What a directory search would say of the file or directory at `path` itself (its name is
// left empty). A directory's creation time here, as for files, is the host's modification
// time, which moves whenever an entry is added, removed or renamed in it. False (last error
// ERROR_PATH_NOT_FOUND) when there is nothing at the path.
bool GetFileAttributesExW(std::u16string_view path, FindData* data);

// A file's creation time is its modification time on the host; this sets it (the device's MMS
// client stamps the files it keeps with their delivery time).
bool SetFileCreationTime(std::u16string_view path, const FILETIME& time);

// Watches one directory for change notifications, as the device's change notification does:
// an entry added, removed, renamed, written or re-stamped, or the directory itself removed,
// moved or replaced. Unlike the directory's time, it misses no change, however close together
// two changes come.
class DirectoryWatch {
public:
    // Starts watching the directory at `path`; nothing (last error set) when it cannot be
    // watched: no such directory, or the host gives no notifications (fault "FindFirstChangeNotification").
    static std::unique_ptr<DirectoryWatch> Start(std::u16string_view path);
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // Whether anything may have changed in the directory since the watch started. Once true,
    // it stays true: a caller that has taken note starts a new watch.
    bool Changed();
    // The entry at `path` (a device path in the watched directory) is about to be written,
    // renamed or removed by the caller, who keeps what it knows of the directory in step with
    // its own changes: notifications naming it do not count as changes until ForgetExpected.
    void Expect(std::u16string_view path);
    // Reads the notifications so far (Changed), then counts every later one again.
    void ForgetExpected();

    struct Key {
        explicit Key() = default;
    };
    DirectoryWatch(Key, int fd, std::string hostPath, std::uint64_t device, std::uint64_t inode);

private:
    int fd_;
    std::string hostPath_;
    std::uint64_t device_;
    std::uint64_t inode_;
    bool changed_ = false;
    std::unordered_set<std::string> expected_;  // host names of entries the caller changes itself
};

}  // namespace platform
