#include "platform/tree_memory.h"

#include <algorithm>

#include "platform/text.h"

namespace platform::tree {

const MemoryTree::Node* MemoryTree::Find(HTREEITEM item) const {
    if (!item || item.id > nodes_.size()) return nullptr;
    const Node& node = nodes_[item.id - 1];
    return node.deleted ? nullptr : &node;
}

MemoryTree::Node* MemoryTree::Find(HTREEITEM item) {
    return const_cast<Node*>(static_cast<const MemoryTree*>(this)->Find(item));
}

LRESULT MemoryTree::Notify(Notification notification) const {
    notification.controlId = controlId_;
    return notify_ ? notify_(notification) : 0;
}

HTREEITEM MemoryTree::InsertItem(const NewItem& item) {
    if (item.parent && !Find(item.parent)) return {};
    const std::uint64_t parent = item.parent.id;
    // The sibling the new item goes before (0: at the end).
    std::uint64_t before = 0;
    if (item.after == InsertAfter::Sort) {
        before = FirstChild(parent);
        while (before != 0 && CompareNoCase(nodes_[before - 1].text, item.text) <= 0) before = nodes_[before - 1].next;
    }
    Node node;
    node.parent = parent;
    node.text = item.text;
    node.value = item.value;
    node.image = item.image;
    node.selectedImage = item.selectedImage;
    node.state = item.state & item.stateMask;
    nodes_.push_back(std::move(node));
    const std::uint64_t id = nodes_.size();
    Node& added = nodes_[id - 1];
    if (before == 0) {
        added.previous = LastChild(parent);
        if (added.previous != 0) nodes_[added.previous - 1].next = id;
        LastChild(parent) = id;
        if (FirstChild(parent) == 0) FirstChild(parent) = id;
    } else {
        added.next = before;
        added.previous = nodes_[before - 1].previous;
        nodes_[before - 1].previous = id;
        if (added.previous != 0) {
            nodes_[added.previous - 1].next = id;
        } else {
            FirstChild(parent) = id;
        }
    }
    ++live_;
    return HTREEITEM{id};
}

bool MemoryTree::IsWithin(std::uint64_t id, std::uint64_t ancestor) const {
    for (std::uint64_t at = id; at != 0; at = nodes_[at - 1].parent) {
        if (at == ancestor) return true;
    }
    return false;
}

void MemoryTree::MarkDeleted(std::uint64_t id) {
    nodes_[id - 1].deleted = true;
    --live_;
    for (std::uint64_t child = nodes_[id - 1].firstChild; child != 0; child = nodes_[child - 1].next) {
        MarkDeleted(child);
    }
}

bool MemoryTree::DeleteItem(HTREEITEM item) {
    const Node* node = Find(item);
    if (!node) return false;
    // An editor open on the item or below it goes with it, without a notification.
    if (editing_ && IsWithin(editing_.id, item.id)) editing_ = {};
    if (selection_ && IsWithin(selection_.id, item.id)) selection_ = {};
    const std::uint64_t parent = node->parent;
    const std::uint64_t previous = node->previous;
    const std::uint64_t next = node->next;
    (previous != 0 ? nodes_[previous - 1].next : FirstChild(parent)) = next;
    (next != 0 ? nodes_[next - 1].previous : LastChild(parent)) = previous;
    MarkDeleted(item.id);
    return true;
}

std::u16string MemoryTree::GetItemText(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->text : std::u16string();
}

bool MemoryTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    Node* node = Find(item);
    if (!node) return false;
    node->text = text;
    return true;
}

std::uint32_t MemoryTree::GetItemState(HTREEITEM item, std::uint32_t mask) const {
    const Node* node = Find(item);
    if (!node) return 0;
    std::uint32_t state = node->state & ~(TVIS_EXPANDED | TVIS_SELECTED);
    if (node->expanded) state |= TVIS_EXPANDED;
    if (selection_ == item) state |= TVIS_SELECTED;
    return state & mask;
}

bool MemoryTree::SetItemState(HTREEITEM item, std::uint32_t state, std::uint32_t mask) {
    Node* node = Find(item);
    if (!node) return false;
    node->state = (node->state & ~mask) | (state & mask);
    return true;
}

LPARAM MemoryTree::GetItemValue(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->value : 0;
}

bool MemoryTree::SetItemImage(HTREEITEM item, int image, int selectedImage) {
    Node* node = Find(item);
    if (!node) return false;
    node->image = image;
    node->selectedImage = selectedImage;
    return true;
}

int MemoryTree::GetItemImage(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->image : -1;
}

HTREEITEM MemoryTree::GetParent(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? HTREEITEM{node->parent} : HTREEITEM{};
}

HTREEITEM MemoryTree::GetChild(HTREEITEM item) const {
    if (item && !Find(item)) return {};
    return HTREEITEM{FirstChild(item.id)};
}

HTREEITEM MemoryTree::GetNextSibling(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? HTREEITEM{node->next} : HTREEITEM{};
}

bool MemoryTree::SelectItem(HTREEITEM item) {
    if (item && !Find(item)) return false;
    selection_ = item;
    return true;
}

bool MemoryTree::Expand(HTREEITEM item, std::uint32_t action) {
    Node* node = Find(item);
    if (!node || (action != TVE_EXPAND && action != TVE_COLLAPSE)) return false;
    Notification n;
    n.code = TVN_ITEMEXPANDING;
    n.item = item;
    n.action = action;
    if (Notify(n) != 0) return false;
    // The receiver may have deleted the item meanwhile.
    if ((node = Find(item)) == nullptr) return false;
    node->expanded = action == TVE_EXPAND;
    return true;
}

bool MemoryTree::EditLabel(HTREEITEM item) {
    if (!Find(item)) return false;
    if (editing_) EndEditLabelNow(false);
    editing_ = item;
    editText_ = GetItemText(item);
    Notification n;
    n.code = TVN_BEGINLABELEDIT;
    n.item = item;
    if (Notify(n) != 0) editing_ = {};
    return editing_ == item;
}

bool MemoryTree::EndEditLabelNow(bool cancel) {
    if (!editing_) return false;
    const HTREEITEM item = editing_;
    editing_ = {};
    Notification n;
    n.code = TVN_ENDLABELEDIT;
    n.item = item;
    if (!cancel) n.text = editText_;
    if (Notify(n) != 0 && n.text) SetItemText(item, *n.text);
    return true;
}

bool MemoryTree::SetImageList(int which, const images::ImageList& list) {
    if (which == TVSIL_NORMAL) {
        normalImages_ = list;
    } else if (which == TVSIL_STATE) {
        stateImages_ = list;
    } else {
        return false;
    }
    return true;
}

bool MemoryTree::HasImageList(int which) const {
    return which == TVSIL_NORMAL ? normalImages_.has_value() : which == TVSIL_STATE && stateImages_.has_value();
}

bool MemoryTree::IsExpanded(HTREEITEM item) const {
    const Node* node = Find(item);
    return node && node->expanded;
}

std::vector<std::pair<std::uint64_t, int>> MemoryTree::Rows() const {
    std::vector<std::pair<std::uint64_t, int>> rows;
    // Depth-first, children of expanded items only.
    std::uint64_t at = firstRoot_;
    int depth = 0;
    while (at != 0) {
        rows.emplace_back(at, depth);
        const Node& node = nodes_[at - 1];
        if (node.expanded && node.firstChild != 0) {
            at = node.firstChild;
            ++depth;
            continue;
        }
        // The next sibling, else the next sibling of the nearest ancestor that has one.
        while (at != 0 && nodes_[at - 1].next == 0) {
            at = nodes_[at - 1].parent;
            --depth;
        }
        if (at != 0) at = nodes_[at - 1].next;
    }
    return rows;
}

HitTestInfo MemoryTree::HitTest(Point pt) const {
    HitTestInfo hit;
    if (pt.x < 0 || pt.y < 0) return hit;
    const auto rows = Rows();
    const std::size_t row = static_cast<std::size_t>(pt.y / kRowHeight);
    if (row >= rows.size()) return hit;
    const auto [id, depth] = rows[row];
    const Node& node = nodes_[id - 1];
    hit.item = HTREEITEM{id};
    int x = depth * kIndent;
    if (pt.x < x) {
        hit.flags = TVHT_ONITEMINDENT;
        return hit;
    }
    x += kIndent;
    if (pt.x < x) {
        hit.flags = TVHT_ONITEMBUTTON;
        return hit;
    }
    if (stateImages_ && ((node.state & TVIS_STATEIMAGEMASK) >> 12) != 0) {
        x += 16;
        if (pt.x < x) {
            hit.flags = TVHT_ONITEMSTATEICON;
            return hit;
        }
    }
    if (normalImages_) {
        x += 16;
        if (pt.x < x) {
            hit.flags = TVHT_ONITEMICON;
            return hit;
        }
    }
    x += kCharWidth * static_cast<int>(node.text.size());
    hit.flags = pt.x < x ? TVHT_ONITEMLABEL : TVHT_ONITEMRIGHT;
    return hit;
}

std::optional<Point> MemoryTree::PointOn(HTREEITEM item, std::uint32_t part) const {
    if (!Find(item)) return std::nullopt;
    const auto rows = Rows();
    const auto at = std::find_if(rows.begin(), rows.end(), [&](const auto& row) { return row.first == item.id; });
    if (at == rows.end()) return std::nullopt;
    const int y = static_cast<int>(at - rows.begin()) * kRowHeight + kRowHeight / 2;
    // Scan the row from its left edge for a pixel of that part.
    const int width = (at->second + 3) * kIndent + kCharWidth * static_cast<int>(GetItemText(item).size()) + 1;
    for (int x = 0; x <= width; ++x) {
        const HitTestInfo hit = HitTest({x, y});
        if (hit.flags == part) {
            int end = x;
            while (end + 1 <= width && HitTest({end + 1, y}).flags == part) ++end;
            return Point{(x + end) / 2, y};
        }
    }
    return std::nullopt;
}

LRESULT MemoryTree::Click(Point pt) {
    Notification n;
    n.code = NM_CLICK;
    n.pt = pt;
    return Notify(n);
}

LRESULT MemoryTree::LongPress(Point pt) {
    Notification n;
    n.code = GN_CONTEXTMENU;
    n.pt = pt;
    return Notify(n);
}

}  // namespace platform::tree
