#include "platform/qt/qt_tree.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>

#include <algorithm>

#include "platform/text.h"

namespace platform::qt {

namespace {

using tree::HTREEITEM;

// What each row keeps besides its text.
constexpr int kIdRole = Qt::UserRole;
constexpr int kStateRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;
constexpr int kSelectedImageRole = Qt::UserRole + 3;

QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string FromQString(const QString& text) { return text.toStdU16String(); }

QPixmap ToPixmap(const images::Image& image) {
    QImage picture(image.width, image.height, QImage::Format_ARGB32);
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const auto at = static_cast<std::size_t>(y * image.width + x);
            const images::COLORREF c = image.pixels[at];
            const QRgb colour =
                qRgb(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
            picture.setPixel(x, y, image.transparent[at] ? qRgba(0, 0, 0, 0) : colour);
        }
    }
    return QPixmap::fromImage(picture);
}

}  // namespace

// Paints a row's check box, picture and label where LayoutRow puts them, and edits labels in a
// line edit over the label. The edited text goes to the program, never into the row by itself.
class QtTree::Delegate final : public QStyledItemDelegate {
public:
    Delegate(QtTree* tree, QObject* parent) : QStyledItemDelegate(parent), tree_(tree) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const RowLayout row = tree_->LayoutRow(QRect(0, 0, 0, 0), index, option.fontMetrics);
        return {row.label.right() + 1 + kGap, std::max(option.fontMetrics.height(), kPictureWidth) + 8};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const QString text = opt.text;
        // The style draws the row's background (selection, hover, focus), the rest is drawn here.
        opt.text.clear();
        opt.icon = QIcon();
        opt.features &= ~(QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration);
        // The keyboard's place is shown on a selected row only: a row merely current (the first
        // one, when the tree gets the focus) must not look chosen.
        if ((opt.state & QStyle::State_Selected) == 0) opt.state &= ~QStyle::State_HasFocus;
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const RowLayout row = tree_->LayoutRow(option.rect, index, option.fontMetrics);
        const bool selected = (option.state & QStyle::State_Selected) != 0;
        auto draw = [&](const QRect& where, const QPixmap* picture) {
            if (picture == nullptr || where.isEmpty()) return;
            painter->drawPixmap(where.left(), where.top() + (where.height() - picture->height()) / 2, *picture);
        };
        draw(row.stateIcon, tree_->StatePicture(index));
        draw(row.icon, tree_->Picture(index, selected));
        painter->save();
        const QPalette::ColorGroup group =
            (option.state & QStyle::State_Enabled) ? QPalette::Normal : QPalette::Disabled;
        painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setFont(option.font);
        const QRect room(row.label.left(), option.rect.top(), option.rect.right() - row.label.left(),
                         option.rect.height());
        painter->drawText(room, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          option.fontMetrics.elidedText(text, Qt::ElideRight, room.width()));
        painter->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
        auto* editor = new QLineEdit(parent);
        editor->setObjectName(QStringLiteral("labelEditor"));
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        auto* line = static_cast<QLineEdit*>(editor);
        line->setText(index.data(Qt::DisplayRole).toString());
        line->selectAll();
    }

    // The view hands the text to the program (closeEditor); the row keeps its text meanwhile.
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override {
        const RowLayout row = tree_->LayoutRow(option.rect, index, option.fontMetrics);
        const int left = row.label.left() - kGap;
        editor->setGeometry(left, option.rect.top(), std::max(option.rect.right() - left, 60), option.rect.height());
    }

private:
    QtTree* tree_;
};

class QtTree::View final : public QTreeWidget {
public:
    View(QtTree* tree, QWidget* parent) : QTreeWidget(parent), tree_(tree) {
        setObjectName(QStringLiteral("tree%1").arg(tree->ControlId()));
        setColumnCount(1);
        setHeaderHidden(true);
        header()->setStretchLastSection(true);
        setItemDelegate(new Delegate(tree, this));
        setEditTriggers(QAbstractItemView::NoEditTriggers);
        setSelectionMode(QAbstractItemView::SingleSelection);
        setUniformRowHeights(true);
        setRootIsDecorated(true);
        setExpandsOnDoubleClick(true);
        setContextMenuPolicy(Qt::DefaultContextMenu);
        longPress_.setSingleShot(true);
        longPress_.setInterval(kLongPressMs);
        connect(&longPress_, &QTimer::timeout, this, [this] {
            longPressed_ = true;
            tree_->OnContextMenu(pressedAt_);
        });
        connect(this, &QTreeWidget::itemExpanded, this,
                [this](QTreeWidgetItem* item) { tree_->OnExpandedByUser(item, true); });
        connect(this, &QTreeWidget::itemCollapsed, this,
                [this](QTreeWidgetItem* item) { tree_->OnExpandedByUser(item, false); });
    }

    void Detach() { tree_ = nullptr; }

    // Closes the open editor as Enter (its text taken) or Escape (`cancel`) would.
    void CloseEditor(QWidget* editor, bool cancel) {
        if (!cancel) commitData(editor);
        closeEditor(editor, cancel ? QAbstractItemDelegate::RevertModelCache : QAbstractItemDelegate::NoHint);
    }

    using QTreeWidget::indexFromItem;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        longPressed_ = false;
        if (event->button() == Qt::LeftButton) {
            pressedAt_ = event->position().toPoint();
            longPress_.start();
        }
        QTreeWidget::mousePressEvent(event);
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (longPress_.isActive() &&
            (event->position().toPoint() - pressedAt_).manhattanLength() > QApplication::startDragDistance()) {
            longPress_.stop();
        }
        QTreeWidget::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        longPress_.stop();
        QTreeWidget::mouseReleaseEvent(event);
        if (event->button() != Qt::LeftButton || tree_ == nullptr) return;
        // A press held for the context menu is not also a click.
        if (std::exchange(longPressed_, false)) return;
        tree_->OnClick(event->position().toPoint());
    }

    void contextMenuEvent(QContextMenuEvent* event) override {
        event->accept();
        if (tree_ == nullptr) return;
        if (event->reason() != QContextMenuEvent::Keyboard) {
            tree_->OnContextMenu(event->pos());
            return;
        }
        // The menu key: on the current row, or on no row when there is none.
        const QRect label =
            currentItem() ? tree_->PartRect(tree_->HandleOf(currentItem()), tree::TVHT_ONITEMLABEL) : QRect();
        tree_->OnContextMenu(label.isEmpty() ? QPoint(-1, -1) : label.center());
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && tree_ != nullptr &&
            currentItem() != nullptr) {
            const HTREEITEM item = tree_->HandleOf(currentItem());
            scrollToItem(currentItem());
            const QRect box = tree_->PartRect(item, tree::TVHT_ONITEMSTATEICON);
            if (!box.isEmpty()) {
                tree_->OnClick(box.center());
                return;
            }
        }
        QTreeWidget::keyPressEvent(event);
    }

    // Enter, or leaving the editor: its text is kept for closeEditor.
    void commitData(QWidget* editor) override {
        if (auto* line = qobject_cast<QLineEdit*>(editor)) committed_ = FromQString(line->text());
    }

    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override {
        std::optional<std::u16string> text = std::exchange(committed_, std::nullopt);
        if (hint == QAbstractItemDelegate::RevertModelCache) text.reset();
        QTreeWidget::closeEditor(editor, hint);
        if (tree_ != nullptr) tree_->OnEditorClosed(std::move(text));
    }

private:
    QtTree* tree_;
    QTimer longPress_;
    QPoint pressedAt_;
    bool longPressed_ = false;
    std::optional<std::u16string> committed_;
};

QtTree::QtTree(int controlId, QWidget* parent) : controlId_(controlId), view_(new View(this, parent)) {}

QtTree::~QtTree() {
    if (view_) {
        view_->Detach();
        delete view_.data();
    }
}

QTreeWidget* QtTree::Widget() const { return view_.data(); }

const QtTree::Node* QtTree::Find(HTREEITEM item) const {
    const auto it = nodes_.find(item.id);
    return it == nodes_.end() ? nullptr : &it->second;
}

HTREEITEM QtTree::HandleOf(const QTreeWidgetItem* item) const {
    return item ? HTREEITEM{item->data(0, kIdRole).toULongLong()} : HTREEITEM{};
}

QTreeWidgetItem* QtTree::ItemOf(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->item : nullptr;
}

tree::LRESULT QtTree::Notify(tree::Notification notification) const {
    notification.controlId = controlId_;
    return notify_ ? notify_(notification) : 0;
}

HTREEITEM QtTree::InsertItem(const tree::NewItem& item) {
    if (!view_ || (item.parent && !Find(item.parent))) return {};
    const std::uint64_t parent = item.parent.id;
    // The sibling the new item goes before (0: at the end), and its place among the siblings.
    std::uint64_t before = 0;
    int index = 0;
    if (item.after == tree::InsertAfter::Sort) {
        before = FirstChild(parent);
        while (before != 0 && CompareNoCase(nodes_.at(before).text, item.text) <= 0) {
            before = nodes_.at(before).next;
            ++index;
        }
    }
    const std::uint64_t id = nextId_++;
    auto* row = new QTreeWidgetItem();
    row->setText(0, ToQString(item.text));
    row->setData(0, kIdRole, QVariant::fromValue<qulonglong>(id));
    row->setData(0, kStateRole, item.state & item.stateMask & tree::TVIS_STATEIMAGEMASK);
    row->setData(0, kImageRole, item.image);
    row->setData(0, kSelectedImageRole, item.selectedImage);
    QTreeWidgetItem* parentRow = parent == 0 ? nullptr : nodes_.at(parent).item;
    if (before == 0) {
        if (parentRow) {
            parentRow->addChild(row);
        } else {
            view_->addTopLevelItem(row);
        }
    } else if (parentRow) {
        parentRow->insertChild(index, row);
    } else {
        view_->insertTopLevelItem(index, row);
    }

    Node node;
    node.item = row;
    node.parent = parent;
    node.text = item.text;
    node.value = item.value;
    if (before == 0) {
        node.previous = LastChild(parent);
        if (node.previous != 0) nodes_.at(node.previous).next = id;
        LastChild(parent) = id;
        if (FirstChild(parent) == 0) FirstChild(parent) = id;
    } else {
        node.next = before;
        node.previous = nodes_.at(before).previous;
        nodes_.at(before).previous = id;
        if (node.previous != 0) {
            nodes_.at(node.previous).next = id;
        } else {
            FirstChild(parent) = id;
        }
    }
    nodes_.emplace(id, std::move(node));
    return HTREEITEM{id};
}

void QtTree::Forget(std::uint64_t id) {
    for (std::uint64_t child = nodes_.at(id).firstChild; child != 0;) {
        const std::uint64_t next = nodes_.at(child).next;
        Forget(child);
        child = next;
    }
    nodes_.erase(id);
}

bool QtTree::DeleteItem(HTREEITEM item) {
    const Node* node = Find(item);
    if (!node || !view_) return false;
    // An editor open on the item or below it goes with it (the view lets it go with its row),
    // without a notification.
    for (HTREEITEM at = editing_; at; at = GetParent(at)) {
        if (at == item) {
            editing_ = {};
            break;
        }
    }
    QTreeWidgetItem* row = node->item;
    const std::uint64_t parent = node->parent;
    const std::uint64_t previous = node->previous;
    const std::uint64_t next = node->next;
    (previous != 0 ? nodes_.at(previous).next : FirstChild(parent)) = next;
    (next != 0 ? nodes_.at(next).previous : LastChild(parent)) = previous;
    Forget(item.id);
    delete row;  // takes its rows below with it
    return true;
}

std::u16string QtTree::GetItemText(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->text : std::u16string();
}

bool QtTree::SetItemText(HTREEITEM item, std::u16string_view text) {
    const auto it = nodes_.find(item.id);
    if (it == nodes_.end()) return false;
    it->second.text = text;
    it->second.item->setText(0, ToQString(text));
    return true;
}

std::uint32_t QtTree::GetItemState(HTREEITEM item, std::uint32_t mask) const {
    const Node* node = Find(item);
    if (!node) return 0;
    std::uint32_t state = node->item->data(0, kStateRole).toUInt();
    if (node->item->isExpanded()) state |= tree::TVIS_EXPANDED;
    if (node->item->isSelected()) state |= tree::TVIS_SELECTED;
    return state & mask;
}

bool QtTree::SetItemState(HTREEITEM item, std::uint32_t state, std::uint32_t mask) {
    const Node* node = Find(item);
    if (!node) return false;
    // Only the state image is kept here; expanding and selecting have calls of their own.
    const std::uint32_t kept = node->item->data(0, kStateRole).toUInt();
    const std::uint32_t imageMask = mask & tree::TVIS_STATEIMAGEMASK;
    node->item->setData(0, kStateRole, (kept & ~imageMask) | (state & imageMask));
    return true;
}

tree::LPARAM QtTree::GetItemValue(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->value : 0;
}

bool QtTree::SetItemImage(HTREEITEM item, int image, int selectedImage) {
    const Node* node = Find(item);
    if (!node) return false;
    node->item->setData(0, kImageRole, image);
    node->item->setData(0, kSelectedImageRole, selectedImage);
    return true;
}

int QtTree::GetItemImage(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? node->item->data(0, kImageRole).toInt() : -1;
}

HTREEITEM QtTree::GetParent(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? HTREEITEM{node->parent} : HTREEITEM{};
}

HTREEITEM QtTree::GetChild(HTREEITEM item) const {
    if (!item) return HTREEITEM{firstRoot_};
    const Node* node = Find(item);
    return node ? HTREEITEM{node->firstChild} : HTREEITEM{};
}

HTREEITEM QtTree::GetNextSibling(HTREEITEM item) const {
    const Node* node = Find(item);
    return node ? HTREEITEM{node->next} : HTREEITEM{};
}

HTREEITEM QtTree::GetSelection() const {
    if (!view_) return {};
    const QList<QTreeWidgetItem*> selected = view_->selectedItems();
    return selected.isEmpty() ? HTREEITEM{} : HandleOf(selected.front());
}

bool QtTree::SelectItem(HTREEITEM item) {
    if (!view_) return false;
    if (!item) {
        view_->clearSelection();
        view_->setCurrentItem(nullptr);
        return true;
    }
    const Node* node = Find(item);
    if (!node) return false;
    view_->setCurrentItem(node->item);
    view_->scrollToItem(node->item);
    return true;
}

bool QtTree::Expand(HTREEITEM item, std::uint32_t action) {
    if (!Find(item) || (action != tree::TVE_EXPAND && action != tree::TVE_COLLAPSE)) return false;
    tree::Notification n;
    n.code = tree::TVN_ITEMEXPANDING;
    n.item = item;
    n.action = action;
    if (Notify(n) != 0) return false;
    // The receiver may have deleted the item meanwhile.
    const Node* node = Find(item);
    if (!node) return false;
    expandingByProgram_ = true;
    node->item->setExpanded(action == tree::TVE_EXPAND);
    expandingByProgram_ = false;
    return true;
}

void QtTree::OnExpandedByUser(QTreeWidgetItem* row, bool expanded) {
    if (expandingByProgram_) return;
    tree::Notification n;
    n.code = tree::TVN_ITEMEXPANDING;
    n.item = HandleOf(row);
    n.action = expanded ? tree::TVE_EXPAND : tree::TVE_COLLAPSE;
    if (Notify(n) == 0) return;
    // Refused: back as it was.
    if (const Node* node = Find(n.item)) {
        expandingByProgram_ = true;
        node->item->setExpanded(!expanded);
        expandingByProgram_ = false;
    }
}

QWidget* QtTree::Editor() const {
    if (!view_ || !editing_) return nullptr;
    const Node* node = Find(editing_);
    return node ? view_->indexWidget(view_->indexFromItem(node->item)) : nullptr;
}

bool QtTree::EditLabel(HTREEITEM item) {
    if (!view_ || !Find(item)) return false;
    if (editing_) EndEditLabelNow(false);
    editing_ = item;
    tree::Notification n;
    n.code = tree::TVN_BEGINLABELEDIT;
    n.item = item;
    if (Notify(n) != 0) editing_ = {};
    const Node* node = Find(item);
    if (editing_ != item || !node) return false;
    // The row is editable while its editor is open, and only then.
    node->item->setFlags(node->item->flags() | Qt::ItemIsEditable);
    view_->scrollToItem(node->item);
    view_->setCurrentItem(node->item);
    view_->editItem(node->item, 0);
    if (Editor() == nullptr) {
        node->item->setFlags(node->item->flags() & ~Qt::ItemIsEditable);
        editing_ = {};
        return false;
    }
    Editor()->setFocus();
    return true;
}

bool QtTree::EndEditLabelNow(bool cancel) {
    if (!editing_) return false;
    QWidget* editor = Editor();
    if (editor == nullptr) {
        // Asked while the editor is being opened (TVN_BEGINLABELEDIT): it does not open.
        const HTREEITEM item = std::exchange(editing_, HTREEITEM{});
        tree::Notification n;
        n.code = tree::TVN_ENDLABELEDIT;
        n.item = item;
        Notify(n);
        return true;
    }
    view_->CloseEditor(editor, cancel);
    return true;
}

void QtTree::OnEditorClosed(std::optional<std::u16string> text) {
    const HTREEITEM item = std::exchange(editing_, HTREEITEM{});
    if (!item) return;
    if (const Node* node = Find(item)) node->item->setFlags(node->item->flags() & ~Qt::ItemIsEditable);
    tree::Notification n;
    n.code = tree::TVN_ENDLABELEDIT;
    n.item = item;
    n.text = std::move(text);
    if (Notify(n) != 0 && n.text) SetItemText(item, *n.text);
}

void QtTree::OnClick(QPoint pt) {
    tree::Notification n;
    n.code = tree::NM_CLICK;
    n.pt = {pt.x(), pt.y()};
    Notify(n);
}

void QtTree::OnContextMenu(QPoint pt) {
    tree::Notification n;
    n.code = tree::GN_CONTEXTMENU;
    n.pt = {pt.x(), pt.y()};
    Notify(n);
}

bool QtTree::SetImageList(int which, const images::ImageList& list) {
    if (which != tree::TVSIL_NORMAL && which != tree::TVSIL_STATE) return false;
    std::vector<QPixmap> pictures;
    for (const images::Image& image : list.Images()) pictures.push_back(ToPixmap(image));
    if (which == tree::TVSIL_NORMAL) {
        pictures_ = std::move(pictures);
        hasPictures_ = true;
    } else {
        statePictures_ = std::move(pictures);
        hasStatePictures_ = true;
    }
    if (view_) {
        view_->doItemsLayout();
        view_->viewport()->update();
    }
    return true;
}

const QPixmap* QtTree::StatePicture(const QModelIndex& index) const {
    const std::uint32_t picture = (index.data(kStateRole).toUInt() & tree::TVIS_STATEIMAGEMASK) >> 12;
    if (!hasStatePictures_ || picture == 0) return nullptr;
    return picture < statePictures_.size() ? &statePictures_[picture] : nullptr;
}

const QPixmap* QtTree::Picture(const QModelIndex& index, bool selected) const {
    if (!hasPictures_) return nullptr;
    const int picture = index.data(selected ? kSelectedImageRole : kImageRole).toInt();
    if (picture < 0 || static_cast<std::size_t>(picture) >= pictures_.size()) return nullptr;
    return &pictures_[static_cast<std::size_t>(picture)];
}

QtTree::RowLayout QtTree::LayoutRow(const QRect& cell, const QModelIndex& index, const QFontMetrics& metrics) const {
    RowLayout row;
    int x = cell.left() + kGap;
    // A state image takes its room while the row has one to show, a picture while there is a
    // normal image list (an index without a picture leaves its room empty).
    const std::uint32_t statePicture = (index.data(kStateRole).toUInt() & tree::TVIS_STATEIMAGEMASK) >> 12;
    if (hasStatePictures_ && statePicture != 0) {
        row.stateIcon = QRect(x, cell.top(), kPictureWidth, cell.height());
        x += kPictureWidth + kGap;
    }
    if (hasPictures_) {
        row.icon = QRect(x, cell.top(), kPictureWidth, cell.height());
        x += kPictureWidth + kGap;
    }
    row.label =
        QRect(x, cell.top(), metrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()) + kGap, cell.height());
    return row;
}

QRect QtTree::PartRect(HTREEITEM item, std::uint32_t part) const {
    const Node* node = Find(item);
    if (!node || !view_) return {};
    for (const QTreeWidgetItem* up = node->item->parent(); up != nullptr; up = up->parent()) {
        if (!up->isExpanded()) return {};
    }
    const QModelIndex index = view_->indexFromItem(node->item);
    const QRect cell = view_->visualRect(index);
    if (cell.isEmpty()) return {};
    const RowLayout row = LayoutRow(cell, index, view_->fontMetrics());
    switch (part) {
        case tree::TVHT_ONITEMSTATEICON: return row.stateIcon;
        case tree::TVHT_ONITEMICON: return row.icon;
        case tree::TVHT_ONITEMLABEL: return row.label;
        default: return {};
    }
}

tree::HitTestInfo QtTree::HitTest(tree::Point pt) const {
    tree::HitTestInfo hit;
    if (!view_ || pt.x < 0 || pt.y < 0) return hit;
    // The row under the point, wherever the point lies across it.
    QTreeWidgetItem* row = view_->itemAt(QPoint(0, pt.y));
    if (row == nullptr) return hit;
    hit.item = HandleOf(row);
    const QModelIndex index = view_->indexFromItem(row);
    const QRect cell = view_->visualRect(index);
    if (pt.x < cell.left()) {
        const bool onButton = row->childCount() > 0 && pt.x >= cell.left() - view_->indentation();
        hit.flags = onButton ? tree::TVHT_ONITEMBUTTON : tree::TVHT_ONITEMINDENT;
        return hit;
    }
    const RowLayout parts = LayoutRow(cell, index, view_->fontMetrics());
    if (!parts.stateIcon.isEmpty() && pt.x <= parts.stateIcon.right()) {
        hit.flags = tree::TVHT_ONITEMSTATEICON;
    } else if (!parts.icon.isEmpty() && pt.x <= parts.icon.right() + kGap) {
        hit.flags = tree::TVHT_ONITEMICON;
    } else if (pt.x <= parts.label.right()) {
        hit.flags = tree::TVHT_ONITEMLABEL;
    } else {
        hit.flags = tree::TVHT_ONITEMRIGHT;
    }
    return hit;
}

}  // namespace platform::qt
