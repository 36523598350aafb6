// The window system as the program sees it: windows are handles, and message boxes go
// through a port that each front end provides (the command line prints them, the desktop
// program shows real boxes). Until a front end installs its own port, boxes are printed on
// standard error and answered OK.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform::ui {

// A window handle; null means "no window".
struct Window;
using HWND = Window*;

// Message-box styles and answers the program uses.
constexpr std::uint32_t MB_OK = 0x0;
constexpr std::uint32_t MB_OKCANCEL = 0x1;
constexpr std::uint32_t MB_ICONQUESTION = 0x20;
constexpr std::uint32_t MB_ICONEXCLAMATION = 0x30;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class Port {
public:
    virtual ~Port() = default;
    // Shows a modal box and returns the button chosen (IDOK or IDCANCEL).
    virtual int MessageBox(HWND owner, std::u16string_view text, std::u16string_view caption,
                           std::uint32_t style) = 0;
};

// Installs the front end's port (not owned; null restores the default) and returns the old one.
Port* SetPort(Port* port);

// MessageBoxW through the installed port.
int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style);

}  // namespace platform::ui
