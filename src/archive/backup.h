// xBackup: the archive writer. One exists for one backup pass, between BeginBackup and
// EndBackup.
//
// The archive is three files in the archive directory "Tallymere" under the output directory:
// Messages.dat (records, layout in archive/record.h), Messages.ndx (the index, layout in
// archive/entry_id.h: identifier, record offset, present-flag) and Folders.dat (the folder
// list, archive/folder.h). The writer loads the index and the folder list when it is built. A
// message new to the archive is appended as a full record and indexed; a message already
// archived has its record's folder number and message flags refreshed in place. Either way its
// present-flag becomes 1. A full pass first sets every present-flag to 0, so that afterwards the
// flags mark exactly the messages the pass met. A full pass that a stop ends early
// (support/pass_control.h) gives the entries it did not reach their flags back.
//
// Crash order. Each appended record is handed to the host (written, not synced) before its index
// entry, and its entry is then written into Messages.ndx at its place, also at once: a process
// that is killed, or ends in a failure (a full medium), loses nothing it had written, so the
// index on disk names every record the pass completed, and beyond the last indexed record lies
// at most one record that the pass had begun, whole or cut off. The next pass takes that tail
// over before it appends anything (TakeOverTail): a whole record of a message the index does not
// know is indexed (present-flag 0; the pass sets it when it meets the message, which it then
// does not append again), and whatever else lies beyond the records the index names is cut off,
// so the next record is written where the cut-off one began. The present-flags and the folder
// refreshes of a pass are saved whole at its end, after Messages.dat is synced: the writer's
// only syncs are that one, the index's and Folders.dat's (once per new folder), however many
// messages the pass appends.
//
// A power cut is another matter: the host writes its cached pages back in an order of its own,
// so an entry appended during the pass may reach the medium while its record does not. What the
// previous pass synced is not touched by appending; the entries of the pass may then name
// records that are missing or cut short. `check` reports them; the next pass appends those
// messages again (a refresh that does not find its record archives the message afresh) and
// `check --repair` drops the dead entries. Every record write is checked: a failed or short
// write ends the program ("fwrite failed."). A refresh writes only the fields whose values
// changed. A folder met for the first time is saved into Folders.dat before the record that
// names it is written, so that every record on disk has its folder line, whenever the pass ends.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "platform/file.h"

namespace tallymere {

// The kind of pass a writer serves, by the values the design passes.
enum class BackupMode : std::uint32_t {
    Partial = 0,  // by selection and automatic: the present-flags of messages not seen stay
    Full = 1,     // Backup All: every present-flag cleared first, set again for each message seen
};

class xBackup {
public:
    explicit xBackup(BackupMode mode);
    // Syncs and closes Messages.dat, then saves Folders.dat and Messages.ndx.
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
    // Indexes the whole records beyond the last one the index names (a killed pass's last
    // record) and cuts off what else lies there. Failures are fatal.
    void TakeOverTail();
    // The end of the record at the highest offset the index names; the size of Messages.dat
    // when that record does not parse (a damaged archive is left as it is).
    std::uint64_t IndexedEnd();

    // Sets folderIndex to the message's folder, adding a folder met for the first time.
    void EnterFolder(const qMsg& msg);

    std::uint64_t dataSize_ = 0;              // bytes in Messages.dat
    bool atEnd_ = false;                      // the stream stands at the end of Messages.dat
    std::vector<std::uint32_t> flagsBefore_;  // a full pass: the present-flags it started from
    std::vector<std::uint8_t> record_;        // the record being written, reused
};

// The process-wide writer: BeginBackup creates it (mode as for xBackup), BackupMessage passes
// a message to its Archive and returns the result (0 when no writer exists), EndBackup
// destroys it, which saves the lists.
void BeginBackup(BackupMode mode);
std::uint32_t BackupMessage(const qMsg& msg);
// The writer's Refresh; false when no writer exists.
bool RefreshArchived(const qMsg& msg);
void EndBackup();
// Whether a writer is open: work nested inside a pass (the automatic processing that runs while
// the selection dialog is up) archives through it and must not end it.
bool IsBackupOpen();

}  // namespace tallymere
