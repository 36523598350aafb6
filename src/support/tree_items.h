// Helpers over a tree control (platform/tree.h) for the selection tree and the folder browser:
// inserting items, reading and writing their texts, building an item's path, and keeping the
// three-state check marks consistent between an item, everything below it and its ancestors.
//
// Check marks are the items' state images: kNotSelected (an empty box), kSelected (a ticked
// box) and kPartlySelected (ticked on grey). Since they are 0x1000, 0x2000 and 0x3000, the
// bitwise OR of several items' states is kNotSelected when none is selected, kSelected when all
// are, and kPartlySelected otherwise: an ancestor shows the OR of everything below it.
//
// Stores and folders are labelled "Name (count)"; StripCountSuffix undoes that label.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tree.h"

namespace tallymere {

using platform::tree::HTREEITEM;
using platform::tree::TreeView;

constexpr std::uint32_t kNotSelected = 0x1000;
constexpr std::uint32_t kSelected = 0x2000;
constexpr std::uint32_t kPartlySelected = 0x3000;

// Pictures of the normal image list (bitmap 124).
constexpr int kImageOpenFolder = 0;
constexpr int kImageClosedFolder = 1;
constexpr int kImageMessage = 4;
constexpr int kImageDeletedMessage = 2;  // an archived message deleted from the store

// Cuts a trailing count such as " (12)", in place: scanning from the last character down to
// the second, the first " " met after a "(" ends the text. "Inbox (12)" becomes "Inbox",
// "Work (old) (3)" becomes "Work (old)"; a text without "(" or without a space before it stays.
std::u16string& StripCountSuffix(std::u16string& text);

// Removes every parenthesised group with the space before it (and whatever lies between the
// two), in place: "SMS (12)/Inbox (3)" becomes "SMS/Inbox", "a bc(1)" becomes "a".
std::u16string& StripCountSuffixes(std::u16string& text);

// The texts of the item's ancestors and of the item, from the root down, joined by `separator`.
std::u16string GetItemPath(const TreeView& tree, HTREEITEM item, std::u16string_view separator);

// The folder path a store or folder item of the selection tree stands for: the names of its
// ancestors and its own, each without its count, joined by "/".
std::u16string GetItemFolderPath(const TreeView& tree, HTREEITEM item);

// Inserts an item, not selected, under `parent` (null: at the root level). A message item gets
// the message picture and goes after its last sibling; any other gets the closed folder and
// goes among its siblings in sorted order.
HTREEITEM InsertTreeItem(TreeView& tree, std::u16string_view text, std::intptr_t value, HTREEITEM parent, bool message);

// The item's check state (its bits under 0x3000), and setting it.
std::uint32_t GetItemState(const TreeView& tree, HTREEITEM item);
void SetItemState(TreeView& tree, HTREEITEM item, std::uint32_t state);

// Gives every item below `item` the state.
void SetSubtreeState(TreeView& tree, HTREEITEM item, std::uint32_t state);

// Recomputes the state of every ancestor of the item: each shows the OR of the states of all
// items below it.
void UpdateParentStates(TreeView& tree, HTREEITEM item);

// What a tick does: the item and everything below it take the state, and its ancestors follow.
void CheckItem(TreeView& tree, HTREEITEM item, std::uint32_t state);

// A click at `pt`: on an item's check box it ticks the item (with everything below it), or clears
// a ticked or partly ticked one; anywhere else it does nothing. The control does not step the box
// itself: the item is left at its new state directly.
void ToggleCheckAt(TreeView& tree, platform::tree::Point pt);

std::u16string GetItemText(const TreeView& tree, HTREEITEM item);
void SetItemText(TreeView& tree, HTREEITEM item, std::u16string_view text);

}  // namespace tallymere
