// Folders and message stores, and opening objects by entry identifier.
#include "platform/faults.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"
#include "platform/mapi/tags.h"

namespace platform::mapi::store {

namespace {

constexpr HRESULT MAPI_E_HAS_FOLDERS = R(0x80040609);
constexpr HRESULT MAPI_E_HAS_MESSAGES = R(0x8004060A);

// The subfolder of `parent` whose display name is exactly `name`; 0 when there is none.
ObjectId ChildFolder(Database& db, ObjectId parent, std::u16string_view name) {
    const std::vector<BYTE> bytes = Utf16Bytes(name);
    Cursor q = db.Query(
        "SELECT o.id FROM objects o JOIN props p ON p.obj = o.id AND p.pid = 12289"
        " WHERE o.parent = ? AND o.kind = 3 AND p.value = ? ORDER BY o.id LIMIT 1");
    q->Bind(1, parent).BindBlob(2, bytes.data(), bytes.size());
    return q->Step() ? q->Int(0) : 0;
}

bool HasChildren(Database& db, ObjectId parent, int kind) {
    Cursor q = db.Query("SELECT EXISTS (SELECT 1 FROM objects WHERE parent = ? AND kind = ?)");
    q->Bind(1, parent).Bind(2, std::int64_t{kind});
    return q->Step() && q->Int(0) != 0;
}

bool Run(Database& db, const char* sql, ObjectId a, ObjectId b = 0) {
    Cursor q = db.Query(sql);
    q->Bind(1, a);
    if (b != 0) q->Bind(2, b);
    return q->Run();
}

// Copies object `source` (its properties and, below it, every child) under `parent` of
// `store`; returns the new id or 0.
ObjectId CopyTree(Database& db, ObjectId source, int kind, ObjectId store, ObjectId parent) {
    const ObjectId copy = db.Insert(kind, store, parent);
    if (copy == 0) return 0;
    if (!Run(db, "INSERT INTO props (obj, pid, type, value) SELECT ?2, pid, type, value FROM props WHERE obj = ?1",
             source, copy)) {
        return 0;
    }
    std::vector<std::pair<ObjectId, int>> children;
    {
        Cursor q = db.Query("SELECT id, kind FROM objects WHERE parent = ? ORDER BY id");
        q->Bind(1, source);
        while (q->Step()) children.emplace_back(q->Int(0), static_cast<int>(q->Int(1)));
    }
    for (const auto& [child, childKind] : children) {
        if (CopyTree(db, child, childKind, store, copy) == 0) return 0;
    }
    return copy;
}

class Folder final : public PropObject<IMAPIFolder> {
public:
    using PropObject::PropObject;

    HRESULT GetContentsTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetContentsTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        *table = NewTable(db_, TableKind::Contents, row_.id);
        return S_OK;
    }

    HRESULT GetHierarchyTable(ULONG, IMAPITable** table) override {
        if (faults::Hit("GetHierarchyTable")) return MAPI_E_CALL_FAILED;
        if (table == nullptr) return MAPI_E_INVALID_PARAMETER;
        *table = NewTable(db_, TableKind::Hierarchy, row_.id);
        return S_OK;
    }

    HRESULT OpenEntry(ULONG size, const ENTRYID* entryId, const IID* iid, ULONG flags, ULONG* type,
                      IUnknown** object) override {
        if (faults::Hit("OpenEntry")) return MAPI_E_CALL_FAILED;
        return OpenObject(db_, row_.store, size, entryId, iid, type, object, flags);
    }

    HRESULT CreateMessage(const IID* iid, ULONG, IMessage** message) override {
        if (faults::Hit("CreateMessage")) return MAPI_E_CALL_FAILED;
        if (message == nullptr) return MAPI_E_INVALID_PARAMETER;
        *message = nullptr;
        if (iid != nullptr && *iid != IID_IMessage && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (!Refresh()) return MAPI_E_OBJECT_DELETED;
        // The message reaches the database, notified as created, when it commits.
        *message = NewDraftMessage(db_, row_.store, row_.id);
        return S_OK;
    }

    HRESULT CopyMessages(const ENTRYLIST* messages, const IID*, IMAPIFolder* destination, ULONG_PTR, void*,
                         ULONG flags) override {
        if (faults::Hit("CopyMessages")) return MAPI_E_CALL_FAILED;
        if (messages == nullptr || destination == nullptr || (messages->cValues && messages->lpbin == nullptr)) {
            return MAPI_E_INVALID_PARAMETER;
        }
        const ObjectId target = FolderIdOf(*db_, destination);
        if (target == 0) return MAPI_E_INVALID_PARAMETER;
        const bool move = (flags & MESSAGE_MOVE) != 0;
        return db_->Write([&]() -> HRESULT {
            ObjectRow to;
            if (!Refresh() || !db_->Lookup(target, &to) || to.kind != kFolder) return MAPI_E_OBJECT_DELETED;
            for (ULONG i = 0; i < messages->cValues; ++i) {
                const SBinary& entry = messages->lpbin[i];
                const ObjectId id = db_->ParseEntryId(entry.cb, entry.lpb);
                ObjectRow message;
                if (id == 0 || !db_->Lookup(id, &message) || message.kind != kMessage || message.parent != row_.id) {
                    return MAPI_E_NOT_FOUND;
                }
                if (move) {
                    if (to.id == row_.id) continue;
                    if (!Run(*db_, "UPDATE objects SET parent = ?2 WHERE id = ?1", id, to.id) ||
                        !Run(*db_, "UPDATE objects SET store = ?2 WHERE id = ?1 OR parent = ?1", id, to.store) ||
                        !db_->LogChange(fnevObjectMoved, kMessage, id, to.id, id, row_.id)) {
                        return MAPI_E_DISK_ERROR;
                    }
                } else {
                    const ObjectId copy = CopyTree(*db_, id, kMessage, to.store, to.id);
                    if (copy == 0 || !db_->LogChange(fnevObjectCopied, kMessage, copy, to.id, id, row_.id)) {
                        return MAPI_E_DISK_ERROR;
                    }
                }
            }
            return S_OK;
        });
    }

    HRESULT DeleteMessages(const ENTRYLIST* messages, ULONG_PTR, void*, ULONG) override {
        if (faults::Hit("DeleteMessages")) return MAPI_E_CALL_FAILED;
        if (messages == nullptr || (messages->cValues && messages->lpbin == nullptr)) return MAPI_E_INVALID_PARAMETER;
        return db_->Write([&]() -> HRESULT {
            for (ULONG i = 0; i < messages->cValues; ++i) {
                const ObjectId id = db_->ParseEntryId(messages->lpbin[i].cb, messages->lpbin[i].lpb);
                ObjectRow message;
                if (id == 0 || !db_->Lookup(id, &message) || message.kind != kMessage || message.parent != row_.id) {
                    return MAPI_E_NOT_FOUND;
                }
                if (!Run(*db_, "DELETE FROM objects WHERE id = ?", id) ||
                    !db_->LogChange(fnevObjectDeleted, kMessage, id, row_.id)) {
                    return MAPI_E_DISK_ERROR;
                }
            }
            return S_OK;
        });
    }

    HRESULT CreateFolder(ULONG folderType, const char16_t* name, const char16_t* comment, const IID* iid, ULONG flags,
                         IMAPIFolder** folder) override {
        if (faults::Hit("CreateFolder")) return MAPI_E_CALL_FAILED;
        if (folder == nullptr || name == nullptr || name[0] == u'\0') return MAPI_E_INVALID_PARAMETER;
        *folder = nullptr;
        if (folderType != FOLDER_ROOT && folderType != FOLDER_GENERIC) return MAPI_E_INVALID_PARAMETER;
        if (iid != nullptr && *iid != IID_IMAPIFolder && *iid != IID_IUnknown) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        ObjectRow row;
        const HRESULT result = db_->Write([&]() -> HRESULT {
            if (!Refresh()) return MAPI_E_OBJECT_DELETED;
            if (const ObjectId existing = ChildFolder(*db_, row_.id, name); existing != 0) {
                if ((flags & OPEN_IF_EXISTS) == 0) return MAPI_E_COLLISION;
                row = {existing, kFolder, row_.store, row_.id};
                return S_OK;
            }
            const ObjectId id = db_->CreateFolderRow(row_.store, row_.id, name);
            if (id == 0) return MAPI_E_DISK_ERROR;
            if (comment != nullptr && comment[0] != u'\0') {
                SPropValue text;
                text.ulPropTag = PROP_TAG(PT_UNICODE, 0x3004);  // PR_COMMENT_W
                text.Value.lpszW = const_cast<char16_t*>(comment);
                if (StoreValue(*db_, id, text) != S_OK) return MAPI_E_DISK_ERROR;
            }
            if (!db_->LogChange(fnevObjectCreated, kFolder, id, row_.id)) return MAPI_E_DISK_ERROR;
            row = {id, kFolder, row_.store, row_.id};
            return S_OK;
        });
        if (result != S_OK) return result;
        *folder = NewFolder(db_, row);
        return S_OK;
    }

    HRESULT DeleteFolder(ULONG size, const ENTRYID* entryId, ULONG_PTR, void*, ULONG flags) override {
        if (faults::Hit("DeleteFolder")) return MAPI_E_CALL_FAILED;
        const ObjectId id = db_->ParseEntryId(size, entryId);
        if (id == 0) return MAPI_E_INVALID_ENTRYID;
        return db_->Write([&]() -> HRESULT {
            ObjectRow child;
            if (!db_->Lookup(id, &child) || child.kind != kFolder || child.parent != row_.id) return MAPI_E_NOT_FOUND;
            if ((flags & DEL_FOLDERS) == 0 && HasChildren(*db_, id, kFolder)) return MAPI_E_HAS_FOLDERS;
            if ((flags & DEL_MESSAGES) == 0 && HasChildren(*db_, id, kMessage)) return MAPI_E_HAS_MESSAGES;
            if (!Run(*db_, "DELETE FROM objects WHERE id = ?", id) ||
                !db_->LogChange(fnevObjectDeleted, kFolder, id, row_.id)) {
                return MAPI_E_DISK_ERROR;
            }
            return S_OK;
        });
    }

protected:
    bool Supports(const IID& iid) const override {
        return iid == IID_IMAPIFolder || iid == IID_IMAPIContainer || iid == IID_IMAPIProp;
    }
};

class MsgStore final : public PropObject<IMsgStore> {
public:
    using PropObject::PropObject;

    HRESULT OpenEntry(ULONG size, const ENTRYID* entryId, const IID* iid, ULONG, ULONG* type,
                      IUnknown** object) override {
        if (faults::Hit("OpenEntry")) return MAPI_E_CALL_FAILED;
        if (size == 0 || entryId == nullptr) {
            // The store's root folder.
            ObjectId root = 0;
            {
                std::lock_guard lock(db_->Mutex());
                Cursor q = db_->Query("SELECT id FROM objects WHERE parent = ? AND kind = 3 ORDER BY id LIMIT 1");
                q->Bind(1, row_.id);
                if (q->Step()) root = q->Int(0);
            }
            if (root == 0) return MAPI_E_NOT_FOUND;
            const EntryIdBytes bytes = db_->EntryId(root);
            return OpenObject(db_, row_.id, 20, bytes.data(), iid, type, object);
        }
        return OpenObject(db_, row_.id, size, entryId, iid, type, object);
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IMsgStore || iid == IID_IMAPIProp; }
};

}  // namespace

IMsgStore* NewStore(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values) {
    return Make<MsgStore>(std::move(db), row, std::move(values));
}

IMAPIFolder* NewFolder(std::shared_ptr<Database> db, const ObjectRow& row, Preloaded values) {
    return Make<Folder>(std::move(db), row, std::move(values));
}

HRESULT OpenObject(const std::shared_ptr<Database>& db, ObjectId store, ULONG size, const ENTRYID* entryId,
                   const IID* iid, ULONG* type, IUnknown** object, ULONG flags) {
    if (object == nullptr || type == nullptr) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    const ObjectId id = db->ParseEntryId(size, entryId);
    // An identifier of the store's form that names nothing here (deleted, never stored, or of
    // another store) is not found; anything else is not an identifier at all.
    if (id == 0) return size == 20 && entryId != nullptr ? MAPI_E_NOT_FOUND : MAPI_E_INVALID_ENTRYID;
    // The object is read whole, a message with its recipients and attachments: whatever the
    // caller reads of it next comes from this one read. Deferred, only its row is read now (a
    // caller that asks whether it exists, or wants a folder to create a message in).
    const bool deferred = (flags & MAPI_DEFERRED_ERRORS) != 0;
    LoadedTree tree;
    {
        std::lock_guard lock(db->Mutex());
        if (deferred) {
            if (!db->Lookup(id, &tree.row)) return MAPI_E_NOT_FOUND;
        } else if (!db->TakePrefetched(id, &tree) && !LoadTree(*db, id, &tree)) {
            // (A message read ahead by a contents table of this session comes from there.)
            return MAPI_E_NOT_FOUND;
        }
        if (store != 0 && tree.row.store != store) return MAPI_E_NOT_FOUND;
    }
    const ObjectRow& row = tree.row;
    Preloaded values;
    if (!deferred) values = std::move(tree.values);
    const IID* own = nullptr;
    switch (row.kind) {
        case kStore: own = &IID_IMsgStore; break;
        case kFolder: own = &IID_IMAPIFolder; break;
        case kMessage: own = &IID_IMessage; break;
        default: return MAPI_E_NOT_FOUND;
    }
    if (iid != nullptr && *iid != *own && *iid != IID_IUnknown && *iid != IID_IMAPIProp) {
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    switch (row.kind) {
        case kStore: *object = NewStore(db, row, std::move(values)); break;
        case kFolder: *object = NewFolder(db, row, std::move(values)); break;
        default:
            *object = NewMessage(db, row, std::move(values), std::move(tree.recipients), std::move(tree.attachments));
            break;
    }
    *type = static_cast<ULONG>(row.kind);
    return S_OK;
}

ObjectId FolderIdOf(Database& db, IMAPIFolder* folder) {
    const auto* own = dynamic_cast<const Folder*>(folder);
    if (own == nullptr || own->Db().File() != db.File()) return 0;
    return own->Row().id;
}

}  // namespace platform::mapi::store
