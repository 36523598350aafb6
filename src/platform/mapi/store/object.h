// The store's objects: reference counting, the property behaviour every store, folder,
// message and attachment shares, and the factories of the concrete objects.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/mapi/ptr.h"
#include "platform/mapi/store/database.h"
#include "platform/mapi/store/props.h"

namespace platform::mapi::store {

// Makes an object with one reference for its caller.
template <class T, class... Args>
T* Make(Args&&... args) {
    return std::make_unique<T>(std::forward<Args>(args)...).release();
}

// Reference counting and QueryInterface for one interface.
template <class Iface>
class Object : public Iface {
public:
    virtual ~Object() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
        *object = nullptr;
        if (iid != IID_IUnknown && !Supports(iid)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        this->AddRef();
        *object = static_cast<Iface*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) {
            OnLastRelease();
            std::unique_ptr<Object> self(this);
        }
        return left;
    }

protected:
    virtual bool Supports(const IID& iid) const = 0;
    // Runs once, just before the object goes.
    virtual void OnLastRelease() {}

private:
    std::atomic<ULONG> refs_{1};
};

// Stored values an object was opened with, when they were read already: its own, or shared
// with the rows they were read with (read-only; the object takes a copy at its first change).
using Preloaded = std::optional<std::vector<StoredValue>>;
using SharedValues = std::shared_ptr<const std::vector<StoredValue>>;

// What every object with properties does: read, write and stream its properties, and say at
// its last release that it was changed.
//
// An open object reads its stored values once (when opened, or at its first read) and answers
// from them until it is changed through this handle; large strings and binaries are read when
// asked for. Computed values are always those of the stored object.
//
// Stores and folders keep every change at once. A message is transacted: its changes, and
// those of its attachments and streams, stay in memory (in `values_` and the lists of what was
// set and removed) and reach the database in one transaction when the message commits them,
// at SaveChanges or at its last release; until then reads through it see them and nobody else
// does.
class PropCore {
public:
    PropCore(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values = {}, bool transacted = false);
    PropCore(std::shared_ptr<Database> db, const ObjectRow& row, SharedValues values, bool transacted);
    virtual ~PropCore() = default;

    Database& Db() const { return *db_; }
    const std::shared_ptr<Database>& SharedDb() const { return db_; }
    const ObjectRow& Row() const { return row_; }
    // Re-reads the object's row (it may have moved); false when it no longer exists.
    bool Refresh();

    HRESULT GetPropsImpl(const SPropTagArray* tags, ULONG flags, ULONG* count, SPropValue** values);
    HRESULT GetPropListImpl(ULONG flags, SPropTagArray** tags);
    HRESULT OpenPropertyImpl(IUnknown* self, ULONG tag, const IID* iid, ULONG flags, IUnknown** object);
    HRESULT SetPropsImpl(ULONG count, const SPropValue* values, SPropProblemArray** problems);
    HRESULT DeletePropsImpl(const SPropTagArray* tags, SPropProblemArray** problems);

    // The object was changed through this handle.
    void MarkDirty();
    // Takes what a stream on property `tag` holds: stored at once, or kept with the object's
    // other changes when it is transacted.
    HRESULT WriteStream(ULONG tag, const std::vector<BYTE>& bytes);
    // Sets a PT_UNICODE property of a transacted object to a UTF-8 text it shares with the
    // caller (HrSetTextShared).
    HRESULT SetSharedText(ULONG tag, std::shared_ptr<const std::string> utf8);
    // At the last release of a changed store or folder: a modified notification.
    void Finish();

protected:
    // The stored values (read now when not yet); false when the object no longer exists.
    bool EnsureValues();
    // Keeps `value` as a pending change of a transacted object, in place of any earlier one.
    void KeepPending(StoredValue value);
    // The value of `propId` in full, reading a large one now; null when there is none.
    const StoredValue* FullValue(ULONG propId);
    // A transacted object was changed through this handle (its values_ hold the change).
    virtual void Changed() {}
    // The values as they are now: the shared ones until the first change, the object's own
    // from then on. OwnValues makes them the object's own (a copy of the shared ones).
    const std::vector<StoredValue>& CurrentValues() const { return shared_ ? *shared_ : values_; }
    std::vector<StoredValue>& OwnValues();
    // Lets the object's own values be shared (by its streams) until its first change.
    void ShareValues();
    // Inside a write: stores the changes kept in memory on object `id` (all values when `all`,
    // for an object new to the database), then forgets that they were pending.
    HRESULT StorePending(ObjectId id, bool all);
    void ClearPending();

    std::shared_ptr<Database> db_;
    ObjectRow row_;
    std::vector<StoredValue> values_;
    SharedValues shared_;  // when set, the values (values_ is empty)
    bool loaded_ = false;
    std::atomic<bool> dirty_{false};
    const bool transacted_;
    std::set<ULONG> changed_;  // identifiers set since the last commit (transacted objects)
    std::set<ULONG> removed_;  // identifiers removed since the last commit
};

template <class Iface>
class PropObject : public Object<Iface>, public PropCore {
public:
    using PropCore::PropCore;

    HRESULT SaveChanges(ULONG) override { return S_OK; }
    HRESULT GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count, SPropValue** values) override {
        return GetPropsImpl(tags, flags, count, values);
    }
    HRESULT GetPropList(ULONG flags, SPropTagArray** tags) override { return GetPropListImpl(flags, tags); }
    HRESULT OpenProperty(ULONG tag, const IID* iid, ULONG, ULONG flags, IUnknown** object) override {
        return OpenPropertyImpl(this, tag, iid, flags, object);
    }
    HRESULT SetProps(ULONG count, const SPropValue* values, SPropProblemArray** problems) override {
        return SetPropsImpl(count, values, problems);
    }
    HRESULT DeleteProps(const SPropTagArray* tags, SPropProblemArray** problems) override {
        return DeletePropsImpl(tags, problems);
    }

protected:
    void OnLastRelease() override { Finish(); }
};

enum class TableKind { Stores, Hierarchy, Contents, Recipients, Attachments };

IMsgStore* NewStore(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values = {});
IMAPIFolder* NewFolder(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values = {});
// A stored message, or with `parent` a new one that is not in the database until it commits.
// A stored message read with its recipient rows and attachments (props.h, LoadTree) takes
// them from there until it commits a change.
IMessage* NewMessage(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values = {},
                     std::shared_ptr<const LoadedRows> recipients = nullptr,
                     std::shared_ptr<const LoadedRows> attachments = nullptr);
IMessage* NewDraftMessage(std::shared_ptr<Database> db, ObjectId store, ObjectId parent);
IStream* NewStream(IUnknown* host, PropCore* hostCore, ULONG tag, std::vector<BYTE> bytes, bool dirty);
// A stream that reads `bytes`, shared with its host's values, and copies them at its first write.
IStream* NewStream(IUnknown* host, PropCore* hostCore, ULONG tag, std::shared_ptr<const std::vector<BYTE>> bytes);
// A stream that reads stored value `propId` of object `obj`, `size` bytes, from the database
// as it is read; it cannot write.
IStream* NewStoredStream(IUnknown* host, std::shared_ptr<Database> db, ObjectId obj, ULONG propId, std::uint64_t size);
IMAPITable* NewTable(std::shared_ptr<Database> db, TableKind kind, ObjectId container);
// A message's recipient or attachment table, whose rows `source` gives whole, with the values
// `wanted` asks for (the message's changes not yet stored included). The rows are shared, not
// copied: a message read whole hands the rows it was read with to its tables as they are.
using TableRows = std::vector<std::pair<ObjectRow, std::vector<StoredValue>>>;
struct Wanted;
using RowSource = std::function<std::shared_ptr<const TableRows>(const Wanted& wanted)>;
IMAPITable* NewChildTable(std::shared_ptr<Database> db, TableKind kind, RowSource source);

// Opens the store, folder or message an identifier names; `store` other than 0 limits it to
// the objects of that store. `iid` may ask for the object's own interface. The object is read
// whole at the opening, or with MAPI_DEFERRED_ERRORS in `flags` only its row (whether it
// exists, and what it is), the rest when first asked for.
HRESULT OpenObject(const std::shared_ptr<Database>& db, ObjectId store, ULONG size, const ENTRYID* entryId,
                   const IID* iid, ULONG* type, IUnknown** object, ULONG flags = 0);

// The object id of a folder handed in by a caller (read through its PR_ENTRYID); 0 when it is
// not a folder of this database.
ObjectId FolderIdOf(Database& db, IMAPIFolder* folder);

}  // namespace platform::mapi::store
