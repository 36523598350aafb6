#include "desktop/busy.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLocale>

#include <algorithm>
#include <utility>

#include "desktop/main_window.h"
#include "support/pass_control.h"

namespace desktop {

namespace {

constexpr qint64 kQuietMilliseconds = 500;
// Painting after every message would cost the walk more than the painting is worth.
constexpr qint64 kPaintEveryMilliseconds = 100;
constexpr qint64 kEventsEveryMilliseconds = 50;

// The outermost command that works now.
struct Busy {
    int depth = 0;
    QString what;
    QElapsedTimer clock;
    qint64 paintedAt = -kPaintEveryMilliseconds;
    qint64 eventsAt = 0;
    bool passBegun = false;   // the progress hook has been heard since the command began
    bool lateCursor = false;  // the busy cursor set by the pass of a command that waited for a choice
};
Busy busy;

// The progress line in the dialog open over the window, where it has one.
QLabel* DialogProgressLine() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == MainDialogWidget()) return nullptr;
    return modal->findChild<QLabel*>(QStringLiteral("progress"), Qt::FindDirectChildrenOnly);
}

void ShowInDialog(QLabel* line, const QString& text) {
    const QMargins margins = line->contentsMargins();
    QWidget* dialog = line->parentWidget();
    const int room = std::max(0, dialog->width() - margins.left() - margins.right());
    line->setText(line->fontMetrics().elidedText(text, Qt::ElideRight, room));
    line->setToolTip(text);
    if (!line->isVisible()) {
        line->show();
        if (dialog->layout()) dialog->layout()->activate();
        dialog->repaint();
    } else {
        line->repaint();
    }
}

}  // namespace

BusyScope::BusyScope(const QString& what, bool waitCursor) : waitCursor_(waitCursor) {
    if (busy.depth++ == 0) {
        busy.what = what;
        busy.clock.start();
        busy.paintedAt = -kPaintEveryMilliseconds;
        busy.eventsAt = 0;
        busy.lateCursor = false;
        busy.passBegun = false;
    }
    if (waitCursor_) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyScope::~BusyScope() {
    if (waitCursor_) QGuiApplication::restoreOverrideCursor();
    if (--busy.depth == 0) {
        if (std::exchange(busy.lateCursor, false)) QGuiApplication::restoreOverrideCursor();
        HideProgress();
    }
}

bool PassAtWork() { return busy.depth > 0 && busy.passBegun; }

void HideProgress() {
    if (MainDialog* window = MainDialogWidget(); window && window->ProgressShown()) window->HideProgress();
}

QString ProgressText(const QString& what, std::uint32_t done, std::uint32_t total) {
    const QLocale locale;
    if (total > 0) return QStringLiteral("%1: %2 of %3").arg(what, locale.toString(done), locale.toString(total));
    return QStringLiteral("%1: %2 messages").arg(what, locale.toString(done));
}

void ShowWalkProgress(std::uint32_t done, std::uint32_t total) {
    if (busy.depth == 0) return;
    busy.passBegun = true;
    const qint64 now = busy.clock.elapsed();
    // Between two messages the window draws what waits to be drawn (the progress line, the
    // area a closed box leaves, a dialog's contents) and arrivals due run; the user's input
    // waits for the end of the pass.
    if (now - busy.eventsAt >= kEventsEveryMilliseconds) {
        busy.eventsAt = now;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    if (!busy.lateCursor && QGuiApplication::overrideCursor() == nullptr) {
        busy.lateCursor = true;
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
    if (now < kQuietMilliseconds || now - busy.paintedAt < kPaintEveryMilliseconds) return;
    const QString text = ProgressText(busy.what, done, total);
    MainDialog* window = MainDialogWidget();
    QLabel* inDialog = DialogProgressLine();
    if (inDialog) ShowInDialog(inDialog, text);
    if (window && window->isVisible()) window->ShowProgress(text);
    if (inDialog || (window && window->isVisible())) busy.paintedAt = now;
}

void InstallWalkProgress() {
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t total) { ShowWalkProgress(done, total); });
}

}  // namespace desktop
