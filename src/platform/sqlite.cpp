#include "platform/sqlite.h"

#include <sqlite3.h>

#include "platform/faults.h"
#include "platform/kernel.h"

namespace platform::sql {

namespace {

// The failure cause of a statement or call on `db`: its file and SQLite's message.
void SetCause(sqlite3* db) {
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    SetFailureCause(std::string(file && *file ? file : "the database") + ": " +
                    (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

Db::~Db() {
    if (db_) sqlite3_close_v2(db_);
}

Db& Db::operator=(Db&& other) noexcept {
    if (this != &other) {
        if (db_) sqlite3_close_v2(db_);
        db_ = other.db_;
        other.db_ = nullptr;
    }
    return *this;
}

bool Db::Open(const std::filesystem::path& file, std::string* error) {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
        SetFailureCause(file.string() + ": " + (handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)));
        if (handle) sqlite3_close_v2(handle);
        return false;
    }
    if (db_) sqlite3_close_v2(db_);
    db_ = handle;
    sqlite3_busy_timeout(db_, 10000);
    if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;")) {
        if (error) *error = LastError();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    return true;
}

bool Db::Exec(std::string_view sql) {
    std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    SetCause(db_);
    return false;
}

Stmt Db::Prepare(std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK) {
        SetCause(db_);
        return Stmt();
    }
    return Stmt(stmt);
}

std::int64_t Db::LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
int Db::Changes() const { return sqlite3_changes(db_); }

std::int64_t Db::DataVersion() const {
    unsigned int version = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK) return -1;
    return version;
}
std::string Db::LastError() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

Stmt::~Stmt() {
    if (stmt_) sqlite3_finalize(stmt_);
}

Stmt& Stmt::operator=(Stmt&& other) noexcept {
    if (this != &other) {
        if (stmt_) sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        done_ = other.done_;
        other.stmt_ = nullptr;
    }
    return *this;
}

Stmt& Stmt::Bind(int index, std::int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Stmt& Stmt::Bind(int index, std::string_view text) {
    if (stmt_) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::BindBlob(int index, const void* data, std::size_t size) {
    if (stmt_) sqlite3_bind_blob64(stmt_, index, size ? data : "", size, SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::BindBorrowedBlob(int index, const void* data, std::size_t size) {
    if (stmt_) sqlite3_bind_blob64(stmt_, index, size ? data : "", size, SQLITE_STATIC);
    return *this;
}

Stmt& Stmt::BindZeroBlob(int index, std::uint64_t size) {
    if (stmt_) sqlite3_bind_zeroblob64(stmt_, index, size);
    return *this;
}

Stmt& Stmt::BindNull(int index) {
    if (stmt_) sqlite3_bind_null(stmt_, index);
    return *this;
}

Stmt& Stmt::BindReal(int index, double value) {
    if (stmt_) sqlite3_bind_double(stmt_, index, value);
    return *this;
}

bool Stmt::Step() {
    done_ = false;
    if (!stmt_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    done_ = rc == SQLITE_DONE;
    if (!done_) SetCause(sqlite3_db_handle(stmt_));
    return false;
}

bool Stmt::Run() {
    while (Step()) {
    }
    return done_;
}

void Stmt::Reset() {
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    done_ = false;
}

bool Stmt::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
std::int64_t Stmt::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Stmt::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(stmt_, column)) : std::string();
}

std::vector<std::uint8_t> Stmt::Blob(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>();
}

Blob::Blob(Db& db, const char* table, const char* column, std::int64_t rowid, bool write) : db_(db.Handle()) {
    if (sqlite3_blob_open(db_, "main", table, column, rowid, write ? 1 : 0, &blob_) != SQLITE_OK) {
        SetCause(db_);
        sqlite3_blob_close(blob_);  // a failed open may leave a handle; closing null does nothing
        blob_ = nullptr;
    }
}

Blob::~Blob() { sqlite3_blob_close(blob_); }

std::uint64_t Blob::Size() const { return blob_ ? static_cast<std::uint64_t>(sqlite3_blob_bytes(blob_)) : 0; }

bool Blob::Read(std::uint64_t offset, void* data, std::size_t size) {
    if (blob_ == nullptr || offset > Size() || size > Size() - offset) return false;
    if (size == 0) return true;
    if (sqlite3_blob_read(blob_, data, static_cast<int>(size), static_cast<int>(offset)) == SQLITE_OK) return true;
    SetCause(db_);
    return false;
}

bool Blob::Write(std::uint64_t offset, const void* data, std::size_t size) {
    if (blob_ == nullptr || offset > Size() || size > Size() - offset) return false;
    if (size == 0) return true;
    if (faults::Hit("sqlite3_blob_write")) {
        SetFailureCause("the database: disk I/O error");
        return false;
    }
    if (sqlite3_blob_write(blob_, data, static_cast<int>(size), static_cast<int>(offset)) == SQLITE_OK) return true;
    SetCause(db_);
    return false;
}

UnmappedReads::UnmappedReads(Db& db) : db_(db.Handle()) {
    sqlite3_int64 limit = -1;  // asks without changing it
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_MMAP_SIZE, &limit) != SQLITE_OK || limit <= 0) return;
    sqlite3_int64 none = 0;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_MMAP_SIZE, &none) == SQLITE_OK) limit_ = limit;
}

UnmappedReads::~UnmappedReads() {
    if (limit_ <= 0) return;
    sqlite3_int64 limit = limit_;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_MMAP_SIZE, &limit);
}

Transaction::Transaction(Db& db) : db_(db) { ok_ = db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
    if (ok_ && !finished_) db_.Exec("ROLLBACK");
}

bool Transaction::Commit() {
    if (!ok_ || finished_) return false;
    finished_ = true;
    if (db_.Exec("COMMIT")) return true;
    db_.Exec("ROLLBACK");
    return false;
}

double Stmt::Real(int column) const { return sqlite3_column_double(stmt_, column); }
int Stmt::Type(int column) const { return sqlite3_column_type(stmt_, column); }

const std::uint8_t* Stmt::BlobData(int column) const {
    return static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
}

std::size_t Stmt::Bytes(int column) const { return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)); }

}  // namespace platform::sql
