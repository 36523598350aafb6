#include "platform/registry.h"

#include <mutex>

#include "platform/device.h"
#include "platform/faults.h"
#include "platform/kernel.h"
#include "platform/sqlite.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr std::int32_t kNotFound = static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND);
constexpr std::int32_t kFailure = static_cast<std::int32_t>(ERROR_GEN_FAILURE);

// Opens the settings database of the mounted device, creating its tables.
bool OpenStore(sql::Db* db) {
    if (device::Root().empty() || !db->Open(device::PlatformFile("registry.db"))) return false;
    return db->Exec(
        "CREATE TABLE IF NOT EXISTS reg_keys (path TEXT PRIMARY KEY COLLATE NOCASE);"
        "CREATE TABLE IF NOT EXISTS reg_values (path TEXT NOT NULL COLLATE NOCASE,"
        " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
        " PRIMARY KEY (path, name));");
}

// "HKEY_LOCAL_MACHINE\a\b" with empty components and separators at either end removed.
std::string KeyPath(std::u16string_view subKey) {
    std::string path = "HKEY_LOCAL_MACHINE";
    std::size_t start = 0;
    while (start <= subKey.size()) {
        std::size_t end = subKey.find(u'\\', start);
        if (end == std::u16string_view::npos) end = subKey.size();
        if (end > start) path += "\\" + ToUtf8(subKey.substr(start, end - start));
        start = end + 1;
    }
    return path;
}

}  // namespace

std::int32_t RegKey::Open(RootKey, std::u16string_view subKey, RegKey* key) {
    sql::Db db;
    if (!OpenStore(&db)) return kFailure;
    const std::string path = KeyPath(subKey);
    sql::Stmt stmt = db.Prepare("SELECT path FROM reg_keys WHERE path = ?");
    stmt.Bind(1, path);
    if (path != "HKEY_LOCAL_MACHINE" && !stmt.Step()) return stmt.Done() ? kNotFound : kFailure;
    key->path_ = path;
    return 0;
}

std::int32_t RegKey::Create(RootKey, std::u16string_view subKey, RegKey* key) {
    if (faults::Hit("RegCreateKeyEx")) return kFailure;
    sql::Db db;
    if (!OpenStore(&db)) return kFailure;
    const std::string path = KeyPath(subKey);
    sql::Transaction tx(db);
    if (!tx.Ok()) return kFailure;
    sql::Stmt insert = db.Prepare("INSERT OR IGNORE INTO reg_keys (path) VALUES (?)");
    // The key and every parent key exist afterwards.
    for (std::size_t cut = path.find('\\');; cut = path.find('\\', cut + 1)) {
        insert.Reset();
        insert.Bind(1, cut == std::string::npos ? path : path.substr(0, cut));
        if (!insert.Run()) return kFailure;
        if (cut == std::string::npos) break;
    }
    if (!tx.Commit()) return kFailure;
    key->path_ = path;
    return 0;
}

std::int32_t RegKey::QueryString(std::u16string_view name, std::u16string* value) const {
    if (!IsOpen()) return kFailure;
    if (faults::Hit("RegQueryValueEx")) return kFailure;
    sql::Db db;
    if (!OpenStore(&db)) return kFailure;
    sql::Stmt stmt = db.Prepare("SELECT data FROM reg_values WHERE path = ? AND name = ?");
    stmt.Bind(1, path_).Bind(2, ToUtf8(name));
    if (!stmt.Step()) return stmt.Done() ? kNotFound : kFailure;
    const std::vector<std::uint8_t> data = stmt.Blob(0);
    *value = FromUtf16Le(data.data(), data.size());
    return 0;
}

std::int32_t RegKey::SetString(std::u16string_view name, std::u16string_view value) {
    if (!IsOpen()) return kFailure;
    if (faults::Hit("RegSetValueEx")) return kFailure;
    sql::Db db;
    if (!OpenStore(&db)) return kFailure;
    const std::string data = ToUtf16Le(value);
    sql::Stmt stmt = db.Prepare("INSERT OR REPLACE INTO reg_values (path, name, type, data) VALUES (?, ?, ?, ?)");
    stmt.Bind(1, path_)
        .Bind(2, ToUtf8(name))
        .Bind(3, static_cast<std::int64_t>(REG_SZ))
        .BindBlob(4, data.data(), data.size());
    return stmt.Run() ? 0 : kFailure;
}

}  // namespace platform
