// Messages with their recipient rows and attachments.
//
// A message is transacted. What is done through an open message — properties set or removed,
// streams written, recipients changed, attachments made, changed or deleted — is kept in the
// message object and stored in one transaction when the message commits: at SaveChanges or at
// its last release (an attachment or stream keeps its message open, so their changes are in).
// A new message is not in the database before that; its identifier is reserved when it is
// first asked for. So a message is stored whole or, when the process dies first, not at all,
// and its notifications (created for a new one, then modified when it was changed) are written
// in the same transaction.
//
// A message opened by identifier comes read whole, with its recipient rows and attachments
// (props.h, LoadTree): until it commits a change, its tables and OpenAttach take the stored
// rows from there rather than reading them again.
#include <algorithm>
#include <map>
#include <optional>

#include "platform/faults.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"
#include "platform/mapi/tags.h"

namespace platform::mapi::store {

namespace {

class Message;

// A message's attachment as changed through it and not yet stored.
struct AttachDraft {
    std::int64_t key = 0;  // the stored attachment's id, or a negative number for a new one
    ObjectId id = 0;       // 0 for a new attachment
    bool deleted = false;
    std::vector<StoredValue> values;  // every value (large stored ones possibly not loaded)
    std::set<ULONG> changed;
    std::set<ULONG> removed;
};

using Values = std::vector<StoredValue>;

const StoredValue* FindStored(const Values& values, ULONG propId) {
    for (const StoredValue& value : values) {
        if (PROP_ID(value.tag) == propId) return &value;
    }
    return nullptr;
}

// The next number after the highest value of `propId` among `rows` (0 when there is none).
std::int64_t NextNumber(const TableRows& rows, ULONG propId) {
    std::int64_t next = 0;
    for (const auto& [row, values] : rows) {
        if (const StoredValue* v = FindStored(values, propId)) next = std::max(next, v->integer + 1);
    }
    return next;
}

const SPropValue* FindValue(const ADRENTRY& entry, ULONG propId) {
    for (ULONG i = 0; i < entry.cValues; ++i) {
        if (PROP_ID(entry.rgPropVals[i].ulPropTag) == propId) return &entry.rgPropVals[i];
    }
    return nullptr;
}

// Puts an entry's values, except its PR_ROWID, into a recipient row's values.
HRESULT TakeRecipientValues(Values& row, const ADRENTRY& entry) {
    for (ULONG i = 0; i < entry.cValues; ++i) {
        if (PROP_ID(entry.rgPropVals[i].ulPropTag) == PROP_ID(PR_ROWID)) continue;
        StoredValue value;
        bool kept = false;
        if (HRESULT made = ToStoredValue(entry.rgPropVals[i], &value, &kept); made != S_OK) return made;
        if (kept) PutValue(row, std::move(value));
    }
    return S_OK;
}

StoredValue Number(ULONG tag, std::int64_t value) {
    StoredValue v;
    v.tag = tag;
    v.integer = value;
    return v;
}

class Attach final : public PropObject<IAttach> {
public:
    Attach(Message* message, std::int64_t key, std::shared_ptr<Database> db, const ObjectRow& row, Values values);
    // An attachment read with its message, whose values it shares until it is changed.
    Attach(Message* message, std::shared_ptr<Database> db, const ObjectRow& row, SharedValues values);

    // Its changes are its message's already.
    HRESULT SaveChanges(ULONG) override { return S_OK; }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IAttachment || iid == IID_IMAPIProp; }
    void OnLastRelease() override {}
    // Every change made through the attachment is its message's change at once.
    void Changed() override;

private:
    Ptr<IUnknown> keep_;  // the message stays open while one of its attachments is
    Message* message_;
    std::int64_t key_;
};

class Message final : public PropObject<IMessage> {
public:
    // A stored message (`draft` false) or a new one of folder row.parent; `recipients` and
    // `attachments`, when given, are its stored rows read with it.
    Message(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values, bool draft,
            std::shared_ptr<const LoadedRows> recipients = nullptr,
            std::shared_ptr<const LoadedRows> attachments = nullptr)
        : PropObject(std::move(db), row, draft ? Preloaded(Values{}) : std::move(values), true),
          draft_(draft),
          readRecipients_(std::move(recipients)),
          readAttachments_(std::move(attachments)) {
        // A stored message is read far more often than changed: its streams read its values
        // where they are.
        if (!draft) ShareValues();
    }

    HRESULT SaveChanges(ULONG) override { return Commit(); }

    HRESULT GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count, SPropValue** values) override {
        // A new message gets its identifier when it is first asked for.
        if (draft_ && row_.id == 0 && AsksForId(tags)) {
            std::lock_guard lock(db_->Mutex());
            row_.id = db_->ReserveId();
            if (row_.id == 0) return MAPI_E_DISK_ERROR;
        }
        const HRESULT result = GetPropsImpl(tags, flags, count, values);
        if (result == S_OK && (draft_ || dirty_)) ComputeFromChanges(*count, *values);
        return result;
    }

    HRESULT GetAttachmentTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetAttachmentTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        // The table keeps the message open, like an attachment or a stream.
        auto keep = std::make_shared<Ptr<IUnknown>>(Ptr<IUnknown>::Share(static_cast<IMessage*>(this)));
        *table = NewChildTable(db_, TableKind::Attachments, [this, keep](const Wanted& wanted) {
            std::lock_guard lock(db_->Mutex());
            if (!AttachmentsChanged() && readAttachments_) return readAttachments_;
            return std::make_shared<const TableRows>(Attachments(nullptr, wanted));
        });
        return S_OK;
    }

    HRESULT OpenAttach(ULONG number, const IID* iid, ULONG, IAttach** attach) override {
        if (faults::Hit("OpenAttach")) return MAPI_E_CALL_FAILED;
        if (attach == nullptr) return MAPI_E_INVALID_PARAMETER;
        *attach = nullptr;
        if (iid != nullptr && *iid != IID_IAttachment && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        std::lock_guard lock(db_->Mutex());
        if (AttachmentsChanged()) {
            std::vector<std::int64_t> keys;
            TableRows rows = Attachments(&keys);
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const StoredValue* num = FindStored(rows[i].second, PROP_ID(PR_ATTACH_NUM));
                if (num == nullptr || num->integer != number) continue;
                *attach = Make<Attach>(this, keys[i], db_, rows[i].first, std::move(rows[i].second));
                return S_OK;
            }
            return MAPI_E_NOT_FOUND;
        }
        if (readAttachments_) {
            // Read with the message: the first attachment with that number.
            for (const auto& [row, values] : *readAttachments_) {
                const StoredValue* num = FindStored(values, PROP_ID(PR_ATTACH_NUM));
                if (num == nullptr || num->integer != number) continue;
                *attach = Make<Attach>(this, db_, row, SharedValues(readAttachments_, &values));
                return S_OK;
            }
            return MAPI_E_NOT_FOUND;
        }
        // The attachment with everything stored on it (its data will be read next, as a rule).
        ObjectRow row;
        Values values;
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
        *attach = Make<Attach>(this, row.id, db_, row, std::move(values));
        return S_OK;
    }

    HRESULT CreateAttach(const IID* iid, ULONG, ULONG* number, IAttach** attach) override {
        if (faults::Hit("CreateAttach")) return MAPI_E_CALL_FAILED;
        if (attach == nullptr) return MAPI_E_INVALID_PARAMETER;
        *attach = nullptr;
        if (iid != nullptr && *iid != IID_IAttachment && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        std::lock_guard lock(db_->Mutex());
        if (!draft_ && !Refresh()) return MAPI_E_OBJECT_DELETED;
        const std::int64_t assigned = NextNumber(Attachments(nullptr), PROP_ID(PR_ATTACH_NUM));
        AttachDraft made;
        made.key = --lastNewKey_;
        made.values.push_back(Number(PR_ATTACH_NUM, assigned));
        attachments_.push_back(made);
        dirty_ = true;
        if (number) *number = static_cast<ULONG>(assigned);
        *attach = Make<Attach>(this, made.key, db_, ObjectRow{0, kAttachment, row_.store, row_.id}, made.values);
        return S_OK;
    }

    HRESULT DeleteAttach(ULONG number, ULONG_PTR, void*, ULONG) override {
        if (faults::Hit("DeleteAttach")) return MAPI_E_CALL_FAILED;
        std::lock_guard lock(db_->Mutex());
        std::vector<std::int64_t> keys;
        const TableRows rows = Attachments(&keys);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const StoredValue* num = FindStored(rows[i].second, PROP_ID(PR_ATTACH_NUM));
            if (num == nullptr || num->integer != number) continue;
            AttachDraft& draft = DraftFor(keys[i], rows[i].first.id);
            if (draft.id == 0) {
                attachments_.erase(attachments_.begin() + (&draft - attachments_.data()));
            } else {
                draft.deleted = true;
            }
            dirty_ = true;
            return S_OK;
        }
        return MAPI_E_NOT_FOUND;
    }

    HRESULT GetRecipientTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetRecipientTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        // The table keeps the message open, like an attachment or a stream.
        auto keep = std::make_shared<Ptr<IUnknown>>(Ptr<IUnknown>::Share(static_cast<IMessage*>(this)));
        *table = NewChildTable(db_, TableKind::Recipients, [this, keep](const Wanted& wanted) {
            std::lock_guard lock(db_->Mutex());
            if (!recipients_ && !draft_ && readRecipients_) return readRecipients_;
            auto rows = std::make_shared<TableRows>();
            if (!recipients_) {
                if (!draft_) *rows = StoredRows(kRecipient, wanted);
                return std::shared_ptr<const TableRows>(std::move(rows));
            }
            for (const Values& values : *recipients_) {
                rows->emplace_back(ObjectRow{0, kRecipient, row_.store, row_.id}, values);
            }
            return std::shared_ptr<const TableRows>(std::move(rows));
        });
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
        std::lock_guard lock(db_->Mutex());
        if (!draft_ && !Refresh()) return MAPI_E_OBJECT_DELETED;
        // The rows are changed on a copy that replaces the list only when every entry was taken.
        std::vector<Values> rows = recipients_ ? *recipients_ : StoredRecipients();
        if (mode == 0) rows.clear();
        for (ULONG i = 0; i < list->cEntries; ++i) {
            const ADRENTRY& entry = list->aEntries[i];
            if (mode == 0 || mode == MODRECIP_ADD) {
                std::int64_t next = 0;
                for (const Values& row : rows) {
                    if (const StoredValue* id = FindStored(row, PROP_ID(PR_ROWID)))
                        next = std::max(next, id->integer + 1);
                }
                Values row{Number(PR_ROWID, next)};
                if (HRESULT taken = TakeRecipientValues(row, entry); taken != S_OK) return taken;
                rows.push_back(std::move(row));
                continue;
            }
            const SPropValue* rowId = FindValue(entry, PROP_ID(PR_ROWID));
            if (rowId == nullptr || PROP_TYPE(rowId->ulPropTag) != PT_LONG) return MAPI_E_INVALID_PARAMETER;
            auto found = std::find_if(rows.begin(), rows.end(), [&](const Values& row) {
                const StoredValue* id = FindStored(row, PROP_ID(PR_ROWID));
                return id != nullptr && id->integer == rowId->Value.l;
            });
            if (found == rows.end()) return MAPI_E_NOT_FOUND;
            if (mode == MODRECIP_REMOVE) {
                rows.erase(found);
                continue;
            }
            Values row{Number(PR_ROWID, rowId->Value.l)};
            if (HRESULT taken = TakeRecipientValues(row, entry); taken != S_OK) return taken;
            *found = std::move(row);
        }
        recipients_ = std::move(rows);
        dirty_ = true;
        return S_OK;
    }

    // Takes the changes made through one of this message's attachments.
    void Adopt(std::int64_t key, ObjectId id, const Values& values, const std::set<ULONG>& changed,
               const std::set<ULONG>& removed) {
        std::lock_guard lock(db_->Mutex());
        // An attachment made before the message committed is a stored one now.
        if (auto stored = committedKeys_.find(key); stored != committedKeys_.end()) {
            key = id = stored->second;
        }
        AttachDraft* draft = nullptr;
        for (AttachDraft& d : attachments_) {
            if (d.key == key) draft = &d;
        }
        if (draft == nullptr) {
            if (id == 0) return;  // deleted since it was made
            draft = &DraftFor(key, id);
        }
        if (draft->deleted) return;
        draft->values = values;
        for (ULONG p : removed) {
            draft->changed.erase(p);
            draft->removed.insert(p);
        }
        for (ULONG p : changed) {
            draft->removed.erase(p);
            draft->changed.insert(p);
        }
        dirty_ = true;
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IMessage || iid == IID_IMAPIProp; }
    // A failure here cannot be reported: the changes are lost as if the process had ended.
    void OnLastRelease() override { Commit(); }

private:
    // PR_HASATTACH and PR_MESSAGE_SIZE, when not set, are computed from what the message holds
    // through this handle (the store's own computation sees only what is stored).
    void ComputeFromChanges(ULONG count, SPropValue* out) {
        std::lock_guard lock(db_->Mutex());
        std::optional<TableRows> attachments;
        for (ULONG i = 0; i < count; ++i) {
            const ULONG id = PROP_ID(out[i].ulPropTag);
            if ((id != PROP_ID(PR_HASATTACH) && id != PROP_ID(PR_MESSAGE_SIZE)) || FindStored(CurrentValues(), id))
                continue;
            if (!attachments) attachments = Attachments(nullptr);
            if (id == PROP_ID(PR_HASATTACH)) {
                out[i] = SPropValue{};
                out[i].ulPropTag = PR_HASATTACH;
                out[i].Value.b = attachments->empty() ? 0 : 1;
                continue;
            }
            std::int64_t size = 0;
            if (const StoredValue* body = FindStored(CurrentValues(), PROP_ID(PR_BODY_W))) size += body->length;
            for (const auto& [row, values] : *attachments) {
                if (const StoredValue* data = FindStored(values, PROP_ID(PR_ATTACH_DATA_BIN))) size += data->length;
            }
            out[i] = SPropValue{};
            out[i].ulPropTag = PR_MESSAGE_SIZE;
            out[i].Value.l = static_cast<LONG>(size);
        }
    }

    static bool AsksForId(const SPropTagArray* tags) {
        if (tags == nullptr) return true;
        for (ULONG i = 0; i < tags->cValues && tags->aulPropTag != nullptr; ++i) {
            const ULONG id = PROP_ID(tags->aulPropTag[i]);
            if (id == PROP_ID(PR_ENTRYID) || id == PROP_ID(PR_RECORD_KEY)) return true;
        }
        return false;
    }

    bool AttachmentsChanged() const { return draft_ || !attachments_.empty(); }

    static Wanted PreloadWanted() {
        Wanted wanted;
        wanted.maxBytes = kPreloadBytes;
        return wanted;
    }

    // The stored recipient rows or attachments: those read with the message, or read now.
    TableRows StoredRows(int kind, const Wanted& wanted) {
        const std::shared_ptr<const LoadedRows>& read = kind == kRecipient ? readRecipients_ : readAttachments_;
        if (read) return *read;
        return LoadChildren(*db_, row_.id, kind, 0, INT64_MAX, wanted);
    }

    std::vector<Values> StoredRecipients() {
        std::vector<Values> rows;
        if (draft_) return rows;
        for (auto& [row, values] : StoredRows(kRecipient, Wanted{})) rows.push_back(std::move(values));
        return rows;
    }

    // The message's attachments as they are through this message: the stored ones with their
    // changes, without the deleted ones, then the new ones; `keys` receives their draft keys.
    TableRows Attachments(std::vector<std::int64_t>* keys, const Wanted& wanted = PreloadWanted()) {
        TableRows rows;
        if (!draft_) {
            for (auto& [row, values] : StoredRows(kAttachment, wanted)) {
                const std::int64_t id = row.id;  // a structured binding is not captured before C++20
                auto draft = std::find_if(attachments_.begin(), attachments_.end(),
                                          [id](const AttachDraft& d) { return d.id == id; });
                if (draft != attachments_.end() && draft->deleted) continue;
                if (keys) keys->push_back(row.id);
                rows.emplace_back(row, draft != attachments_.end() ? draft->values : std::move(values));
            }
        }
        for (const AttachDraft& d : attachments_) {
            if (d.id != 0) continue;
            if (keys) keys->push_back(d.key);
            rows.emplace_back(ObjectRow{0, kAttachment, row_.store, row_.id}, d.values);
        }
        return rows;
    }

    // The draft of attachment `key`, made for stored attachment `id` when there is none yet.
    AttachDraft& DraftFor(std::int64_t key, ObjectId id) {
        for (AttachDraft& d : attachments_) {
            if (d.key == key) return d;
        }
        AttachDraft made;
        made.key = key;
        made.id = id;
        ObjectRow row;
        LoadObject(*db_, id, Wanted{}, &row, &made.values);
        attachments_.push_back(std::move(made));
        return attachments_.back();
    }

    HRESULT StoreRecipients(ObjectId id) {
        if (!recipients_) return S_OK;
        if (!draft_) {
            Cursor q = db_->Query("DELETE FROM objects WHERE parent = ? AND kind = 6");
            q->Bind(1, id);
            if (!q->Run()) return MAPI_E_DISK_ERROR;
        }
        std::vector<const StoredValue*> storing;
        for (const Values& values : *recipients_) {
            const ObjectId row = db_->Insert(kRecipient, row_.store, id);
            if (row == 0) return MAPI_E_DISK_ERROR;
            storing.clear();
            for (const StoredValue& value : values) storing.push_back(&value);
            if (HRESULT stored = StoreStoredValues(*db_, row, storing, true); stored != S_OK) return stored;
        }
        return S_OK;
    }

    HRESULT StoreAttachments(ObjectId id, std::vector<std::pair<std::int64_t, ObjectId>>* made) {
        for (const AttachDraft& d : attachments_) {
            if (d.deleted) {
                Cursor q = db_->Query("DELETE FROM objects WHERE id = ?");
                q->Bind(1, d.id);
                if (!q->Run()) return MAPI_E_DISK_ERROR;
                continue;
            }
            ObjectId target = d.id;
            if (target == 0) {
                target = db_->Insert(kAttachment, row_.store, id);
                if (target == 0) return MAPI_E_DISK_ERROR;
                made->emplace_back(d.key, target);
            } else {
                for (ULONG propId : d.removed) {
                    if (HRESULT done = DeleteValue(*db_, target, propId); done != S_OK) return done;
                }
            }
            std::vector<const StoredValue*> storing;
            for (const StoredValue& value : d.values) {
                if (d.id != 0 && d.changed.count(PROP_ID(value.tag)) == 0) continue;
                if (IsComputed(kAttachment, PROP_ID(value.tag)) || !value.loaded) continue;
                storing.push_back(&value);
            }
            if (HRESULT stored = StoreStoredValues(*db_, target, storing, d.id == 0); stored != S_OK) return stored;
        }
        return S_OK;
    }

    // Stores everything kept in memory in one transaction, with the message's notifications.
    HRESULT Commit() {
        if (!draft_ && !dirty_) return S_OK;
        if (faults::Hit("SaveChanges")) return MAPI_E_CALL_FAILED;
        std::lock_guard lock(db_->Mutex());
        ObjectId id = row_.id;
        std::vector<std::pair<std::int64_t, ObjectId>> made;
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (draft_) {
                if (id != 0 ? !db_->InsertAs(id, kMessage, row_.store, row_.parent)
                            : (id = db_->Insert(kMessage, row_.store, row_.parent)) == 0) {
                    return MAPI_E_DISK_ERROR;
                }
                if (!db_->LogChange(fnevObjectCreated, kMessage, id, row_.parent)) return MAPI_E_DISK_ERROR;
            } else if (!Refresh()) {
                return MAPI_E_OBJECT_DELETED;
            }
            if (HRESULT stored = StorePending(id, draft_); stored != S_OK) return stored;
            if (HRESULT stored = StoreRecipients(id); stored != S_OK) return stored;
            if (HRESULT stored = StoreAttachments(id, &made); stored != S_OK) return stored;
            if (dirty_ && !db_->LogChange(fnevObjectModified, kMessage, id, row_.parent)) return MAPI_E_DISK_ERROR;
            return S_OK;
        });
        if (result != S_OK) return result;
        row_.id = id;
        draft_ = false;
        for (const auto& [key, stored] : made) committedKeys_[key] = stored;
        recipients_.reset();
        attachments_.clear();
        // What is stored now is what was committed: read it again when asked for.
        readRecipients_.reset();
        readAttachments_.reset();
        ClearPending();
        return S_OK;
    }

    bool draft_;  // not in the database yet; row_.id is 0 until an identifier is reserved
    std::optional<std::vector<Values>> recipients_;  // the whole list, once changed
    std::vector<AttachDraft> attachments_;           // attachments made, changed or deleted
    std::int64_t lastNewKey_ = 0;
    std::map<std::int64_t, ObjectId> committedKeys_;     // new attachments stored by a commit
    std::shared_ptr<const LoadedRows> readRecipients_;   // stored rows read with the message
    std::shared_ptr<const LoadedRows> readAttachments_;  // until a commit changes them
};

Attach::Attach(Message* message, std::int64_t key, std::shared_ptr<Database> db, const ObjectRow& row, Values values)
    : PropObject(std::move(db), row, std::move(values), true),
      keep_(Ptr<IUnknown>::Share(static_cast<IMessage*>(message))),
      message_(message),
      key_(key) {}

Attach::Attach(Message* message, std::shared_ptr<Database> db, const ObjectRow& row, SharedValues values)
    : PropObject(std::move(db), row, std::move(values), true),
      keep_(Ptr<IUnknown>::Share(static_cast<IMessage*>(message))),
      message_(message),
      key_(row.id) {}

void Attach::Changed() {
    message_->Adopt(key_, row_.id, CurrentValues(), changed_, removed_);
    ClearPending();
}

}  // namespace

IMessage* NewMessage(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values,
                     std::shared_ptr<const LoadedRows> recipients, std::shared_ptr<const LoadedRows> attachments) {
    return Make<Message>(std::move(db), row, std::move(values), false, std::move(recipients), std::move(attachments));
}

IMessage* NewDraftMessage(std::shared_ptr<Database> db, ObjectId store, ObjectId parent) {
    return Make<Message>(std::move(db), ObjectRow{0, kMessage, store, parent}, Preloaded{}, true);
}

}  // namespace platform::mapi::store
