// xBackup: the archive writer. One exists for one backup pass, between BeginBackup and
// EndBackup.
//
// The archive is three files in the archive directory "Tallymere" under the output directory:
// Messages.dat (records, layout in archive/record.h), Messages.ndx (the index, layout in
// archive/entry_id.h: identifier, record offset, present-flag) and Folders.dat (the folder
// list, archive/folder.h). The writer loads the index and the folder list when it is built and
// saves them when it is destroyed, so a pass reaches the lists on disk only when it ends
// normally. A message new to the archive is appended as a full record and indexed; a message
// already archived has its record's folder number and message flags refreshed in place.
// Either way its present-flag becomes 1. A full pass first sets every present-flag to 0, so
// that afterwards the flags mark exactly the messages the pass met. A full pass that a stop
// ends early (support/pass_control.h) gives the entries it did not reach their flags back.
//
// Every record write is checked: a failed or short write ends the program ("fwrite failed.").
// Records are not flushed one by one; the writer flushes and syncs Messages.dat when it is
// destroyed, before the folder list and the index are saved, so a saved index never names a
// record that is not on the medium. A refresh writes only the fields whose values changed. A
// folder met for the first time is saved into Folders.dat before the record that names it is
// written, so that every record on disk has its folder line, whenever the pass ends.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "platform/file.h"

namespace tallymere {

class xBackup {
public:
    // mode 1: a full pass (every present-flag cleared first); any other mode: a partial pass.
    explicit xBackup(std::uint32_t mode);
    // Closes Messages.dat, then saves Folders.dat and Messages.ndx.
    ~xBackup();
    xBackup(const xBackup&) = delete;
    xBackup& operator=(const xBackup&) = delete;

    // Archives one filled message: 1 when it was appended, 0 when it was already archived.
    std::uint32_t Archive(const qMsg& msg);
    // Refreshes an archived message from its identifier, folder path and message flags alone
    // (what a contents table gives), as Archive would: true when it is archived and its record
    // was refreshed. False, writing no record, when it must be read whole and given to Archive:
    // it is not archived yet, or the indexed bytes are not its record.
    bool Refresh(const qMsg& msg);
    // Appends the message's record and returns its offset.
    std::uint32_t Insert(const qMsg& msg);
    // Refreshes folder number and message flags of the message's record at `offset`. Returns
    // false, writing nothing, when the bytes there are not a record of this message (a damaged
    // archive): patching them would overwrite whatever lies there.
    bool Update(const qMsg& msg, std::uint32_t offset);

    // Declared in this order so that destruction closes the data file, then saves the folder
    // list, then the index.
    xEntryID entryIds;
    xFolder folders;
    std::unique_ptr<platform::File> dataFile;
    std::uint32_t folderIndex = 0;

private:
    // Sets folderIndex to the message's folder, adding a folder met for the first time.
    void EnterFolder(const qMsg& msg);

    std::uint64_t dataSize_ = 0;       // bytes in Messages.dat
    bool atEnd_ = false;               // the stream stands at the end of Messages.dat
    std::vector<std::uint32_t> flagsBefore_;  // a full pass: the present-flags it started from
    std::vector<std::uint8_t> record_;  // the record being written, reused
};

// The process-wide writer: BeginBackup creates it (mode as for xBackup), BackupMessage passes
// a message to its Archive and returns the result (0 when no writer exists), EndBackup
// destroys it, which saves the lists.
void BeginBackup(std::uint32_t mode);
std::uint32_t BackupMessage(const qMsg& msg);
// The writer's Refresh; false when no writer exists.
bool RefreshArchived(const qMsg& msg);
void EndBackup();
// Whether a writer is open: work nested inside a pass (the automatic processing that runs while
// the selection dialog is up) archives through it and must not end it.
bool IsBackupOpen();

}  // namespace tallymere
