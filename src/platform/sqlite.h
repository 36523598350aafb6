// A thin RAII layer over SQLite for the platform's own stores (the settings store and the
// message store). Platform code only; the program never sees it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_blob;

namespace platform::sql {

class Stmt;

// One connection: WAL journal, a busy timeout so that several processes can share the file.
class Db {
public:
    Db() = default;
    ~Db();
    Db(Db&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
    Db& operator=(Db&& other) noexcept;
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // Opens (creating when missing) the database file; false when it cannot be used.
    bool Open(const std::filesystem::path& file, std::string* error = nullptr);
    bool IsOpen() const { return db_ != nullptr; }

    // Runs statements without results; false on failure.
    bool Exec(std::string_view sql);
    Stmt Prepare(std::string_view sql);
    std::int64_t LastInsertRowId() const;
    int Changes() const;
    // A number that differs after another connection has committed a change, as seen by this
    // connection's latest transaction (no new transaction is started, nothing is read).
    std::int64_t DataVersion() const;
    std::string LastError() const;
    sqlite3* Handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement; binds are 1-based, columns 0-based.
class Stmt {
public:
    Stmt() = default;
    explicit Stmt(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Stmt();
    Stmt(Stmt&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
    Stmt& operator=(Stmt&& other) noexcept;
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool Valid() const { return stmt_ != nullptr; }
    Stmt& Bind(int index, std::int64_t value);
    Stmt& Bind(int index, std::string_view text);
    Stmt& BindBlob(int index, const void* data, std::size_t size);
    // Binds the bytes without a copy: they must stay as they are until the statement is reset
    // (a long value is then not held twice more while it is written).
    Stmt& BindBorrowedBlob(int index, const void* data, std::size_t size);
    // Binds a blob of `size` zero bytes without making them (a Blob then fills it in place).
    Stmt& BindZeroBlob(int index, std::uint64_t size);
    Stmt& BindNull(int index);
    Stmt& BindReal(int index, double value);

    // Steps once: true while a row is available. `Done` tells whether the last step finished
    // the statement without error.
    bool Step();
    bool Done() const { return done_; }
    // Runs a statement without results to its end; false on error.
    bool Run();
    void Reset();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    std::string Text(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;
    double Real(int column) const;
    // The column's storage class: 1 integer, 2 real, 3 text, 4 blob, 5 null.
    int Type(int column) const;
    // A blob column in place: valid until the next step or reset.
    const std::uint8_t* BlobData(int column) const;
    std::size_t Bytes(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool done_ = false;
};

// A blob that a row holds, opened in place to be read or written piece by piece, so that a
// long value never has to be whole in memory: it is put into its row as zero bytes of its
// length first and then written in pieces, and read in pieces. Its length cannot change here.
class Blob {
public:
    // Opens column `column` of row `rowid` of `table` (names of the program's own schema),
    // for writing when `write`.
    Blob(Db& db, const char* table, const char* column, std::int64_t rowid, bool write);
    ~Blob();
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;

    bool Ok() const { return blob_ != nullptr; }
    std::uint64_t Size() const;
    // `size` bytes at `offset`; false when they are not all within the blob or the call fails.
    bool Read(std::uint64_t offset, void* data, std::size_t size);
    bool Write(std::uint64_t offset, const void* data, std::size_t size);

private:
    sqlite3* db_;
    sqlite3_blob* blob_ = nullptr;
};

// While it lives, the connection reads its file with read calls rather than through its
// mapping, which is let go (it is made again afterwards, when first used): for reading a long
// value once, whose pages would otherwise stay in the process's resident memory for as long
// as the mapping does. Nothing changes for a connection without a mapping.
class UnmappedReads {
public:
    explicit UnmappedReads(Db& db);
    ~UnmappedReads();
    UnmappedReads(const UnmappedReads&) = delete;
    UnmappedReads& operator=(const UnmappedReads&) = delete;

private:
    sqlite3* db_;
    std::int64_t limit_ = -1;  // the mapping's limit before, -1 when unknown
};

// BEGIN IMMEDIATE … COMMIT, rolled back when not committed.
class Transaction {
public:
    explicit Transaction(Db& db);
    ~Transaction();
    bool Ok() const { return ok_; }
    bool Commit();

private:
    Db& db_;
    bool ok_ = false;
    bool finished_ = false;
};

}  // namespace platform::sql
