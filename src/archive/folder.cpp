#include "archive/folder.h"

#include <algorithm>

#include "platform/text.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kFoldersFile = u"Folders.dat";

}  // namespace

xFolder::xFolder() { Load(); }

xFolder::~xFolder() {
    // A list that has not changed since it was read or saved is on disk as it is.
    if (unsaved_) Save();
    Clear();
}

std::uint32_t xFolder::GetIndex(std::u16string_view path) {
    // A walk hands over the messages of one folder after another: the same path again costs
    // one comparison.
    if (hasLast_ && path == lastPath_) return lastNumber_;
    std::u16string line = FolderLine(path);
    std::uint32_t number;
    if (auto found = numbers_.find(line); found != numbers_.end()) {
        number = found->second;
    } else {
        if (count >= MAX_FOLDER) FatalError(u"MAX_FOLDER exeed.", u"xFolder::GetIndex");
        number = count++;
        numbers_.emplace(line, number);
        names.push_back(std::move(line));
        unsaved_ = true;
    }
    lastPath_.assign(path);
    lastNumber_ = number;
    hasLast_ = true;
    return number;
}

void xFolder::Load() {
    // "a+" creates a missing file; reading starts at the beginning of the file.
    auto file = MyCreateFile(GetRegistryStr(kOutputDirValue), kArchiveDir, u"", kFoldersFile, u"a+");
    if (!file) FatalError(u"MyCreateFile failed.", u"xFolder::Load");
    FolderLines read = ReadFolderLines(*file);
    // Characters after the last line feed are no line: the next save leaves them out.
    if (read.droppedChars > 0) unsaved_ = true;
    if (count + read.lines.size() > MAX_FOLDER) FatalError(u"MAX_FOLDER exeed.", u"xFolder::Load");
    names.reserve(count + read.lines.size());
    for (std::u16string& line : read.lines) {
        // A line the file holds twice keeps the first number, as a search in order finds it.
        numbers_.try_emplace(line, count++);
        names.push_back(std::move(line));
    }
}

void xFolder::Save() {
    std::u16string text;
    for (const std::u16string& name : names) {
        text += name;
        text += u'\n';
    }
    ReplacementFile out(JoinPath(GetRegistryStr(kOutputDirValue), kArchiveDir, u"") + u"\\" +
                        std::u16string(kFoldersFile));
    if (!out.IsOpen()) FatalError(u"MyCreateFile failed.", u"xFolder::Save");
    if (!out.Stream().WriteText(text) || !out.Commit()) FatalError(u"fwrite failed.", u"xFolder::Save");
    unsaved_ = false;
}

void xFolder::Clear() {
    names.clear();
    numbers_.clear();
    hasLast_ = false;
    count = 0;
}

FolderLines ReadFolderLines(platform::File& file) {
    FolderLines result;
    std::u16string line;
    for (std::uint32_t c = file.ReadWideChar(); c != platform::WEOF_VALUE; c = file.ReadWideChar()) {
        if (c == u'\n') {
            result.lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char16_t>(c));
        }
    }
    result.droppedChars = line.size();
    return result;
}

std::vector<std::u16string> SplitFolderLinesAtControls(platform::File& file) {
    std::vector<std::u16string> lines;
    std::u16string line;
    for (std::uint32_t c = file.ReadWideChar(); c != platform::WEOF_VALUE; c = file.ReadWideChar()) {
        if (c < 0x20) {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char16_t>(c));
        }
    }
    return lines;
}

std::u16string FolderLine(std::u16string_view path) {
    std::u16string line = platform::FromUtf8(platform::ToUtf8(path));
    for (char16_t& c : line) {
        if (c < 0x20) c = u' ';
        if (c == 0xFFFF) c = 0xFFFD;
    }
    return line;
}

}  // namespace tallymere
