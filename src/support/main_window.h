// The program's main window, as the program's own code knows it: the owner of every message
// box (FatalError's included) and the window the notification sink posts its work to.
#pragma once

#include <atomic>

#include "platform/ui.h"

namespace tallymere {

// Null until a front end has created the main window. Atomic, because the notification thread
// reads it while the front end may still be setting it.
extern std::atomic<platform::ui::HWND> mainWindow;

}  // namespace tallymere
