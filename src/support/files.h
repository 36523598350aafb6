// Files and directories under the output directory, with the program's path-joining rule:
// root, then "\" and the directory when not empty, then "\" and the subdirectory when not
// empty. The root is used unchanged, even when empty (the path then starts with "\").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/kernel.h"

namespace tallymere {

std::u16string JoinPath(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir);

// Creates the joined directory (one level). An existing directory is fine; any other failure
// logs the path and ends the program with "CreateDirectoryW failed." captioned "MyCreateDir".
void MyCreateDir(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir);

// Whether `dir` can be the output directory, and why not (`reason`, a few words such as "\nope
// does not exist"). Its "Tallymere" and "Tallyport" directories are created when missing. For
// a change of the setting the directory itself is created too when it is missing (one level:
// its parent must exist), and a file must be writable in it; at start-up it must exist (a
// removed storage card is not made again as a plain directory). "" (the device's root) is a
// directory.
enum class OutputDirUse { kChange, kStartUp };
bool CheckOutputDir(std::u16string_view dir, OutputDirUse use, std::u16string* reason);

// Opens root\dir\subDir\fileName with `mode`, retrying: 7 attempts, 500 ms apart. Returns null
// after the last failed attempt; callers report "MyCreateFile failed." with their own tag.
std::unique_ptr<platform::File> MyCreateFile(std::u16string_view root, std::u16string_view dir,
                                             std::u16string_view subDir, std::u16string_view fileName,
                                             std::u16string_view mode);
// Opens `path` with `mode`, retrying as MyCreateFile does.
std::unique_ptr<platform::File> OpenRetrying(std::u16string_view path, std::u16string_view mode);
// Opens the file `name` of a directory held open, retrying as MyCreateFile does.
std::unique_ptr<platform::File> OpenRetrying(platform::Directory& dir, std::u16string_view name,
                                             std::u16string_view mode);

// Blocks the calling thread for `milliseconds`.
void Pause(platform::DWORD milliseconds);

// The number of entries matching "*.txt" in the joined directory; 0 when it is missing.
std::uint32_t CountTextFiles(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir);

// A file written whole beside its target ("<path>.new") and then put in place of the target
// in one step, so that a crash or a full medium leaves either the old file or the new one. The
// new file is opened as MyCreateFile opens its files: 7 attempts, 500 ms apart.
class ReplacementFile {
public:
    explicit ReplacementFile(std::u16string_view path);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Whether the temporary file could be opened.
    bool IsOpen() const { return file_ != nullptr; }
    // The stream to write the new content into.
    platform::File& Stream() { return *file_; }
    // Flushes, syncs and closes the new content and moves it over the target; false when any
    // step failed (the target then keeps its old content).
    bool Commit();

private:
    std::u16string path_;
    std::u16string tempPath_;
    std::unique_ptr<platform::File> file_;
    bool committed_ = false;
};

}  // namespace tallymere
