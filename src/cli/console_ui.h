// The command line's window-system port: a report box prints its text on standard output, a
// question prints itself and reads y/N from the terminal, a failure prints "caption: words"
// on standard error.
#pragma once

#include "platform/ui.h"

namespace cli {

class ConsolePort final : public platform::ui::Port {
public:
    // With `assumeYes`, every question is answered OK without asking (--yes).
    explicit ConsolePort(bool assumeYes) : assumeYes_(assumeYes) {}

    int MessageBox(platform::ui::HWND owner, std::u16string_view text, std::u16string_view caption,
                   std::uint32_t style) override;
    void FailureBox(platform::ui::HWND owner, std::u16string_view text, std::u16string_view caption) override;

private:
    bool assumeYes_;
};

// Installs a console port for the rest of the process.
void InstallConsolePort(bool assumeYes);

}  // namespace cli
