#include "desktop/menu.h"

#include "auto/delay.h"
#include "support/fatal.h"

namespace desktop {

std::unique_ptr<xMenu> menu;

namespace {

// The pictures, by their index in the menu pictures.
enum Picture : std::uint32_t {
    kExitPicture = 0,
    kAboutPicture = 1,
    kBackPicture = 2,
    kBackupPicture = 3,
    kExportPicture = 4,
    kMessagesPicture = 5,
    kMinimizePicture = 6,
    kSettingPicture = 7,
    kRestorePicture = 8,
    kAutomaticPicture = 9,
};

std::u16string SwitchText(std::u16string_view name, bool on) {
    return std::u16string(name) + u" now is: " + (on ? u"ON" : u"OFF");
}

}  // namespace

xMenu::xMenu() {
    // The switch rows tell the switches' state from the start (Automatic Export starts ON).
    const std::u16string backupText = SwitchText(u"Automatic Backup", tallymere::autoBackup != 0);
    const std::u16string exportText = SwitchText(u"Automatic Export", tallymere::autoExport != 0);
    AddMenu(0, u"Exit", u"Terminate the program", u"", u"", kExitPicture, 40005);
    AddMenu(0, u"Minimize", u"Minimize the program window", u"", u"", kMinimizePicture, 40073);
    AddMenu(0, u"About", u"Details about Tallymere", u"", u"", kAboutPicture, 40006);
    AddMenu(0, u"Setting", u"Output directory setting", u"", u"", kSettingPicture, 40013);
    AddMenu(0, u"Message Commands", u"All Message Commands", u"", u"", kMessagesPicture, kOpenLevel);
    AddMenu(4, u"Back", u"Go back upper level", u"", u"", kBackPicture, kBack);
    AddMenu(4, u"Export", u"Export messages", u"", u"", kExportPicture, kOpenLevel);
    AddMenu(4, u"Restore", u"Restore previously archived messages", u"", u"", kRestorePicture, kOpenLevel);
    AddMenu(4, u"Backup", u"Backup messages", u"", u"", kBackupPicture, kOpenLevel);
    AddMenu(8, u"Back", u"Go back upper level", u"", u"", kBackPicture, kBack);
    AddMenu(8, u"Automatic Backup", backupText, u"", u"", kAutomaticPicture, kAutomaticBackup);
    AddMenu(8, u"Backup by Selection", u"Backup messages by Selection", u"", u"", kBackupPicture, 40072);
    AddMenu(8, u"Backup All", u"Backup all messages", u"", u"", kBackupPicture, 40071);
    AddMenu(7, u"Back", u"Go back upper level", u"", u"", kBackPicture, kBack);
    AddMenu(7, u"Restore by Selection", u"Choose the archived messages to bring back", u"", u"", kRestorePicture,
            40057);
    AddMenu(7, u"Restore Extra", u"Restore all your messages since install", u"(Previously deleted messages as well)",
            u"", kRestorePicture, 40056);
    AddMenu(7, u"Restore Normal", u"Restore the last state of your Message", u"Store (All your messages will be at",
            u"the original position)", kRestorePicture, 40055);
    AddMenu(6, u"Back", u"Go back upper level", u"", u"", kBackPicture, kBack);
    AddMenu(6, u"Automatic Export", exportText, u"", u"", kAutomaticPicture, kAutomaticExport);
    AddMenu(6, u"Export by Selection", u"Export messages by Selection", u"", u"", kExportPicture, 40092);
    AddMenu(6, u"Export All", u"Export all messages", u"", u"", kExportPicture, 40053);
}

std::uint32_t xMenu::AddMenu(std::uint32_t parentKey, std::u16string_view itemTitle, std::u16string_view text1,
                             std::u16string_view text2, std::u16string_view text3, std::uint32_t iconIndex,
                             std::uint32_t itemCommand) {
    if (count >= MAX_MENU) tallymere::FatalError(u"MAX_MENU exeed!", u"xMenu::AddMenu");
    parent[count] = parentKey;
    title[count] = itemTitle;
    line1[count] = text1;
    line2[count] = text2;
    line3[count] = text3;
    icon[count] = iconIndex;
    command[count] = itemCommand;
    return count++;
}

void xMenu::Clear() {
    for (std::uint32_t i = 0; i < count; ++i) {
        parent[i] = 0;
        title[i].clear();
        line1[i].clear();
        line2[i].clear();
        line3[i].clear();
        icon[i] = 0;
        command[i] = 0;
    }
    count = 0;
}

void xMenu::SetSwitchText(std::uint32_t item, bool on) {
    if (item >= count) return;
    line1[item] = SwitchText(command[item] == kAutomaticBackup ? u"Automatic Backup" : u"Automatic Export", on);
}

}  // namespace desktop
