#include "archive/restore.h"

#include <algorithm>

#include "archive/data_file.h"
#include "archive/record.h"
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


}  // namespace

std::uint32_t Restore(std::uint32_t mode, std::uint32_t* unreadable) {
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    std::uint32_t count = 0;
    std::uint32_t skipped = 0;
    {
        // A local, not a process-wide object: a fatal error in mid-restore ends the process
        // without destroying it, so the lists on disk keep their state from before the command.
        xRestore restore;
        count = restore.RestoreAll(session.get(), mode);
        skipped = restore.unreadable;
    }  // saves Folders.dat and Messages.ndx
    // Every object opened through the session has been released by now, so the logoff waits
    // until the notifications of all the restore's changes have been delivered.
    SessionLogoff(std::move(session));
    if (unreadable) *unreadable = skipped;
    return count;
}

xRestore::xRestore() : entryIds(kArchiveDir, u"Messages.ndx") {
    folderIndex = 0;
    dataFile = OpenDataFile(u"xRestore::xRestore", &dataSize_);
}

xRestore::~xRestore() {
    if (dataFile && !dataFile->Close()) FatalError(u"fwrite failed.", u"xRestore::~xRestore");
    dataFile.reset();
}

std::uint32_t xRestore::RestoreAll(mapi::IMAPISession* session, std::uint32_t mode) {
    qMsg msg(session, 0, nullptr);
    std::uint32_t count = 0;
    BeginPass(mode == 1 ? static_cast<std::uint32_t>(std::count(entryIds.flags.begin(),
                                                                entryIds.flags.begin() + entryIds.count, 1u))
                        : entryIds.count);
    for (std::uint32_t i = 0; i < entryIds.count; ++i) {
        if (mode == 1 && entryIds.flags[i] != 1) continue;
        const std::uint32_t skippedBefore = unreadable;
        count += RestoreMessage(msg, entryIds.offsets[i]);
        // An entry whose record could not be read was not processed: it keeps its flag.
        if (unreadable == skippedBefore) entryIds.flags[i] = 1;
        PassStep();
        // A stop ends the restore between two entries; the index is saved as usual.
        if (StopRequested()) break;
    }
    return count;
}

std::uint32_t xRestore::RestoreMessage(qMsg& msg, std::uint32_t offset) {
    if (!Load(msg, offset)) {
        ++unreadable;
        return 0;
    }
    msg.SetFolder(folders.names[folderIndex]);
    std::uint32_t result = 0;
    if (!Exists(msg)) {
        const std::vector<std::uint8_t> archivedId = msg.entryId;
        // Created and filled on one open message: the store keeps it whole at its release.
        mapi::Ptr<mapi::IMessage> message = msg.CreateMessage();
        msg.SetMAPI(message.get());
        message.reset();
        entryIds.UpdateID(msg.entryIdSize, archivedId.data(), msg.entryId.data());
        Update(msg, offset);
        result = 1;
    }
    msg.Clear();
    return result;
}

bool xRestore::Exists(const qMsg& msg) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    const bool opened = msg.session->OpenEntry(msg.entryIdSize, msg.entryId.data(), nullptr, 0, &type,
                                               object.Out()) == 0;
    return opened && object && type == mapi::MAPI_MESSAGE;
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
    if (dataFile->Write(fields.data(), fields.size()) != fields.size() || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xRestore::Update");
    }
}

}  // namespace tallymere
