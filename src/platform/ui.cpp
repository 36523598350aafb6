#include "platform/ui.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/text.h"

namespace platform::ui {

namespace {

// Prints "caption: text" on standard error and answers OK.
class StderrPort final : public Port {
public:
    int MessageBox(HWND, std::u16string_view text, std::u16string_view caption, std::uint32_t) override {
        const std::string line = ToUtf8(caption) + ": " + ToUtf8(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return IDOK;
    }
};

StderrPort defaultPort;
std::atomic<Port*> current{&defaultPort};
std::atomic<int> openBoxes{0};

}  // namespace

Port* SetPort(Port* port) { return current.exchange(port ? port : &defaultPort); }

Port* GetPort() { return current.load(); }

int MessageBoxW(HWND owner, std::u16string_view text, std::u16string_view caption, std::uint32_t style) {
    return current.load()->MessageBox(owner, text, caption, style);
}

void FailureBoxW(HWND owner, std::u16string_view text, std::u16string_view caption) {
    current.load()->FailureBox(owner, text, caption);
}

int BoxesOpen() { return openBoxes.load(); }

OpenBoxScope::OpenBoxScope() { ++openBoxes; }

OpenBoxScope::~OpenBoxScope() { --openBoxes; }

}  // namespace platform::ui
