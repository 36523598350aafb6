#include "support/files.h"

#include "platform/filesys.h"
#include "support/fatal.h"

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

std::unique_ptr<platform::File> MyCreateFile(std::u16string_view root, std::u16string_view dir,
                                             std::u16string_view subDir, std::u16string_view fileName,
                                             std::u16string_view mode) {
    const std::u16string path = JoinPath(root, dir, subDir) + u"\\" + std::u16string(fileName);
    constexpr platform::DWORD kTotalWait = 3000;
    constexpr platform::DWORD kInterval = 500;
    int retries = kTotalWait / kInterval;
    auto file = platform::File::Open(path, mode);
    while (!file && retries > 0) {
        Pause(kInterval);
        file = platform::File::Open(path, mode);
        --retries;
    }
    return file;
}

void Pause(platform::DWORD milliseconds) { platform::Sleep(milliseconds); }

std::uint32_t CountTextFiles(std::u16string_view root, std::u16string_view dir, std::u16string_view subDir) {
    auto found = platform::FindFiles(JoinPath(root, dir, subDir) + u"\\*.txt");
    return found ? static_cast<std::uint32_t>(found->size()) : 0;
}

ReplacementFile::ReplacementFile(std::u16string_view path) : path_(path), tempPath_(path_ + u".new") {
    file_ = platform::File::Open(tempPath_, u"wb");
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
    committed_ = platform::MoveFileExW(tempPath_, path_, platform::MOVEFILE_REPLACE_EXISTING | platform::MOVEFILE_WRITE_THROUGH);
    return committed_;
}

}  // namespace tallymere
