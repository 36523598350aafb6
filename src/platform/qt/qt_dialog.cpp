#include "platform/qt/qt_dialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QThread>

#include "platform/qt/qt_window.h"

namespace platform::qt {

namespace {

QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

bool OnGuiThread() {
    return QCoreApplication::instance() != nullptr &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The busy cursor while the procedure fills the dialog or carries out Done.
class BusyCursor {
public:
    explicit BusyCursor(bool busy) : busy_(busy) {
        if (busy_) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~BusyCursor() {
        if (busy_) QGuiApplication::restoreOverrideCursor();
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    bool busy_;
};

}  // namespace

// The dialog's window. Every way of closing it other than the procedure's End (the close
// button, Escape, close() when the program is asked to end) goes through reject().
class QtDialog::Frame final : public QDialog {
public:
    Frame(QtDialog* dialog, QWidget* parent) : QDialog(parent), dialog_(dialog) {}
    void Detach() { dialog_ = nullptr; }

    void reject() override {
        if (dialog_ != nullptr) dialog_->ClosedByUser();
        QDialog::reject();
    }

private:
    QtDialog* dialog_;
};

QtDialog::QtDialog(QtDialogHost& host, int templateId, dialog::DialogProc proc, ui::HWND owner, QWidget* ownerWidget)
    : host_(host),
      templateId_(templateId),
      proc_(std::move(proc)),
      owner_(owner),
      ownerWidget_(ownerWidget),
      window_(new Frame(this, ownerWidget)) {
    window_->setModal(true);
}

QtDialog::~QtDialog() {
    // The trees' widgets go first, while the window that holds them still exists.
    trees_.clear();
    if (menu_) delete menu_.data();
    if (window_) {
        window_->Detach();
        delete window_.data();
    }
}

QDialog* QtDialog::Window() const { return window_.data(); }

QtTree* QtDialog::AddTree(int controlId, QWidget* parent) {
    auto tree = std::make_unique<QtTree>(controlId, parent);
    tree->SetNotify([this](const tree::Notification& n) -> tree::LRESULT {
        return Send(dialog::WM_NOTIFY, static_cast<dialog::WPARAM>(n.controlId), reinterpret_cast<dialog::LPARAM>(&n));
    });
    QtTree* added = tree.get();
    trees_[controlId] = std::move(tree);
    return added;
}

void QtDialog::AddField(int controlId, QLineEdit* field) { fields_[controlId] = field; }

void QtDialog::AddButton(std::uint32_t command, QAbstractButton* button) {
    buttons_[command] = button;
    QObject::connect(button, &QAbstractButton::clicked, window_.data(),
                     [this, command] { Send(ui::WM_COMMAND, command, 0); });
}

void QtDialog::SetDoneButton(QAbstractButton* button) {
    done_ = button;
    button->hide();
    QObject::connect(button, &QAbstractButton::clicked, window_.data(), [this] { Send(ui::WM_COMMAND, ui::IDOK, 0); });
}

QtTree* QtDialog::Tree(int controlId) const {
    const auto it = trees_.find(controlId);
    return it == trees_.end() ? nullptr : it->second.get();
}

QLineEdit* QtDialog::Field(int controlId) const {
    const auto it = fields_.find(controlId);
    return it == fields_.end() ? nullptr : it->second.data();
}

QAbstractButton* QtDialog::Button(std::uint32_t command) const {
    const auto it = buttons_.find(command);
    return it == buttons_.end() ? nullptr : it->second.data();
}

QWidget* QtDialog::ControlWidget(int controlId) const {
    if (QtTree* tree = Tree(controlId)) return tree->Widget() ? tree->Widget()->viewport() : nullptr;
    if (QLineEdit* field = Field(controlId)) return field;
    return nullptr;
}

bool QtDialog::InitDialog(std::uint32_t flags) {
    if (done_ && (flags & dialog::SHIDIF_DONEBUTTON) != 0) done_->show();
    fullScreen_ = (flags & dialog::SHIDIF_SIZEDLGFULLSCREEN) != 0;
    // There is no input panel to put down on a desktop (SHIDIF_SIPDOWN).
    return true;
}

std::u16string QtDialog::GetItemText(int controlId) {
    QLineEdit* field = Field(controlId);
    return field ? field->text().toStdU16String() : std::u16string();
}

bool QtDialog::SetItemText(int controlId, std::u16string_view text) {
    QLineEdit* field = Field(controlId);
    if (!field) return false;
    field->setText(ToQString(text));
    return true;
}

bool QtDialog::SetFocus(int controlId) {
    QWidget* control = Field(controlId);
    if (!control) {
        QtTree* tree = Tree(controlId);
        control = tree ? tree->Widget() : nullptr;
    }
    if (!control) return false;
    control->setFocus();
    return true;
}

void QtDialog::TrackPopupMenu(std::span<const dialog::MenuItem> items, int controlId, tree::Point at) {
    if (!window_ || closed_) return;
    if (menu_) menu_->close();
    QWidget* control = ControlWidget(controlId);
    const QPoint global = control ? control->mapToGlobal(QPoint(at.x, at.y)) : window_->mapToGlobal(QPoint(0, 0));
    auto* menu = new QMenu(window_.data());
    menu->setObjectName(QStringLiteral("popupMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const dialog::MenuItem& item : items) {
        QAction* action = menu->addAction(ToQString(item.text));
        const std::uint32_t command = item.command;
        // The choice reaches the procedure afterwards, once the menu has gone.
        QObject::connect(action, &QAction::triggered, window_.data(), [this, command] {
            QMetaObject::invokeMethod(
                window_.data(), [this, command] { Send(ui::WM_COMMAND, command, 0); }, Qt::QueuedConnection);
        });
    }
    menu_ = menu;
    menu->popup(global);
}

dialog::INT_PTR QtDialog::DialogBox(int templateId, dialog::DialogProc proc) {
    if (!window_ || closed_) return dialog::kNoDialog;
    return host_.Open(owner_, window_.data(), templateId, std::move(proc));
}

void QtDialog::End(dialog::INT_PTR result) {
    if (ended_ || closed_) return;
    ended_ = true;
    result_ = result;
}

dialog::INT_PTR QtDialog::Send(std::uint32_t message, dialog::WPARAM wParam, dialog::LPARAM lParam) {
    if (ended_ || closed_) return 0;
    const bool busy = message == dialog::WM_INITDIALOG || (message == ui::WM_COMMAND && (wParam & 0xFFFF) == ui::IDOK);
    dialog::INT_PTR result = 0;
    {
        BusyCursor cursor(busy);
        result = proc_(*this, message, wParam, lParam);
    }
    if (ended_ && running_ && window_) window_->done(QDialog::Accepted);
    return result;
}

void QtDialog::ClosedByUser() {
    if (ended_) return;
    closed_ = true;
    // What the trees still report while the window goes (an open label editor losing its
    // focus) reaches nobody.
    for (auto& [id, tree] : trees_) tree->SetNotify({});
}

dialog::INT_PTR QtDialog::Run() {
    Send(dialog::WM_INITDIALOG, 0, 0);
    if (!ended_ && !closed_ && window_) {
        if (fullScreen_ && ownerWidget_ && ownerWidget_->isVisible()) {
            window_->setGeometry(ownerWidget_->geometry());
        } else if (!fullScreen_) {
            window_->adjustSize();
        }
        running_ = true;
        ui::OpenBoxScope open;
        window_->exec();
        running_ = false;
    }
    const bool ended = ended_;
    closed_ = true;
    for (auto& [id, tree] : trees_) tree->SetNotify({});
    if (menu_) menu_->close();
    return ended ? result_ : dialog::kNoDialog;
}

dialog::INT_PTR QtDialogHost::DialogBox(ui::HWND owner, int templateId, dialog::DialogProc proc) {
    if (!OnGuiThread()) return dialog::kNoDialog;
    QtWindow* window = AsQtWindow(owner);
    return Open(owner, window ? window->Widget() : nullptr, templateId, std::move(proc));
}

dialog::INT_PTR QtDialogHost::Open(ui::HWND owner, QWidget* ownerWidget, int templateId, dialog::DialogProc proc) {
    QtDialog dialog(*this, templateId, std::move(proc), owner, ownerWidget);
    if (!build_ || !build_(dialog)) return dialog::kNoDialog;
    open_.push_back(&dialog);
    const dialog::INT_PTR result = dialog.Run();
    open_.pop_back();
    return result;
}

}  // namespace platform::qt
