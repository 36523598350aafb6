#include "desktop/busy.h"

#include <QGuiApplication>
#include <QLocale>

#include "desktop/main_window.h"
#include "support/pass_control.h"

namespace desktop {

namespace {

constexpr qint64 kQuietMilliseconds = 500;
// Painting after every message would cost the walk more than the painting is worth.
constexpr qint64 kPaintEveryMilliseconds = 100;

// The outermost command that works now.
struct Busy {
    int depth = 0;
    QString what;
    QElapsedTimer clock;
    qint64 paintedAt = -kPaintEveryMilliseconds;
};
Busy busy;

}  // namespace

BusyScope::BusyScope(const QString& what) {
    if (busy.depth++ == 0) {
        busy.what = what;
        busy.clock.start();
        busy.paintedAt = -kPaintEveryMilliseconds;
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

BusyScope::~BusyScope() {
    QGuiApplication::restoreOverrideCursor();
    if (--busy.depth == 0) HideProgress();
}

void HideProgress() {
    if (MainDialog* window = MainDialogWidget(); window && window->ProgressShown()) window->HideProgress();
}

QString ProgressText(const QString& what, std::uint32_t done, std::uint32_t total) {
    const QLocale locale;
    const QString count = total > 0 ? QStringLiteral("%1 of %2").arg(locale.toString(done), locale.toString(total))
                                    : locale.toString(done);
    return QStringLiteral("%1: %2 messages done").arg(what, count);
}

void ShowWalkProgress(std::uint32_t done, std::uint32_t total) {
    MainDialog* window = MainDialogWidget();
    if (busy.depth == 0 || !window || !window->isVisible()) return;
    const qint64 now = busy.clock.elapsed();
    if (now < kQuietMilliseconds || now - busy.paintedAt < kPaintEveryMilliseconds) return;
    busy.paintedAt = now;
    window->ShowProgress(ProgressText(busy.what, done, total));
}

void InstallWalkProgress() {
    tallymere::SetPassProgress([](std::uint32_t done, std::uint32_t total) { ShowWalkProgress(done, total); });
}

}  // namespace desktop
