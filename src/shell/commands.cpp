#include "shell/commands.h"

#include <algorithm>
#include <chrono>
#include <string>

#include <fmt/format.h>

#include "archive/backup.h"
#include "archive/restore.h"
#include "archive/walk.h"
#include "auto/delay.h"
#include "auto/stack.h"
#include "export/exporter.h"
#include "platform/dialog.h"
#include "platform/text.h"
#include "platform/window.h"
#include "shell/restore_dialog.h"
#include "shell/selection_dialog.h"
#include "shell/settings_dialog.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/pass_control.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kCaption = u"Tallymere";

CommandResult lastResult;

// The end of a pass: its result box with `count`, or, when a stop ended the pass early, no box
// (the front end that asked for the stop says so).
void ResultBox(platform::ui::HWND window, std::int64_t count, const std::string& text, std::uint32_t unreadable = 0) {
    lastResult.count = count;
    lastResult.unreadable = unreadable;
    if (StopRequested()) {
        lastResult.interrupted = true;
        return;
    }
    lastResult.reported = true;
    lastResult.text = text;
    platform::ui::MessageBoxW(window, platform::FromUtf8(text), kCaption, platform::ui::MB_OK);
}

bool Confirmed(platform::ui::HWND window, std::u16string_view question) {
    return platform::ui::MessageBoxW(window, question, kCaption, platform::ui::MB_OKCANCEL) == platform::ui::IDOK;
}

constexpr std::u16string_view kRestoreNormalQuestion =
    u"Do you really want to start Normal restore? This function restores the last state of your Message Store. "
    u"(All your messages will be at the original position.)";
constexpr std::u16string_view kRestoreExtraQuestion =
    u"Do you really want to start Extra restore? This function restores all your messages (previously deleted "
    u"messages as well) since install.";

constexpr std::u16string_view kRestoreSelectionQuestion =
    u"Do you really want to restore the selected messages? This function restores the chosen archived messages "
    u"(previously deleted messages as well) that are no longer in your Message Store.";

void RestoreResultBox(platform::ui::HWND window, std::uint32_t restored, std::uint32_t unreadable) {
    std::string text = fmt::format("Message restore was successfull. ({} messages)", restored);
    if (unreadable > 0) text += fmt::format("\n{} archived messages could not be read.", unreadable);
    ResultBox(window, restored, text, unreadable);
}

void RunRestore(platform::ui::HWND window, RestoreMode mode, std::u16string_view question) {
    if (!Confirmed(window, question)) return;
    recentIds->Disable();
    std::uint32_t unreadable = 0;
    const std::uint32_t restored = Restore(mode, &unreadable);
    recentIds->Enable();
    std::string text = fmt::format("Message restore was successfull. ({} messages)", restored);
    if (unreadable > 0) text += fmt::format("\n{} archived messages could not be read.", unreadable);
    ResultBox(window, restored, text, unreadable);
}

// Command 40096: every arrival whose pause is over is handled, in one batch; the window's timer
// brings the command back when the next one is due. The window's thread never waits for a
// pause, so the window stays responsive while messages wait. With both automatic switches OFF
// every arrival only leaves the queue, without a pause.
void RunDueArrivals(platform::ui::HWND window) {
    if (!delayQueue) return;
    platform::ui::KillTimer(window, kArrivalTimer);
    if (autoExport == 0 && autoBackup == 0) {
        delayQueue->DropAll();
        return;
    }
    delayQueue->ExecuteDue(xDelay::Clock::now());
    if (const auto next = delayQueue->NextDue()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - xDelay::Clock::now()).count();
        platform::ui::SetTimer(window, kArrivalTimer, static_cast<std::uint32_t>(std::max<long long>(wait, 1)));
    }
}

}  // namespace

bool OnTimer(platform::ui::HWND window, std::uintptr_t timer) {
    if (timer != kArrivalTimer) return false;
    RunDueArrivals(window);
    return true;
}

std::string WaitingArrivalsLine() {
    const std::uint32_t waiting = delayQueue ? delayQueue->Count() : 0;
    if (waiting == 0) return {};
    if (autoExport == 0 && autoBackup != 0) {
        return fmt::format("{} arrived message{} not archived yet; backup-all archives {}.", waiting,
                           waiting == 1 ? " was" : "s were", waiting == 1 ? "it" : "them");
    }
    return fmt::format("{} arrived message{} not exported yet; export-all exports {}.", waiting,
                       waiting == 1 ? " was" : "s were", waiting == 1 ? "it" : "them");
}

void RunSelectionPass(platform::ui::HWND window, SelectionMode mode, const std::function<std::intptr_t()>& select) {
    selectionMode = mode;
    const bool backup = mode == SelectionMode::Backup;
    lastResult = CommandResult{};
    lastResult.command = backup ? kCommandBackupBySelection : kCommandExportBySelection;
    if (backup) {
        BeginBackup(BackupMode::Partial);
    } else {
        OpenExporter();
    }
    const std::intptr_t processed = select();
    if (backup) {
        EndBackup();
    } else {
        CloseExporter();
    }
    if (processed < 0) return;
    ResultBox(window, processed,
              backup ? fmt::format("Message backup was successfull. ({} messages)", processed)
                     : fmt::format("{} messages exported successfully.", processed));
}

void RunRestoreSelection(platform::ui::HWND window, const std::vector<bool>& chosen) {
    lastResult = CommandResult{};
    lastResult.command = kCommandRestoreBySelection;
    recentIds->Disable();
    std::uint32_t unreadable = 0;
    const std::uint32_t restored = RestoreChosen(chosen, &unreadable);
    recentIds->Enable();
    RestoreResultBox(window, restored, unreadable);
}

std::u16string_view RestoreQuestion(std::uint32_t command) {
    if (command == kCommandRestoreBySelection) return kRestoreSelectionQuestion;
    if (command == kCommandRestoreNormal) return kRestoreNormalQuestion;
    if (command == kCommandRestoreExtra) return kRestoreExtraQuestion;
    return {};
}

const CommandResult& LastCommandResult() { return lastResult; }

bool OnCommand(platform::ui::HWND window, std::uint32_t command) {
    if (command != kCommandAutomatic) {
        lastResult = CommandResult{};
        lastResult.command = command;
    }
    switch (command) {
        case kCommandOk:
        case kCommandMinimize:
            // The program goes on behind its tray icon.
            platform::ui::ShowWindow(window, platform::ui::SW_HIDE);
            return true;
        case kCommandExit: platform::ui::SendMessageW(window, platform::ui::WM_CLOSE, 0, 0); return true;
        case kCommandExportAll: {
            OpenExporter();
            const int exported = MakeRules(Rule::ExportAll);
            CloseExporter();
            ResultBox(window, exported, fmt::format("{} messages exported successfully.", exported));
            return true;
        }
        case kCommandRestoreNormal: RunRestore(window, RestoreMode::Normal, kRestoreNormalQuestion); return true;
        case kCommandRestoreExtra: RunRestore(window, RestoreMode::Extra, kRestoreExtraQuestion); return true;
        case kCommandBackupAll: {
            BeginBackup(BackupMode::Full);
            const int archived = MakeRules(Rule::BackupAll);
            EndBackup();
            ResultBox(window, archived, fmt::format("Message backup was successfull. ({} messages)", archived));
            return true;
        }
        case kCommandBackupBySelection:
        case kCommandExportBySelection:
            RunSelectionPass(
                window, command == kCommandBackupBySelection ? SelectionMode::Backup : SelectionMode::Export,
                [window] { return platform::dialog::DialogBoxW(window, kSelectionDialog, SelectMessageDlgProc); });
            return true;
        case kCommandRestoreBySelection:
            // Done in the dialog is the confirmation; a dialog closed otherwise restores nothing.
            if (platform::dialog::DialogBoxW(window, kSelectionDialog, RestoreSelectionDlgProc) == 1) {
                RunRestoreSelection(window, restoreChoice);
            }
            return true;
        case kCommandSettings: platform::dialog::DialogBoxW(window, kSettingsDialog, SettingsDlgProc); return true;
        case kCommandAbout: platform::dialog::DialogBoxW(window, kAboutDialog, AboutDlgProc); return true;
        case kCommandAutomatic: RunDueArrivals(window); return true;
        default: return false;
    }
}

}  // namespace tallymere
