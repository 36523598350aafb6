// The main window: a phone-sized window whose client area is the icon menu (menu_screen.h),
// with the caption's OK button above it and the soft-key bar below, and the program's icon in
// the system tray.
//
// Everything the window does arrives at `MainWndProc` as a message on the GUI thread: the
// commands of the soft keys, the menu rows and the caption's OK (WM_COMMAND, carried out by the
// command table), the list's notifications (WM_NOTIFY), the tray icon's click (3029), the
// requests of other processes (remote/remote.h) and WM_DESTROY, which ends the event loop.
//
// Closing the window with the window manager's close button hides it, as the caption's OK does:
// the program lives in the tray. Where the desktop has no tray the window is shown from the start
// (a hidden window would be unreachable) and closing it ends the program in order.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWidget>

#include <cstdint>
#include <memory>

#include "platform/window.h"

namespace desktop {

// The tray icon's callback message, its icon id, and the mouse message it reports.
inline constexpr std::uint32_t kTrayCallback = 3029;
inline constexpr std::uint32_t kTrayIconId = 5000;
inline constexpr std::uint32_t WM_LBUTTONDOWN = 0x0201;
// NotifyTray's operations.
inline constexpr int NIM_ADD = 0;
inline constexpr int NIM_DELETE = 2;

// The size of the main window and of the dialogs that take its place: a phone's screen.
inline constexpr int kPhoneWidth = 240;
inline constexpr int kPhoneHeight = 320;

// The caption strip of the main window and of the dialogs: `title` in bold on the highlight
// colour, and at its right an "ok" button, given back in `ok`.
QWidget* MakeCaption(QWidget* parent, const QString& title, QToolButton** ok);

// The widget of the main window.
class MainDialog final : public QWidget {
public:
    MainDialog();

    // The progress line that takes the soft keys' place while a long command works, painted at
    // once (the command does not return to the event loop until it ends).
    void ShowProgress(const QString& text);
    void HideProgress();
    bool ProgressShown() const;
    QString ProgressText() const;

    // Puts the soft-key bar below the menu.
    void SetSoftKeys(QWidget* bar);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QStackedWidget* bottom_;
    QLabel* progress_;
};

// The main window's widget, the owner of every box and dialog (null before the window exists and
// after the program has ended).
QWidget* MainWidget();
MainDialog* MainDialogWidget();

// Makes the main window's widget and its menu list showing the top level; it starts hidden.
MainDialog* CreateMainDialog();
// Deletes the window's widgets and the tray icon (after the event loop has ended). Nothing else
// deletes them, the runtime's exit handlers included: after a fatal failure the process ends
// with Qt still running, and Qt's objects must not go before Qt does.
void DeleteMainDialog();

// The soft-key bar: "File" (Settings, About, Exit), "Message" (the Backup, Restore and Export
// pop-ups) and "Minimize". Null when it cannot be made.
QWidget* CreateMenuBar(MainDialog* window);
// The soft-key bar of the main window, or null.
extern QWidget* menuBar;

// The tray icon (its picture is the 16 x 16 tray picture), null when there is none. It is made
// with its context menu by CreateTrayIcon.
extern QSystemTrayIcon* trayIcon;
QSystemTrayIcon* CreateTrayIcon();
// Adds (NIM_ADD) or removes (NIM_DELETE) the tray icon; returns whether the operation took
// effect, which callers may ignore.
bool NotifyTray(platform::ui::HWND window, int operation, std::uint32_t id, const QIcon& icon);

// The main window's procedure.
platform::ui::LRESULT MainWndProc(platform::ui::HWND window, std::uint32_t message, platform::ui::WPARAM wParam,
                                  platform::ui::LPARAM lParam);

// Whether a message may run inside another one's modal box: only the automatic processing of
// a new arrival, which the notification sink sends while it waits.
bool RunsNested(std::uint32_t message, platform::ui::WPARAM wParam);

}  // namespace desktop
