// Property values of stored objects: loading and storing them, the properties the store
// computes, and their copies in the buffers handed to callers.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/mapi/store/database.h"

namespace platform::mapi::store {

// Which stored values to load with their bytes: all of them, or those whose identifier is
// among `ids` (the others keep only their length).
struct Wanted {
    const ULONG* tags = nullptr;
    ULONG count = 0;
    bool all = true;
    std::int64_t maxBytes = -1;  // larger strings and binaries keep only their length (-1: no limit)
    bool Has(ULONG propId) const;
};

// From this length on, a string or binary is a long value: it is written into its row piece by
// piece, a message opened whole (LoadTree) keeps only its length until it is asked for, and a
// stream reads it from its row as it is read.
inline constexpr std::int64_t kLongValue = 1024 * 1024;

// What an object loads when it is opened: every value except large strings and binaries
// (attachment data), which are read when asked for.
inline constexpr std::int64_t kPreloadBytes = 8192;

// The object's row and its stored properties in identifier order, read in one query; false
// when the object does not exist (any more).
bool LoadObject(Database& db, ObjectId id, const Wanted& wanted, ObjectRow* row, std::vector<StoredValue>* values);
// The same for every child of kind `kind` of `container` (stores: container 0) after id
// `after`, at most `limit` of them, in id order. With `only`, just the values whose
// identifiers it lists are read (the others are left out altogether; none at all when it is
// empty).
LoadedRows LoadChildren(Database& db, ObjectId container, int kind, ObjectId after, std::int64_t limit,
                        const Wanted& wanted, const std::vector<ULONG>* only = nullptr);

// An object read whole with one statement (one read of the database; LoadedTree in
// database.h), but for its own long values (kLongValue), which keep only their length. False
// when the object does not exist (any more).
bool LoadTree(Database& db, ObjectId id, LoadedTree* tree);
// The messages of `folder` after id `after`, at most `limit` of them, each read whole with its
// recipient rows and attachments, in id order, with one statement.
std::vector<LoadedTree> LoadMessageTrees(Database& db, ObjectId folder, ObjectId after, std::int64_t limit);
// A value from the columns (pid, type, value, length(value)) of a query, from column `first`
// (a NULL length: the value's own, read from the value).
StoredValue FromRow(sql::Stmt& q, int first, const Wanted& wanted);
// One stored property by identifier; false when the object lacks it.
bool LoadOne(Database& db, ObjectId obj, ULONG propId, StoredValue* value);

// Inside a write: stores `value`. Entries of type PT_NULL, PT_ERROR, PT_OBJECT or
// PT_UNSPECIFIED are skipped; multi-valued and unknown types give MAPI_E_INVALID_TYPE.
HRESULT StoreValue(Database& db, ObjectId obj, const SPropValue& value);
// `value` as the database holds it (`kept` false for the types StoreValue skips), and back into
// the database inside a write.
HRESULT ToStoredValue(const SPropValue& value, StoredValue* out, bool* kept);
HRESULT StoreStoredValue(Database& db, ObjectId obj, const StoredValue& value);
// Inside a write: stores every value of `values`, in order, as StoreStoredValue would, several
// to a statement (an object's values go in with a few statements rather than one each).
// `fresh`: the object has no stored value yet (it is new to the database) and `values` names
// each identifier once, so the values are inserted without looking for ones to replace.
HRESULT StoreStoredValues(Database& db, ObjectId obj, const std::vector<const StoredValue*>& values,
                          bool fresh = false);
// Values kept in identifier order, as LoadObject gives them: put one in (replacing the value
// of the same identifier), take one out (false when there is none).
void PutValue(std::vector<StoredValue>& values, StoredValue value);
bool EraseValue(std::vector<StoredValue>& values, ULONG propId);
// Inside a write: stores raw bytes under `tag` (streams).
HRESULT StoreBytes(Database& db, ObjectId obj, ULONG tag, const std::vector<BYTE>& bytes);
// Inside a write: removes a stored property.
HRESULT DeleteValue(Database& db, ObjectId obj, ULONG propId);

// Whether the store always computes the property for objects of `kind` (it cannot be set).
bool IsComputed(int kind, ULONG propId);
// The computed value of a property for `row` with its `stored` values: the always-computed
// ones, and for messages PR_HASATTACH and PR_MESSAGE_SIZE when not stored. False when there
// is none.
bool Compute(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored, ULONG propId,
             StoredValue* value);

// Copies `value` into `out` as `requestedTag` asks: its type or, for PT_UNSPECIFIED, the
// stored one; PT_UNICODE and PT_STRING8 are converted into each other. Strings and binaries
// go into blocks tied to `parent`. A value that cannot be given that way becomes PT_ERROR.
void ToPropValue(const StoredValue& value, ULONG requestedTag, SPropValue* out, void* parent);
// `out` marks `requestedTag` as missing: its identifier with type PT_ERROR.
void SetMissing(ULONG requestedTag, SCODE code, SPropValue* out);

// The values of `tags` for `row` into out[0 .. count): stored, computed or missing.
void FillProps(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored, const ULONG* tags,
               ULONG count, SPropValue* out, void* parent);
// Every property tag `row` has: stored ones in identifier order, then computed ones.
std::vector<ULONG> PropList(Database& db, const ObjectRow& row, const std::vector<StoredValue>& stored);

}  // namespace platform::mapi::store
