// CMAPIAdviseSink: the program's receiver of message-store notifications. It watches for a
// message that is first created and then modified: the creation puts the identifier on
// `recentIds`, the first modification after it moves the identifier to `delayQueue` and sends
// command 40096 to the main window, which processes the message on the user-interface thread.
// Everything else — folders, deletions, moves, copies, a modification without a creation seen
// before it, and every notification while `recentIds` is disabled — is ignored.
#pragma once

#include <atomic>

#include "platform/kernel.h"
#include "platform/mapi/interfaces.h"
#include "platform/mapi/ptr.h"

namespace tallymere {

// The command the sink sends for automatic processing.
inline constexpr std::uint32_t kAutomaticProcessingCommand = 40096;

class CMAPIAdviseSink final : public platform::mapi::IMAPIAdviseSink {
public:
    // A new sink with one reference (the caller's); it takes one reference on `session`, which
    // it keeps for the rest of the process.
    static platform::mapi::Ptr<CMAPIAdviseSink> Create(platform::mapi::IMAPISession* session);

    platform::mapi::HRESULT QueryInterface(const platform::mapi::IID& iid, void** object) override;
    platform::mapi::ULONG AddRef() override;
    platform::mapi::ULONG Release() override;
    platform::mapi::ULONG OnNotify(platform::mapi::ULONG count, platform::mapi::NOTIFICATION* notifications) override;

    std::atomic<platform::LONG> refCount{1};

private:
    struct Key {
        explicit Key() = default;
    };

public:
    // Made through Create only; destroyed by its last Release.
    explicit CMAPIAdviseSink(Key) {}
    ~CMAPIAdviseSink() = default;
};

// The sink registered at start-up and its connection number.
extern platform::mapi::Ptr<CMAPIAdviseSink> adviseSink;
extern platform::mapi::ULONG adviseConnection;

}  // namespace tallymere
