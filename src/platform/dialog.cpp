#include "platform/dialog.h"

#include <atomic>

namespace platform::dialog {

namespace {

std::atomic<Host*> current{nullptr};

}  // namespace

Host* SetHost(Host* host) { return current.exchange(host); }

INT_PTR DialogBoxW(ui::HWND owner, int templateId, DialogProc proc) {
    Host* host = current.load();
    return host ? host->DialogBox(owner, templateId, std::move(proc)) : kNoDialog;
}

}  // namespace platform::dialog
