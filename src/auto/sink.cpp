#include "auto/sink.h"

#include <memory>
#include <mutex>
#include <vector>

#include "auto/delay.h"
#include "auto/stack.h"
#include "platform/no_destructor.h"
#include "platform/window.h"
#include "support/fatal.h"
#include "support/main_window.h"

namespace tallymere {

namespace mapi = platform::mapi;

platform::mapi::Ptr<CMAPIAdviseSink> adviseSink;
platform::mapi::ULONG adviseConnection = 0;

namespace {

// The sessions whose reference a sink took: kept for the rest of the process, as the sink
// promises, and reachable from here rather than stored in the sink.
struct KeptSessions {
    std::mutex mutex;
    std::vector<mapi::IMAPISession*> sessions;
};

KeptSessions& Kept() {
    static platform::NoDestructor<KeptSessions> kept;  // lives until the process ends
    return *kept;
}

}  // namespace

mapi::Ptr<CMAPIAdviseSink> CMAPIAdviseSink::Create(mapi::IMAPISession* session) {
    // The object owns itself from here on: its last Release destroys it.
    auto sink = mapi::Ptr<CMAPIAdviseSink>(std::make_unique<CMAPIAdviseSink>(Key{}).release());
    // The session is kept for the rest of the process.
    if (session) {
        session->AddRef();
        KeptSessions& kept = Kept();
        std::lock_guard lock(kept.mutex);
        kept.sessions.push_back(session);
    }
    return sink;
}

mapi::HRESULT CMAPIAdviseSink::QueryInterface(const mapi::IID&, void** object) {
    // Every interface asked for is answered with the sink itself.
    if (object == nullptr) return mapi::MAPI_E_INVALID_PARAMETER;
    *object = static_cast<mapi::IMAPIAdviseSink*>(this);
    AddRef();
    return 0;
}

mapi::ULONG CMAPIAdviseSink::AddRef() { return static_cast<mapi::ULONG>(platform::InterlockedIncrement(&refCount)); }

mapi::ULONG CMAPIAdviseSink::Release() {
    const platform::LONG count = platform::InterlockedDecrement(&refCount);
    if (count == 0) std::unique_ptr<CMAPIAdviseSink>{this};  // the last reference: the sink goes
    return static_cast<mapi::ULONG>(count);
}

mapi::ULONG CMAPIAdviseSink::OnNotify(mapi::ULONG count, mapi::NOTIFICATION* notifications) {
    // Start-up makes both objects before the sink is registered and shutdown unregisters it
    // before destroying them; a sink used outside that window does nothing.
    if (!recentIds || !delayQueue || !recentIds->IsEnabled()) return 0;
    if (count == 0 || notifications == nullptr) return 0;
    // Only the first notification of the array counts.
    const mapi::NOTIFICATION& first = notifications[0];
    const mapi::OBJECT_NOTIFICATION& object = first.info.obj;
    if (object.ulObjType != mapi::MAPI_MESSAGE) return 0;
    const auto* id = reinterpret_cast<const std::uint8_t*>(object.lpEntryID);
    if (first.ulEventType == mapi::fnevObjectCreated) {
        recentIds->AddID(object.cbEntryID, id);
    } else if (first.ulEventType == mapi::fnevObjectModified) {
        if (recentIds->FindAndRemove(object.cbEntryID, id) == 1) {
            delayQueue->AddID(object.cbEntryID, id);
            platform::ui::SendMessageW(mainWindow.load(), platform::ui::WM_COMMAND, kAutomaticProcessingCommand, 0);
        }
    }
    return 0;
}

}  // namespace tallymere
