#include "support/fatal.h"

#include <string>

#include "platform/file.h"
#include "platform/kernel.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "support/main_window.h"
#include "support/settings.h"

namespace tallymere {

void FatalError(std::u16string_view message, std::u16string_view tag) {
    // The box's first line is the failure as ever (scripts and boxes match it); a second one
    // says why, where the platform knows.
    std::u16string text(message);
    if (const std::string cause = platform::FailureCause(); !cause.empty()) text += u"\n" + platform::FromUtf8(cause);
    platform::ui::FailureBoxW(mainWindow.load(), text, tag);
    // A failure must never look like success to whoever started the program.
    platform::ExitProcess(1);
}

void WriteLog(std::u16string_view text) {
    // The log is written on the side: what it meets is no cause of the failure that follows.
    const std::string cause = platform::FailureCause();
    const std::u16string path = GetRegistryStr(kOutputDirValue) + u"\\tallymere.log";
    if (auto log = platform::File::Open(path, u"a")) {
        log->WriteText(text);
        log->WriteText(u"\n");
        log->Close();
    }
    platform::SetFailureCause(cause);
}

}  // namespace tallymere
