#include "support/files.h"

#include "platform/faults.h"
#include "platform/filesys.h"
#include "support/fatal.h"
#include "support/settings.h"

namespace tallymere {

std::u16string JoinPath(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir) {
    std::u16string path(root);
    if (!dir.empty()) {
        path += u'\\';
        path += dir;
    }
    if (!subDir.empty()) {
        path += u'\\';
        path += subDir;
    }
    return path;
}

void MyCreateDir(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir) {
    const std::u16string path = JoinPath(root, dir, subDir);
    if (!platform::CreateDirectoryW(path) && platform::GetLastError() != platform::ERROR_ALREADY_EXISTS) {
        WriteLog(path);
        FatalError(u"CreateDirectoryW failed.", u"MyCreateDir");
    }
}

namespace {

bool IsDirectory(const std::u16string& path) {
    if (path.empty()) return true;
    return platform::FindFiles(path + u"\\*") || platform::GetLastError() == platform::ERROR_FILE_NOT_FOUND;
}

// Why `path` could not be created, from the failure's last error.
std::u16string WhyNotCreated(const std::u16string& path, platform::DWORD error) {
    switch (error) {
        case platform::ERROR_PATH_NOT_FOUND: {
            const std::size_t cut = path.find_last_of(u'\\');
            const std::u16string parent = cut == std::u16string::npos || cut == 0 ? u"\\" : path.substr(0, cut);
            return platform::PathExists(parent) && !IsDirectory(parent) ? parent + u" is not a directory"
                                                                        : parent + u" does not exist";
        }
        case platform::ERROR_ACCESS_DENIED: return path + u" cannot be created: access is denied";
        case platform::ERROR_INVALID_NAME: return u"it is not a valid directory name";
        case platform::ERROR_ALREADY_EXISTS: return path + u" is a file";
        default: return path + u" cannot be created";
    }
}

}  // namespace

bool CheckOutputDir(std::u16string_view dir, OutputDirUse use, std::u16string* reason) {
    const auto fail = [&](std::u16string why) {
        if (reason) *reason = std::move(why);
        return false;
    };
    const std::u16string root(dir);
    if (!root.empty() && !IsDirectory(root)) {
        if (use == OutputDirUse::kStartUp)
            return fail(platform::PathExists(root) ? root + u" is a file" : root + u" does not exist");
        if (!platform::CreateDirectoryW(root)) return fail(WhyNotCreated(root, platform::GetLastError()));
    }
    for (std::u16string_view sub : {kArchiveDir, kExportDir}) {
        const std::u16string path = JoinPath(root, sub, u"");
        if (IsDirectory(path)) continue;
        if (!platform::CreateDirectoryW(path)) return fail(WhyNotCreated(path, platform::GetLastError()));
    }
    if (use == OutputDirUse::kStartUp) return true;
    // A directory that takes no files (a read-only medium) is no better than a missing one.
    const std::u16string probe = JoinPath(root, kArchiveDir, u"") + u"\\Tallymere.probe";
    auto file = platform::File::Open(probe, u"wb");
    const bool written = file && file->Write("ok", 2) == 2 && file->Close();
    file.reset();
    platform::DeleteFileW(probe);
    if (!written) return fail(u"files cannot be written in it");
    return true;
}

std::unique_ptr<platform::File> MyCreateFile(std::u16string_view root, std::u16string_view dir,
                                             std::u16string_view subDir, std::u16string_view fileName,
                                             std::u16string_view mode) {
    return OpenRetrying(JoinPath(root, dir, subDir) + u"\\" + std::u16string(fileName), mode);
}

namespace {

// Opens with `open`, retrying for a while: another program may hold the file a moment.
template <class Opener>
std::unique_ptr<platform::File> Retrying(Opener&& open) {
    constexpr platform::DWORD kTotalWait = 3000;
    constexpr platform::DWORD kInterval = 500;
    int retries = kTotalWait / kInterval;
    auto file = open();
    while (!file && retries > 0) {
        if (!platform::faults::QuickRetries()) Pause(kInterval);
        file = open();
        --retries;
    }
    return file;
}

}  // namespace

std::unique_ptr<platform::File> OpenRetrying(std::u16string_view path, std::u16string_view mode) {
    return Retrying([&] { return platform::File::Open(path, mode); });
}

std::unique_ptr<platform::File> OpenRetrying(platform::Directory& dir, std::u16string_view name,
                                             std::u16string_view mode) {
    return Retrying([&] { return dir.OpenFile(name, mode); });
}

void Pause(platform::DWORD milliseconds) {
    // Tests that run many automatic exports skip the wait (the fault plan's "instant").
    if (platform::faults::NoWaits()) return;
    platform::Sleep(milliseconds);
}

std::uint32_t CountTextFiles(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir) {
    auto found = platform::FindFiles(JoinPath(root, dir, subDir) + u"\\*.txt");
    return found ? static_cast<std::uint32_t>(found->size()) : 0;
}

ReplacementFile::ReplacementFile(std::u16string_view path) : path_(path), tempPath_(path_ + u".new") {
    // Opened as every other file is: a file another program holds a moment is waited for.
    file_ = OpenRetrying(tempPath_, u"wb");
}

ReplacementFile::~ReplacementFile() {
    if (!committed_) {
        file_.reset();
        platform::DeleteFileW(tempPath_);
    }
}

bool ReplacementFile::Commit() {
    if (!file_) return false;
    const bool written = file_->Sync() && file_->Close();
    file_.reset();
    if (!written) return false;
    committed_ =
        platform::MoveFileExW(tempPath_, path_, platform::MOVEFILE_REPLACE_EXISTING | platform::MOVEFILE_WRITE_THROUGH);
    return committed_;
}

}  // namespace tallymere
