#include "desktop/main_window.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "auto/delay.h"
#include "remote/autostart.h"
#include "remote/remote.h"
#include "remote/work.h"
#include "desktop/busy.h"
#include "desktop/menu_screen.h"
#include "platform/no_destructor.h"
#include "shell/commands.h"
#include "support/main_window.h"
#include "support/pass_control.h"

namespace desktop {

namespace ui = platform::ui;

QWidget* menuBar = nullptr;
QSystemTrayIcon* trayIcon = nullptr;

namespace {

// The window's Qt objects, kept out of the runtime's exit handlers.
struct WindowObjects {
    std::unique_ptr<MainDialog> dialog;
    std::unique_ptr<QSystemTrayIcon> tray;
    std::unique_ptr<QMenu> trayMenu;
};

WindowObjects& Objects() {
    static platform::NoDestructor<WindowObjects> objects;
    return *objects;
}

void PostCommand(std::uint32_t command) { ui::PostMessageW(tallymere::mainWindow.load(), ui::WM_COMMAND, command, 0); }

// Exit, from the File menu or the tray's: the command waits for the one at work, so a pass at
// work is asked to stop at its next message first (keeping what it did, as on SIGTERM); then
// the window closes and the program ends in order.
void PostExit() {
    if (PassAtWork()) tallymere::RequestStop();
    PostCommand(tallymere::kCommandExit);
}

QAction* AddCommand(QMenu* menu, const QString& text, std::uint32_t command) {
    if (command == tallymere::kCommandExit) return menu->addAction(text, [] { PostExit(); });
    return menu->addAction(text, [command] { PostCommand(command); });
}

// "Start at login": checked while the autostart entry exists (read again whenever the menu
// opens, as tallymere-cli may have changed it); a click writes or removes it, and a box says so
// when that cannot be done.
void AddStartAtLogin(QMenu* menu) {
    QAction* action = menu->addAction(QStringLiteral("Start at login"));
    action->setObjectName(QStringLiteral("startAtLogin"));
    action->setCheckable(true);
    action->setChecked(remote::ReadAutostart().on);
    QObject::connect(menu, &QMenu::aboutToShow, action, [action] { action->setChecked(remote::ReadAutostart().on); });
    QObject::connect(action, &QAction::triggered, action, [action](bool on) {
        remote::ChangeAutostart(on, tallymere::mainWindow.load());
        action->setChecked(remote::ReadAutostart().on);
    });
}

QToolButton* SoftKey(QWidget* bar, const QString& text) {
    auto* key = new QToolButton(bar);
    key->setText(text);
    key->setAutoRaise(true);
    key->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return key;
}

// A command of the table that may work for a while, and its name in the progress line.
std::optional<QString> WorkName(std::uint32_t command) {
    switch (command) {
        case tallymere::kCommandBackupAll: return QStringLiteral("Backup All");
        case tallymere::kCommandExportAll: return QStringLiteral("Export All");
        case tallymere::kCommandRestoreNormal: return QStringLiteral("Restore Normal");
        case tallymere::kCommandRestoreExtra: return QStringLiteral("Restore Extra");
        case tallymere::kCommandAutomatic: return QStringLiteral("New message");
        case tallymere::kCommandBackupBySelection: return QStringLiteral("Backup by Selection");
        case tallymere::kCommandExportBySelection: return QStringLiteral("Export by Selection");
        case tallymere::kCommandRestoreBySelection: return QStringLiteral("Restore by Selection");
        default: return std::nullopt;
    }
}

}  // namespace

QWidget* MakeCaption(QWidget* parent, const QString& title, QToolButton** ok) {
    auto* caption = new QWidget(parent);
    caption->setObjectName(QStringLiteral("caption"));
    caption->setAutoFillBackground(true);
    QPalette palette = caption->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Highlight));
    palette.setColor(QPalette::WindowText, palette.color(QPalette::HighlightedText));
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::HighlightedText));
    caption->setPalette(palette);
    auto* layout = new QHBoxLayout(caption);
    layout->setContentsMargins(6, 2, 2, 2);
    auto* label = new QLabel(title, caption);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    auto* button = new QToolButton(caption);
    button->setObjectName(QStringLiteral("ok"));
    button->setText(QStringLiteral("ok"));
    button->setAutoRaise(true);
    button->setFont(bold);
    // Hovered or pressed, the button keeps the caption's light text on a darker ground, never
    // on the light panel a raised tool button gets by default.
    const QColor ground = palette.color(QPalette::Highlight);
    const QColor text = palette.color(QPalette::HighlightedText);
    button->setStyleSheet(QStringLiteral("QToolButton#ok { color: %1; background: transparent; border: 1px solid "
                                         "transparent; border-radius: 3px; padding: 1px 6px; }"
                                         "QToolButton#ok:hover { background: %2; border-color: %1; }"
                                         "QToolButton#ok:pressed { background: %3; border-color: %1; }")
                              .arg(text.name(), ground.darker(135).name(), ground.darker(170).name()));
    // The strip keeps its height when a dialog has no "ok".
    QSizePolicy policy = button->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    button->setSizePolicy(policy);
    layout->addWidget(label);
    layout->addStretch();
    layout->addWidget(button);
    *ok = button;
    return caption;
}

MainDialog::MainDialog() {
    setWindowTitle(QStringLiteral("Tallymere"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    QToolButton* ok = nullptr;
    layout->addWidget(MakeCaption(this, QStringLiteral("Tallymere"), &ok));
    QObject::connect(ok, &QToolButton::clicked, [] { PostCommand(tallymere::kCommandOk); });
    menuList = new MenuList(this);
    layout->addWidget(menuList, 1);
    bottom_ = new QStackedWidget(this);
    progress_ = new QLabel(bottom_);
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setContentsMargins(6, 0, 6, 0);
    bottom_->addWidget(new QWidget(bottom_));
    bottom_->addWidget(progress_);
    layout->addWidget(bottom_);
    // A phone's screen: 140 x 170 dialog units.
    resize(kPhoneWidth, kPhoneHeight);
    setMinimumSize(200, 240);
    ShowLevel(0);
    menuList->setFocus();
}

void MainDialog::ShowProgress(const QString& text) {
    // The line fits the window, however narrow: what does not fit is elided, the whole text is
    // the line's tooltip.
    progressText_ = text;
    const QMargins margins = progress_->contentsMargins();
    const int room = std::max(0, bottom_->width() - margins.left() - margins.right());
    progress_->setText(progress_->fontMetrics().elidedText(text, Qt::ElideRight, room));
    progress_->setToolTip(text);
    bottom_->setCurrentWidget(progress_);
    // The command does not return to the event loop before it ends: paint now.
    bottom_->repaint();
}

void MainDialog::HideProgress() {
    bottom_->setCurrentIndex(0);
    bottom_->repaint();
}

bool MainDialog::ProgressShown() const { return bottom_->currentWidget() == progress_; }

QString MainDialog::ProgressText() const { return progressText_; }

QString MainDialog::ProgressShownText() const { return progress_->text(); }

void MainDialog::SetSoftKeys(QWidget* bar) {
    QWidget* placeholder = bottom_->widget(0);
    bottom_->insertWidget(0, bar);
    bottom_->removeWidget(placeholder);
    delete placeholder;
    bottom_->setCurrentIndex(0);
}

void MainDialog::closeEvent(QCloseEvent* event) {
    // The program lives in the tray: closing hides the window, as the caption's OK does. Without
    // a tray nothing could show it again, so closing ends the program in order.
    event->ignore();
    if (TrayShown()) {
        PostCommand(tallymere::kCommandOk);
    } else {
        // The program ends: a pass at work stops at its next message first.
        tallymere::RequestStop();
        ui::PostMessageW(tallymere::mainWindow.load(), ui::WM_CLOSE, 0, 0);
    }
}

QWidget* MainWidget() { return Objects().dialog.get(); }

MainDialog* MainDialogWidget() { return Objects().dialog.get(); }

MainDialog* CreateMainDialog() {
    Objects().dialog = std::make_unique<MainDialog>();
    return Objects().dialog.get();
}

QSystemTrayIcon* CreateTrayIcon() {
    WindowObjects& objects = Objects();
    objects.tray = std::make_unique<QSystemTrayIcon>();
    trayIcon = objects.tray.get();
    UpdateTrayToolTip();
    QObject::connect(trayIcon, &QSystemTrayIcon::activated, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            ui::SendMessageW(tallymere::mainWindow.load(), kTrayCallback, kTrayIconId, WM_LBUTTONDOWN);
        }
    });
    // Desktops open a tray icon's menu with the other button: the window and the way out.
    objects.trayMenu = std::make_unique<QMenu>();
    objects.trayMenu->addAction(QStringLiteral("Show Tallymere"), [] {
        ui::SendMessageW(tallymere::mainWindow.load(), kTrayCallback, kTrayIconId, WM_LBUTTONDOWN);
    });
    objects.trayMenu->addAction(QStringLiteral("Exit"), [] { PostExit(); });
    trayIcon->setContextMenu(objects.trayMenu.get());
    return trayIcon;
}

bool TrayShown() { return QSystemTrayIcon::isSystemTrayAvailable() && trayIcon != nullptr && trayIcon->isVisible(); }

void UpdateTrayToolTip() {
    if (!trayIcon) return;
    trayIcon->setToolTip(tallymere::autoExport != 0 ? QStringLiteral("Tallymere\nAutomatic Export: ON")
                                                    : QStringLiteral("Tallymere\nAutomatic Export: OFF"));
}

void DeleteMainDialog() {
    menuList = nullptr;
    menuBar = nullptr;
    WindowObjects& objects = Objects();
    objects.dialog.reset();
    trayIcon = nullptr;
    objects.tray.reset();
    objects.trayMenu.reset();
    menuIcons.clear();
}

QWidget* CreateMenuBar(MainDialog* window) {
    auto* bar = new QWidget(window);
    bar->setObjectName(QStringLiteral("softKeys"));
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    QToolButton* file = SoftKey(bar, QStringLiteral("File"));
    auto* fileMenu = new QMenu(file);
    AddCommand(fileMenu, QStringLiteral("Settings"), tallymere::kCommandSettings);
    AddStartAtLogin(fileMenu);
    fileMenu->addSeparator();
    AddCommand(fileMenu, QStringLiteral("About"), tallymere::kCommandAbout);
    AddCommand(fileMenu, QStringLiteral("Exit"), tallymere::kCommandExit);
    file->setMenu(fileMenu);
    file->setPopupMode(QToolButton::InstantPopup);

    QToolButton* message = SoftKey(bar, QStringLiteral("Message"));
    auto* messageMenu = new QMenu(message);
    QMenu* backup = messageMenu->addMenu(QStringLiteral("Backup"));
    AddCommand(backup, QStringLiteral("Backup All"), tallymere::kCommandBackupAll);
    AddCommand(backup, QStringLiteral("Backup by Selection"), tallymere::kCommandBackupBySelection);
    // Profiles are not built: their entries are shown, greyed.
    AddCommand(backup, QStringLiteral("Backup by Profile"), tallymere::kCommandBackupByProfile)->setEnabled(false);
    QMenu* restore = messageMenu->addMenu(QStringLiteral("Restore"));
    AddCommand(restore, QStringLiteral("Restore Normal"), tallymere::kCommandRestoreNormal);
    AddCommand(restore, QStringLiteral("Restore Extra"), tallymere::kCommandRestoreExtra);
    AddCommand(restore, QStringLiteral("Restore by Selection"), tallymere::kCommandRestoreBySelection);
    QMenu* exports = messageMenu->addMenu(QStringLiteral("Export"));
    AddCommand(exports, QStringLiteral("Export All"), tallymere::kCommandExportAll);
    AddCommand(exports, QStringLiteral("Export by Selection"), tallymere::kCommandExportBySelection);
    AddCommand(exports, QStringLiteral("Export by Profile"), tallymere::kCommandExportByProfile)->setEnabled(false);
    messageMenu->addSeparator();
    message->setMenu(messageMenu);
    message->setPopupMode(QToolButton::InstantPopup);

    QToolButton* minimize = SoftKey(bar, QStringLiteral("Minimize"));
    QObject::connect(minimize, &QToolButton::clicked, [] { PostCommand(tallymere::kCommandMinimize); });

    layout->addWidget(file);
    layout->addWidget(message);
    layout->addWidget(minimize);
    window->SetSoftKeys(bar);
    return bar;
}

bool NotifyTray(ui::HWND, int operation, std::uint32_t, const QIcon& icon) {
    if (!trayIcon) return false;
    if (operation == NIM_ADD) {
        trayIcon->setIcon(icon);
        trayIcon->show();
        return trayIcon->isVisible();
    }
    if (operation == NIM_DELETE) {
        trayIcon->hide();
        return true;
    }
    return false;
}

ui::LRESULT MainWndProc(ui::HWND window, std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) {
    switch (message) {
        case ui::WM_COMMAND: {
            const auto command = static_cast<std::uint32_t>(wParam & 0xFFFF);
            // Without a tray a hidden window could never come back: Minimize and ok put it on
            // the task bar instead.
            if ((command == tallymere::kCommandOk || command == tallymere::kCommandMinimize) && !TrayShown()) {
                if (MainDialog* dialog = MainDialogWidget()) dialog->showMinimized();
                return 0;
            }
            std::optional<BusyScope> busy;
            // The selection commands wait for the user's choice in their dialog first: no busy
            // cursor until their pass begins.
            const bool chooses = command == tallymere::kCommandBackupBySelection ||
                                 command == tallymere::kCommandExportBySelection ||
                                 command == tallymere::kCommandRestoreBySelection;
            if (auto name = WorkName(command)) busy.emplace(*name, !chooses);
            // A command the table does not handle (the drop-down keys, the profiles) does nothing.
            tallymere::OnCommand(window, command);
            return 0;
        }
        case ui::WM_TIMER: tallymere::OnTimer(window, wParam); return 0;
        case WM_NOTIFY: {
            const ui::LRESULT result = OnMenuNotify(static_cast<int>(static_cast<ui::LPARAM>(wParam)));
            UpdateTrayToolTip();  // a row may have flipped Automatic Export
            return result;
        }
        case kTrayCallback:
            if (wParam == kTrayIconId && lParam == WM_LBUTTONDOWN) ui::ShowWindow(window, ui::SW_SHOW);
            return 0;
        case remote::WM_REMOTE_REQUEST: {
            BusyScope busy(QStringLiteral("tallymere-cli"));
            remote::RunRemoteRequest(window, lParam);
            return 0;
        }
        case ui::WM_DESTROY: window->Quit(0); return 0;
        default: return 0;
    }
}

bool RunsNested(std::uint32_t message, ui::WPARAM wParam) {
    if (message == ui::WM_TIMER) return wParam == tallymere::kArrivalTimer;
    if (message == remote::WM_REMOTE_REQUEST) return wParam == 1;
    return message == ui::WM_COMMAND && (wParam & 0xFFFF) == tallymere::kCommandAutomatic;
}

}  // namespace desktop
