#include "desktop/dialog_commands.h"

#include <string>

#include "platform/ui.h"
#include "shell/commands.h"
#include "support/fatal.h"

namespace desktop {

namespace {

void ComesLater(std::u16string_view what) {
    const std::u16string text = std::u16string(what) + u" is not available yet: it comes with a later version of Tallymere.";
    platform::ui::MessageBoxW(tallymere::mainWindow.load(), text, u"Tallymere", platform::ui::MB_OK);
}

}  // namespace

bool OnDialogCommand(std::uint32_t command) {
    switch (command) {
        case tallymere::kCommandAbout:
            ComesLater(u"About");
            return true;
        case tallymere::kCommandSettings:
            ComesLater(u"The settings dialog");
            return true;
        case tallymere::kCommandBackupBySelection:
            ComesLater(u"Backup by Selection");
            return true;
        case tallymere::kCommandExportBySelection:
            ComesLater(u"Export by Selection");
            return true;
        default:
            return false;
    }
}

}  // namespace desktop
