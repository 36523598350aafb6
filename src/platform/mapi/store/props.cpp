#include "platform/mapi/store/props.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/mapi/mapi.h"
#include "platform/text.h"

namespace platform::mapi::store {

StoredValue FromRow(sql::Stmt& q, int first, const Wanted& wanted) {
    StoredValue value;
    const ULONG pid = static_cast<ULONG>(q.Int(first));
    value.tag = PROP_TAG(static_cast<ULONG>(q.Int(first + 1)), pid);
    switch (q.Type(first + 2)) {
        case 1: value.integer = q.Int(first + 2); break;
        case 2: value.real = q.Real(first + 2); break;
        case 4:
            // A statement that loads every value whole leaves the length to the value itself.
            value.length = q.IsNull(first + 3) ? static_cast<std::int64_t>(q.Bytes(first + 2)) : q.Int(first + 3);
            value.loaded = wanted.Has(pid) && (wanted.maxBytes < 0 || value.length <= wanted.maxBytes);
            if (value.loaded) {
                const BYTE* data = q.BlobData(first + 2);
                value.bytes.assign(data, data + q.Bytes(first + 2));
            }
            break;
        case 5:
            // A long value the statement left out (LoadObject, LoadTree): its length only.
            if (!q.IsNull(first + 3)) {
                value.length = q.Int(first + 3);
                value.loaded = false;
            }
            break;
        default: break;
    }
    return value;
}

namespace {

const StoredValue* Find(const std::vector<StoredValue>& stored, ULONG propId) {
    for (const StoredValue& value : stored) {
        if (PROP_ID(value.tag) == propId) return &value;
    }
    return nullptr;
}

std::vector<BYTE> Bytes(const void* data, std::size_t size) {
    const BYTE* begin = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(begin, begin + size);
}

std::vector<BYTE> IidBytes(const IID& iid) {
    std::vector<BYTE> bytes(16);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(iid.data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<BYTE>(iid.data2 >> (8 * i));
    for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<BYTE>(iid.data3 >> (8 * i));
    std::copy(iid.data4, iid.data4 + 8, bytes.begin() + 8);
    return bytes;
}

HRESULT Put(Database& db, ObjectId obj, ULONG tag, const auto& bind) {
    // An existing value is changed in place rather than deleted and inserted again.
    Cursor q = db.Query(
        "INSERT INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)"
        " ON CONFLICT (obj, pid) DO UPDATE SET type = excluded.type, value = excluded.value");
    q->Bind(1, obj).Bind(2, std::int64_t{PROP_ID(tag)}).Bind(3, std::int64_t{PROP_TYPE(tag)});
    bind(*q);
    return q->Run() ? S_OK : MAPI_E_DISK_ERROR;
}

HRESULT PutInteger(Database& db, ObjectId obj, ULONG tag, std::int64_t value) {
    return Put(db, obj, tag, [&](sql::Stmt& q) { q.Bind(4, value); });
}

std::int64_t Count(Database& db, const char* sql, ObjectId id) {
    Cursor q = db.Query(sql);
    q->Bind(1, id);
    return q->Step() ? q->Int(0) : 0;
}

StoredValue Integer(ULONG tag, std::int64_t value) {
    StoredValue v;
    v.tag = tag;
    v.integer = value;
    return v;
}

StoredValue Binary(ULONG tag, const EntryIdBytes& bytes) {
    StoredValue v;
    v.tag = tag;
    v.bytes.assign(bytes.begin(), bytes.end());
    return v;
}

bool HasEntryId(int kind) { return kind == kStore || kind == kFolder || kind == kMessage; }

constexpr ULONG kAlwaysComputed[] = {
    PROP_ID(PR_ENTRYID),        PROP_ID(PR_RECORD_KEY),  PROP_ID(PR_OBJECT_TYPE),   PROP_ID(PR_STORE_ENTRYID),
    PROP_ID(PR_PARENT_ENTRYID), PROP_ID(PR_FOLDER_TYPE), PROP_ID(PR_CONTENT_COUNT), PROP_ID(PR_CONTENT_UNREAD),
    PROP_ID(PR_SUBFOLDERS),     PROP_ID(PR_ATTACH_SIZE),
};

// The object columns that every loading statement selects first: id, kind, store, parent.
ObjectRow RowOf(sql::Stmt& q) {
    return ObjectRow{q.Int(0), static_cast<int>(q.Int(1)), q.Int(2), q.IsNull(3) ? 0 : q.Int(3)};
}

}  // namespace

bool Wanted::Has(ULONG propId) const {
    if (all) return true;
    for (ULONG i = 0; i < count; ++i) {
        if (PROP_ID(tags[i]) == propId) return true;
    }
    return false;
}

bool LoadObject(Database& db, ObjectId id, const Wanted& wanted, ObjectRow* row, std::vector<StoredValue>* values) {
    values->clear();
    // With a limit, a longer value is left out by the statement itself: selected, it would be
    // read whole from the database, only to be dropped.
    Cursor q = db.Query(
        wanted.maxBytes < 0
            ? "SELECT o.kind, o.store, o.parent, p.pid, p.type, p.value, length(p.value) FROM objects o"
              " LEFT JOIN props p ON p.obj = o.id WHERE o.id = ? ORDER BY p.pid"
            : "SELECT o.kind, o.store, o.parent, p.pid, p.type,"
              " CASE WHEN typeof(p.value) = 'blob' AND length(p.value) > ?2 THEN NULL ELSE p.value END,"
              " length(p.value) FROM objects o LEFT JOIN props p ON p.obj = o.id WHERE o.id = ?1 ORDER BY p.pid");
    q->Bind(1, id);
    if (wanted.maxBytes >= 0) q->Bind(2, wanted.maxBytes);
    bool found = false;
    while (q->Step()) {
        if (!found) *row = {id, static_cast<int>(q->Int(0)), q->Int(1), q->IsNull(2) ? 0 : q->Int(2)};
        found = true;
        if (q->IsNull(3)) continue;
        values->push_back(FromRow(*q, 3, wanted));
    }
    return found;
}

LoadedRows LoadChildren(Database& db, ObjectId container, int kind, ObjectId after, std::int64_t limit,
                        const Wanted& wanted, const std::vector<ULONG>* only) {
    LoadedRows rows;
    // The children come straight from the parent index in id order, each with its values in
    // identifier order: the bound of the `limit` rows is found first, so that neither a list of
    // ids nor a sort has to be built on every call.
    const char* parent = container == 0 ? "parent IS NULL" : "parent = ?1";
    std::string sql =
        "SELECT o.id, o.kind, o.store, o.parent, p.pid, p.type, p.value, length(p.value)"
        " FROM objects o LEFT JOIN props p ON p.obj = o.id";
    if (only != nullptr && only->empty()) {
        // No stored value is wanted: the objects' rows alone, without a look into props.
        sql = "SELECT o.id, o.kind, o.store, o.parent, NULL, NULL, NULL, NULL FROM objects o";
    } else if (only != nullptr) {
        // Identifiers are numbers: the list is part of the statement's text, and each list
        // gets a statement of its own, kept like the others.
        std::vector<ULONG> ids;
        for (ULONG tag : *only) ids.push_back(PROP_ID(tag));
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        sql += " AND p.pid IN (";
        for (std::size_t i = 0; i < ids.size(); ++i) sql += (i ? ", " : "") + std::to_string(ids[i]);
        if (ids.empty()) sql += "NULL";
        sql += ")";
    }
    sql += std::string(" WHERE o.") + parent +
           " AND o.kind = ?2 AND o.id > ?3 AND o.id <= coalesce("
           "(SELECT id FROM objects WHERE " +
           parent +
           " AND kind = ?2 AND id > ?3"
           " ORDER BY id LIMIT 1 OFFSET ?4 - 1), 9223372036854775807) ORDER BY o.id";
    if (only == nullptr || !only->empty()) sql += ", p.pid";
    Cursor q = db.Query(sql);
    if (container != 0) q->Bind(1, container);
    q->Bind(2, std::int64_t{kind}).Bind(3, after).Bind(4, limit);
    while (q->Step()) {
        const ObjectId id = q->Int(0);
        if (rows.empty() || rows.back().first.id != id) rows.emplace_back(RowOf(*q), std::vector<StoredValue>());
        if (q->IsNull(4)) continue;
        rows.back().second.push_back(FromRow(*q, 4, wanted));
    }
    return rows;
}

namespace {

// Values in identifier order, whatever order a statement gave.
void SortValues(std::vector<StoredValue>& values) {
    auto byId = [](const StoredValue& a, const StoredValue& b) { return PROP_ID(a.tag) < PROP_ID(b.tag); };
    if (!std::is_sorted(values.begin(), values.end(), byId)) std::sort(values.begin(), values.end(), byId);
}

void SortRows(LoadedRows& rows) {
    auto byId = [](const auto& a, const auto& b) { return a.first.id < b.first.id; };
    if (!std::is_sorted(rows.begin(), rows.end(), byId)) std::sort(rows.begin(), rows.end(), byId);
    for (auto& [row, values] : rows) SortValues(values);
}

// Puts a loaded message's values and its recipient rows and attachments in identifier order and
// hands the two lists to it.
void FinishMessage(LoadedTree& tree, LoadedRows recipients, LoadedRows attachments) {
    SortValues(tree.values);
    SortRows(recipients);
    SortRows(attachments);
    tree.recipients = std::make_shared<const LoadedRows>(std::move(recipients));
    tree.attachments = std::make_shared<const LoadedRows>(std::move(attachments));
}

}  // namespace

bool LoadTree(Database& db, ObjectId id, LoadedTree* tree) {
    // The object, then its recipient rows and attachments (a folder or a store has none), in
    // one statement: one read transaction sees the whole message as it is at one moment.
    Cursor q = db.Query(
        "SELECT o.id, o.kind, o.store, o.parent, p.pid, p.type,"
        " CASE WHEN typeof(p.value) = 'blob' AND length(p.value) >= ?2 THEN NULL ELSE p.value END,"
        " length(p.value) FROM objects o LEFT JOIN props p ON p.obj = o.id WHERE o.id = ?1"
        " UNION ALL SELECT o.id, o.kind, o.store, o.parent, p.pid, p.type, p.value, length(p.value) FROM objects o"
        " LEFT JOIN props p ON p.obj = o.id WHERE o.parent = ?1 AND o.kind BETWEEN 6 AND 7");
    q->Bind(1, id).Bind(2, kLongValue);
    bool found = false;
    tree->values.clear();
    LoadedRows recipients, attachments;
    std::vector<StoredValue>* into = nullptr;
    ObjectId current = 0;
    while (q->Step()) {
        const ObjectId rowId = q->Int(0);
        if (rowId != current || into == nullptr) {
            current = rowId;
            const ObjectRow row = RowOf(*q);
            if (rowId == id) {
                tree->row = row;
                found = true;
                into = &tree->values;
            } else {
                LoadedRows& children = row.kind == kRecipient ? recipients : attachments;
                children.emplace_back(row, std::vector<StoredValue>());
                into = &children.back().second;
            }
        }
        if (!q->IsNull(4)) into->push_back(FromRow(*q, 4, Wanted{}));
    }
    if (!found) return false;
    if (tree->row.kind == kMessage) {
        FinishMessage(*tree, std::move(recipients), std::move(attachments));
    } else {
        SortValues(tree->values);
        tree->recipients.reset();
        tree->attachments.reset();
    }
    return true;
}

std::vector<LoadedTree> LoadMessageTrees(Database& db, ObjectId folder, ObjectId after, std::int64_t limit) {
    // The batch's messages first, then the recipient rows and attachments of all of them. Every
    // value is loaded whole, so no length is asked for (length() of a number would turn it into
    // text first).
    Cursor q = db.Query(
        "WITH m(id) AS (SELECT id FROM objects WHERE parent = ?1 AND kind = 5 AND id > ?2 ORDER BY id LIMIT ?3)"
        " SELECT o.id, o.kind, o.store, o.parent, p.pid, p.type, p.value, NULL"
        " FROM m JOIN objects o ON o.id = m.id LEFT JOIN props p ON p.obj = o.id"
        " UNION ALL SELECT c.id, c.kind, c.store, c.parent, p.pid, p.type, p.value, NULL"
        " FROM m JOIN objects c ON c.parent = m.id AND c.kind BETWEEN 6 AND 7 LEFT JOIN props p ON p.obj = c.id");
    q->Bind(1, folder).Bind(2, after).Bind(3, limit);
    std::vector<LoadedTree> trees;
    std::unordered_map<ObjectId, std::pair<LoadedRows, LoadedRows>> children;
    std::vector<StoredValue>* into = nullptr;
    ObjectId current = 0;
    while (q->Step()) {
        const ObjectId rowId = q->Int(0);
        if (rowId != current || into == nullptr) {
            current = rowId;
            const ObjectRow row = RowOf(*q);
            if (row.kind == kMessage) {
                trees.emplace_back();
                trees.back().row = row;
                into = &trees.back().values;
            } else {
                auto& [recipients, attachments] = children[row.parent];
                LoadedRows& list = row.kind == kRecipient ? recipients : attachments;
                list.emplace_back(row, std::vector<StoredValue>());
                into = &list.back().second;
            }
            // Room for a message's usual values at once, not grown value by value.
            into->reserve(row.kind == kMessage ? 16 : 8);
        }
        if (!q->IsNull(4)) into->push_back(FromRow(*q, 4, Wanted{}));
    }
    for (LoadedTree& tree : trees) {
        auto& [recipients, attachments] = children[tree.row.id];
        FinishMessage(tree, std::move(recipients), std::move(attachments));
    }
    std::sort(trees.begin(), trees.end(), [](const LoadedTree& a, const LoadedTree& b) { return a.row.id < b.row.id; });
    return trees;
}

bool LoadOne(Database& db, ObjectId obj, ULONG propId, StoredValue* value) {
    Cursor q = db.Query("SELECT pid, type, value, length(value) FROM props WHERE obj = ? AND pid = ?");
    q->Bind(1, obj).Bind(2, std::int64_t{propId});
    if (!q->Step()) return false;
    *value = FromRow(*q, 0, Wanted{});
    return true;
}

HRESULT ToStoredValue(const SPropValue& value, StoredValue* out, bool* kept) {
    const ULONG tag = value.ulPropTag;
    const PropValueUnion& v = value.Value;
    *out = StoredValue{};
    out->tag = tag;
    *kept = true;
    auto bytes = [&](std::vector<BYTE> data) {
        out->length = static_cast<std::int64_t>(data.size());
        out->bytes = std::move(data);
        return S_OK;
    };
    switch (PROP_TYPE(tag)) {
        case PT_UNSPECIFIED:
        case PT_NULL:
        case PT_ERROR:
        case PT_OBJECT: *kept = false; return S_OK;
        case PT_I2: out->integer = v.i; return S_OK;
        case PT_LONG: out->integer = v.l; return S_OK;
        case PT_BOOLEAN: out->integer = v.b; return S_OK;
        case PT_I8:
        case PT_CURRENCY: out->integer = v.li; return S_OK;
        case PT_SYSTIME: out->integer = static_cast<std::int64_t>(ToTicks(v.ft)); return S_OK;
        case PT_R4: out->real = v.flt; return S_OK;
        case PT_DOUBLE:
        case PT_APPTIME: out->real = v.dbl; return S_OK;
        case PT_UNICODE: return bytes(Utf16Bytes(v.lpszW ? std::u16string_view(v.lpszW) : std::u16string_view()));
        case PT_STRING8: {
            const std::string_view text = v.lpszA ? std::string_view(v.lpszA) : std::string_view();
            return bytes(Bytes(text.data(), text.size()));
        }
        case PT_BINARY:
            if (v.bin.cb != 0 && v.bin.lpb == nullptr) return MAPI_E_INVALID_PARAMETER;
            return bytes(Bytes(v.bin.lpb, v.bin.cb));
        case PT_CLSID:
            if (v.lpguid == nullptr) return MAPI_E_INVALID_PARAMETER;
            return bytes(IidBytes(*v.lpguid));
        default: return MAPI_E_INVALID_TYPE;
    }
}

namespace {

// The bytes written at a time into a long value's row: bound whole, the value would be copied
// whole into the row's record before SQLite writes it.
constexpr std::size_t kPiece = 256 * 1024;

// How a value of its type is kept in its row.
enum class Storage { Integer, Real, Bytes };
Storage StorageOf(ULONG tag) {
    switch (PROP_TYPE(tag)) {
        case PT_I2:
        case PT_LONG:
        case PT_BOOLEAN:
        case PT_I8:
        case PT_CURRENCY:
        case PT_SYSTIME: return Storage::Integer;
        case PT_R4:
        case PT_DOUBLE:
        case PT_APPTIME: return Storage::Real;
        default: return Storage::Bytes;
    }
}

}  // namespace

HRESULT StoreStoredValue(Database& db, ObjectId obj, const StoredValue& value) {
    switch (StorageOf(value.tag)) {
        case Storage::Integer: return PutInteger(db, obj, value.tag, value.integer);
        case Storage::Real: return Put(db, obj, value.tag, [&](sql::Stmt& q) { q.BindReal(4, value.real); });
        case Storage::Bytes: break;
    }
    if (value.utf8 || HeldLength(value) >= kLongValue) return StoreStoredValues(db, obj, {&value});
    return StoreBytes(db, obj, value.tag, value.bytes);
}

namespace {

bool InPieces(const StoredValue* value) {
    return StorageOf(value->tag) == Storage::Bytes && HeldLength(*value) >= kLongValue;
}

// Fills `out` (kPiece bytes) with the next bytes of a value held in memory, from `*at` on (a
// byte offset, or for a UTF-8 text the offset in the text); returns how many. A text becomes
// UTF-16LE as it goes.
std::size_t NextPiece(const StoredValue& value, std::size_t* at, BYTE* out, std::vector<char16_t>& units) {
    if (!value.utf8) {
        const std::size_t n = std::min(kPiece, value.bytes.size() - *at);
        std::copy_n(value.bytes.data() + *at, n, out);
        *at += n;
        return n;
    }
    units.resize(kPiece / 2);
    const std::size_t n = FromUtf8Piece(*value.utf8, at, units.data(), units.size());
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<BYTE>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<BYTE>(units[i] >> 8);
    }
    return 2 * n;
}

// Stores a long value as StoreStoredValues does, but its bytes go into the row in pieces.
HRESULT StoreInPieces(Database& db, ObjectId obj, const StoredValue& value, bool fresh) {
    const std::size_t size = static_cast<std::size_t>(HeldLength(value));
    {
        Cursor q =
            db.Query(fresh ? "INSERT INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)"
                           : "INSERT INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)"
                             " ON CONFLICT (obj, pid) DO UPDATE SET type = excluded.type, value = excluded.value");
        q->Bind(1, obj).Bind(2, std::int64_t{PROP_ID(value.tag)}).Bind(3, std::int64_t{PROP_TYPE(value.tag)});
        q->BindZeroBlob(4, size);
        if (!q->Run()) return MAPI_E_DISK_ERROR;
    }
    std::int64_t rowid = 0;
    {
        Cursor q = db.Query("SELECT rowid FROM props WHERE obj = ? AND pid = ?");
        q->Bind(1, obj).Bind(2, std::int64_t{PROP_ID(value.tag)});
        if (!q->Step()) return MAPI_E_DISK_ERROR;
        rowid = q->Int(0);
    }
    sql::Blob blob(db.Connection(), "props", "value", rowid, true);
    if (!blob.Ok() || blob.Size() != size) return MAPI_E_DISK_ERROR;
    std::vector<BYTE> piece(kPiece);
    std::vector<char16_t> units;
    std::size_t at = 0;
    for (std::size_t offset = 0; offset < size;) {
        const std::size_t n = NextPiece(value, &at, piece.data(), units);
        if (n == 0 || !blob.Write(offset, piece.data(), n)) return MAPI_E_DISK_ERROR;
        offset += n;
    }
    return S_OK;
}

// Values one statement of StoreStoredValues stores at most.
constexpr std::size_t kValuesPerStatement = 16;

// The statement that stores `rows` values (1 to kValuesPerStatement), as Put does one, or for a
// fresh object as plain insertions.
const char* StoreValuesStatement(std::size_t rows, bool fresh) {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> made(2 * (kValuesPerStatement + 1));
        for (std::size_t n = 1; n <= kValuesPerStatement; ++n) {
            std::string sql = "INSERT INTO props (obj, pid, type, value) VALUES ";
            for (std::size_t i = 0; i < n; ++i) sql += i ? ", (?, ?, ?, ?)" : "(?, ?, ?, ?)";
            made[kValuesPerStatement + 1 + n] = sql;
            made[n] = sql + " ON CONFLICT (obj, pid) DO UPDATE SET type = excluded.type, value = excluded.value";
        }
        return made;
    }();
    return texts[(fresh ? kValuesPerStatement + 1 : 0) + rows].c_str();
}

void BindStored(sql::Stmt& q, int at, const StoredValue& value) {
    switch (StorageOf(value.tag)) {
        case Storage::Integer: q.Bind(at, value.integer); break;
        case Storage::Real: q.BindReal(at, value.real); break;
        case Storage::Bytes:
            if (value.utf8) {
                const std::vector<BYTE> bytes = Utf16Bytes(FromUtf8(*value.utf8));
                q.BindBlob(at, bytes.data(), bytes.size());
            } else {
                q.BindBlob(at, value.bytes.data(), value.bytes.size());
            }
            break;
    }
}

}  // namespace

HRESULT StoreStoredValues(Database& db, ObjectId obj, const std::vector<const StoredValue*>& values, bool fresh) {
    if (std::any_of(values.begin(), values.end(), InPieces)) {
        // The short values several to a statement as usual, then each long one on its own.
        std::vector<const StoredValue*> rest;
        std::copy_if(values.begin(), values.end(), std::back_inserter(rest),
                     [](const StoredValue* v) { return !InPieces(v); });
        if (HRESULT stored = StoreStoredValues(db, obj, rest, fresh); stored != S_OK) return stored;
        for (const StoredValue* value : values) {
            if (!InPieces(value)) continue;
            if (HRESULT stored = StoreInPieces(db, obj, *value, fresh); stored != S_OK) return stored;
        }
        return S_OK;
    }
    for (std::size_t first = 0; first < values.size(); first += kValuesPerStatement) {
        const std::size_t rows = std::min(kValuesPerStatement, values.size() - first);
        Cursor c = db.Query(StoreValuesStatement(rows, fresh));
        sql::Stmt& q = *c;
        for (std::size_t i = 0; i < rows; ++i) {
            const StoredValue& value = *values[first + i];
            const int at = static_cast<int>(4 * i);
            q.Bind(at + 1, obj)
                .Bind(at + 2, std::int64_t{PROP_ID(value.tag)})
                .Bind(at + 3, std::int64_t{PROP_TYPE(value.tag)});
            BindStored(q, at + 4, value);
        }
        if (!q.Run()) return MAPI_E_DISK_ERROR;
    }
    return S_OK;
}

HRESULT StoreValue(Database& db, ObjectId obj, const SPropValue& value) {
    StoredValue stored;
    bool kept = false;
    if (HRESULT made = ToStoredValue(value, &stored, &kept); made != S_OK || !kept) return made;
    return StoreStoredValue(db, obj, stored);
}

void PutValue(std::vector<StoredValue>& values, StoredValue value) {
    const ULONG id = PROP_ID(value.tag);
    auto at = std::lower_bound(values.begin(), values.end(), id,
                               [](const StoredValue& v, ULONG pid) { return PROP_ID(v.tag) < pid; });
    if (at != values.end() && PROP_ID(at->tag) == id) {
        *at = std::move(value);
    } else {
        values.insert(at, std::move(value));
    }
}

bool EraseValue(std::vector<StoredValue>& values, ULONG propId) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (PROP_ID(it->tag) != propId) continue;
        values.erase(it);
        return true;
    }
    return false;
}

HRESULT StoreBytes(Database& db, ObjectId obj, ULONG tag, const std::vector<BYTE>& bytes) {
    // `bytes` outlives the statement's run, and the cursor is reset when it is let go.
    return Put(db, obj, tag, [&](sql::Stmt& q) { q.BindBorrowedBlob(4, bytes.data(), bytes.size()); });
}

HRESULT DeleteValue(Database& db, ObjectId obj, ULONG propId) {
    Cursor q = db.Query("DELETE FROM props WHERE obj = ? AND pid = ?");
    q->Bind(1, obj).Bind(2, std::int64_t{propId});
    return q->Run() ? S_OK : MAPI_E_DISK_ERROR;
}

bool IsComputed(int kind, ULONG propId) {
    if (kind == kRecipient) return false;
    if (kind == kAttachment) return propId == PROP_ID(PR_ATTACH_SIZE) || propId == PROP_ID(PR_OBJECT_TYPE);
    for (ULONG id : kAlwaysComputed) {
        if (id != propId) continue;
        if (id == PROP_ID(PR_ATTACH_SIZE)) return false;
        if (id == PROP_ID(PR_PARENT_ENTRYID)) return kind == kFolder || kind == kMessage;
        if (id == PROP_ID(PR_FOLDER_TYPE) || id == PROP_ID(PR_CONTENT_COUNT) || id == PROP_ID(PR_CONTENT_UNREAD) ||
            id == PROP_ID(PR_SUBFOLDERS)) {
            return kind == kFolder;
        }
        return HasEntryId(kind);
    }
    return false;
}

bool Compute(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored, ULONG propId,
             StoredValue* value) {
    if (IsComputed(row.kind, propId)) {
        switch (propId) {
            case PROP_ID(PR_ENTRYID): *value = Binary(PR_ENTRYID, db.EntryId(row.id)); return true;
            case PROP_ID(PR_RECORD_KEY): *value = Binary(PR_RECORD_KEY, db.EntryId(row.id)); return true;
            case PROP_ID(PR_OBJECT_TYPE): *value = Integer(PR_OBJECT_TYPE, row.kind); return true;
            case PROP_ID(PR_STORE_ENTRYID): *value = Binary(PR_STORE_ENTRYID, db.EntryId(row.store)); return true;
            case PROP_ID(PR_PARENT_ENTRYID):
                // A store's root folder is its own parent.
                *value = Binary(PR_PARENT_ENTRYID, db.EntryId(row.parent == row.store ? row.id : row.parent));
                return true;
            case PROP_ID(PR_FOLDER_TYPE):
                *value = Integer(PR_FOLDER_TYPE, row.parent == row.store ? FOLDER_ROOT : FOLDER_GENERIC);
                return true;
            case PROP_ID(PR_SUBFOLDERS):
                *value =
                    Integer(PR_SUBFOLDERS,
                            Count(db, "SELECT EXISTS (SELECT 1 FROM objects WHERE parent = ? AND kind = 3)", row.id));
                return true;
            case PROP_ID(PR_CONTENT_COUNT):
                *value = Integer(PR_CONTENT_COUNT,
                                 Count(db, "SELECT count(*) FROM objects WHERE parent = ? AND kind = 5", row.id));
                return true;
            case PROP_ID(PR_CONTENT_UNREAD):
                *value =
                    Integer(PR_CONTENT_UNREAD,
                            Count(db,
                                  "SELECT count(*) FROM objects o LEFT JOIN props p ON p.obj = o.id AND p.pid = 3591"
                                  " WHERE o.parent = ? AND o.kind = 5 AND (p.value IS NULL OR (p.value & 1) = 0)",
                                  row.id));
                return true;
            case PROP_ID(PR_ATTACH_SIZE): {
                const StoredValue* data = Find(stored, PROP_ID(PR_ATTACH_DATA_BIN));
                *value = Integer(PR_ATTACH_SIZE, data ? data->length : 0);
                return true;
            }
            default: return false;
        }
    }
    if (row.kind != kMessage || Find(stored, propId) != nullptr) return false;
    if (propId == PROP_ID(PR_HASATTACH)) {
        *value = Integer(PR_HASATTACH,
                         Count(db, "SELECT EXISTS (SELECT 1 FROM objects WHERE parent = ? AND kind = 7)", row.id));
        return true;
    }
    if (propId == PROP_ID(PR_MESSAGE_SIZE)) {
        *value = Integer(PR_MESSAGE_SIZE,
                         Count(db,
                               "SELECT coalesce((SELECT length(value) FROM props WHERE obj = ?1 AND pid = 4096), 0)"
                               " + coalesce((SELECT sum(length(p.value)) FROM objects o JOIN props p ON p.obj = o.id"
                               " AND p.pid = 14081 WHERE o.parent = ?1 AND o.kind = 7), 0)",
                               row.id));
        return true;
    }
    return false;
}

void SetMissing(ULONG requestedTag, SCODE code, SPropValue* out) {
    *out = SPropValue{};
    out->ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(requestedTag));
    out->Value.err = code;
}

void ToPropValue(const StoredValue& value, ULONG requestedTag, SPropValue* out, void* parent) {
    const ULONG stored = PROP_TYPE(value.tag);
    ULONG type = PROP_TYPE(requestedTag) == PT_UNSPECIFIED ? stored : PROP_TYPE(requestedTag);
    *out = SPropValue{};
    out->ulPropTag = PROP_TAG(type, PROP_ID(value.tag));
    PropValueUnion& v = out->Value;
    auto block = [&](std::size_t size) -> BYTE* {
        void* memory = nullptr;
        if (MAPIAllocateMore(static_cast<ULONG>(size), parent, &memory) != S_OK) return nullptr;
        return static_cast<BYTE*>(memory);
    };
    auto fail = [&]() { SetMissing(requestedTag, MAPI_E_NOT_FOUND, out); };

    if (type != stored) {
        if (type == PT_STRING8 && stored == PT_UNICODE) {
            const std::string text = ToUtf8(FromUtf16Bytes(value.bytes.data(), value.bytes.size()));
            BYTE* memory = block(text.size() + 1);
            if (!memory) return fail();
            if (!text.empty()) std::memcpy(memory, text.data(), text.size());
            v.lpszA = reinterpret_cast<char*>(memory);
            return;
        }
        if (type == PT_UNICODE && stored == PT_STRING8) {
            const std::u16string text =
                FromUtf8(std::string_view(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size()));
            StoredValue wide;
            wide.tag = PROP_TAG(PT_UNICODE, PROP_ID(value.tag));
            wide.bytes = Utf16Bytes(text);
            return ToPropValue(wide, out->ulPropTag, out, parent);
        }
        return fail();
    }
    switch (type) {
        case PT_I2: v.i = static_cast<std::int16_t>(value.integer); break;
        case PT_LONG: v.l = static_cast<LONG>(value.integer); break;
        case PT_BOOLEAN: v.b = static_cast<unsigned short>(value.integer); break;
        case PT_I8:
        case PT_CURRENCY: v.li = value.integer; break;
        case PT_SYSTIME: v.ft = FromTicks(static_cast<std::uint64_t>(value.integer)); break;
        case PT_R4: v.flt = static_cast<float>(value.real); break;
        case PT_DOUBLE:
        case PT_APPTIME: v.dbl = value.real; break;
        case PT_UNICODE: {
            // Room for the bytes rounded up to whole characters and a zero terminator.
            BYTE* memory = block(value.bytes.size() + 3);
            if (!memory) return fail();
            if (!value.bytes.empty()) std::memcpy(memory, value.bytes.data(), value.bytes.size());
            v.lpszW = reinterpret_cast<char16_t*>(memory);
            break;
        }
        case PT_STRING8: {
            BYTE* memory = block(value.bytes.size() + 1);
            if (!memory) return fail();
            if (!value.bytes.empty()) std::memcpy(memory, value.bytes.data(), value.bytes.size());
            v.lpszA = reinterpret_cast<char*>(memory);
            break;
        }
        case PT_BINARY: {
            BYTE* memory = block(value.bytes.size());
            if (!memory) return fail();
            if (!value.bytes.empty()) std::memcpy(memory, value.bytes.data(), value.bytes.size());
            v.bin.cb = static_cast<ULONG>(value.bytes.size());
            v.bin.lpb = memory;
            break;
        }
        case PT_CLSID: {
            BYTE* memory = block(sizeof(IID));
            if (!memory || value.bytes.size() != 16) return fail();
            IID* iid = reinterpret_cast<IID*>(memory);
            const BYTE* b = value.bytes.data();
            iid->data1 = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
            iid->data2 = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
            iid->data3 = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
            std::copy(b + 8, b + 16, iid->data4);
            v.lpguid = iid;
            break;
        }
        default: return fail();
    }
}

void FillProps(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored, const ULONG* tags,
               ULONG count, SPropValue* out, void* parent) {
    for (ULONG i = 0; i < count; ++i) {
        const ULONG id = PROP_ID(tags[i]);
        const StoredValue* found = Find(stored, id);
        StoredValue computed;
        if (Compute(db, row, stored, id, &computed)) found = &computed;
        if (found && found->loaded) {
            ToPropValue(*found, tags[i], &out[i], parent);
        } else {
            SetMissing(tags[i], MAPI_E_NOT_FOUND, &out[i]);
        }
    }
}

std::vector<ULONG> PropList(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored) {
    std::vector<ULONG> tags;
    for (const StoredValue& value : stored) {
        if (!IsComputed(row.kind, PROP_ID(value.tag))) tags.push_back(value.tag);
    }
    StoredValue computed;
    for (ULONG id : kAlwaysComputed) {
        if (Compute(db, row, stored, id, &computed)) tags.push_back(computed.tag);
    }
    for (ULONG id : {PROP_ID(PR_HASATTACH), PROP_ID(PR_MESSAGE_SIZE)}) {
        if (Compute(db, row, stored, id, &computed)) tags.push_back(computed.tag);
    }
    return tags;
}

}  // namespace platform::mapi::store
