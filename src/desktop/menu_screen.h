// The menu screen: the owner-drawn list that fills the main window and shows one level of the
// icon menu (menu.h) at a time.
//
// Each row is 50 pixels high and carries the index of its menu item. `DrawMenuItem` paints a
// row: the item's picture at (3, top + 3), its title in bold 50 pixels in, and its three
// description lines 12, 24 and 36 pixels below the row's top; a selected row is drawn on the
// highlight colour with the highlight-text colour. A click on a row and Enter on the selected
// row reach the main window as notifications (WM_NOTIFY with NM_CLICK or LVN_ITEMACTIVATE),
// which it hands to `OnMenuNotify`.
#pragma once

#include <QListWidget>
#include <QPixmap>
#include <QStyledItemDelegate>

#include <cstdint>
#include <vector>

#include "platform/window.h"

namespace desktop {

inline constexpr std::uint32_t WM_NOTIFY = 0x004E;
// Notification codes of the list (the first parameter of WM_NOTIFY).
inline constexpr int NM_CLICK = -2;
inline constexpr int LVN_ITEMACTIVATE = -114;

inline constexpr int kRowHeight = 50;

// The list of the menu screen.
class MenuList final : public QListWidget {
public:
    explicit MenuList(QWidget* parent);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Sends the notification to the main window once the list has finished with the event.
    void Notify(int code);
};

// Paints the rows through DrawMenuItem; every row is kRowHeight high.
class MenuItemDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The list that fills the main window (null until the window exists).
extern MenuList* menuList;
// The ten menu pictures (41 x 41; "Exit" 42 x 41), by picture index; empty until the main
// window is made (a pixmap cannot exist before the application object) and never destroyed by
// the runtime's exit handlers (Qt may still run when a fatal failure ends the process).
extern std::vector<QPixmap>& menuIcons;

// Paints the row of menu item `item` into `rect`.
void DrawMenuItem(QPainter& painter, const QRect& rect, std::uint32_t item, bool selected, const QPalette& palette);

// Fills the list with the rows of the level `key`, in the reverse of the order their items were
// added (each row is inserted at the top).
void ShowLevel(std::uint32_t key);

// Handles a notification of the list: for a click or an activation, the selected row's item
// opens its level, goes back, flips its switch, or sends its command to the main window (the
// call returns when the command has run). Returns 1 when no row is selected, else 0.
platform::ui::LRESULT OnMenuNotify(int code);

}  // namespace desktop
