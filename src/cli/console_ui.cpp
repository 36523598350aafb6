#include "cli/console_ui.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/reports.h"
#include "platform/text.h"

namespace cli {

using namespace remote;  // NOLINT(google-build-using-namespace)

int ConsolePort::MessageBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption,
                            std::uint32_t style) {
    const std::string words = platform::ToUtf8(text);
    ClearProgressLine();
    if ((style & 0xF) != platform::ui::MB_OKCANCEL) {
        if ((style & platform::ui::MB_ICONERROR) != 0) {
            FailureBox(nullptr, text, caption);
        } else if (jsonCommand_.empty()) {
            std::printf("%s\n", words.c_str());
            std::fflush(stdout);
        }
        return platform::ui::IDOK;
    }
    if (assumeYes_) return platform::ui::IDOK;
    const std::string question = platform::ToUtf8(caption) + ": " + words;
    if (!::isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "%s\nNot confirmed: standard input is not a terminal (use --yes).\n", question.c_str());
        return platform::ui::IDCANCEL;
    }
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) == nullptr) return platform::ui::IDCANCEL;
    return (answer[0] == 'y' || answer[0] == 'Y') ? platform::ui::IDOK : platform::ui::IDCANCEL;
}

void ConsolePort::FailureBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption) {
    ClearProgressLine();
    std::fflush(stdout);
    const std::string line = platform::ToUtf8(caption) + ": " + platform::ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (!jsonCommand_.empty()) {
        std::printf("%s\n",
                    ErrorJson(jsonCommand_, kExitFailure, platform::ToUtf8(text), platform::ToUtf8(caption)).c_str());
        std::fflush(stdout);
    }
}

void InstallConsolePort(bool assumeYes, const std::string& jsonCommand) {
    static std::unique_ptr<ConsolePort> port;
    port = std::make_unique<ConsolePort>(assumeYes, jsonCommand);
    platform::ui::SetPort(port.get());
}

}  // namespace cli
