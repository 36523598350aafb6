// Dialogs held in memory: the tests drive the program's dialog procedures with them as a user
// would (pressing buttons, typing into fields, ticking and editing in the trees, choosing from
// pop-up menus), and nothing is drawn.
//
// A MemoryDialog has the controls of its template (dialog.h): its trees are MemoryTrees whose
// notifications go to the procedure as WM_NOTIFY, its edit fields hold text. Once the
// procedure has ended the dialog, further messages are not delivered.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog.h"
#include "platform/tree_memory.h"

namespace platform::dialog {

class MemoryDialog final : public Dialog {
public:
    MemoryDialog(int templateId, DialogProc proc);
    MemoryDialog(const MemoryDialog&) = delete;
    MemoryDialog& operator=(const MemoryDialog&) = delete;

    ui::HWND Handle() override { return nullptr; }
    bool InitDialog(std::uint32_t flags) override;
    tree::TreeView* GetTree(int controlId) override { return Tree(controlId); }
    std::u16string GetItemText(int controlId) override;
    bool SetItemText(int controlId, std::u16string_view text) override;
    bool SetFocus(int controlId) override;
    void TrackPopupMenu(std::span<const MenuItem> items, int controlId, tree::Point at) override;
    INT_PTR DialogBox(int templateId, DialogProc proc) override;
    void End(INT_PTR result) override;

    int TemplateId() const { return templateId_; }
    tree::MemoryTree* Tree(int controlId);

    // Delivers a message to the procedure (nothing once the dialog has ended).
    INT_PTR Send(std::uint32_t message, WPARAM wParam, LPARAM lParam);
    INT_PTR Init() { return Send(WM_INITDIALOG, 0, 0); }
    // A button, the Done button (ui::IDOK) or a menu entry.
    INT_PTR Command(std::uint32_t command) { return Send(ui::WM_COMMAND, command, 0); }

    bool Ended() const { return ended_; }
    INT_PTR Result() const { return result_; }
    std::uint32_t InitFlags() const { return initFlags_; }
    int Focus() const { return focus_; }

    // The entries of the pop-up menu shown last (empty when none has been shown since the last
    // call), and forgetting it.
    std::vector<std::pair<std::uint32_t, std::u16string>> TakeMenu() { return std::exchange(menu_, {}); }

    // Runs the dialogs this one opens; without it none can be shown (kNoDialog).
    std::function<INT_PTR(int templateId, DialogProc proc)> onDialogBox;

private:
    int templateId_;
    DialogProc proc_;
    std::map<int, std::unique_ptr<tree::MemoryTree>> trees_;
    std::map<int, std::u16string> fields_;
    std::vector<std::pair<std::uint32_t, std::u16string>> menu_;
    bool ended_ = false;
    INT_PTR result_ = 0;
    std::uint32_t initFlags_ = 0;
    int focus_ = 0;
};

// A host that opens every dialog as a MemoryDialog: WM_INITDIALOG, then `script` plays the user
// until the dialog has ended. Dialogs opened from a dialog run through the same script (it can
// tell them apart by TemplateId()). The script stands in for the dialog's loop: while it waits
// for something another thread sends to a window of its thread, it runs ui::DispatchSentMessages.
class MemoryHost final : public Host {
public:
    explicit MemoryHost(std::function<void(MemoryDialog&)> script) : script_(std::move(script)) {}
    INT_PTR DialogBox(ui::HWND owner, int templateId, DialogProc proc) override;

private:
    std::function<void(MemoryDialog&)> script_;
};

}  // namespace platform::dialog
