// The device's message store as the program sees it: the interfaces of interfaces.h, the
// types and tags, and the global functions. Everything is in namespace platform::mapi.
//
// Sessions: MAPIInitialize once per process, then MAPILogonEx for each piece of work, Logoff
// and Release when it ends, MAPIUninitialize at the end. The store lives in the mounted device
// folder and is shared with other processes using the same folder.
#pragma once

#include "platform/mapi/interfaces.h"
#include "platform/mapi/tags.h"
#include "platform/mapi/types.h"

namespace platform::mapi {

// Counts initialisations; MAPILogonEx needs at least one. The last MAPIUninitialize drops
// every notification registration and stops the notification thread.
HRESULT MAPIInitialize(void* init);
void MAPIUninitialize();

// A session on the mounted device's store (no window, profile or password needed). Fails with
// MAPI_E_NOT_INITIALIZED before MAPIInitialize and MAPI_E_LOGON_FAILED without a usable store.
HRESULT MAPILogonEx(ULONG_PTR uiParam, const char16_t* profileName, const char16_t* password, ULONG flags,
                    IMAPISession** session);

// Bulk writing on a session, for a writer that stores many objects one after the other (a
// restore): after BeginBulkWrites the session's writes are gathered into shared transactions,
// each committed by PaceBulkWrites (which the writer calls between its writes) once 1,000
// writes or one second have gathered, and by EndBulkWrites at the end. A write is still whole
// or absent; a process that ends before a commit leaves the writes made since the previous one
// absent, however they were reported. The store then syncs at most once per transaction.
// Pace and End fail with MAPI_E_DISK_ERROR when a commit fails (its writes are lost), and all
// three with MAPI_E_INVALID_PARAMETER for a session that is not the store's.
HRESULT BeginBulkWrites(IMAPISession* session);
HRESULT PaceBulkWrites(IMAPISession* session);
HRESULT EndBulkWrites(IMAPISession* session);

// Memory handed out by the store: one buffer, and further blocks tied to it that are freed
// with it.
SCODE MAPIAllocateBuffer(ULONG size, void** buffer);
SCODE MAPIAllocateMore(ULONG size, void* parent, void** buffer);
ULONG MAPIFreeBuffer(void* buffer);
// Frees a row set from QueryRows: every row's values, then the set.
void FreeProws(SRowSet* rows);

}  // namespace platform::mapi
