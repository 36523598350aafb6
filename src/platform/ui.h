// The window system as the program sees it: windows are handles, message boxes go through a
// port that each front end provides (the command line prints them, the desktop program shows
// real boxes). Until a front end installs its own port, boxes are printed on standard error
// and answered OK.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform::ui {

// A window handle; null means "no window". Windows are defined in window.h.
class Window;
using HWND = Window*;

// Message-box styles and answers the program uses.
constexpr std::uint32_t MB_OK = 0x0;
constexpr std::uint32_t MB_OKCANCEL = 0x1;
// A box that reports a failure the program goes on after (the command line prints it on
// standard error).
constexpr std::uint32_t MB_ICONERROR = 0x10;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class Port {
public:
    virtual ~Port() = default;
    // Shows a modal box and returns the button chosen (IDOK or IDCANCEL). A box with
    // MB_OKCANCEL is a question; one with MB_OK only reports.
    virtual int MessageBox(HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) = 0;
    // The box of a failure that ends the program (one OK button, no icon). Front ends that
    // separate reports from failures (the command line: standard output and standard error)
    // override it; by default it is an ordinary box.
    virtual void FailureBox(HWND owner, std::u16string_view text, std::u16string_view caption) {
        MessageBox(owner, text, caption, MB_OK);
    }
};

// Installs the front end's port (not owned; null restores the default) and returns the old one.
Port* SetPort(Port* port);
// The port installed now.
Port* GetPort();

// MessageBoxW through the installed port.
int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style);

// A failure box through the installed port.
void FailureBoxW(HWND owner, std::u16string_view text, std::u16string_view caption);

// How many boxes and dialogs (dialog.h) are on the screen now, waiting for the user: while one
// is, the window that shows it waits too, and a caller from elsewhere is told so instead of
// waiting. Ports that show boxes on a screen count each one for as long as it is open.
int BoxesOpen();
// Counts one box or dialog on the screen for its lifetime.
class OpenBoxScope {
public:
    OpenBoxScope();
    ~OpenBoxScope();
    OpenBoxScope(const OpenBoxScope&) = delete;
    OpenBoxScope& operator=(const OpenBoxScope&) = delete;
};

}  // namespace platform::ui
