// Properties of stores, folders, messages and attachments.
#include <algorithm>

#include "platform/faults.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"
#include "platform/text.h"

namespace platform::mapi::store {

namespace {

constexpr SCODE MAPI_E_COMPUTED = R(0x8004011A);

bool StreamableType(ULONG type) { return type == PT_BINARY || type == PT_UNICODE || type == PT_STRING8; }

// A problem array for the entries of `failed`, or null when there is none.
SPropProblemArray* Problems(const std::vector<SPropProblem>& failed) {
    if (failed.empty()) return nullptr;
    void* memory = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropProblemArray) + failed.size() * sizeof(SPropProblem)),
                           &memory) != S_OK) {
        return nullptr;
    }
    auto* array = static_cast<SPropProblemArray*>(memory);
    array->cProblem = static_cast<ULONG>(failed.size());
    array->aProblem = reinterpret_cast<SPropProblem*>(array + 1);
    std::copy(failed.begin(), failed.end(), array->aProblem);
    return array;
}

}  // namespace

PropCore::PropCore(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values, bool transacted)
    : db_(std::move(db)), row_(row), transacted_(transacted) {
    if (values) {
        values_ = std::move(*values);
        loaded_ = true;
    }
}

PropCore::PropCore(std::shared_ptr<Database> db, const ObjectRow& row, SharedValues values, bool transacted)
    : db_(std::move(db)), row_(row), shared_(std::move(values)), transacted_(transacted) {
    loaded_ = shared_ != nullptr;
}

std::vector<StoredValue>& PropCore::OwnValues() {
    if (shared_) {
        values_ = *shared_;
        shared_.reset();
    }
    return values_;
}

void PropCore::ShareValues() {
    if (!shared_ && loaded_) shared_ = std::make_shared<const std::vector<StoredValue>>(std::move(values_));
    values_.clear();
}

bool PropCore::EnsureValues() {
    if (loaded_) return true;
    shared_.reset();
    Wanted wanted;
    wanted.maxBytes = kPreloadBytes;
    if (!LoadObject(*db_, row_.id, wanted, &row_, &values_)) return false;
    loaded_ = true;
    return true;
}

const StoredValue* PropCore::FullValue(ULONG propId) {
    const std::vector<StoredValue>& current = CurrentValues();
    const auto found = std::find_if(current.begin(), current.end(),
                                    [&](const StoredValue& value) { return PROP_ID(value.tag) == propId; });
    if (found == current.end()) return nullptr;
    // Whole already: read where it is (shared or not).
    if (found->loaded && !found->utf8) return &*found;
    for (StoredValue& value : OwnValues()) {
        if (PROP_ID(value.tag) != propId) continue;
        if (!value.loaded && LoadOne(*db_, row_.id, propId, &value)) value.loaded = true;
        if (value.utf8) {
            // A text shared with the caller is read back: from now on it is a value of its own.
            value.bytes = Utf16Bytes(FromUtf8(*value.utf8));
            value.utf8.reset();
        }
        return value.loaded ? &value : nullptr;
    }
    return nullptr;
}

bool PropCore::Refresh() {
    ObjectRow row;
    if (!db_->Lookup(row_.id, &row)) return false;
    row_ = row;
    return true;
}

HRESULT PropCore::GetPropsImpl(const SPropTagArray* tags, ULONG, ULONG* count, SPropValue** values) {
    if (faults::Hit("GetProps")) return MAPI_E_CALL_FAILED;
    if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
    if (tags != nullptr && tags->cValues != 0 && tags->aulPropTag == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard lock(db_->Mutex());
    if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
    std::vector<ULONG> all;
    const ULONG* asked = tags ? tags->aulPropTag : nullptr;
    ULONG n = tags ? tags->cValues : 0;
    if (tags == nullptr) {
        all = PropList(*db_, row_, CurrentValues());
        asked = all.data();
        n = static_cast<ULONG>(all.size());
    }
    for (ULONG i = 0; i < n; ++i) FullValue(PROP_ID(asked[i]));
    void* memory = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (n ? n : 1)), &memory) != S_OK) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    auto* out = static_cast<SPropValue*>(memory);
    FillProps(*db_, row_, CurrentValues(), asked, n, out, memory);
    *count = n;
    *values = out;
    return S_OK;
}

HRESULT PropCore::GetPropListImpl(ULONG, SPropTagArray** tags) {
    if (faults::Hit("GetPropList")) return MAPI_E_CALL_FAILED;
    if (tags == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard lock(db_->Mutex());
    if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
    const std::vector<ULONG> list = PropList(*db_, row_, CurrentValues());
    void* memory = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropTagArray) + list.size() * sizeof(ULONG)), &memory) != S_OK) {
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    auto* array = static_cast<SPropTagArray*>(memory);
    auto* ids = reinterpret_cast<ULONG*>(array + 1);
    std::copy(list.begin(), list.end(), ids);
    array->cValues = static_cast<ULONG>(list.size());
    array->aulPropTag = ids;
    *tags = array;
    return S_OK;
}

HRESULT PropCore::OpenPropertyImpl(IUnknown* self, ULONG tag, const IID* iid, ULONG flags, IUnknown** object) {
    if (faults::Hit("OpenProperty")) return MAPI_E_CALL_FAILED;
    if (object == nullptr) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    if (iid != nullptr && *iid != IID_IStream && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (!StreamableType(PROP_TYPE(tag))) return MAPI_E_NO_SUPPORT;
    std::lock_guard lock(db_->Mutex());
    if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
    if ((flags & (MAPI_MODIFY | MAPI_CREATE)) == 0) {
        // A long stored value that was not read with the object is read as the stream is,
        // not whole first.
        for (const StoredValue& stored : CurrentValues()) {
            if (PROP_ID(stored.tag) != PROP_ID(tag) || stored.loaded) continue;
            if (PROP_TYPE(stored.tag) != PROP_TYPE(tag)) return MAPI_E_NO_SUPPORT;
            *object = NewStoredStream(self, db_, row_.id, PROP_ID(tag), static_cast<std::uint64_t>(stored.length));
            return S_OK;
        }
    }
    const StoredValue* value = FullValue(PROP_ID(tag));
    if (value && PROP_TYPE(value->tag) != PROP_TYPE(tag)) return MAPI_E_NO_SUPPORT;
    if (!value && (flags & (MAPI_MODIFY | MAPI_CREATE)) == 0) return MAPI_E_NOT_FOUND;
    const bool create = (flags & MAPI_CREATE) != 0;
    if (value && !create && shared_) {
        // Read from the shared values in place; the stream copies them if it is written to.
        *object = NewStream(self, this, tag, std::shared_ptr<const std::vector<BYTE>>(shared_, &value->bytes));
        return S_OK;
    }
    std::vector<BYTE> bytes;
    if (value && !create) bytes = value->bytes;
    *object = NewStream(self, this, tag, std::move(bytes), create);
    return S_OK;
}

HRESULT PropCore::SetPropsImpl(ULONG count, const SPropValue* values, SPropProblemArray** problems) {
    if (faults::Hit("SetProps")) return MAPI_E_CALL_FAILED;
    if (count != 0 && values == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::vector<SPropProblem> failed;
    if (transacted_) {
        std::lock_guard lock(db_->Mutex());
        if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
        // Every value is checked before any is taken: a refused call changes nothing.
        std::vector<StoredValue> taken;
        for (ULONG i = 0; i < count; ++i) {
            const ULONG tag = values[i].ulPropTag;
            if (IsComputed(row_.kind, PROP_ID(tag))) {
                failed.push_back({i, tag, MAPI_E_COMPUTED});
                continue;
            }
            StoredValue value;
            bool kept = false;
            if (HRESULT made = ToStoredValue(values[i], &value, &kept); made != S_OK) return made;
            if (kept) taken.push_back(std::move(value));
        }
        for (StoredValue& value : taken) KeepPending(std::move(value));
        dirty_ = true;
        Changed();
    } else {
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (!Refresh()) return MAPI_E_OBJECT_DELETED;
            for (ULONG i = 0; i < count; ++i) {
                const ULONG tag = values[i].ulPropTag;
                if (IsComputed(row_.kind, PROP_ID(tag))) {
                    failed.push_back({i, tag, MAPI_E_COMPUTED});
                    continue;
                }
                if (HRESULT stored = StoreValue(*db_, row_.id, values[i]); stored != S_OK) return stored;
            }
            return S_OK;
        });
        if (result != S_OK) return result;
        MarkDirty();
    }
    if (problems) *problems = Problems(failed);
    return S_OK;
}

HRESULT PropCore::DeletePropsImpl(const SPropTagArray* tags, SPropProblemArray** problems) {
    if (faults::Hit("DeleteProps")) return MAPI_E_CALL_FAILED;
    if (tags == nullptr || (tags->cValues != 0 && tags->aulPropTag == nullptr)) return MAPI_E_INVALID_PARAMETER;
    std::vector<SPropProblem> failed;
    if (transacted_) {
        std::lock_guard lock(db_->Mutex());
        if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
        for (ULONG i = 0; i < tags->cValues; ++i) {
            const ULONG tag = tags->aulPropTag[i];
            if (IsComputed(row_.kind, PROP_ID(tag))) {
                failed.push_back({i, tag, MAPI_E_COMPUTED});
                continue;
            }
            EraseValue(OwnValues(), PROP_ID(tag));
            changed_.erase(PROP_ID(tag));
            removed_.insert(PROP_ID(tag));
        }
        dirty_ = true;
        Changed();
    } else {
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (!Refresh()) return MAPI_E_OBJECT_DELETED;
            for (ULONG i = 0; i < tags->cValues; ++i) {
                const ULONG tag = tags->aulPropTag[i];
                if (IsComputed(row_.kind, PROP_ID(tag))) {
                    failed.push_back({i, tag, MAPI_E_COMPUTED});
                    continue;
                }
                if (HRESULT done = DeleteValue(*db_, row_.id, PROP_ID(tag)); done != S_OK) return done;
            }
            return S_OK;
        });
        if (result != S_OK) return result;
        MarkDirty();
    }
    if (problems) *problems = Problems(failed);
    return S_OK;
}

void PropCore::KeepPending(StoredValue value) {
    const ULONG id = PROP_ID(value.tag);
    removed_.erase(id);
    changed_.insert(id);
    PutValue(OwnValues(), std::move(value));
}

void PropCore::MarkDirty() {
    dirty_ = true;
    std::lock_guard lock(db_->Mutex());
    // Read again at the next use; a transacted object's values are its pending changes.
    if (!transacted_) loaded_ = false;
}

HRESULT PropCore::WriteStream(ULONG tag, const std::vector<BYTE>& bytes) {
    if (transacted_) {
        std::lock_guard lock(db_->Mutex());
        if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
        StoredValue value;
        value.tag = tag;
        value.bytes = bytes;
        value.length = static_cast<std::int64_t>(bytes.size());
        KeepPending(std::move(value));
        dirty_ = true;
        Changed();
        return S_OK;
    }
    const HRESULT result = db_->Write([&]() -> HRESULT {
        if (!Refresh()) return MAPI_E_OBJECT_DELETED;
        return StoreBytes(*db_, row_.id, tag, bytes);
    });
    if (result == S_OK) MarkDirty();
    return result;
}

HRESULT PropCore::SetSharedText(ULONG tag, std::shared_ptr<const std::string> utf8) {
    if (faults::Hit("HrSetTextShared")) return MAPI_E_CALL_FAILED;
    if (!utf8 || PROP_TYPE(tag) != PT_UNICODE) return MAPI_E_INVALID_PARAMETER;
    if (!transacted_) return MAPI_E_NO_SUPPORT;
    if (IsComputed(row_.kind, PROP_ID(tag))) return MAPI_E_COMPUTED;
    std::lock_guard lock(db_->Mutex());
    if (!EnsureValues()) return MAPI_E_OBJECT_DELETED;
    StoredValue value;
    value.tag = tag;
    value.length = static_cast<std::int64_t>(2 * Utf16Length(*utf8));
    value.utf8 = std::move(utf8);
    KeepPending(std::move(value));
    dirty_ = true;
    Changed();
    return S_OK;
}

HRESULT PropCore::StorePending(ObjectId id, bool all) {
    if (!all) {
        for (ULONG propId : removed_) {
            if (HRESULT done = DeleteValue(*db_, id, propId); done != S_OK) return done;
        }
    }
    std::vector<const StoredValue*> storing;
    storing.reserve(CurrentValues().size());
    for (const StoredValue& value : CurrentValues()) {
        if (!all && changed_.count(PROP_ID(value.tag)) == 0) continue;
        if (IsComputed(row_.kind, PROP_ID(value.tag))) continue;
        storing.push_back(&value);
    }
    return StoreStoredValues(*db_, id, storing, all);
}

void PropCore::ClearPending() {
    changed_.clear();
    removed_.clear();
    dirty_ = false;
}

void PropCore::Finish() {
    if (!dirty_ || transacted_) return;
    // The change itself is kept already; only the notification remains to be written.
    db_->Write([&]() -> HRESULT {
        if (!Refresh()) return S_OK;
        return db_->LogChange(fnevObjectModified, row_.kind, row_.id, row_.kind == kStore ? 0 : row_.parent)
                   ? S_OK
                   : MAPI_E_DISK_ERROR;
    });
}

}  // namespace platform::mapi::store

namespace platform::mapi {

HRESULT HrSetTextShared(IMessage* message, ULONG tag, std::shared_ptr<const std::string> utf8) {
    auto* core = dynamic_cast<store::PropCore*>(message);
    if (core == nullptr) return MAPI_E_INVALID_PARAMETER;
    return core->SetSharedText(tag, std::move(utf8));
}

}  // namespace platform::mapi
