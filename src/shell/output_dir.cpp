#include "shell/output_dir.h"

#include <string>

#include "platform/filesys.h"
#include "platform/ui.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/main_window.h"
#include "support/settings.h"

namespace tallymere {

bool ChangeOutputDir(std::u16string_view newDirText, platform::ui::HWND owner) {
    const std::u16string oldDir = GetRegistryStr(kOutputDirValue);
    std::u16string newDir(newDirText);
    if (!newDir.empty() && newDir.back() == u'\\') newDir.pop_back();
    // The device's root is no output directory: the value would not be kept (every start-up
    // defaults an empty one again), and the archive would be looked for where it is not.
    if (newDir.empty()) {
        platform::ui::MessageBoxW(owner ? owner : mainWindow.load(), kEmptyOutputDir, kSettingsCaption,
                                  platform::ui::MB_OK | platform::ui::MB_ICONERROR);
        return false;
    }
    // Checked before anything is stored: a typo must not leave a directory stored that every
    // later start fails on.
    std::u16string reason;
    if (!CheckOutputDir(newDir, OutputDirUse::kChange, &reason)) {
        platform::ui::MessageBoxW(
            owner ? owner : mainWindow.load(),
            u"Cannot use " + std::u16string(newDirText) + u" as output directory: " + reason + u".", kSettingsCaption,
            platform::ui::MB_OK | platform::ui::MB_ICONERROR);
        return false;
    }
    SetRegistryStr(kOutputDirValue, newDir);
    for (std::u16string_view file : {u"Folders.dat", u"Messages.dat", u"Messages.ndx"}) {
        const std::u16string tail = u"\\" + std::u16string(kArchiveDir) + u"\\" + std::u16string(file);
        // The results are not looked at: a file that cannot move stays in the old directory.
        platform::MoveFileW(oldDir + tail, newDir + tail);
    }
    return true;
}

}  // namespace tallymere
