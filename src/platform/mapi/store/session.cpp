// Sessions, logon and the process-wide initialisation count.
#include <atomic>

#include "platform/faults.h"
#include "platform/mapi/store/notifier.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"

namespace platform::mapi {

namespace store {

namespace {

std::atomic<int> initialised{0};

class Session final : public Object<IMAPISession> {
public:
    explicit Session(std::shared_ptr<Database> db) : db_(std::move(db)) {}

    HRESULT GetMsgStoresTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetMsgStoresTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        *table = NewTable(db_, TableKind::Stores, 0);
        return S_OK;
    }

    HRESULT OpenMsgStore(ULONG_PTR, ULONG size, const ENTRYID* entryId, const IID* iid, ULONG,
                         IMsgStore** store) override {
        if (faults::Hit("OpenMsgStore")) return MAPI_E_CALL_FAILED;
        if (store == nullptr) return MAPI_E_INVALID_PARAMETER;
        *store = nullptr;
        if (iid != nullptr && *iid != IID_IMsgStore && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        const ObjectId id = db_->ParseEntryId(size, entryId);
        if (id == 0) return MAPI_E_INVALID_ENTRYID;
        ObjectRow row;
        std::vector<StoredValue> values;
        {
            std::lock_guard lock(db_->Mutex());
            if (!LoadObject(*db_, id, Wanted{}, &row, &values) || row.kind != kStore) return MAPI_E_NOT_FOUND;
        }
        *store = NewStore(db_, row, std::move(values));
        return S_OK;
    }

    HRESULT CreateMsgStore(const char16_t* name, IMsgStore** store) override {
        if (faults::Hit("CreateMsgStore")) return MAPI_E_CALL_FAILED;
        if (store == nullptr || name == nullptr || name[0] == u'\0') return MAPI_E_INVALID_PARAMETER;
        *store = nullptr;
        ObjectRow row;
        const HRESULT result = db_->Write([&]() -> HRESULT {
            const ObjectId id = db_->CreateStore(name, false);
            if (id == 0 || !db_->LogChange(fnevObjectCreated, kStore, id, 0)) return MAPI_E_DISK_ERROR;
            row = {id, kStore, id, 0};
            return S_OK;
        });
        if (result != S_OK) return result;
        *store = NewStore(db_, row);
        return S_OK;
    }

    HRESULT OpenEntry(ULONG size, const ENTRYID* entryId, const IID* iid, ULONG flags, ULONG* type,
                      IUnknown** object) override {
        if (faults::Hit("OpenEntry")) return MAPI_E_CALL_FAILED;
        return OpenObject(db_, 0, size, entryId, iid, type, object, flags);
    }

    HRESULT Advise(ULONG size, const ENTRYID* entryId, ULONG eventMask, IMAPIAdviseSink* sink,
                   ULONG* connection) override {
        if (faults::Hit("Advise")) return MAPI_E_CALL_FAILED;
        if (sink == nullptr || connection == nullptr) return MAPI_E_INVALID_PARAMETER;
        ObjectId filter = 0;
        if (size != 0 || entryId != nullptr) {
            filter = db_->ParseEntryId(size, entryId);
            if (filter == 0) return MAPI_E_INVALID_ENTRYID;
        }
        return Notifier::Instance().Advise(*db_, filter, eventMask, sink, connection);
    }

    HRESULT Unadvise(ULONG connection) override {
        if (faults::Hit("Unadvise")) return MAPI_E_CALL_FAILED;
        return Notifier::Instance().Unadvise(connection);
    }

    HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override {
        if (faults::Hit("Logoff")) return MAPI_E_CALL_FAILED;
        if (!db_->EndBatch()) return MAPI_E_DISK_ERROR;
        Notifier::Instance().WaitDelivered(db_->File(), db_->LastChangeSeq());
        return S_OK;
    }

    Database& Db() { return *db_; }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IMAPISession; }

private:
    std::shared_ptr<Database> db_;
};

Database* DatabaseOf(IMAPISession* session) {
    auto* own = dynamic_cast<Session*>(session);
    return own ? &own->Db() : nullptr;
}

}  // namespace

}  // namespace store

HRESULT MAPIInitialize(void*) {
    if (faults::Hit("MAPIInitialize")) return MAPI_E_CALL_FAILED;
    ++store::initialised;
    return S_OK;
}

void MAPIUninitialize() {
    int current = store::initialised.load();
    while (current > 0 && !store::initialised.compare_exchange_weak(current, current - 1)) {
    }
    if (current == 1) store::Notifier::Instance().Shutdown();
}

HRESULT HrBeginWriteBatch(IMAPISession* session, ULONG maxChanges, ULONG maxMs) {
    if (faults::Hit("HrBeginWriteBatch")) return MAPI_E_CALL_FAILED;
    store::Database* db = store::DatabaseOf(session);
    if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
    db->BeginBatch(maxChanges, maxMs);
    return S_OK;
}

HRESULT HrPaceWriteBatch(IMAPISession* session) {
    if (faults::Hit("HrPaceWriteBatch")) return MAPI_E_DISK_ERROR;
    store::Database* db = store::DatabaseOf(session);
    if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
    return db->PaceBatch() ? S_OK : MAPI_E_DISK_ERROR;
}

HRESULT HrEndWriteBatch(IMAPISession* session) {
    if (faults::Hit("HrEndWriteBatch")) return MAPI_E_DISK_ERROR;
    store::Database* db = store::DatabaseOf(session);
    if (db == nullptr) return MAPI_E_INVALID_PARAMETER;
    return db->EndBatch() ? S_OK : MAPI_E_DISK_ERROR;
}

HRESULT MAPILogonEx(ULONG_PTR, const char16_t*, const char16_t*, ULONG, IMAPISession** session) {
    if (faults::Hit("MAPILogonEx")) return MAPI_E_LOGON_FAILED;
    if (session == nullptr) return MAPI_E_INVALID_PARAMETER;
    *session = nullptr;
    if (store::initialised.load() <= 0) return MAPI_E_NOT_INITIALIZED;
    HRESULT result = S_OK;
    std::shared_ptr<store::Database> db = store::Database::Open(&result);
    if (!db) return result;
    *session = store::Make<store::Session>(std::move(db));
    return S_OK;
}

}  // namespace platform::mapi
