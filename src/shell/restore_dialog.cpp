#include "shell/restore_dialog.h"

#include <map>
#include <string>

#include "archive/archive_view.h"
#include "archive/qmsg.h"
#include "platform/no_destructor.h"
#include "platform/text.h"
#include "shell/selection_dialog.h"
#include "support/tree_items.h"

namespace tallymere {

namespace dialog = platform::dialog;
namespace tree = platform::tree;

std::vector<bool> restoreChoice;

namespace {

// The open dialog's tree, and which item stands for which index entry.
struct RestoreState {
    TreeView* tree = nullptr;
    std::vector<std::pair<HTREEITEM, std::uint32_t>> entries;  // message item, index position
    std::uint32_t entryCount = 0;
};
platform::NoDestructor<RestoreState> state;

// "who [subject]", as the selection tree labels messages.
std::u16string Label(const qMsg& msg) {
    std::u16string who = !msg.senderName.empty() ? msg.senderName : msg.senderEmail;
    if (who.empty()) {
        for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) who += msg.emailAddress[r] + u" ";
    }
    const std::u16string subject = msg.subjectPrefix + msg.subject;
    if (!subject.empty()) who += u" [" + subject + u"]";
    return who;
}

void Fill(TreeView& tree) {
    ArchiveView view;
    state->entryCount = view.Count();
    // Folders first, so that a folder's subfolders come before its messages.
    struct Folder {
        HTREEITEM item;
        std::u16string name;
        std::uint32_t count = 0;
    };
    std::map<std::u16string, Folder> folders;  // by path
    const auto folderItem = [&](const std::u16string& path) {
        HTREEITEM parent{};
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = path.find(u'/', start);
            const std::u16string prefix = path.substr(0, slash);
            auto found = folders.find(prefix);
            if (found == folders.end()) {
                const std::u16string name = path.substr(start, slash == std::u16string::npos ? slash : slash - start);
                const HTREEITEM item = InsertTreeItem(tree, name, 0, parent, false);
                found = folders.emplace(prefix, Folder{item, name}).first;
            }
            parent = found->second.item;
            if (slash == std::u16string::npos) return parent;
            start = slash + 1;
        }
    };
    for (const std::u16string& path : view.folders) folderItem(path);
    qMsg msg(nullptr, 0, nullptr);
    for (std::uint32_t i = 0; i < view.Count(); ++i) {
        if (!view.Load(i, msg)) continue;  // nothing of it could be restored
        const HTREEITEM parent = folderItem(msg.folderPath);
        const HTREEITEM item = InsertTreeItem(tree, Label(msg), static_cast<std::intptr_t>(i), parent, true);
        if (!view.Present(i)) tree.SetItemImage(item, kImageDeletedMessage, kImageDeletedMessage);
        state->entries.emplace_back(item, i);
        // The message counts in its folder and in every folder above it.
        const std::u16string& path = msg.folderPath;
        for (std::size_t end = path.find(u'/');; end = path.find(u'/', end + 1)) {
            ++folders[path.substr(0, end)].count;
            if (end == std::u16string::npos) break;
        }
    }
    for (const auto& [path, folder] : folders) {
        SetItemText(tree, folder.item, folder.name + u" (" + platform::FromUtf8(std::to_string(folder.count)) + u")");
    }
}

dialog::INT_PTR OnInitDialog(dialog::Dialog& dialog) {
    state->entries.clear();
    state->entryCount = 0;
    state->tree = dialog.GetTree(kSelectionTree);
    dialog.InitDialog(dialog::SHIDIF_DONEBUTTON | dialog::SHIDIF_SIZEDLGFULLSCREEN | dialog::SHIDIF_SIPDOWN);
    if (state->tree == nullptr || !SelectMessageInitImages(*state->tree)) {
        state->tree = nullptr;
        return 1;
    }
    Fill(*state->tree);
    return 1;
}

void OnClick(const tree::Notification& click) { ToggleCheckAt(*state->tree, click.pt); }

void OnDone(dialog::Dialog& dialog) {
    restoreChoice.assign(state->entryCount, false);
    if (state->tree) {
        for (const auto& [item, entry] : state->entries) {
            if (GetItemState(*state->tree, item) == kSelected) restoreChoice[entry] = true;
        }
    }
    state->entries.clear();
    dialog.End(1);
}

}  // namespace

dialog::INT_PTR RestoreSelectionDlgProc(dialog::Dialog& dialog, std::uint32_t message, dialog::WPARAM wParam,
                                        dialog::LPARAM lParam) {
    switch (message) {
        case dialog::WM_INITDIALOG: return OnInitDialog(dialog);
        case dialog::WM_NOTIFY: {
            const auto& n = *reinterpret_cast<const tree::Notification*>(lParam);
            if (!state->tree || n.controlId != kSelectionTree) return 0;
            if (n.code == tree::NM_CLICK) OnClick(n);
            if (n.code == tree::TVN_ITEMEXPANDING) ShowFolderExpanding(*state->tree, n);
            // Labels are not edited here: the archive's folders are what they were.
            if (n.code == tree::TVN_BEGINLABELEDIT) {
                state->tree->EndEditLabelNow(true);
                return 1;
            }
            return 0;
        }
        case platform::ui::WM_COMMAND:
            if ((wParam & 0xFFFF) == platform::ui::IDOK) {
                OnDone(dialog);
                return 1;
            }
            return 0;
        default: return 0;
    }
}

}  // namespace tallymere
