#include "shell/app.h"

#include "platform/kernel.h"
#include "support/fatal.h"
#include "support/settings.h"

namespace tallymere {

void CheckPlatformVersion() {
    platform::OSVERSIONINFO info;
    if (platform::GetVersionEx(&info) && info.dwMajorVersion != 5) {
        FatalError(u"Sorry this program is running only on WM6/WM5!", u"Tallymere");
    }
}

void BeginApp() {
    CheckPlatformVersion();
    ApplyStartupDefaults();
}

void EndApp() {}

}  // namespace tallymere
