// xFolder: the folder-name list of the archive, "Folders.dat" in the archive directory.
//
// Archive records do not carry their folder path but a folder number: the zero-based line of
// Folders.dat that holds the path. Paths are only ever appended and the file is always written
// back in table order, so a number never changes once given.
//
// File layout: UTF-8 text (the platform's text-mode wide output), one folder path per line:
//
//     <path 0>\n<path 1>\n ... <path n-1>\n
//
// No header, no count, nothing after the last line feed. On load, characters after the last
// line feed are not a line and are dropped. The file is read when the list is built and
// written back whole when it is destroyed, if paths were appended since it was read or saved; the write goes to "Folders.dat.new" first and
// replaces the file in one step, so a crash or a full medium never loses the folder names.
//
// A path is kept in the form in which the file gives it back (see FolderLine), so that the
// same folder gets the same number in every pass.
//
// The list grows as needed: a folder number is a 32-bit line number, and only a list that has
// used up every such number ends the program ("MAX_FOLDER exeed."). Numbers are found through
// a hash index, so that a pass over many messages in many folders pays the same per message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"

namespace tallymere {

class xFolder {
public:
    // Line numbers are 32-bit; the last one is never handed out.
    static constexpr std::uint32_t MAX_FOLDER = 0xFFFFFFFFu;

    // Empty table, then Load.
    xFolder();
    // Save, then Clear.
    ~xFolder();
    xFolder(const xFolder&) = delete;
    xFolder& operator=(const xFolder&) = delete;

    // The number of the path: the first equal path's position (exact, case-sensitive), or
    // the position of a copy appended now. More than MAX_FOLDER paths end the program with
    // "MAX_FOLDER exeed.".
    std::uint32_t GetIndex(std::u16string_view path);

    void Load();
    void Save();
    void Clear();

    std::uint32_t count = 0;
    std::vector<std::u16string> names;  // names[i] is folder number i; append only through GetIndex

private:
    std::unordered_map<std::u16string, std::uint32_t> numbers_;  // line -> its first number
    std::u16string lastPath_;                                    // the path GetIndex was last given
    std::uint32_t lastNumber_ = 0;                               // and its number
    bool hasLast_ = false;
    bool unsaved_ = false;  // paths appended since the list was read or saved
};

// The lines of a folder list read from `file` (from its current position on), and how many
// characters after the last line feed were dropped.
struct FolderLines {
    std::vector<std::u16string> lines;
    std::size_t droppedChars = 0;
};
FolderLines ReadFolderLines(platform::File& file);
// The lines of a folder list with every control character taken for a line end (the program
// writes none into a line: one there is a damaged line feed, or other damage); what follows the
// last one is not a line.
std::vector<std::u16string> SplitFolderLinesAtControls(platform::File& file);

// The form in which Folders.dat keeps `path` and gives it back: a line feed would split the
// line and renumber every later folder, and U+FFFF reads back as the end of the file, so the
// first becomes a space (as does every other control character, so that a control character
// in the file can only be damage: see archive/archive_repair.h) and the second U+FFFD; a lone
// surrogate becomes U+FFFD, as the UTF-8 text holds it.
std::u16string FolderLine(std::u16string_view path);

}  // namespace tallymere
