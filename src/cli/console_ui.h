// The command line's window-system port: a report box prints its text on standard output, a
// question prints itself and reads y/N from the terminal ("y" or "yes" in any case is yes,
// anything else no), a failure prints "caption: words"
// on standard error.
//
// With --json the command's result is one JSON object on standard output instead: report boxes
// print nothing (the command's object carries their count and text), and a failure prints its
// object ({"command":..., "error": words, "caption": caption, "status": 1}) besides its line.
#pragma once

#include <string>
#include <string_view>

#include "platform/ui.h"

namespace cli {

class ConsolePort final : public platform::ui::Port {
public:
    // With `assumeYes`, every question is answered OK without asking (--yes). `jsonCommand`
    // names the command with --json (empty without).
    explicit ConsolePort(bool assumeYes, std::string jsonCommand = {})
        : assumeYes_(assumeYes), jsonCommand_(std::move(jsonCommand)) {}

    int MessageBox(platform::ui::HWND owner, std::u16string_view text, std::u16string_view caption,
                   std::uint32_t style) override;
    void FailureBox(platform::ui::HWND owner, std::u16string_view text, std::u16string_view caption) override;

private:
    bool assumeYes_;
    std::string jsonCommand_;
};

// Whether a typed answer says yes: "y" or "yes" in any case, blanks around it ignored.
bool IsYes(std::string_view answer);

// Installs a console port for the rest of the process.
void InstallConsolePort(bool assumeYes, const std::string& jsonCommand = {});

}  // namespace cli
