#include "platform/dialog_memory.h"

namespace platform::dialog {

namespace {

struct Template {
    int id;
    std::vector<int> trees;
    std::vector<int> fields;
};

// The controls of each template that the program's procedures use.
const Template kTemplates[] = {
    {106, {}, {}},
    {107, {}, {1017}},
    {110, {1036}, {}},
    {120, {1035}, {}},
};

}  // namespace

MemoryDialog::MemoryDialog(int templateId, DialogProc proc) : templateId_(templateId), proc_(std::move(proc)) {
    for (const Template& t : kTemplates) {
        if (t.id != templateId) continue;
        for (int id : t.trees) {
            auto tree = std::make_unique<tree::MemoryTree>(id);
            tree->SetNotify([this](const tree::Notification& n) -> ui::LRESULT {
                return Send(WM_NOTIFY, static_cast<WPARAM>(n.controlId), reinterpret_cast<LPARAM>(&n));
            });
            trees_.emplace(id, std::move(tree));
        }
        for (int id : t.fields) fields_.emplace(id, std::u16string());
    }
}

tree::MemoryTree* MemoryDialog::Tree(int controlId) {
    auto it = trees_.find(controlId);
    return it == trees_.end() ? nullptr : it->second.get();
}

bool MemoryDialog::InitDialog(std::uint32_t flags) {
    initFlags_ = flags;
    return true;
}

std::u16string MemoryDialog::GetItemText(int controlId) {
    auto it = fields_.find(controlId);
    return it == fields_.end() ? std::u16string() : it->second;
}

bool MemoryDialog::SetItemText(int controlId, std::u16string_view text) {
    auto it = fields_.find(controlId);
    if (it == fields_.end()) return false;
    it->second = text;
    return true;
}

bool MemoryDialog::SetFocus(int controlId) {
    if (!fields_.contains(controlId) && !trees_.contains(controlId)) return false;
    focus_ = controlId;
    return true;
}

void MemoryDialog::TrackPopupMenu(std::span<const MenuItem> items, int, tree::Point) {
    menu_.clear();
    for (const MenuItem& item : items) menu_.emplace_back(item.command, std::u16string(item.text));
}

INT_PTR MemoryDialog::DialogBox(int templateId, DialogProc proc) {
    return onDialogBox ? onDialogBox(templateId, std::move(proc)) : kNoDialog;
}

void MemoryDialog::End(INT_PTR result) {
    ended_ = true;
    result_ = result;
}

INT_PTR MemoryDialog::Send(std::uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (ended_) return 0;
    return proc_(*this, message, wParam, lParam);
}

INT_PTR MemoryHost::DialogBox(ui::HWND, int templateId, DialogProc proc) {
    MemoryDialog dialog(templateId, std::move(proc));
    dialog.onDialogBox = [this](int nestedTemplate, DialogProc nestedProc) {
        return DialogBox(nullptr, nestedTemplate, std::move(nestedProc));
    };
    dialog.Init();
    if (!dialog.Ended() && script_) script_(dialog);
    return dialog.Ended() ? dialog.Result() : kNoDialog;
}

}  // namespace platform::dialog
