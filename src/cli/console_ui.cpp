#include "cli/console_ui.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "remote/reports.h"
#include "platform/text.h"

namespace cli {

bool IsYes(std::string_view answer) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!answer.empty() && blank(answer.front())) answer.remove_prefix(1);
    while (!answer.empty() && blank(answer.back())) answer.remove_suffix(1);
    std::string lower(answer);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "y" || lower == "yes";
}

int ConsolePort::MessageBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption,
                            std::uint32_t style) {
    const std::string words = platform::ToUtf8(text);
    remote::ClearProgressLine();
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
    std::string answer;
    for (int c; (c = std::fgetc(stdin)) != EOF && c != '\n';) answer.push_back(static_cast<char>(c));
    return IsYes(answer) ? platform::ui::IDOK : platform::ui::IDCANCEL;
}

void ConsolePort::FailureBox(platform::ui::HWND, std::u16string_view text, std::u16string_view caption) {
    remote::ClearProgressLine();
    std::fflush(stdout);
    const std::string line = platform::ToUtf8(caption) + ": " + platform::ToUtf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (!jsonCommand_.empty()) {
        const std::string object =
            remote::ErrorJson(jsonCommand_, remote::kExitFailure, platform::ToUtf8(text), platform::ToUtf8(caption));
        std::printf("%s\n", object.c_str());
        std::fflush(stdout);
    }
}

void InstallConsolePort(bool assumeYes, const std::string& jsonCommand) {
    static std::unique_ptr<ConsolePort> port;
    port = std::make_unique<ConsolePort>(assumeYes, jsonCommand);
    platform::ui::SetPort(port.get());
}

}  // namespace cli
