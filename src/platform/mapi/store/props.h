// Property values of stored objects: loading and storing them, the properties the store
// computes, and their copies in the buffers handed to callers.
#pragma once

#include <vector>

#include "platform/mapi/store/database.h"

namespace platform::mapi::store {

// Every stored property of `obj`, in identifier order.
std::vector<StoredValue> LoadStored(Database& db, ObjectId obj);
// One stored property by identifier; false when the object lacks it.
bool LoadOne(Database& db, ObjectId obj, ULONG propId, StoredValue* value);

// Inside a write: stores `value`. Entries of type PT_NULL, PT_ERROR, PT_OBJECT or
// PT_UNSPECIFIED are skipped; multi-valued and unknown types give MAPI_E_INVALID_TYPE.
HRESULT StoreValue(Database& db, ObjectId obj, const SPropValue& value);
// Inside a write: stores raw bytes under `tag` (streams).
HRESULT StoreBytes(Database& db, ObjectId obj, ULONG tag, const std::vector<BYTE>& bytes);
// Inside a write: removes a stored property.
HRESULT DeleteValue(Database& db, ObjectId obj, ULONG propId);

// Whether the store always computes the property for objects of `kind` (it cannot be set).
bool IsComputed(int kind, ULONG propId);
// The computed value of a property for `row`: the always-computed ones, and for messages
// PR_HASATTACH and PR_MESSAGE_SIZE when not stored. False when there is none.
bool Compute(Database& db, const ObjectRow& row, ULONG propId, bool stored, StoredValue* value);

// Copies `value` into `out` as `requestedTag` asks: its type or, for PT_UNSPECIFIED, the
// stored one; PT_UNICODE and PT_STRING8 are converted into each other. Strings and binaries
// go into blocks tied to `parent`. A value that cannot be given that way becomes PT_ERROR.
void ToPropValue(const StoredValue& value, ULONG requestedTag, SPropValue* out, void* parent);
// `out` marks `requestedTag` as missing: its identifier with type PT_ERROR.
void SetMissing(ULONG requestedTag, SCODE code, SPropValue* out);

// The values of `tags` for `row` into out[0 .. count): stored, computed or missing.
void ReadProps(Database& db, const ObjectRow& row, const ULONG* tags, ULONG count, SPropValue* out, void* parent);
// Every property tag `row` has: stored ones in identifier order, then computed ones.
std::vector<ULONG> PropList(Database& db, const ObjectRow& row);

}  // namespace platform::mapi::store
