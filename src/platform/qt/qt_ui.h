// The box port on Qt: modal message boxes owned by the main window.
//
// A report has one OK button, a question OK and Cancel. While a dialog is up, a box goes on top
// of it, whoever owns the box. A failure box is also written to
// standard error ("caption: words"), so that a program started from a terminal says why it
// ended; while it is up nothing else runs on the window, and the process ends after it.
//
// When the program is asked to end (a desktop session ending, Ctrl-C in the terminal that
// started it), EndBoxes closes the boxes that are open and answers every later one without
// showing it (a question with Cancel, a report with OK), so that the command running finishes
// and the program can end in order.
#pragma once

#include <atomic>
#include <functional>

#include "platform/ui.h"

namespace platform::qt {

class QtPort final : public ui::Port {
public:
    int MessageBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) override;
    void FailureBox(ui::HWND owner, std::u16string_view text, std::u16string_view caption) override;

    // Closes the open boxes and answers later ones without showing them. Any thread may call it.
    void EndBoxes();
    bool Ending() const { return ending_.load(); }

    // Runs on the GUI thread before a box shows (the front end puts away what shows a command's
    // progress: the box now tells the user what there is to know). Set before boxes can show.
    void SetBeforeBox(std::function<void()> beforeBox) { beforeBox_ = std::move(beforeBox); }

private:
    int Show(ui::HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style);

    std::atomic<bool> ending_{false};
    std::function<void()> beforeBox_;
};

}  // namespace platform::qt
