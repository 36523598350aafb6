#include "shell/settings_dialog.h"

#include <fmt/format.h>

#include "platform/text.h"
#include "shell/folder_browser.h"
#include "shell/output_dir.h"
#include "support/settings.h"

namespace tallymere {

namespace dialog = platform::dialog;
namespace ui = platform::ui;

namespace {

constexpr std::uint32_t kFullScreenWithDone =
    dialog::SHIDIF_DONEBUTTON | dialog::SHIDIF_SIZEDLGFULLSCREEN | dialog::SHIDIF_SIPDOWN;

void OnOk(dialog::Dialog& dialog) {
    const std::u16string entered = dialog.GetItemText(kOutputDirField);
    std::u16string newDir = entered;
    if (!newDir.empty() && newDir.back() == u'\\') newDir.pop_back();
    if (const auto refusal = RefuseOutputDir(newDir)) {
        ui::MessageBoxW(dialog.Handle(), *refusal, u"Tallymere Settings", ui::MB_OK);
        return;
    }
    // ChangeOutputDir removes the trailing "\" itself; a directory that cannot be used is refused
    // with its reason, and the dialog stays open.
    if (!ChangeOutputDir(entered, dialog.Handle())) return;
    dialog.End(kSettingsOk);
}

}  // namespace

std::optional<std::u16string> RefuseOutputDir(std::u16string_view dir) {
    if (dir.empty()) return std::u16string(kEmptyOutputDir);
    if (dir.size() > kMaxOutputDirLength) {
        return platform::FromUtf8(
            fmt::format("Output directory must not be longer than {} characters.", kMaxOutputDirLength));
    }
    return std::nullopt;
}

dialog::INT_PTR SettingsDlgProc(dialog::Dialog& dialog, std::uint32_t message, dialog::WPARAM wParam, dialog::LPARAM) {
    switch (message) {
        case dialog::WM_INITDIALOG:
            dialog.InitDialog(kFullScreenWithDone);
            dialog.SetItemText(kOutputDirField, GetRegistryStr(kOutputDirValue));
            dialog.SetFocus(kOutputDirField);
            return 1;
        case ui::WM_COMMAND:
            switch (wParam & 0xFFFF) {
                case kSettingsOk: OnOk(dialog); return 1;
                case kSettingsCancel: dialog.End(kSettingsCancel); return 1;
                case kSelectFolderButton:
                    if (dialog.DialogBox(kFolderBrowser, SelectDirDlgProc) == ui::IDOK) {
                        dialog.SetItemText(kOutputDirField, browsedFolder);
                    }
                    return 1;
                default:
                    // Among them the Done button of the caption (1): the dialog stays open.
                    return 0;
            }
        default: return 0;
    }
}

dialog::INT_PTR AboutDlgProc(dialog::Dialog& dialog, std::uint32_t message, dialog::WPARAM wParam, dialog::LPARAM) {
    switch (message) {
        case dialog::WM_INITDIALOG: dialog.InitDialog(kFullScreenWithDone); return 1;
        case ui::WM_COMMAND:
            if ((wParam & 0xFFFF) != ui::IDOK) return 0;
            dialog.End(ui::IDOK);
            return 1;
        default: return 0;
    }
}

}  // namespace tallymere
