// What the window shows while a command works. The command runs on the GUI thread to its end
// without returning to the event loop, so the window must not look frozen: the cursor is busy
// from the start, and a walk that takes longer than half a second shows how many messages it
// has done (of how many, when that is known) in place of the soft keys, painted at once.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdint>

namespace desktop {

class BusyScope {
public:
    // `what` names the work in the progress line ("Backup All"). A command that first lets the
    // user choose in a dialog (`waitCursor` false) shows the busy cursor from its pass's first
    // message instead.
    explicit BusyScope(const QString& what, bool waitCursor = true);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool waitCursor_;
};

// Whether a command works now (a BusyScope is open) and its pass has begun (a command that
// waits for a choice in its dialog has no pass at work yet).
bool PassAtWork();

// The progress of the walk that runs: `total` 0 when it is not known. Shows the line once the
// command has run for half a second: in the window, and in the dialog open over it whose Done
// runs the pass (the selection dialog).
void ShowWalkProgress(std::uint32_t done, std::uint32_t total);

// The progress line's text: "Backup All: 120 messages", or "Export All: 7,648 of 20,000" where
// the pass knows how many it will do.
QString ProgressText(const QString& what, std::uint32_t done, std::uint32_t total);

// Puts the progress line away (a box about to show tells the user what there is to know).
void HideProgress();

// Feeds the progress of every pass (walk, restore, selection) into the window's progress line
// (once, at start-up).
void InstallWalkProgress();

}  // namespace desktop
