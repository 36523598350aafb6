#include "shell/output_dir.h"

#include <string>

#include "platform/filesys.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

void ChangeOutputDir(std::u16string_view newDirText) {
    const std::u16string oldDir = GetRegistryStr(kOutputDirValue);
    std::u16string newDir(newDirText);
    if (!newDir.empty() && newDir.back() == u'\\') newDir.pop_back();
    SetRegistryStr(kOutputDirValue, newDir);
    MyCreateDir(newDir, u"", u"");
    MyCreateDir(newDir, kArchiveDir, u"");
    MyCreateDir(newDir, kExportDir, u"");
    for (std::u16string_view file : {u"Folders.dat", u"Messages.dat", u"Messages.ndx"}) {
        const std::u16string tail = u"\\" + std::u16string(kArchiveDir) + u"\\" + std::u16string(file);
        // The results are not looked at: a file that cannot move stays in the old directory.
        platform::MoveFileW(oldDir + tail, newDir + tail);
    }
}

}  // namespace tallymere
