#include "desktop/menu_screen.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QStringList>
#include <QMouseEvent>
#include <QPainter>

#include <vector>

#include "auto/delay.h"
#include "desktop/menu.h"
#include "platform/no_destructor.h"
#include "support/main_window.h"

namespace desktop {

namespace ui = platform::ui;

MenuList* menuList = nullptr;
namespace {
std::vector<QPixmap>& KeptIcons() {
    static platform::NoDestructor<std::vector<QPixmap>> icons;
    return *icons;
}
}  // namespace

std::vector<QPixmap>& menuIcons = KeptIcons();

namespace {

constexpr int kTextLeft = 50;
constexpr int kLineStep = 12;
constexpr int kPictureOffset = 3;

QString ToQString(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QFont RowFont(bool bold) {
    QFont font;
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

// Draws one line of text at the top of `rect`, cut off with an ellipsis when it is too long.
void DrawLine(QPainter& painter, const QRect& rect, const std::u16string& text) {
    if (text.empty()) return;
    const QString shown = painter.fontMetrics().elidedText(ToQString(text), Qt::ElideRight, rect.width());
    painter.drawText(rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, shown);
}

// Lays out a row's description in the row's three line slots, wrapped at spaces to the width;
// what still does not fit in the third slot is elided there (the row's tooltip holds the whole
// text).
std::vector<QString> DescriptionSlots(const QFontMetrics& metrics, int width, const std::vector<QString>& lines) {
    constexpr std::size_t kSlots = 3;
    std::vector<QString> wrapped;
    // The lines are one description, broken for a wider screen: it is wrapped anew as a whole.
    QStringList parts;
    for (const QString& line : lines) {
        if (!line.trimmed().isEmpty()) parts << line.trimmed();
    }
    if (parts.isEmpty()) return wrapped;
    {
        QString rest = parts.join(u' ');
        while (!rest.isEmpty()) {
            if (metrics.horizontalAdvance(rest) <= width) {
                wrapped.push_back(rest);
                break;
            }
            // The longest head of whole words that fits (a first word too long stays whole).
            qsizetype cut = -1;
            for (qsizetype space = rest.indexOf(u' '); space > 0; space = rest.indexOf(u' ', space + 1)) {
                if (metrics.horizontalAdvance(rest.left(space)) > width) break;
                cut = space;
            }
            if (cut <= 0) {
                wrapped.push_back(rest);
                break;
            }
            wrapped.push_back(rest.left(cut));
            rest = rest.mid(cut + 1);
        }
    }
    // What does not fit in the slots ends the last one, to be elided there.
    if (wrapped.size() > kSlots) {
        QStringList tail;
        for (std::size_t k = kSlots - 1; k < wrapped.size(); ++k) tail << wrapped[k];
        wrapped.resize(kSlots);
        wrapped.back() = tail.join(u' ');
    }
    return wrapped;
}

QString RowToolTip(std::uint32_t item) {
    QStringList lines{ToQString(menu->title[item])};
    for (const std::u16string* line : {&menu->line1[item], &menu->line2[item], &menu->line3[item]}) {
        if (!line->empty()) lines << ToQString(*line);
    }
    return lines.join(u'\n');
}

}  // namespace

MenuList::MenuList(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new MenuItemDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFocusPolicy(Qt::StrongFocus);
}

void MenuList::mouseReleaseEvent(QMouseEvent* event) {
    QListWidget::mouseReleaseEvent(event);
    // A click on a row, not on the empty space below the rows.
    if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint()) != nullptr) Notify(NM_CLICK);
}

void MenuList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Select) {
        Notify(LVN_ITEMACTIVATE);
        return;
    }
    QListWidget::keyPressEvent(event);
}

void MenuList::Notify(int code) {
    // From the event loop: the row's command may rebuild this list or run for long.
    QMetaObject::invokeMethod(
        this, [code] { ui::SendMessageW(tallymere::mainWindow.load(), WM_NOTIFY, static_cast<ui::WPARAM>(code), 0); },
        Qt::QueuedConnection);
}

void MenuItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto item = index.data(Qt::UserRole).toUInt();
    painter->save();
    DrawMenuItem(*painter, option.rect, item, option.state.testFlag(QStyle::State_Selected), option.palette);
    // The list's grid line between rows.
    QColor grid = option.palette.color(QPalette::Mid);
    grid.setAlpha(90);
    painter->setPen(grid);
    painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    painter->restore();
}

QSize MenuItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {option.rect.width(), kRowHeight};
}

void DrawMenuItem(QPainter& painter, const QRect& rect, std::uint32_t item, bool selected, const QPalette& palette) {
    painter.fillRect(rect, selected ? palette.color(QPalette::Highlight) : palette.color(QPalette::Base));
    painter.setPen(selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Text));
    if (!menu || item >= menu->count) return;
    const std::uint32_t picture = menu->icon[item];
    if (picture < menuIcons.size() && !menuIcons[picture].isNull()) {
        painter.drawPixmap(rect.left() + kPictureOffset, rect.top() + kPictureOffset, menuIcons[picture]);
    }
    QRect text = rect.adjusted(kTextLeft, 0, -2, 0);
    painter.setFont(RowFont(true));
    DrawLine(painter, text, menu->title[item]);
    painter.setFont(RowFont(false));
    std::vector<QString> lines;
    for (const std::u16string* line : {&menu->line1[item], &menu->line2[item], &menu->line3[item]}) {
        lines.push_back(ToQString(*line));
    }
    for (const QString& line : DescriptionSlots(painter.fontMetrics(), text.width(), lines)) {
        text.setTop(text.top() + kLineStep);
        DrawLine(painter, text, line.toStdU16String());
    }
}

void ShowLevel(std::uint32_t key) {
    if (!menuList || !menu) return;
    menuList->clear();
    for (std::uint32_t i = 0; i < menu->count; ++i) {
        if (menu->parent[i] != key) continue;
        auto* row = new QListWidgetItem;
        row->setData(Qt::UserRole, i);
        // The title is also the row's text for accessibility tools; the delegate draws the row.
        row->setData(Qt::AccessibleTextRole, ToQString(menu->title[i]));
        row->setData(Qt::ToolTipRole, RowToolTip(i));
        menuList->insertItem(0, row);
    }
}

ui::LRESULT OnMenuNotify(int code) {
    if (code != NM_CLICK && code != LVN_ITEMACTIVATE) return 0;
    if (!menuList || !menu) return 1;
    const int row = menuList->currentRow();
    if (row < 0 || menuList->item(row) == nullptr || !menuList->item(row)->isSelected()) return 1;
    const auto i = menuList->item(row)->data(Qt::UserRole).toUInt();
    if (i >= menu->count) return 1;
    switch (menu->command[i]) {
        case kOpenLevel: ShowLevel(i); break;
        case kAutomaticBackup:
            tallymere::autoBackup = tallymere::autoBackup == 0 ? 1 : 0;
            menu->SetSwitchText(i, tallymere::autoBackup != 0);
            ShowLevel(menu->parent[i]);
            break;
        case kAutomaticExport:
            tallymere::autoExport = tallymere::autoExport == 0 ? 1 : 0;
            menu->SetSwitchText(i, tallymere::autoExport != 0);
            ShowLevel(menu->parent[i]);
            break;
        case kBack: ShowLevel(menu->parent[menu->parent[i]]); break;
        default: ui::SendMessageW(tallymere::mainWindow.load(), ui::WM_COMMAND, menu->command[i], 0); break;
    }
    return 0;
}

}  // namespace desktop
