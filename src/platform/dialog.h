// Modal dialogs, shaped like the device's dialog calls: a dialog is made from its template by
// number, and a dialog procedure written by the program receives its messages:
//   WM_INITDIALOG  once, before the dialog shows
//   WM_COMMAND     a button, the Done button in the caption (IDOK) or a menu entry; the
//                  command in the low 16 bits of wParam
//   WM_NOTIFY      a notification of one of its controls: wParam the control's id, lParam
//                  points to the control's notification record (tree::Notification for a tree)
// The procedure returns non-zero for a message it handled. It ends the dialog with End; the
// dialog closes when the procedure returns, and DialogBoxW returns the result given to End.
//
// Two ports: `Dialog` is the open dialog as its procedure sees it (its controls, its end, its
// pop-up menu, dialogs it opens in turn), and `Host` opens dialogs. A front end installs its
// host (the desktop program builds real windows from the templates); without one, no dialog
// can be shown. While a dialog is up, the host keeps running what other threads send to the
// windows of its thread (ui::DispatchSentMessages), so the notification sink's command still
// reaches the main window. The in-memory host is in dialog_memory.h.
//
// Templates and controls the program uses:
//   106  about: caption "Tallymere"; static bitmap 1053 (bitmap 126), the texts "Tallymere v2.2"
//        and a web-address line; OK in the caption (IDOK)
//   107  settings: caption "Tallymere Settings"; "Output Directory:", edit field 1017, buttons
//        1015 "Select Folder", 1009 "OK", 1010 "Cancel"
//   110  folder browser: caption "Tallymere"; tree 1036 (buttons, lines, label editing, no check
//        boxes), Done in the caption
//   120  selection: caption "Tallymere"; tree 1035 (the same with check boxes: the state image
//        list), Done in the caption
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/tree.h"
#include "platform/ui.h"
#include "platform/window.h"

namespace platform::dialog {

using ui::LPARAM;
using ui::WPARAM;
using INT_PTR = std::intptr_t;

constexpr std::uint32_t WM_NOTIFY = 0x004E;
constexpr std::uint32_t WM_INITDIALOG = 0x0110;

// InitDialog flags.
constexpr std::uint32_t SHIDIF_DONEBUTTON = 0x0001;         // Done in the caption: WM_COMMAND IDOK
constexpr std::uint32_t SHIDIF_SIZEDLGFULLSCREEN = 0x0004;  // the dialog fills the screen
constexpr std::uint32_t SHIDIF_SIPDOWN = 0x0008;            // the input panel goes down

// What DialogBoxW returns for a dialog that could not be shown, or that was closed without its
// procedure ending it (the window closed by other means).
constexpr INT_PTR kNoDialog = -1;

// An entry of a pop-up menu.
struct MenuItem {
    std::uint32_t command;
    std::u16string_view text;
};

class Dialog;
using DialogProc = std::function<INT_PTR(Dialog& dialog, std::uint32_t message, WPARAM wParam, LPARAM lParam)>;

class Dialog {
public:
    virtual ~Dialog() = default;

    // The dialog as the owner of the message boxes it shows (null: the front end chooses).
    virtual ui::HWND Handle() = 0;
    // Shapes the dialog (SHIDIF_* flags).
    virtual bool InitDialog(std::uint32_t flags) = 0;
    // The tree control of that id; null when the dialog has none.
    virtual tree::TreeView* GetTree(int controlId) = 0;
    // The text of an edit field, whole; setting it; giving it the input focus.
    virtual std::u16string GetItemText(int controlId) = 0;
    virtual bool SetItemText(int controlId, std::u16string_view text) = 0;
    virtual bool SetFocus(int controlId) = 0;
    // Shows a pop-up menu at a point of a control (in the control's coordinates) and returns at
    // once. The entry the user chooses reaches the procedure afterwards as WM_COMMAND with its
    // command; a menu dismissed sends nothing.
    virtual void TrackPopupMenu(std::span<const MenuItem> items, int controlId, tree::Point at) = 0;
    // Opens a modal dialog owned by this one and returns its result (kNoDialog as above).
    virtual INT_PTR DialogBox(int templateId, DialogProc proc) = 0;
    // Ends the dialog with `result` once the procedure returns.
    virtual void End(INT_PTR result) = 0;
};

class Host {
public:
    virtual ~Host() = default;
    // Makes the dialog of `templateId`, runs WM_INITDIALOG and keeps the dialog up, modal to
    // `owner`, until its procedure ends it; returns the result (kNoDialog as above).
    virtual INT_PTR DialogBox(ui::HWND owner, int templateId, DialogProc proc) = 0;
};

// Installs the front end's host (not owned; null: none) and returns the previous one.
Host* SetHost(Host* host);

// A modal dialog through the installed host; kNoDialog without one.
INT_PTR DialogBoxW(ui::HWND owner, int templateId, DialogProc proc);

}  // namespace platform::dialog
