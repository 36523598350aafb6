#include "platform/mapi/store/database.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include "platform/device.h"
#include "platform/no_destructor.h"
#include "platform/mapi/store/notifier.h"
#include "platform/mapi/store/props.h"
#include "platform/mapi/tags.h"

namespace platform::mapi::store {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS objects (id INTEGER PRIMARY KEY AUTOINCREMENT, kind INTEGER NOT NULL,"
    " store INTEGER NOT NULL, parent INTEGER REFERENCES objects(id) ON DELETE CASCADE);"
    "CREATE INDEX IF NOT EXISTS objects_parent ON objects(parent, kind, id);"
    "CREATE TABLE IF NOT EXISTS props (obj INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,"
    " pid INTEGER NOT NULL, type INTEGER NOT NULL, value, PRIMARY KEY (obj, pid));"
    "CREATE TABLE IF NOT EXISTS changes (seq INTEGER PRIMARY KEY AUTOINCREMENT, event INTEGER NOT NULL,"
    " objtype INTEGER NOT NULL, obj INTEGER NOT NULL, parent INTEGER, oldobj INTEGER, oldparent INTEGER,"
    " time INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS changes_time ON changes(time);";

// Change-log rows older than this are pruned.
constexpr std::int64_t kKeepChangesMs = 60 * 60 * 1000;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> bytes(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
    return bytes;
}

std::u16string FromUtf16Bytes(const BYTE* bytes, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return text;
}

std::shared_ptr<Database> Database::Open(HRESULT* result) {
    *result = MAPI_E_LOGON_FAILED;
    if (device::Root().empty()) return nullptr;
    auto db = std::make_shared<Database>();
    db->file_ = device::PlatformFile("messages.db");
    if (!db->db_.Open(db->file_) || !db->CreateSchema() || !db->Provision()) return nullptr;
    // Reads straight from the mapped file rather than through a read call per page.
    db->db_.Exec("PRAGMA mmap_size = 268435456");
    // A batch of writes gives each message a savepoint of its own; the copies of the pages a
    // savepoint changes again are kept in memory rather than in a temporary file on the host's
    // disk (they are the few pages of one message's rows, freed when it is released).
    db->db_.Exec("PRAGMA temp_store = MEMORY");
    *result = S_OK;
    return db;
}

bool Database::CreateSchema() {
    // The schema exists after the first connection ever; only then does this write (and once
    // more on a store made before the change log's time index, to add it).
    sql::Stmt probe = db_.Prepare("SELECT 1 FROM sqlite_master WHERE name = 'changes_time'");
    if (probe.Step()) return true;
    probe = sql::Stmt();
    return db_.Exec(kSchema);
}

bool Database::Provision() {
    auto readInstance = [this]() {
        Cursor q = Query("SELECT value FROM meta WHERE key = 'instance'");
        if (!q->Step() || q->Bytes(0) != instance_.size()) return false;
        std::copy_n(q->BlobData(0), instance_.size(), instance_.begin());
        return true;
    };
    if (readInstance()) return true;
    return Write([&]() -> HRESULT {
               // Another process may have provisioned the store while this one waited.
               if (readInstance()) return S_OK;
               std::random_device random;
               for (std::size_t i = 0; i < instance_.size(); i += 4) {
                   const std::uint32_t word = random();
                   for (std::size_t k = 0; k < 4; ++k) instance_[i + k] = static_cast<BYTE>(word >> (8 * k));
               }
               Cursor meta = Query("INSERT INTO meta (key, value) VALUES (?, ?)");
               meta->Bind(1, std::string_view("instance")).BindBlob(2, instance_.data(), instance_.size());
               if (!meta->Run()) return MAPI_E_DISK_ERROR;
               meta->Reset();
               meta->Bind(1, std::string_view("schema")).Bind(2, std::int64_t{1});
               if (!meta->Run() || CreateStore(u"SMS", true) == 0) return MAPI_E_DISK_ERROR;
               return S_OK;
           }) == S_OK;
}

Cursor Database::Query(const char* sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) found = statements_.emplace(sql, db_.Prepare(sql)).first;
    return Cursor(found->second);
}

Cursor Database::Query(const std::string& sql) {
    auto found = composed_.find(sql);
    if (found == composed_.end()) found = composed_.emplace(sql, db_.Prepare(sql)).first;
    return Cursor(found->second);
}

EntryIdBytes MakeEntryId(const InstanceId& instance, ObjectId id) {
    EntryIdBytes bytes{};
    std::copy(instance.begin(), instance.end(), bytes.begin() + 4);
    for (int i = 0; i < 8; ++i) bytes[12 + i] = static_cast<BYTE>(static_cast<std::uint64_t>(id) >> (8 * i));
    return bytes;
}

EntryIdBytes Database::EntryId(ObjectId id) const { return MakeEntryId(instance_, id); }

ObjectId Database::ParseEntryId(ULONG size, const BYTE* bytes) const {
    if (size != 20 || bytes == nullptr) return 0;
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] != 0) return 0;
    }
    if (!std::equal(instance_.begin(), instance_.end(), bytes + 4)) return 0;
    std::uint64_t id = 0;
    for (int i = 0; i < 8; ++i) id |= static_cast<std::uint64_t>(bytes[12 + i]) << (8 * i);
    return id > 0 && id <= static_cast<std::uint64_t>(INT64_MAX) ? static_cast<ObjectId>(id) : 0;
}

bool Database::Lookup(ObjectId id, ObjectRow* row) {
    std::lock_guard lock(mutex_);
    Cursor q = Query("SELECT kind, store, parent FROM objects WHERE id = ?");
    q->Bind(1, id);
    if (!q->Step()) return false;
    row->id = id;
    row->kind = static_cast<int>(q->Int(0));
    row->store = q->Int(1);
    row->parent = q->IsNull(2) ? 0 : q->Int(2);
    return true;
}

bool Database::Begin() { return Query("BEGIN IMMEDIATE")->Run(); }

void Database::HoldRead() {
    std::lock_guard lock(mutex_);
    // Only outside any other transaction: a failed BEGIN leaves statements to run on their own.
    if (!readHeld_) readHeld_ = Query("BEGIN")->Run();
}

void Database::EndHeldRead() {
    std::lock_guard lock(mutex_);
    prefetched_.clear();
    later_ = LaterBatch{};
    if (!readHeld_) return;
    readHeld_ = false;
    if (!Query("COMMIT")->Run()) Query("ROLLBACK")->Run();
}

HRESULT Database::Finish(HRESULT result) {
    if (result == S_OK && Query("COMMIT")->Run()) {
        ++commits_;
        if (pendingSeq_ != 0) {
            lastChangeSeq_ = pendingSeq_;
            pendingSeq_ = 0;
            Notifier::Instance().Poke();
        }
        return S_OK;
    }
    Query("ROLLBACK")->Run();
    pendingSeq_ = 0;
    return result == S_OK ? MAPI_E_DISK_ERROR : result;
}

namespace {

// The connections writing in batches, for the process's exit.
std::mutex batchMutex;
std::set<Database*>& BatchWriters() {
    static NoDestructor<std::set<Database*>> writers;  // outlives every static destructor
    return *writers;
}

}  // namespace

Database::~Database() {
    std::lock_guard lock(batchMutex);
    BatchWriters().erase(this);
}

void Database::CommitBatchesAtExit() {
    std::lock_guard lock(batchMutex);
    for (Database* db : BatchWriters()) {
        // Not while another thread uses the connection, nor in the middle of a write.
        std::unique_lock own(db->mutex_, std::try_to_lock);
        if (!own.owns_lock() || db->inBatchWrite_) continue;
        db->CommitBatch();
    }
}

void Database::BeginBatch(std::uint32_t maxChanges, std::uint32_t maxMs) {
    std::lock_guard lock(mutex_);
    if (batch_.on) return;
    batch_ = Batch{};
    batch_.on = true;
    batch_.maxChanges = maxChanges == 0 ? 1 : maxChanges;
    batch_.maxMs = maxMs;
    std::lock_guard writers(batchMutex);
    static const bool registered = std::atexit(&Database::CommitBatchesAtExit) == 0;
    (void)registered;
    BatchWriters().insert(this);
}

bool Database::EnterBatchWrite() {
    if (!batch_.open) {
        if (!Begin()) return false;
        batch_.open = true;
        batch_.changes = 0;
        batch_.since = std::chrono::steady_clock::now();
    }
    return Query("SAVEPOINT batch_write")->Run();
}

HRESULT Database::LeaveBatchWrite(HRESULT result, std::int64_t seqBefore) {
    if (result == S_OK && Query("RELEASE batch_write")->Run()) {
        ++commits_;
        ++batch_.changes;
        if (BatchDue() && !CommitBatch()) return MAPI_E_DISK_ERROR;
        return S_OK;
    }
    // Only this write is undone; the batch's earlier ones stay.
    Query("ROLLBACK TO batch_write")->Run();
    Query("RELEASE batch_write")->Run();
    pendingSeq_ = seqBefore;
    return result == S_OK ? MAPI_E_DISK_ERROR : result;
}

bool Database::BatchDue() const {
    return batch_.changes >= batch_.maxChanges ||
           std::chrono::steady_clock::now() - batch_.since >= std::chrono::milliseconds(batch_.maxMs);
}

bool Database::CommitBatch() {
    if (!batch_.open) return true;
    batch_.open = false;
    batch_.changes = 0;
    // Finish announces the changes logged since the transaction began.
    return Finish(S_OK) == S_OK;
}

bool Database::PaceBatch() {
    std::lock_guard lock(mutex_);
    if (!batch_.open || !BatchDue()) return true;
    return CommitBatch();
}

bool Database::EndBatch() {
    std::lock_guard lock(mutex_);
    if (!batch_.on) return true;
    {
        std::lock_guard writers(batchMutex);
        BatchWriters().erase(this);
    }
    const bool ok = CommitBatch();
    batch_ = Batch{};
    return ok;
}

ObjectId Database::Insert(int kind, ObjectId store, ObjectId parent) {
    Cursor q = Query("INSERT INTO objects (kind, store, parent) VALUES (?, ?, ?)");
    q->Bind(1, std::int64_t{kind}).Bind(2, store);
    if (parent != 0) {
        q->Bind(3, parent);
    } else {
        q->BindNull(3);
    }
    if (!q->Run()) return 0;
    return db_.LastInsertRowId();
}

ObjectId Database::ReserveId() {
    std::lock_guard lock(mutex_);
    if (nextReserved_ < reservedEnd_) return nextReserved_++;
    // A block is committed on its own before any of its ids is handed out, in a batch or not:
    // a caller may name an id somewhere else at once (a restore writes it into the archive), and
    // a block lost with an uncommitted batch would be handed out again. So the batch's
    // transaction, whose writes are all whole, is committed first; a batch writer reserves
    // larger blocks, so that this costs one more commit per batch or so.
    if (inBatchWrite_) return 0;
    if (batch_.open && !CommitBatch()) return 0;
    const std::int64_t kBlock = batch_.on ? std::max<std::int64_t>(64, batch_.maxChanges) : 64;
    const bool batched = batch_.on;
    batch_.on = false;
    ObjectId last = 0;
    const HRESULT result = Write([&]() -> HRESULT {
        // AUTOINCREMENT hands out ids above the sequence's value only: moving it on keeps the
        // ids below for this connection, also against other processes.
        {
            Cursor q = Query("UPDATE sqlite_sequence SET seq = seq + ? WHERE name = 'objects'");
            q->Bind(1, kBlock);
            if (!q->Run()) return MAPI_E_DISK_ERROR;
        }
        if (db_.Changes() == 0) {
            Cursor q = Query(
                "INSERT INTO sqlite_sequence (name, seq) VALUES"
                " ('objects', coalesce((SELECT max(id) FROM objects), 0) + ?)");
            q->Bind(1, kBlock);
            if (!q->Run()) return MAPI_E_DISK_ERROR;
        }
        Cursor q = Query("SELECT seq FROM sqlite_sequence WHERE name = 'objects'");
        if (q->Step()) last = q->Int(0);
        return last != 0 ? S_OK : MAPI_E_DISK_ERROR;
    });
    batch_.on = batched;
    if (result != S_OK) return 0;
    nextReserved_ = last - kBlock + 1;
    reservedEnd_ = last + 1;
    return nextReserved_++;
}

bool Database::InsertAs(ObjectId id, int kind, ObjectId store, ObjectId parent) {
    Cursor q = Query("INSERT INTO objects (id, kind, store, parent) VALUES (?, ?, ?, ?)");
    q->Bind(1, id).Bind(2, std::int64_t{kind}).Bind(3, store);
    if (parent != 0) {
        q->Bind(4, parent);
    } else {
        q->BindNull(4);
    }
    return q->Run();
}

bool Database::LogChange(ULONG event, int kind, ObjectId obj, ObjectId parent, ObjectId oldObj, ObjectId oldParent) {
    const std::int64_t now = NowMs();
    Cursor q = Query(
        "INSERT INTO changes (event, objtype, obj, parent, oldobj, oldparent, time) VALUES (?, ?, ?, ?, ?, ?, ?)");
    q->Bind(1, std::int64_t{event}).Bind(2, std::int64_t{kind}).Bind(3, obj).Bind(4, parent).Bind(5, oldObj);
    q->Bind(6, oldParent).Bind(7, now);
    if (!q->Run()) return false;
    pendingSeq_ = db_.LastInsertRowId();
    if (++logged_ % 256 == 0) {
        Cursor prune = Query("DELETE FROM changes WHERE time < ?");
        prune->Bind(1, now - kKeepChangesMs);
        if (!prune->Run()) return false;
    }
    return true;
}

namespace {

bool PutBlob(Database& db, ObjectId obj, ULONG tag, const std::vector<BYTE>& bytes) {
    Cursor c = db.Query("INSERT OR REPLACE INTO props (obj, pid, type, value) VALUES (?, ?, ?, ?)");
    sql::Stmt& q = *c;
    q.Bind(1, obj).Bind(2, std::int64_t{PROP_ID(tag)}).Bind(3, std::int64_t{PROP_TYPE(tag)});
    q.BindBlob(4, bytes.data(), bytes.size());
    return q.Run();
}

}  // namespace

ObjectId Database::CreateFolderRow(ObjectId store, ObjectId parent, std::u16string_view name) {
    const ObjectId folder = Insert(kFolder, store, parent);
    if (folder == 0) return 0;
    return PutBlob(*this, folder, PR_DISPLAY_NAME_W, Utf16Bytes(name)) ? folder : 0;
}

ObjectId Database::CreateStore(std::u16string_view name, bool defaultFolders) {
    const ObjectId store = Insert(kStore, 0, 0);
    if (store == 0) return 0;
    {
        Cursor own = Query("UPDATE objects SET store = id WHERE id = ?");
        own->Bind(1, store);
        if (!own->Run()) return 0;
    }
    const ObjectId root = CreateFolderRow(store, store, name);
    const ObjectId ipm = root ? CreateFolderRow(store, root, kIpmRootName) : 0;
    if (ipm == 0) return 0;
    auto entryId = [this](ObjectId id) {
        const EntryIdBytes bytes = EntryId(id);
        return std::vector<BYTE>(bytes.begin(), bytes.end());
    };
    if (!PutBlob(*this, store, PR_DISPLAY_NAME_W, Utf16Bytes(name)) ||
        !PutBlob(*this, store, PR_IPM_SUBTREE_ENTRYID, entryId(ipm))) {
        return 0;
    }
    if (defaultFolders) {
        ObjectId ids[5] = {};
        const char16_t* names[5] = {u"Inbox", u"Sent Items", u"Drafts", u"Outbox", u"Deleted Items"};
        for (int i = 0; i < 5; ++i) {
            ids[i] = CreateFolderRow(store, ipm, names[i]);
            if (ids[i] == 0) return 0;
        }
        if (!PutBlob(*this, store, PR_IPM_SENTMAIL_ENTRYID, entryId(ids[1])) ||
            !PutBlob(*this, store, PR_IPM_OUTBOX_ENTRYID, entryId(ids[3])) ||
            !PutBlob(*this, store, PR_IPM_WASTEBASKET_ENTRYID, entryId(ids[4]))) {
            return 0;
        }
    }
    return store;
}

void Database::PrefetchLater(ObjectId folder, ObjectId after, std::int64_t limit, std::vector<ObjectId> ids) {
    std::lock_guard lock(mutex_);
    prefetched_.clear();
    // Outside a held read nothing says until when they would be current.
    later_ = readHeld_ ? LaterBatch{folder, after, limit, std::move(ids)} : LaterBatch{};
}

bool Database::TakePrefetched(ObjectId id, LoadedTree* tree) {
    std::lock_guard lock(mutex_);
    if (readHeld_ && std::binary_search(later_.ids.begin(), later_.ids.end(), id)) {
        // Inside the same held read the statement finds the batch the table listed.
        prefetched_ = LoadMessageTrees(*this, later_.folder, later_.after, later_.limit);
        later_ = LaterBatch{};
    }
    auto found = std::lower_bound(prefetched_.begin(), prefetched_.end(), id,
                                  [](const LoadedTree& t, ObjectId key) { return t.row.id < key; });
    if (found == prefetched_.end() || found->row.id != id) return false;
    *tree = std::move(*found);
    // Left in place, with its id kept so that the order holds; it is given out only once.
    found->row.kind = 0;
    found->values.clear();
    return tree->row.kind != 0;
}

std::pair<std::int64_t, std::int64_t> Database::ChangeStamp() {
    std::lock_guard lock(mutex_);
    return {commits_, db_.DataVersion()};
}

std::int64_t Database::CurrentSeq() {
    std::lock_guard lock(mutex_);
    EndHeldRead();
    Cursor q = Query("SELECT max(seq) FROM changes");
    return q->Step() && !q->IsNull(0) ? q->Int(0) : 0;
}

}  // namespace platform::mapi::store
