// The message store's object interfaces. Every object is reference counted: whoever receives
// an object from a call owns one reference and gives it back with Release (Ptr<T> in
// ptr.h does this). Every call returns 0 on success and a failure code otherwise.
//
// Stores and folders keep what is created, set or written through them as soon as the call
// returns (streams: when the stream is released or committed). A message is transacted: what
// is done through it — properties, recipients, body and other streams, attachments and their
// properties and streams — is kept with the open message and stored in one transaction at its
// last release, or earlier at SaveChanges. Until then only that message object sees the
// changes; a new message is in no table and opens by no identifier; a process that ends first
// leaves none of them. Objects may be released in any order: a stream, attachment or table
// keeps the object it belongs to alive (and so a message open).
#pragma once

#include "platform/mapi/types.h"

namespace platform::mapi {

struct IMAPIAdviseSink;
struct IMAPIFolder;
struct IMAPITable;
struct IMsgStore;
struct IMessage;
struct IAttach;

struct IUnknown {
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

// Properties of stores, folders, messages and attachments.
struct IMAPIProp : IUnknown {
    // A message: stores its changes now, in one transaction, and stays open (a failure keeps
    // them waiting for the next commit; MAPI_E_OBJECT_DELETED when the message was deleted
    // meanwhile, its changes are then dropped at release). An attachment's changes are its
    // message's; stores and folders keep everything at once: S_OK.
    virtual HRESULT SaveChanges(ULONG flags) = 0;
    // Returns the values in the order asked for, in one buffer for MAPIFreeBuffer. A property
    // the object lacks comes back as type PT_ERROR (its identifier with type 0x000A, value
    // MAPI_E_NOT_FOUND); the call still returns 0. A tag of type PT_UNSPECIFIED takes the stored
    // type; PT_STRING8 and PT_UNICODE are converted into each other. No tags: every property.
    virtual HRESULT GetProps(const SPropTagArray* tags, ULONG flags, ULONG* count, SPropValue** values) = 0;
    // The tags of every property the object has (one buffer for MAPIFreeBuffer).
    virtual HRESULT GetPropList(ULONG flags, SPropTagArray** tags) = 0;
    // A stream on a PT_BINARY, PT_UNICODE or PT_STRING8 property (interface null or IID_IStream).
    // A missing property opens as an empty stream with MAPI_MODIFY or MAPI_CREATE and fails with
    // MAPI_E_NOT_FOUND otherwise; MAPI_CREATE also empties an existing one.
    virtual HRESULT OpenProperty(ULONG tag, const IID* iid, ULONG interfaceOptions, ULONG flags, IUnknown** object) = 0;
    // Stores every value; entries of type PT_NULL, PT_ERROR or PT_UNSPECIFIED (tag 0) are skipped.
    // Properties the store computes (PR_ENTRYID, PR_ATTACH_SIZE, ...) are reported as problems
    // when a problem array is asked for and otherwise ignored.
    virtual HRESULT SetProps(ULONG count, const SPropValue* values, SPropProblemArray** problems) = 0;
    virtual HRESULT DeleteProps(const SPropTagArray* tags, SPropProblemArray** problems) = 0;

protected:
    ~IMAPIProp() = default;
};

// A table of rows read one batch at a time. A table without columns set has its own default
// columns. QueryRows returns up to `rowCount` rows after the last one returned, in one row set
// for FreeProws; at the end of the table it returns an empty row set. Store, folder and
// contents tables read ahead in batches: a batch, and whatever the session reads until the
// next one, shows the store as it was when the batch was read; rows added behind the table's
// position are seen and rows removed are skipped from the next batch on, and at once after a
// change made through the same session. A message's recipient and attachment tables are read
// whole at the first QueryRows.
struct IMAPITable : IUnknown {
    virtual HRESULT SetColumns(const SPropTagArray* columns, ULONG flags) = 0;
    virtual HRESULT QueryColumns(ULONG flags, SPropTagArray** columns) = 0;
    virtual HRESULT QueryRows(LONG rowCount, ULONG flags, SRowSet** rows) = 0;
    virtual HRESULT GetRowCount(ULONG flags, ULONG* count) = 0;
    // Back to the first row.
    virtual HRESULT SeekRowBeginning() = 0;

protected:
    ~IMAPITable() = default;
};

struct IMAPIContainer : IMAPIProp {
    // Messages of the folder in the order they came into it; default columns PR_ENTRYID (first),
    // PR_SUBJECT_W, PR_MESSAGE_DELIVERY_TIME, PR_MESSAGE_FLAGS.
    virtual HRESULT GetContentsTable(ULONG flags, IMAPITable** table) = 0;
    // Immediate subfolders in creation order; default columns PR_ENTRYID, PR_DISPLAY_NAME_W,
    // PR_SUBFOLDERS.
    virtual HRESULT GetHierarchyTable(ULONG flags, IMAPITable** table) = 0;
    // Opens a folder or message of the same store: `type` becomes MAPI_FOLDER or MAPI_MESSAGE.
    virtual HRESULT OpenEntry(ULONG entryIdSize, const ENTRYID* entryId, const IID* iid, ULONG flags, ULONG* type,
                              IUnknown** object) = 0;

protected:
    ~IMAPIContainer() = default;
};

struct IMAPIFolder : IMAPIContainer {
    // A new, empty message in this folder, stored (and notified as created) when it commits.
    // Its identifier is given when first asked for, and never given to anything else.
    virtual HRESULT CreateMessage(const IID* iid, ULONG flags, IMessage** message) = 0;
    // Copies the messages into `destination` (new identifiers, notified as copied), or with
    // MESSAGE_MOVE moves them (identifiers kept, notified as moved).
    virtual HRESULT CopyMessages(const ENTRYLIST* messages, const IID* iid, IMAPIFolder* destination, ULONG_PTR uiParam,
                                 void* progress, ULONG flags) = 0;
    virtual HRESULT DeleteMessages(const ENTRYLIST* messages, ULONG_PTR uiParam, void* progress, ULONG flags) = 0;
    // A subfolder. Names are UTF-16 (MAPI_UNICODE is accepted), matched exactly; an empty name is
    // refused. An existing name fails with MAPI_E_COLLISION unless OPEN_IF_EXISTS opens it.
    virtual HRESULT CreateFolder(ULONG folderType, const char16_t* name, const char16_t* comment, const IID* iid,
                                 ULONG flags, IMAPIFolder** folder) = 0;
    // Deletes a subfolder with everything below it (DEL_FOLDERS | DEL_MESSAGES needed when it is
    // not empty).
    virtual HRESULT DeleteFolder(ULONG entryIdSize, const ENTRYID* entryId, ULONG_PTR uiParam, void* progress,
                                 ULONG flags) = 0;

protected:
    ~IMAPIFolder() = default;
};

struct IMsgStore : IMAPIProp {
    // With no identifier, opens the store's root folder.
    virtual HRESULT OpenEntry(ULONG entryIdSize, const ENTRYID* entryId, const IID* iid, ULONG flags, ULONG* type,
                              IUnknown** object) = 0;

protected:
    ~IMsgStore() = default;
};

struct IMessage : IMAPIProp {
    // Attachments in creation order; default columns PR_ATTACH_NUM, PR_ATTACH_SIZE,
    // PR_ATTACH_METHOD, PR_ATTACH_FILENAME_W.
    virtual HRESULT GetAttachmentTable(ULONG flags, IMAPITable** table) = 0;
    // The attachment whose PR_ATTACH_NUM is `number` (the first such when several share it).
    virtual HRESULT OpenAttach(ULONG number, const IID* iid, ULONG flags, IAttach** attach) = 0;
    // A new attachment numbered one above the highest number in use.
    virtual HRESULT CreateAttach(const IID* iid, ULONG flags, ULONG* number, IAttach** attach) = 0;
    virtual HRESULT DeleteAttach(ULONG number, ULONG_PTR uiParam, void* progress, ULONG flags) = 0;
    // Recipients in the order added; without columns set every row carries PR_ROWID and every
    // property it was given.
    virtual HRESULT GetRecipientTable(ULONG flags, IMAPITable** table) = 0;
    // MODRECIP_ADD appends the rows; MODRECIP_MODIFY and MODRECIP_REMOVE address rows by
    // PR_ROWID; flags 0 replace every row.
    virtual HRESULT ModifyRecipients(ULONG flags, const ADRLIST* recipients) = 0;

protected:
    ~IMessage() = default;
};

struct IAttach : IMAPIProp {
protected:
    ~IAttach() = default;
};

struct IStream : IUnknown {
    // Each reports the number of bytes moved.
    virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
    virtual HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) = 0;
    virtual HRESULT SetSize(std::uint64_t size) = 0;
    // Hands what was written to the object now rather than at release (stored at once for a
    // store or folder, with the message's other changes for a message or attachment).
    virtual HRESULT Commit(DWORD flags) = 0;
    // The stream's size in cbSize.
    virtual HRESULT Stat(STATSTG* status, DWORD flags) = 0;

protected:
    ~IStream() = default;
};

// Implemented by whoever wants notifications; see IMAPISession::Advise.
struct IMAPIAdviseSink : IUnknown {
    virtual ULONG OnNotify(ULONG count, NOTIFICATION* notifications) = 0;

protected:
    ~IMAPIAdviseSink() = default;
};

struct IMAPISession : IUnknown {
    // One row per store in creation order; default columns PR_ENTRYID, PR_DISPLAY_NAME_W.
    virtual HRESULT GetMsgStoresTable(ULONG flags, IMAPITable** table) = 0;
    virtual HRESULT OpenMsgStore(ULONG_PTR uiParam, ULONG entryIdSize, const ENTRYID* entryId, const IID* iid,
                                 ULONG flags, IMsgStore** store) = 0;
    // A new store named `name`: a root folder of that name and below it the IPM subtree folder
    // "IPM.Root", which PR_IPM_SUBTREE_ENTRYID names.
    virtual HRESULT CreateMsgStore(const char16_t* name, IMsgStore** store) = 0;
    // Opens a store, folder or message by identifier: `type` says which (MAPI_STORE,
    // MAPI_FOLDER, MAPI_MESSAGE). A 20-byte identifier that names nothing here (deleted, not
    // yet stored, or of another store) gives MAPI_E_NOT_FOUND; anything else MAPI_E_INVALID_ENTRYID.
    virtual HRESULT OpenEntry(ULONG entryIdSize, const ENTRYID* entryId, const IID* iid, ULONG flags, ULONG* type,
                              IUnknown** object) = 0;
    // Registers `sink` for the events in `eventMask` (fnevObject*) on every object, or on the
    // object named by `entryId` and its direct contents. Registrations belong to the process, not
    // to the session: they outlive Logoff, and Unadvise may come through any session.
    //
    // A notification thread of the process watches the store's change log and calls OnNotify
    // with one notification per call, in the order the changes were made, for changes made by
    // any process after Advise returned: object created, deleted, modified, moved or copied,
    // each with the event type, object type, entry identifier and parent identifier (for moved
    // and copied also the old ones). A message created and then filled gives, when it commits,
    // one created event and then one modified event; a stored message changed and released, one
    // modified event.
    virtual HRESULT Advise(ULONG entryIdSize, const ENTRYID* entryId, ULONG eventMask, IMAPIAdviseSink* sink,
                           ULONG* connection) = 0;
    // Stops delivery to that registration: once Unadvise returns, its sink is not called again
    // (except by the notification thread itself when called from within OnNotify).
    virtual HRESULT Unadvise(ULONG connection) = 0;
    // Ends the session. Delivery guarantee: when changes were made through this session and
    // sinks are registered in this process, Logoff returns only after the notification thread
    // has delivered the notifications of those changes to every registered sink (and their
    // OnNotify calls have returned). Objects must be released before Logoff for their changes to
    // be covered. Called on the notification thread, or when a sink makes no progress for
    // several seconds, Logoff does not wait. While it waits, the messages other threads send to
    // windows of the calling thread run (a sink may be sending to one of them).
    virtual HRESULT Logoff(ULONG_PTR uiParam, ULONG flags, ULONG reserved) = 0;

protected:
    ~IMAPISession() = default;
};

}  // namespace platform::mapi
