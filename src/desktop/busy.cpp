#include "desktop/busy.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLocale>

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
};
Busy busy;

}  // namespace

BusyScope::BusyScope(const QString& what) {
    if (busy.depth++ == 0) {
        busy.what = what;
        busy.clock.start();
        busy.paintedAt = -kPaintEveryMilliseconds;
        busy.eventsAt = 0;
        busy.passBegun = false;
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyScope::~BusyScope() {
    QGuiApplication::restoreOverrideCursor();
    if (--busy.depth == 0) HideProgress();
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
    MainDialog* window = MainDialogWidget();
    if (!window || !window->isVisible()) return;
    if (now < kQuietMilliseconds || now - busy.paintedAt < kPaintEveryMilliseconds) return;
    busy.paintedAt = now;
    window->ShowProgress(ProgressText(busy.what, done, total));
}

void InstallWalkProgress() {
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t total) { ShowWalkProgress(done, total); });
}

}  // namespace desktop
