#include "support/fatal.h"

#include <string>

#include "platform/file.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "support/main_window.h"
#include "support/settings.h"

namespace tallymere {

void FatalError(std::u16string_view message, std::u16string_view tag) {
    platform::ui::FailureBoxW(mainWindow.load(), message, tag);
    // A failure must never look like success to whoever started the program.
    platform::ExitProcess(1);
}

void WriteLog(std::u16string_view text) {
    const std::u16string path = GetRegistryStr(kOutputDirValue) + u"\\tallymere.log";
    auto log = platform::File::Open(path, u"a");
    if (!log) return;
    log->WriteText(text);
    log->WriteText(u"\n");
    log->Close();
}

}  // namespace tallymere
