#include "auto/delay.h"

#include <utility>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "export/exporter.h"
#include "platform/faults.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/tags.h"
#include "store/session.h"
#include "store/store_cache.h"
#include "support/fatal.h"
#include "support/pass_control.h"

namespace tallymere {

namespace mapi = platform::mapi;

std::unique_ptr<xDelay> delayQueue;
std::uint32_t autoExport = 1;
std::uint32_t autoBackup = 0;
ArrivalReport arrivalHandled;

void xDelay::AddID(std::uint32_t length, const std::uint8_t* bytes) {
    // The fault trials skip the pause (the entry "instant"), as they skip every fixed wait.
    AddID(length, bytes, Clock::now() + std::chrono::milliseconds(platform::faults::NoWaits() ? 0 : kPauseMs));
}

void xDelay::AddID(std::uint32_t length, const std::uint8_t* bytes, Clock::time_point when) {
    std::lock_guard lock(mutex);
    sizes.push_back(length);
    ids.emplace_back(bytes, bytes + length);
    // Due in arrival order: none before the one ahead of it.
    due.push_back(due.empty() ? when : std::max(when, due.back()));
    ++count;
}

std::vector<std::vector<std::uint8_t>> xDelay::TakeFirst(std::uint32_t n) {
    std::lock_guard lock(mutex);
    n = std::min(n, count);
    std::vector<std::vector<std::uint8_t>> taken(std::make_move_iterator(ids.begin()),
                                                 std::make_move_iterator(ids.begin() + n));
    ids.erase(ids.begin(), ids.begin() + n);
    sizes.erase(sizes.begin(), sizes.begin() + n);
    due.erase(due.begin(), due.begin() + n);
    count -= n;
    return taken;
}

int xDelay::ExecuteOne() {
    if (Count() == 0) return 0;
    if (autoExport == 0 && autoBackup == 0) {
        RemoveFirst();
        return 0;
    }
    // Handled while still on the queue, as a stop in the middle leaves it waiting.
    std::vector<std::vector<std::uint8_t>> one;
    {
        std::lock_guard lock(mutex);
        one.push_back(ids[0]);
    }
    if (HandleArrivals(one) == 1) RemoveFirst();
    return 0;
}

std::uint32_t xDelay::ExecuteDue(Clock::time_point now) {
    std::uint32_t n = 0;
    {
        std::lock_guard lock(mutex);
        while (n < count && due[n] <= now) ++n;
    }
    if (n == 0) return 0;
    if (autoExport == 0 && autoBackup == 0) {
        TakeFirst(n);
        return n;
    }
    std::vector<std::vector<std::uint8_t>> batch;
    {
        std::lock_guard lock(mutex);
        batch.assign(ids.begin(), ids.begin() + n);
    }
    return static_cast<std::uint32_t>(TakeFirst(HandleArrivals(batch)).size());
}

std::uint32_t xDelay::DropAll() { return static_cast<std::uint32_t>(TakeFirst(Count()).size()); }

std::optional<xDelay::Clock::time_point> xDelay::NextDue() const {
    std::lock_guard lock(mutex);
    if (count == 0) return std::nullopt;
    return due.front();
}

std::uint32_t xDelay::Count() const {
    std::lock_guard lock(mutex);
    return count;
}

std::uint32_t HandleArrivals(const std::vector<std::vector<std::uint8_t>>& batch) {
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    // Inside "Export by Selection" or "Backup by Selection" the pass's exporter or writer is
    // open: the messages go through it, so that the pass keeps one export list, one file
    // numbering and one archive pass. Otherwise the batch opens its own, once, at its first
    // message that is still there.
    bool exporterOpened = false;
    bool writerOpened = false;
    std::uint32_t handled = 0;
    for (const std::vector<std::uint8_t>& id : batch) {
        // A stop (Exit, a signal) ends the batch between two messages; the rest stay waiting.
        if (StopRequested()) break;
        ++handled;
        const auto size = static_cast<std::uint32_t>(id.size());
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        const mapi::HRESULT result = session->OpenEntry(size, reinterpret_cast<const mapi::ENTRYID*>(id.data()),
                                                        nullptr, 0, &type, object.Out());
        // A message deleted before its turn, or an identifier that names none, is no failure; a
        // store that cannot answer is.
        if (result != 0 && result != mapi::MAPI_E_NOT_FOUND && result != mapi::MAPI_E_INVALID_ENTRYID) {
            FatalError(u"OpenEntry failed.", u"xDelay::ExecuteOne");
        }
        if (result != 0 || !object || type != mapi::MAPI_MESSAGE) continue;
        mapi::Ptr<mapi::IMessage> message = std::move(object).As<mapi::IMessage>();
        const mapi::ULONG tag[] = {mapi::PR_PARENT_ENTRYID};
        const mapi::SPropTagArray tags{1, tag};
        mapi::ULONG valueCount = 0;
        mapi::Buffer<mapi::SPropValue> values;
        if (message->GetProps(&tags, mapi::MAPI_UNICODE, &valueCount, values.Out()) != 0) {
            FatalError(u"GetProps failed.", u"xDelay::ExecuteOne");
        }
        if (valueCount < 1 || values[0].ulPropTag != mapi::PR_PARENT_ENTRYID) continue;
        qMsg record(session.get(), size, id.data());
        record.GetMAPI();
        GetMyFolder(record, values[0].Value.bin.cb, values[0].Value.bin.lpb);
        bool exported = false;
        bool archived = false;
        if (autoExport != 0) {
            if (exporter == nullptr) {
                OpenKeptExporter();
                exporterOpened = true;
            }
            exported = exporter->ExportOne(record) != 0;
        }
        if (autoBackup != 0) {
            if (!IsBackupOpen()) {
                BeginBackup(BackupMode::Partial);
                writerOpened = true;
            }
            archived = BackupMessage(record) != 0;
        }
        if ((exported || archived) && arrivalHandled) arrivalHandled(record, exported, archived);
    }
    if (exporterOpened) KeepExporter();
    if (writerOpened) EndBackup();
    SessionLogoff(std::move(session));
    return handled;
}

void xDelay::RemoveFirst() { TakeFirst(1); }

void xDelay::Clear() {
    std::lock_guard lock(mutex);
    sizes.clear();
    ids.clear();
    due.clear();
    count = 0;
}

}  // namespace tallymere
