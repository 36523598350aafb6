// The message store's database: one SQLite file, "messages.db" under "\.platform\" of the
// device folder, shared by every process that mounts the folder (WAL journal, busy timeout;
// every change is one IMMEDIATE transaction, so concurrent writers queue instead of failing).
//
// Schema (meta "schema" = 1):
//
//   meta(key TEXT PRIMARY KEY, value BLOB)
//       "instance": 8 random bytes carried by every entry identifier of this database.
//
//   objects(id INTEGER PRIMARY KEY AUTOINCREMENT, kind INTEGER, store INTEGER,
//           parent INTEGER REFERENCES objects(id) ON DELETE CASCADE)
//       Every store (kind 1), folder (3), message (5), recipient row (6) and attachment (7).
//       AUTOINCREMENT: an id is never handed out twice, also after deletion. `store` is the
//       owning store (for a store, itself). `parent` is what contains the object: a store's
//       root folder has the store, its IPM subtree folder the root folder, a subfolder its
//       folder, a message its folder, a recipient row or attachment its message; NULL for a store.
//       Index objects_parent(parent, kind, id) serves every table and the cascades.
//
//   props(obj INTEGER REFERENCES objects(id) ON DELETE CASCADE, pid INTEGER, type INTEGER,
//         value, PRIMARY KEY (obj, pid))
//       One row per stored property: identifier (high 16 bits of the tag), type (low 16 bits)
//       and value. A rowid table on purpose: its key index stays small, so that finding a
//       property never reads through the large values (attachments) stored beside it. PT_I2, PT_LONG, PT_BOOLEAN, PT_I8, PT_CURRENCY and PT_SYSTIME (ticks) are
//       INTEGER; PT_R4, PT_DOUBLE and PT_APPTIME are REAL; PT_UNICODE is a BLOB of UTF-16LE
//       without terminator (a stream may leave any bytes); PT_STRING8, PT_BINARY and PT_CLSID
//       are BLOBs.
//
//   changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, event INTEGER, objtype INTEGER, obj INTEGER,
//           parent INTEGER, oldobj INTEGER, oldparent INTEGER, time INTEGER)
//       The change log that the notification threads of every process read: one row per
//       notification (fnevObject* event, object type, object and parent ids, for moved and
//       copied the old ones), written in the same transaction as the change. `time` is Unix
//       milliseconds; writers prune rows older than an hour now and then, through the index
//       changes_time(time), so that pruning a long log costs what it removes.
//
// Entry identifiers are 20 bytes: 4 zero flag bytes, the 8 instance bytes and the object id as
// a 64-bit little-endian number. An identifier of another database, of a deleted object, of a
// recipient row or of an attachment opens nothing.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/mapi/types.h"
#include "platform/sqlite.h"

namespace platform::mapi::store {

using ObjectId = std::int64_t;
using EntryIdBytes = std::array<BYTE, 20>;
using InstanceId = std::array<BYTE, 8>;

constexpr int kStore = 1;
constexpr int kFolder = 3;
constexpr int kMessage = 5;
constexpr int kRecipient = 6;
constexpr int kAttachment = 7;

// The name of the IPM subtree folder of every store.
inline constexpr char16_t kIpmRootName[] = u"IPM.Root";

// A cached statement in use: reset (and its read snapshot let go) when it goes out of scope.
class Cursor {
public:
    explicit Cursor(sql::Stmt& stmt) : stmt_(stmt) {}
    ~Cursor() { stmt_.Reset(); }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    sql::Stmt* operator->() const { return &stmt_; }
    sql::Stmt& operator*() const { return stmt_; }

private:
    sql::Stmt& stmt_;
};

struct LoadedTree;

struct ObjectRow {
    ObjectId id = 0;
    int kind = 0;
    ObjectId store = 0;
    ObjectId parent = 0;  // 0 when none
};

class Database {
public:
    // A connection to the mounted device's store, creating and provisioning it when new: store
    // "SMS" with "Inbox", "Sent Items", "Drafts", "Outbox" and "Deleted Items" in its IPM subtree.
    static std::shared_ptr<Database> Open(HRESULT* result);

    const std::filesystem::path& File() const { return file_; }
    const InstanceId& InstanceBytes() const { return instance_; }

    // Every use of the connection holds this lock.
    std::recursive_mutex& Mutex() { return mutex_; }
    // The connection itself, for what statements cannot do (writing a long value in place).
    sql::Db& Connection() { return db_; }

    // A prepared statement kept for the connection's life, ready for binding. One statement
    // text is in use once at a time.
    Cursor Query(const char* sql);
    // The same for a statement text composed at run time (kept by its text).
    Cursor Query(const std::string& sql);

    EntryIdBytes EntryId(ObjectId id) const;
    // The object id an identifier names in this database, or 0 when it is not one of ours.
    ObjectId ParseEntryId(ULONG size, const BYTE* bytes) const;

    // The object's row; false when it does not exist (any more).
    bool Lookup(ObjectId id, ObjectRow* row);

    // Runs `body` in one IMMEDIATE transaction and commits it when it returns S_OK. Changes
    // logged inside are announced to this process's notification thread after the commit.
    // A held read (below) ends first. While a batch is on (below), `body` runs inside the
    // batch's transaction instead, under a savepoint: it is undone alone when it fails.
    template <class Body>
    HRESULT Write(Body&& body) {
        std::lock_guard lock(mutex_);
        EndHeldRead();
        if (batch_.on) {
            const std::int64_t seqBefore = pendingSeq_;
            if (!EnterBatchWrite()) return MAPI_E_DISK_ERROR;
            inBatchWrite_ = true;
            const HRESULT result = body();
            inBatchWrite_ = false;
            return LeaveBatchWrite(result, seqBefore);
        }
        if (!Begin()) return MAPI_E_DISK_ERROR;
        HRESULT result = body();
        return Finish(result);
    }

    // Writes in batches, for a writer that stores many objects one after the other (an import,
    // a restore): from BeginBatch on, the writes of this connection go into one IMMEDIATE
    // transaction, committed once `maxChanges` writes or `maxMs` milliseconds have gathered in
    // it (looked at when a write ends and at PaceBatch), and at EndBatch. Each write is still
    // whole or absent (its savepoint); what a kill ends is the uncommitted rest of the
    // transaction, as if those writes had not been made. So the store syncs at most once per
    // transaction, instead of once per write. Other writers wait for a commit meanwhile: a
    // writer that may spend a while between its writes (reading what it skips) calls PaceBatch
    // there. False when a commit fails (its writes are lost). A process that exits (a fatal
    // error included) commits its open batches on its way out, between two writes; only a
    // process that is killed leaves them out.
    void BeginBatch(std::uint32_t maxChanges, std::uint32_t maxMs);
    bool PaceBatch();
    bool EndBatch();

    // Inside Write: a new object row.
    ObjectId Insert(int kind, ObjectId store, ObjectId parent);
    // An object id that no object has had or will be given, for an object inserted later with
    // InsertAs (a message whose identifier is asked for before it is stored); 0 when it fails.
    // Ids are reserved in blocks, one small transaction each, and handed out in increasing
    // order; those a connection does not use are never used.
    ObjectId ReserveId();
    // Inside Write: a new object row with a reserved id.
    bool InsertAs(ObjectId id, int kind, ObjectId store, ObjectId parent);
    // Inside Write: one change-log row.
    bool LogChange(ULONG event, int kind, ObjectId obj, ObjectId parent, ObjectId oldObj = 0, ObjectId oldParent = 0);
    // Inside Write: a new store with its root and IPM subtree folders; returns its id.
    ObjectId CreateStore(std::u16string_view name, bool defaultFolders);
    // Inside Write: a folder named `name` below `parent`.
    ObjectId CreateFolderRow(ObjectId store, ObjectId parent, std::u16string_view name);

    // Changes as a number that moves whenever this connection commits a change, or its latest
    // read or write finds that another connection has committed one: a reader that kept what
    // it read at one value may keep using it while the value stays. Nothing is read for it.
    std::pair<std::int64_t, std::int64_t> ChangeStamp();

    // A read transaction kept open for a reader that reads many small pieces one after the
    // other, a table read in batches with the messages read between its rows: every statement
    // until the read ends sees the store as it was when the read began, and none has to take
    // and release the store's read lock on its own. HoldRead starts one unless one is open;
    // EndHeldRead ends it; any write on the connection and CurrentSeq end it first.
    void HoldRead();
    void EndHeldRead();

    // Messages to read whole ahead of their opening, inside the held read (a contents table
    // names the messages of its batch so): the messages of `folder` after id `after`, at most
    // `limit` of them, whose ids are `ids` (in id order). Nothing is read until one of them is
    // opened; then the whole batch is read with one statement, so that a walk that opens none
    // of them (a pass over messages it knows already) reads none of them. Valid until the held
    // read ends, which forgets them.
    void PrefetchLater(ObjectId folder, ObjectId after, std::int64_t limit, std::vector<ObjectId> ids);
    // Moves out the message read ahead with that id, reading its batch now when it is one of
    // those named and not read yet; false when there is none.
    bool TakePrefetched(ObjectId id, LoadedTree* tree);

    // The highest change-log sequence number written through this connection (0: none).
    std::int64_t LastChangeSeq() const { return lastChangeSeq_; }
    // The highest sequence number in the log now.
    std::int64_t CurrentSeq();

    Database() = default;  // use Open
    ~Database();

private:
    bool Begin();
    HRESULT Finish(HRESULT result);
    bool EnterBatchWrite();
    HRESULT LeaveBatchWrite(HRESULT result, std::int64_t seqBefore);
    bool CommitBatch();
    bool BatchDue() const;
    static void CommitBatchesAtExit();
    bool CreateSchema();
    bool Provision();

    std::filesystem::path file_;
    InstanceId instance_{};
    std::recursive_mutex mutex_;
    sql::Db db_;
    std::unordered_map<const char*, sql::Stmt> statements_;
    std::unordered_map<std::string, sql::Stmt> composed_;
    std::int64_t commits_ = 0;  // changes committed through this connection
    struct Batch {
        bool on = false;    // BeginBatch to EndBatch
        bool open = false;  // its transaction has begun
        std::uint32_t maxChanges = 1;
        std::uint32_t maxMs = 0;
        std::uint32_t changes = 0;                    // writes in the open transaction
        std::chrono::steady_clock::time_point since;  // when it began
    } batch_;
    bool inBatchWrite_ = false;           // a write's body is running in the batch's transaction
    bool readHeld_ = false;               // HoldRead's transaction is open
    std::vector<LoadedTree> prefetched_;  // in id order; taken ones are left empty (row.id 0)
    // The batch named to PrefetchLater and not read yet (ids empty when none).
    struct LaterBatch {
        ObjectId folder = 0;
        ObjectId after = 0;
        std::int64_t limit = 0;
        std::vector<ObjectId> ids;
    } later_;
    ObjectId nextReserved_ = 0;  // the reserved block still unused: [nextReserved_, reservedEnd_)
    ObjectId reservedEnd_ = 0;
    std::int64_t pendingSeq_ = 0;
    std::int64_t lastChangeSeq_ = 0;
    std::uint32_t logged_ = 0;
};

// The entry identifier of object `id` in the database with `instance`.
EntryIdBytes MakeEntryId(const InstanceId& instance, ObjectId id);

// Property values as the database holds them.
struct StoredValue {
    ULONG tag = 0;
    std::int64_t integer = 0;
    double real = 0;
    std::vector<BYTE> bytes;  // strings and binaries, when loaded
    std::int64_t length = 0;  // length of a string or binary, also when not loaded
    bool loaded = true;
    // A PT_UNICODE value set from a caller's UTF-8 text that the value shares (HrSetTextShared)
    // and that `bytes` does not hold: its bytes, `length` of them, are the text's UTF-16LE,
    // made when the value is read back, or piece by piece while it is written.
    std::shared_ptr<const std::string> utf8;
};

// The length in bytes of a string or binary value that is in memory (`bytes` or `utf8`).
inline std::int64_t HeldLength(const StoredValue& value) {
    return value.utf8 ? value.length : static_cast<std::int64_t>(value.bytes.size());
}

// Objects with their stored values (in identifier order), in id order.
using LoadedRows = std::vector<std::pair<ObjectRow, std::vector<StoredValue>>>;

// An object read whole: its row and every stored value in full (but a long one: props.h,
// LoadTree) and, for a message, its recipient rows and its attachments with theirs.
struct LoadedTree {
    ObjectRow row;
    std::vector<StoredValue> values;
    std::shared_ptr<const LoadedRows> recipients;   // null unless the object is a message
    std::shared_ptr<const LoadedRows> attachments;  // null unless the object is a message
};

// Little-endian UTF-16 bytes of a zero-terminated or counted string, and back.
std::vector<BYTE> Utf16Bytes(std::u16string_view text);
std::u16string FromUtf16Bytes(const BYTE* bytes, std::size_t size);

}  // namespace platform::mapi::store
