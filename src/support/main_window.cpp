#include "support/main_window.h"

namespace tallymere {

std::atomic<platform::ui::HWND> mainWindow{nullptr};

}  // namespace tallymere
