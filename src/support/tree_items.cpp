#include "support/tree_items.h"

namespace tallymere {

namespace tree = platform::tree;

namespace {

constexpr std::uint32_t kCheckBits = 0x3000;

// The OR of the states of the item and of everything below it.
std::uint32_t SubtreeStates(const TreeView& tree, HTREEITEM item) {
    std::uint32_t states = GetItemState(tree, item);
    for (HTREEITEM child = tree.GetChild(item); child; child = tree.GetNextSibling(child)) {
        states |= SubtreeStates(tree, child);
    }
    return states;
}

}  // namespace

std::u16string& StripCountSuffix(std::u16string& text) {
    bool pastParenthesis = false;
    for (std::size_t i = text.size(); i-- > 1;) {
        if (text[i] == u'(') {
            pastParenthesis = true;
        } else if (pastParenthesis && text[i] == u' ') {
            text.resize(i);
            break;
        }
    }
    return text;
}

std::u16string& StripCountSuffixes(std::u16string& text) {
    if (text.empty()) return text;
    enum class Scan { Copying, Skipping, SeekingSpace } scan = Scan::Copying;
    std::u16string kept;  // reversed
    for (std::size_t i = text.size(); i-- > 1;) {
        const char16_t c = text[i];
        switch (scan) {
            case Scan::Copying:
                if (c == u')') {
                    scan = Scan::Skipping;
                } else {
                    kept.push_back(c);
                }
                break;
            case Scan::Skipping:
                if (c == u'(') scan = Scan::SeekingSpace;
                break;
            case Scan::SeekingSpace:
                if (c == u' ') scan = Scan::Copying;
                break;
        }
    }
    if (scan == Scan::Copying) kept.push_back(text[0]);
    text.assign(kept.rbegin(), kept.rend());
    return text;
}

std::u16string GetItemPath(const TreeView& tree, HTREEITEM item, std::u16string_view separator) {
    std::u16string path = tree.GetItemText(item);
    for (HTREEITEM up = tree.GetParent(item); up; up = tree.GetParent(up)) {
        path = tree.GetItemText(up) + std::u16string(separator) + path;
    }
    return path;
}

std::u16string GetItemFolderPath(const TreeView& tree, HTREEITEM item) {
    std::u16string path;
    for (HTREEITEM at = item; at; at = tree.GetParent(at)) {
        std::u16string name = tree.GetItemText(at);
        StripCountSuffix(name);
        path = at == item ? name : name + u'/' + path;
    }
    return path;
}

HTREEITEM InsertTreeItem(TreeView& tree, std::u16string_view text, std::intptr_t value, HTREEITEM parent,
                         bool message) {
    tree::NewItem item;
    item.parent = parent;
    item.after = message ? tree::InsertAfter::Last : tree::InsertAfter::Sort;
    item.text = text;
    item.value = value;
    item.image = item.selectedImage = message ? kImageMessage : kImageClosedFolder;
    item.state = kNotSelected;
    item.stateMask = tree::TVIS_STATEIMAGEMASK;
    return tree.InsertItem(item);
}

std::uint32_t GetItemState(const TreeView& tree, HTREEITEM item) { return tree.GetItemState(item, kCheckBits); }

void SetItemState(TreeView& tree, HTREEITEM item, std::uint32_t state) {
    tree.SetItemState(item, state, tree::TVIS_STATEIMAGEMASK);
}

void SetSubtreeState(TreeView& tree, HTREEITEM item, std::uint32_t state) {
    for (HTREEITEM child = tree.GetChild(item); child; child = tree.GetNextSibling(child)) {
        SetItemState(tree, child, state);
        SetSubtreeState(tree, child, state);
    }
}

void UpdateParentStates(TreeView& tree, HTREEITEM item) {
    for (HTREEITEM at = item; at;) {
        const HTREEITEM parent = tree.GetParent(at);
        if (!parent) return;
        std::uint32_t states = 0;
        for (HTREEITEM sibling = tree.GetChild(parent); sibling; sibling = tree.GetNextSibling(sibling)) {
            states |= SubtreeStates(tree, sibling);
        }
        SetItemState(tree, parent, states);
        at = parent;
    }
}

void CheckItem(TreeView& tree, HTREEITEM item, std::uint32_t state) {
    SetItemState(tree, item, state);
    SetSubtreeState(tree, item, state);
    UpdateParentStates(tree, item);
}

std::u16string GetItemText(const TreeView& tree, HTREEITEM item) { return tree.GetItemText(item); }

void SetItemText(TreeView& tree, HTREEITEM item, std::u16string_view text) { tree.SetItemText(item, text); }

void ToggleCheckAt(TreeView& tree, platform::tree::Point pt) {
    const platform::tree::HitTestInfo hit = tree.HitTest(pt);
    if (!hit.item || (hit.flags & platform::tree::TVHT_ONITEMSTATEICON) == 0) return;
    const std::uint32_t old = GetItemState(tree, hit.item);
    CheckItem(tree, hit.item, old == kSelected || old == kPartlySelected ? kNotSelected : kSelected);
}

}  // namespace tallymere
