#include "platform/qt/qt_ui.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>

#include <cstdio>
#include <string>

#include "platform/qt/qt_window.h"
#include "platform/text.h"

namespace platform::qt {

namespace {

bool OnGuiThread() {
    return QCoreApplication::instance() != nullptr &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

QString ToQString(std::u16string_view text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The busy cursor gives way to the normal one while the user has to answer.
class NormalCursor {
public:
    NormalCursor() {
        while (QGuiApplication::overrideCursor() != nullptr) {
            QGuiApplication::restoreOverrideCursor();
            ++taken_;
        }
    }
    ~NormalCursor() {
        for (int i = 0; i < taken_; ++i) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
    NormalCursor(const NormalCursor&) = delete;
    NormalCursor& operator=(const NormalCursor&) = delete;

private:
    int taken_ = 0;
};

int ShowBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) {
    QtWindow* window = AsQtWindow(owner);
    QWidget* parent = window ? window->Widget() : nullptr;
    // While a dialog (or another box) is up over its owner, the box goes on top of it.
    if (QWidget* modal = QApplication::activeModalWidget()) parent = modal;
    const bool question = (style & 0xF) == ui::MB_OKCANCEL;
    QMessageBox box(QMessageBox::NoIcon, ToQString(caption), ToQString(text),
                    question ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, parent);
    // The program's words are plain text: a failure's cause line keeps its line break and shows
    // a file name as it is, whatever characters it holds.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(question ? QMessageBox::Cancel : QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    NormalCursor normal;
    ui::OpenBoxScope open;
    return box.exec() == QMessageBox::Ok ? ui::IDOK : ui::IDCANCEL;
}

void PrintFailure(std::u16string_view text, std::u16string_view caption) {
    std::fflush(stdout);
    const std::string line = ToUtf8(caption) + ": " + ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

int QtPort::Show(ui::HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) {
    if (beforeBox_) beforeBox_();
    return ShowBox(owner, text, caption, style);
}

int QtPort::MessageBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) {
    const bool question = (style & 0xF) == ui::MB_OKCANCEL;
    const int unshown = question ? ui::IDCANCEL : ui::IDOK;
    if (Ending()) return unshown;
    if (OnGuiThread()) return Show(owner, text, caption, style);
    // Boxes belong to the GUI thread; another thread's box is shown there while it waits.
    int answer = unshown;
    QtWindow* window = AsQtWindow(owner);
    if (!window || !window->RunOnWindowThread([&] { answer = Show(owner, text, caption, style); })) {
        PrintFailure(text, caption);
    }
    return answer;
}

void QtPort::FailureBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption) {
    PrintFailure(text, caption);
    if (Ending() || QCoreApplication::instance() == nullptr) return;
    QtWindow* window = AsQtWindow(owner);
    auto show = [&] {
        // Nothing else runs on the window from now on: the program ends after this box.
        if (window) window->Halt();
        Show(owner, text, caption, ui::MB_OK);
    };
    if (OnGuiThread()) {
        show();
    } else if (window) {
        window->RunOnWindowThread(show);
    }
}

void QtPort::EndBoxes() {
    ending_.store(true);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [] {
            // A box's nested event loop runs this; closing answers it like its escape button.
            while (QWidget* modal = QApplication::activeModalWidget()) {
                if (!modal->close()) break;
            }
        },
        Qt::QueuedConnection);
}

}  // namespace platform::qt
