// The device's message store as the program sees it: the interfaces of interfaces.h, the
// types and tags, and the global functions. Everything is in namespace platform::mapi.
//
// Sessions: MAPIInitialize once per process, then MAPILogonEx for each piece of work, Logoff
// and Release when it ends, MAPIUninitialize at the end. The store lives in the mounted device
// folder and is shared with other processes using the same folder.
#pragma once

#include <memory>
#include <string>

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

// Groups the changes of a session for a writer of many messages (an import, a restore): until
// HrEndWriteBatch, the changes are committed together, at most every `maxChanges` changes or
// `maxMs` milliseconds, whichever comes first (one disk sync per commit instead of one per
// change). Each change still goes in whole or not at all; what the last commit has not taken
// is lost if the process is killed, and only that (a process that exits commits it on its
// way out). HrPaceWriteBatch commits when that much has gathered: a writer that may spend a
// while between its changes (passing over what it finds present) calls it there, so that
// other writers do not wait for it longer. An identifier reserved in a batch is committed
// before it is handed out. Pace and End fail with MAPI_E_DISK_ERROR when a commit fails (its
// changes are lost), and all three with MAPI_E_INVALID_PARAMETER for a session that is not
// the store's.
HRESULT HrBeginWriteBatch(IMAPISession* session, ULONG maxChanges, ULONG maxMs);
HRESULT HrPaceWriteBatch(IMAPISession* session);
HRESULT HrEndWriteBatch(IMAPISession* session);

// Sets PT_UNICODE property `tag` of an open message to the text `utf8` (UTF-8, converted as
// FromUtf8 does), as SetProps would, but the message shares the text instead of converting it
// into a copy: until the message is saved or released the text must not change, and it is
// converted piece by piece while it is written into the store. For a writer of long texts, so
// that a text of many megabytes is held once, in its short form; one text may serve several
// properties (an SMS's subject is its text). Nothing ends the text early (SetProps ends one at
// U+0000). MAPI_E_INVALID_PARAMETER for a message that is not the store's, no text, or a tag
// of another type.
HRESULT HrSetTextShared(IMessage* message, ULONG tag, std::shared_ptr<const std::string> utf8);

// Memory handed out by the store: one buffer, and further blocks tied to it that are freed
// with it.
SCODE MAPIAllocateBuffer(ULONG size, void** buffer);
SCODE MAPIAllocateMore(ULONG size, void* parent, void** buffer);
ULONG MAPIFreeBuffer(void* buffer);
// Frees a row set from QueryRows: every row's values, then the set.
void FreeProws(SRowSet* rows);

}  // namespace platform::mapi
