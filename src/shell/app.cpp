#include "shell/app.h"

#include "auto/delay.h"
#include "auto/sink.h"
#include "auto/stack.h"
#include "export/exporter.h"
#include "platform/com.h"
#include "platform/kernel.h"
#include "platform/mapi/mapi.h"
#include "store/session.h"
#include "store/store_cache.h"
#include "support/fatal.h"
#include "support/settings.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {
// Object events: created, deleted, modified, moved, copied.
constexpr mapi::ULONG kObjectEvents = 0x7C;
}  // namespace

void CheckPlatformVersion() {
    platform::OSVERSIONINFO info;
    if (platform::GetVersionEx(&info) && info.dwMajorVersion != 5) {
        FatalError(u"Sorry this program is running only on WM6/WM5!", u"Tallymere");
    }
}

void BeginApp(StartMode mode) {
    CheckPlatformVersion();
    ApplyStartupDefaults();
    if (platform::CoInitializeEx(nullptr, 0) != 0) FatalError(u"CoInitializeEx failed.", u"BeginApp");
    if (mapi::MAPIInitialize(nullptr) != 0) FatalError(u"MAPIInitialize failed.", u"BeginApp");
    // The objects the sink works on exist before it is registered: from Advise on, the
    // notification thread may call it at any moment. (Shutdown unregisters it first for the
    // same reason.)
    storeCache = std::make_unique<xStore>();
    recentIds = std::make_unique<xStack>();
    delayQueue = std::make_unique<xDelay>();
    autoExport = 1;
    autoBackup = 0;
    if (mode == StartMode::Resident) {
        mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
        adviseSink = CMAPIAdviseSink::Create(session.get());
        if (session->Advise(0, nullptr, kObjectEvents, adviseSink.get(), &adviseConnection) != 0) {
            FatalError(u"Advise failed.", u"BeginApp");
        }
        SessionLogoff(std::move(session));
    }
}

void EndApp(StartMode mode) {
    if (mode == StartMode::Resident) {
        // The sink is unregistered before the objects it uses go: once Unadvise has returned,
        // the notification thread no longer calls it, so it cannot touch a destroyed stack.
        mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
        session->Unadvise(adviseConnection);  // a failure changes nothing at shutdown
        SessionLogoff(std::move(session));
    }
    // The export list of the exporter kept between arrivals is written back whole.
    DropKeptExporter();
    delayQueue.reset();
    recentIds.reset();
    storeCache.reset();
    mapi::MAPIUninitialize();
    platform::CoUninitialize();
}

}  // namespace tallymere
