#include "archive/restore.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "archive/data_file.h"
#include "archive/record.h"
#include "platform/filesys.h"
#include "platform/mapi/ptr.h"
#include "store/session.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/pass_control.h"
#include "support/settings.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

// A batch of the store's writes: this many re-created messages, or this many milliseconds.
constexpr mapi::ULONG kBatchMessages = 1000;
constexpr mapi::ULONG kBatchMs = 1000;

// One restore pass in a session of its own: `pass` restores through the xRestore it is given.
std::uint32_t RunRestorePass(const std::function<std::uint32_t(xRestore&, mapi::IMAPISession*)>& pass,
                             std::uint32_t* unreadable) {
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    std::uint32_t count = 0;
    std::uint32_t skipped = 0;
    {
        // A local, not a process-wide object: a fatal error in mid-restore ends the process
        // without destroying it, so the lists on disk keep their state from before the command.
        xRestore restore;
        // The store commits the re-created messages a thousand (or a second's worth) at a time,
        // and so syncs that seldom. The archive names each one's new identifier before it is
        // written: whatever a kill leaves uncommitted, the next restore re-creates once.
        if (mapi::HrBeginWriteBatch(session.get(), kBatchMessages, kBatchMs) != 0) {
            FatalError(u"HrBeginWriteBatch failed.", u"Restore");
        }
        count = pass(restore, session.get());
        if (mapi::HrEndWriteBatch(session.get()) != 0) FatalError(u"HrEndWriteBatch failed.", u"Restore");
        skipped = restore.unreadable;
    }  // saves Folders.dat and Messages.ndx
    // Every object opened through the session has been released by now, so the logoff waits
    // until the notifications of all the restore's changes have been delivered.
    SessionLogoff(std::move(session));
    if (unreadable) *unreadable = skipped;
    return count;
}

// Counts the entries among the first `last` that `chosen` takes whose identifier no longer opens
// a message (xRestore::Exists, the test the restore itself makes): what the restore will bring
// back, which its progress counts. `missing` marks them by position. Every entry looked at is a
// tick of the pass, so that a window goes on drawing while a large archive is counted; a stop
// ends the count.
std::uint32_t CountMissing(xRestore& restore, mapi::IMAPISession* session, std::uint32_t last,
                           const std::function<bool(std::uint32_t)>& chosen, std::vector<bool>* missing) {
    missing->assign(last, false);
    std::uint32_t count = 0;
    qMsg probe(session, 0, nullptr);
    BeginPass(0);
    for (std::uint32_t i = 0; i < last && !StopRequested(); ++i) {
        if (!chosen(i)) continue;
        probe.SetEntryID(xEntryID::ENTRYID_SIZE, restore.entryIds.ids[i].data());
        if (!restore.Exists(probe)) {
            (*missing)[i] = true;
            ++count;
        }
        PassTick();
    }
    return count;
}

}  // namespace

std::uint32_t Restore(RestoreMode mode, std::uint32_t* unreadable) {
    return RunRestorePass(
        [mode](xRestore& restore, mapi::IMAPISession* session) { return restore.RestoreAll(session, mode); },
        unreadable);
}

xRestore::xRestore() : entryIds(kArchiveDir, u"Messages.ndx") {
    folderIndex = 0;
    dataFile = OpenDataFile(u"xRestore::xRestore", &dataSize_);
    // Loaded only where there is one: a restore makes no export list.
    if (platform::PathExists(JoinPath(GetRegistryStr(kOutputDirValue), kExportDir, u"") + u"\\Messages.ndx")) {
        exportIds_ = std::make_unique<xEntryID>(kExportDir, u"Messages.ndx");
    }
}

xRestore::~xRestore() {
    // The rewritten identifiers reach the medium before the index that matches them is saved.
    if (dataFile && (!dataFile->Sync() || !dataFile->Close())) FatalError(u"fwrite failed.", u"xRestore::~xRestore");
    dataFile.reset();
    if (exportIds_) {
        exportIds_->RemoveIDs(supersededIds_);
        exportIds_.reset();  // saved whole
    }
}

void xRestore::FollowInExportList(std::uint32_t i, const std::uint8_t* newId) {
    if (!exportIds_ || !exportIds_->CheckID(xEntryID::ENTRYID_SIZE, entryIds.ids[i].data())) return;
    if (exportIds_->CheckID(xEntryID::ENTRYID_SIZE, newId)) return;
    exportIds_->AddID(xEntryID::ENTRYID_SIZE, newId, 0);
    exportIds_->SaveEntry(exportIds_->count - 1);
    supersededIds_.push_back(entryIds.ids[i]);
}

bool xRestore::FolderListCoversRecords() {
    std::uint8_t head[kFolderIndexOffset + 4];
    for (std::uint32_t i = 0; i < entryIds.count; ++i) {
        const std::uint64_t offset = entryIds.offsets[i];
        if (offset + kMinRecordSize > dataSize_) continue;  // unreadable anyway
        if (!dataFile->Seek(static_cast<std::int64_t>(offset), SEEK_SET))
            FatalError(u"fseek failed.", u"xRestore::Load");
        // Only a record that starts like one is asked for its folder number.
        if (dataFile->Read(head, sizeof head) != sizeof head || GetU32(head) != kRecordIdSize) continue;
        if (GetU32(head + kFolderIndexOffset) >= folders.count) return false;
    }
    return true;
}

std::uint32_t xRestore::RestoreAll(mapi::IMAPISession* session, RestoreMode mode) {
    // A folder list that lacks lines the records name has lost or merged lines: every message
    // from the damage on would be put into the wrong folder. Nothing is restored from it.
    if (!FolderListCoversRecords()) FatalError(u"Folders.dat is damaged: run check --repair.", u"xRestore::RestoreAll");
    const auto taken = [this, mode](std::uint32_t i) { return mode != RestoreMode::Normal || entryIds.flags[i] == 1; };
    return RestoreEntries(session, entryIds.count, taken, u"xRestore::RestoreAll");
}

std::uint32_t xRestore::RestoreEntries(mapi::IMAPISession* session, std::uint32_t last,
                                       const std::function<bool(std::uint32_t)>& taken, std::u16string_view tag) {
    qMsg msg(session, 0, nullptr);
    std::uint32_t count = 0;
    // Someone shows the progress: it counts the messages to bring back, not every entry looked at.
    const bool counted = PassProgressShown();
    std::vector<bool> missing;
    if (counted) {
        const std::uint32_t toRestore = CountMissing(*this, session, last, taken, &missing);
        if (StopRequested()) return 0;
        BeginPass(toRestore);
    } else {
        std::uint32_t chosen = 0;
        for (std::uint32_t i = 0; i < last; ++i) chosen += taken(i) ? 1 : 0;
        BeginPass(chosen);
    }
    for (std::uint32_t i = 0; i < last; ++i) {
        if (!taken(i)) continue;
        const std::uint32_t skippedBefore = unreadable;
        count += RestoreEntry(msg, i);
        // An entry whose record could not be read was not processed: it keeps its flag.
        if (unreadable == skippedBefore) entryIds.flags[i] = 1;
        // Between two entries the store may commit what it gathered (its write batch).
        if (mapi::HrPaceWriteBatch(session) != 0) FatalError(u"HrPaceWriteBatch failed.", tag);
        if (!counted || missing[i]) {
            PassStep();
        } else {
            PassTick();
        }
        // A stop ends the restore between two entries; the index is saved as usual.
        if (StopRequested()) break;
    }
    return count;
}

std::uint32_t xRestore::RestoreMessage(qMsg& msg, std::uint32_t offset) {
    for (std::uint32_t i = 0; i < entryIds.count; ++i) {
        if (entryIds.offsets[i] == offset) return RestoreEntry(msg, i);
    }
    return 0;
}

std::uint32_t xRestore::RestoreEntry(qMsg& msg, std::uint32_t i) {
    const std::uint32_t offset = entryIds.offsets[i];
    if (!Load(msg, offset)) {
        ++unreadable;
        return 0;
    }
    // The record's identifier is the one a restore wrote last. An entry that names another one
    // (a restore ended between the two writes, by an earlier program that saved the index only
    // at its end) is put right, unless another entry has that identifier.
    if (std::memcmp(entryIds.ids[i].data(), msg.entryId.data(), xEntryID::ENTRYID_SIZE) != 0 &&
        !entryIds.CheckID(msg.entryIdSize, msg.entryId.data())) {
        entryIds.SetID(i, msg.entryId.data());
        entryIds.SaveEntry(i);
    }
    msg.SetFolder(folders.names[folderIndex]);
    std::uint32_t result = 0;
    if (!Exists(msg)) {
        // Created and filled on one open message, which the store keeps only when it commits.
        mapi::Ptr<mapi::IMessage> message = msg.CreateMessage();
        msg.SetMAPI(message.get());
        // The archive names the new identifier before the store holds the message: whatever
        // ends the process from here on, a rerun finds that identifier missing and re-creates
        // the message once; it never finds the old one missing beside a new copy. The export
        // list names the new identifier first, for the same reason.
        FollowInExportList(i, msg.entryId.data());
        Update(msg, offset);
        entryIds.SetID(i, msg.entryId.data());
        entryIds.flags[i] = 1;
        entryIds.SaveEntry(i);
        if (message->SaveChanges(0) != 0) FatalError(u"SaveChanges failed.", u"xRestore::RestoreMessage");
        result = 1;
    }
    msg.Clear();
    return result;
}

bool xRestore::Exists(const qMsg& msg) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    // Deferred: the store tells whether the object exists and what it is from its one row,
    // without reading the message.
    const mapi::HRESULT opened = msg.session->OpenEntry(msg.entryIdSize, msg.entryId.data(), nullptr,
                                                        mapi::MAPI_DEFERRED_ERRORS, &type, object.Out());
    // Only the store's own "not found" means that the message is gone: a store that cannot
    // answer must not have a message re-created beside the one it still holds.
    if (opened == mapi::MAPI_E_NOT_FOUND) return false;
    if (opened != 0 || !object) FatalError(u"OpenEntry failed.", u"xRestore::Exists");
    return type == mapi::MAPI_MESSAGE;
}

bool xRestore::Load(qMsg& msg, std::uint32_t offset) {
    noFolderLine = false;
    lastRead = ReadRecordAt(*dataFile, dataSize_, offset, msg);
    if (lastRead.fault == RecordFault::kSeekFailed) FatalError(u"fseek failed.", u"xRestore::Load");
    if (!lastRead.Readable()) return false;
    folderIndex = lastRead.folderIndex;
    if (folderIndex >= folders.count) {
        noFolderLine = true;
        msg.Clear();
        return false;
    }
    return true;
}

void xRestore::Update(const qMsg& msg, std::uint32_t offset) {
    if (msg.entryId.size() != kRecordIdSize || msg.entryIdSize != kRecordIdSize) {
        FatalError(u"ENTRYID length mismatch.", u"xRestore::Update");
    }
    std::vector<std::uint8_t> fields;
    PutU32(fields, kRecordIdSize);
    fields.insert(fields.end(), msg.entryId.begin(), msg.entryId.end());
    if (!dataFile->Seek(offset, SEEK_SET)) FatalError(u"fseek failed.", u"xRestore::Update");
    // Flushed at once, unlike a backup's records: once the message is re-created, the record
    // must name it even if the process is killed now, or the next restore would re-create it
    // a second time. Next to the store's own commit for the message this costs nothing.
    if (dataFile->Write(fields.data(), fields.size()) != fields.size() || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xRestore::Update");
    }
}

std::uint32_t RestoreChosen(const std::vector<bool>& chosen, std::uint32_t* unreadable) {
    return RunRestorePass(
        [&chosen](xRestore& restore, mapi::IMAPISession* session) { return restore.RestoreSelected(session, chosen); },
        unreadable);
}

std::uint32_t xRestore::RestoreSelected(mapi::IMAPISession* session, const std::vector<bool>& chosen) {
    if (!FolderListCoversRecords()) FatalError(u"Folders.dat is damaged: run check --repair.", u"xRestore::RestoreAll");
    const std::uint32_t last = std::min<std::uint32_t>(entryIds.count, static_cast<std::uint32_t>(chosen.size()));
    return RestoreEntries(
        session, last, [&chosen](std::uint32_t i) { return chosen[i]; }, u"xRestore::RestoreSelected");
}

}  // namespace tallymere
