// Messages with their recipient rows and attachments.
#include "platform/faults.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"
#include "platform/mapi/tags.h"

namespace platform::mapi::store {

namespace {

class Attach final : public PropObject<IAttach> {
public:
    using PropObject::PropObject;

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IAttachment || iid == IID_IMAPIProp; }
};

// The next number after the highest value of property `pid` among the children of kind
// `kind` (0 when there is none).
std::int64_t NextNumber(Database& db, ObjectId message, int kind, ULONG pid) {
    Cursor q = db.Query("SELECT coalesce(max(p.value) + 1, 0) FROM objects o JOIN props p ON p.obj = o.id"
                        " AND p.pid = ?3 WHERE o.parent = ?1 AND o.kind = ?2");
    q->Bind(1, message).Bind(2, std::int64_t{kind}).Bind(3, std::int64_t{pid});
    return q->Step() ? q->Int(0) : 0;
}

// The recipient row of `message` whose PR_ROWID is `rowId`; 0 when there is none.
ObjectId RecipientRow(Database& db, ObjectId message, std::int64_t rowId) {
    Cursor q = db.Query("SELECT o.id FROM objects o JOIN props p ON p.obj = o.id AND p.pid = 12288"
                        " WHERE o.parent = ? AND o.kind = 6 AND p.value = ? ORDER BY o.id LIMIT 1");
    q->Bind(1, message).Bind(2, rowId);
    return q->Step() ? q->Int(0) : 0;
}

HRESULT DeleteObject(Database& db, ObjectId id) {
    Cursor q = db.Query("DELETE FROM objects WHERE id = ?");
    q->Bind(1, id);
    return q->Run() ? S_OK : MAPI_E_DISK_ERROR;
}

const SPropValue* FindValue(const ADRENTRY& entry, ULONG propId) {
    for (ULONG i = 0; i < entry.cValues; ++i) {
        if (PROP_ID(entry.rgPropVals[i].ulPropTag) == propId) return &entry.rgPropVals[i];
    }
    return nullptr;
}

// Stores an entry's values on recipient row `row`, except its PR_ROWID.
HRESULT StoreRecipientValues(Database& db, ObjectId row, const ADRENTRY& entry) {
    for (ULONG i = 0; i < entry.cValues; ++i) {
        if (PROP_ID(entry.rgPropVals[i].ulPropTag) == PROP_ID(PR_ROWID)) continue;
        if (HRESULT stored = StoreValue(db, row, entry.rgPropVals[i]); stored != S_OK) return stored;
    }
    return S_OK;
}

class Message final : public PropObject<IMessage> {
public:
    Message(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values,
            std::shared_ptr<const LoadedRows> recipients, std::shared_ptr<const LoadedRows> attachments)
        : PropObject(std::move(db), row, std::move(values)),
          recipients_(std::move(recipients)),
          attachments_(std::move(attachments)) {}

    HRESULT GetAttachmentTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetAttachmentTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        *table = NewTable(db_, TableKind::Attachments, row_.id, Unchanged(attachments_));
        return S_OK;
    }

    HRESULT OpenAttach(ULONG number, const IID* iid, ULONG, IAttach** attach) override {
        if (faults::Hit("OpenAttach")) return MAPI_E_CALL_FAILED;
        if (attach == nullptr) return MAPI_E_INVALID_PARAMETER;
        *attach = nullptr;
        if (iid != nullptr && *iid != IID_IAttachment && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (const auto read = Unchanged(attachments_)) {
            // Read with the message: the first attachment with that number.
            for (const auto& [row, values] : *read) {
                for (const StoredValue& value : values) {
                    if (PROP_ID(value.tag) != PROP_ID(PR_ATTACH_NUM)) continue;
                    if (value.integer != static_cast<std::int64_t>(number)) break;
                    *attach = NewAttach(db_, row, static_cast<IMessage*>(this), this, values);
                    return S_OK;
                }
            }
            return MAPI_E_NOT_FOUND;
        }
        std::lock_guard lock(db_->Mutex());
        // The attachment with everything stored on it (its data will be read next, as a rule).
        ObjectRow row;
        std::vector<StoredValue> values;
        {
            Cursor q = db_->Query(
                "SELECT o.id, o.store, p.pid, p.type, p.value, length(p.value) FROM objects o"
                " LEFT JOIN props p ON p.obj = o.id WHERE o.id = (SELECT a.id FROM objects a JOIN props n"
                " ON n.obj = a.id AND n.pid = 3617 WHERE a.parent = ? AND a.kind = 7 AND n.value = ?"
                " ORDER BY a.id LIMIT 1) ORDER BY p.pid");
            q->Bind(1, row_.id).Bind(2, std::int64_t{number});
            while (q->Step()) {
                if (row.id == 0) row = {q->Int(0), kAttachment, q->Int(1), row_.id};
                if (!q->IsNull(2)) values.push_back(FromRow(*q, 2, Wanted{}));
            }
        }
        if (row.id == 0) return MAPI_E_NOT_FOUND;
        *attach = NewAttach(db_, row, static_cast<IMessage*>(this), this, std::move(values));
        return S_OK;
    }

    HRESULT CreateAttach(const IID* iid, ULONG, ULONG* number, IAttach** attach) override {
        if (faults::Hit("CreateAttach")) return MAPI_E_CALL_FAILED;
        if (attach == nullptr) return MAPI_E_INVALID_PARAMETER;
        *attach = nullptr;
        if (iid != nullptr && *iid != IID_IAttachment && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        ObjectRow row;
        std::int64_t assigned = 0;
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (!Refresh()) return MAPI_E_OBJECT_DELETED;
            assigned = NextNumber(*db_, row_.id, kAttachment, PROP_ID(PR_ATTACH_NUM));
            const ObjectId id = db_->Insert(kAttachment, row_.store, row_.id);
            if (id == 0) return MAPI_E_DISK_ERROR;
            row = {id, kAttachment, row_.store, row_.id};
            SPropValue num;
            num.ulPropTag = PR_ATTACH_NUM;
            num.Value.l = static_cast<LONG>(assigned);
            return StoreValue(*db_, id, num);
        });
        if (result != S_OK) return result;
        MarkDirty();
        if (number) *number = static_cast<ULONG>(assigned);
        *attach = NewAttach(db_, row, static_cast<IMessage*>(this), this);
        return S_OK;
    }

    HRESULT DeleteAttach(ULONG number, ULONG_PTR, void*, ULONG) override {
        if (faults::Hit("DeleteAttach")) return MAPI_E_CALL_FAILED;
        const HRESULT result = db_->Write([&]() -> HRESULT {
            Cursor q = db_->Query("SELECT o.id FROM objects o JOIN props p ON p.obj = o.id AND p.pid = 3617"
                                  " WHERE o.parent = ? AND o.kind = 7 AND p.value = ? ORDER BY o.id LIMIT 1");
            q->Bind(1, row_.id).Bind(2, std::int64_t{number});
            if (!q->Step()) return MAPI_E_NOT_FOUND;
            const ObjectId id = q->Int(0);
            q->Reset();
            return DeleteObject(*db_, id);
        });
        if (result == S_OK) MarkDirty();
        return result;
    }

    HRESULT GetRecipientTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetRecipientTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        *table = NewTable(db_, TableKind::Recipients, row_.id, Unchanged(recipients_));
        return S_OK;
    }

    HRESULT ModifyRecipients(ULONG flags, const ADRLIST* list) override {
        if (faults::Hit("ModifyRecipients")) return MAPI_E_CALL_FAILED;
        if (list == nullptr || (list->cEntries != 0 && list->aEntries == nullptr)) return MAPI_E_INVALID_PARAMETER;
        const ULONG mode = flags & (MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE);
        if (mode != 0 && mode != MODRECIP_ADD && mode != MODRECIP_MODIFY && mode != MODRECIP_REMOVE) {
            return MAPI_E_INVALID_PARAMETER;
        }
        for (ULONG i = 0; i < list->cEntries; ++i) {
            if (list->aEntries[i].cValues != 0 && list->aEntries[i].rgPropVals == nullptr) {
                return MAPI_E_INVALID_PARAMETER;
            }
        }
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (!Refresh()) return MAPI_E_OBJECT_DELETED;
            if (mode == 0) {
                Cursor q = db_->Query("DELETE FROM objects WHERE parent = ? AND kind = 6");
                q->Bind(1, row_.id);
                if (!q->Run()) return MAPI_E_DISK_ERROR;
            }
            for (ULONG i = 0; i < list->cEntries; ++i) {
                const ADRENTRY& entry = list->aEntries[i];
                if (mode == 0 || mode == MODRECIP_ADD) {
                    if (HRESULT added = AddRecipient(entry); added != S_OK) return added;
                    continue;
                }
                const SPropValue* rowId = FindValue(entry, PROP_ID(PR_ROWID));
                if (rowId == nullptr || PROP_TYPE(rowId->ulPropTag) != PT_LONG) return MAPI_E_INVALID_PARAMETER;
                const ObjectId row = RecipientRow(*db_, row_.id, rowId->Value.l);
                if (row == 0) return MAPI_E_NOT_FOUND;
                if (mode == MODRECIP_REMOVE) {
                    if (HRESULT removed = DeleteObject(*db_, row); removed != S_OK) return removed;
                    continue;
                }
                Cursor clear = db_->Query("DELETE FROM props WHERE obj = ? AND pid <> 12288");
                clear->Bind(1, row);
                if (!clear->Run()) return MAPI_E_DISK_ERROR;
                if (HRESULT stored = StoreRecipientValues(*db_, row, entry); stored != S_OK) return stored;
            }
            return S_OK;
        });
        if (result == S_OK) MarkDirty();
        return result;
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IMessage || iid == IID_IMAPIProp; }

private:
    // Rows read with the message, as long as it has not been changed through this handle.
    std::shared_ptr<const LoadedRows> Unchanged(const std::shared_ptr<const LoadedRows>& rows) const {
        return dirty_ ? nullptr : rows;
    }

    HRESULT AddRecipient(const ADRENTRY& entry) {
        const std::int64_t rowId = NextNumber(*db_, row_.id, kRecipient, PROP_ID(PR_ROWID));
        const ObjectId row = db_->Insert(kRecipient, row_.store, row_.id);
        if (row == 0) return MAPI_E_DISK_ERROR;
        SPropValue id;
        id.ulPropTag = PR_ROWID;
        id.Value.l = static_cast<LONG>(rowId);
        if (HRESULT stored = StoreValue(*db_, row, id); stored != S_OK) return stored;
        return StoreRecipientValues(*db_, row, entry);
    }

    std::shared_ptr<const LoadedRows> recipients_;   // null when not read with the message
    std::shared_ptr<const LoadedRows> attachments_;  // null when not read with the message
};

}  // namespace

IMessage* NewMessage(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values,
                     std::shared_ptr<const LoadedRows> recipients, std::shared_ptr<const LoadedRows> attachments) {
    return Make<Message>(std::move(db), row, std::move(values), std::move(recipients), std::move(attachments));
}

IAttach* NewAttach(std::shared_ptr<Database> db, const ObjectRow& row, IUnknown* message, PropCore* messageCore,
                   Preloaded values) {
    return Make<Attach>(std::move(db), row, std::move(values), message, messageCore);
}

}  // namespace platform::mapi::store
