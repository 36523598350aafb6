// The dialog port on Qt: the program's modal dialogs as windows of their own over their owner.
//
// The front end makes each template's widgets (a TemplateBuilder: the caption strip, the
// controls and where they go) and names the controls the procedure reaches by their ids: trees
// (QtTree), edit fields, buttons (a click sends WM_COMMAND with the button's id) and the Done
// button of the caption (WM_COMMAND IDOK; shown once WM_INITDIALOG asks for it with
// SHIDIF_DONEBUTTON). Asked for the full screen (SHIDIF_SIZEDLGFULLSCREEN), a dialog takes its
// owner's place and size. It is application-modal and runs an event loop of its own while it
// is up, so that what another thread sends to the main window still runs (the window's nesting
// rule lets only the automatic processing of a new arrival in).
//
// A dialog ends when its procedure calls End. Closing its window otherwise (the window
// manager's close button, Escape, the program being asked to end) ends it without a result:
// DialogBox returns kNoDialog and the procedure hears nothing more, its trees' notifications
// included. While the procedure works on WM_INITDIALOG (filling its trees) or on Done, the
// cursor shows that the program is busy.
//
// Boxes shown while a dialog is up go on top of it (qt_ui.h); a dialog's Handle() is its
// owner's window.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/dialog.h"
#include "platform/qt/qt_tree.h"

class QAbstractButton;

namespace platform::qt {

class QtDialogHost;

class QtDialog final : public dialog::Dialog {
public:
    QtDialog(QtDialogHost& host, int templateId, dialog::DialogProc proc, ui::HWND owner, QWidget* ownerWidget);
    ~QtDialog() override;
    QtDialog(const QtDialog&) = delete;
    QtDialog& operator=(const QtDialog&) = delete;

    // What the template builder uses: the window to fill, and the controls to name.
    QDialog* Window() const;
    int TemplateId() const { return templateId_; }
    // A tree control (its widget made with `parent`, to be laid out by the builder).
    QtTree* AddTree(int controlId, QWidget* parent);
    void AddField(int controlId, QLineEdit* field);
    void AddButton(std::uint32_t command, QAbstractButton* button);
    // The caption's Done button; hidden until WM_INITDIALOG asks for it.
    void SetDoneButton(QAbstractButton* button);

    ui::HWND Handle() override { return owner_; }
    bool InitDialog(std::uint32_t flags) override;
    tree::TreeView* GetTree(int controlId) override { return Tree(controlId); }
    std::u16string GetItemText(int controlId) override;
    bool SetItemText(int controlId, std::u16string_view text) override;
    bool SetFocus(int controlId) override;
    void TrackPopupMenu(std::span<const dialog::MenuItem> items, int controlId, tree::Point at) override;
    dialog::INT_PTR DialogBox(int templateId, dialog::DialogProc proc) override;
    void End(dialog::INT_PTR result) override;

    // Delivers a message to the procedure; nothing once the dialog has ended or was closed.
    dialog::INT_PTR Send(std::uint32_t message, dialog::WPARAM wParam, dialog::LPARAM lParam);
    // WM_INITDIALOG, then the dialog is up until it ends or is closed; its result or kNoDialog.
    dialog::INT_PTR Run();

    QtTree* Tree(int controlId) const;
    QLineEdit* Field(int controlId) const;
    QAbstractButton* Button(std::uint32_t command) const;
    QAbstractButton* DoneButton() const { return done_.data(); }
    // The pop-up menu shown last, while it is up.
    QMenu* PopupMenu() const { return menu_.data(); }

private:
    class Frame;
    void ClosedByUser();
    QWidget* ControlWidget(int controlId) const;

    QtDialogHost& host_;
    int templateId_;
    dialog::DialogProc proc_;
    ui::HWND owner_;
    QPointer<QWidget> ownerWidget_;
    QPointer<Frame> window_;
    std::map<int, std::unique_ptr<QtTree>> trees_;
    std::map<int, QPointer<QLineEdit>> fields_;
    std::map<std::uint32_t, QPointer<QAbstractButton>> buttons_;
    QPointer<QAbstractButton> done_;
    QPointer<QMenu> menu_;
    bool fullScreen_ = false;
    bool running_ = false;  // in its event loop
    bool ended_ = false;    // End was called
    bool closed_ = false;   // closed, by End or otherwise: no more messages
    dialog::INT_PTR result_ = dialog::kNoDialog;
};

// Makes the widgets of `dialog.TemplateId()` in `dialog.Window()`; false for a template the
// front end does not know (the dialog is then not shown: kNoDialog).
using TemplateBuilder = std::function<bool(QtDialog& dialog)>;

class QtDialogHost final : public dialog::Host {
public:
    explicit QtDialogHost(TemplateBuilder build) : build_(std::move(build)) {}

    // On the GUI thread only (kNoDialog elsewhere). The owner's widget is its QtWindow's.
    dialog::INT_PTR DialogBox(ui::HWND owner, int templateId, dialog::DialogProc proc) override;
    // A dialog over `ownerWidget` (a dialog's window for a dialog opened from a dialog).
    dialog::INT_PTR Open(ui::HWND owner, QWidget* ownerWidget, int templateId, dialog::DialogProc proc);

    // The dialog up now (the last opened of those up), null when none.
    QtDialog* Current() const { return open_.empty() ? nullptr : open_.back(); }

private:
    TemplateBuilder build_;
    std::vector<QtDialog*> open_;
};

}  // namespace platform::qt
