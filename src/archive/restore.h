// Restore: re-creating archived messages that are no longer in the message store, in their
// archived folders, and switching the archive to their new identifiers.
//
// xRestore is the archive reader of a restore; one exists for one restore command. It opens the
// same three files as the writer (archive/backup.h): it loads the index (Messages.ndx) and the
// folder list (Folders.dat) when it is built, keeps Messages.dat open for reading and for
// rewriting identifiers, and saves both lists when it is destroyed.
//
// RestoreAll walks `entryIds` in index order. For each chosen entry RestoreMessage loads the
// record at the entry's offset; when the record is unreadable nothing of it can be restored:
// the entry is left exactly as it is, counted in `unreadable`, and the walk goes on with the
// next one. Otherwise the message is re-created in its archived folder unless its identifier
// still opens a message, and the index entry and the record are switched to the new identifier,
// so that later passes and restores find it present.
//
// The export list ("Tallyport\Messages.ndx", export/exporter.h) follows: where it names a
// re-created message's old identifier, it gains the new one before the archive is switched to
// it, so that whenever the process ends, the list names the identifier the archive names, and
// the next export does not write the message again. The old identifiers (of messages that are
// gone) leave the list when the restore ends normally.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "archive/record_parser.h"
#include "platform/file.h"

namespace platform::mapi {
struct IMAPISession;
}

namespace tallymere {

// Which index entries a restore visits, by the values the design passes.
enum class RestoreMode : std::uint32_t {
    Extra = 0,   // every index entry, messages deleted before the latest full backup included
    Normal = 1,  // the entries whose present-flag is 1: the messages the device held at the
                 // latest full backup
};

// Restores the archive into the message stores, on a session of its own, visiting the entries
// `mode` names.
// A message that still exists is left alone; a missing one is re-created in its archived folder
// (store and folders created as needed). Every entry processed ends with present-flag 1; an
// entry whose record cannot be read is skipped and left as it was. Returns the number of
// messages re-created; `unreadable`, when given, receives the number of entries skipped because
// their records could not be read.
//
// Every change to the store goes through the one session, which is logged off only after every
// object opened through it is released: when Restore returns, the store's notifications of the
// re-created messages have been delivered to every sink registered in the process (as the
// store's Logoff promises), so a sink switched off for the restore has ignored them all. The
// index entry of each re-created message reaches the disk with its record; the present-flags
// of the others and the folder list are saved when the restore ends normally. Failures are
// fatal.
std::uint32_t Restore(RestoreMode mode, std::uint32_t* unreadable = nullptr);

// Restore by Selection: as Restore, for the index entries `chosen` marks (by position in the
// index, as ArchiveView (archive/archive_view.h) reads it), deleted messages included. Entries
// beyond `chosen` are not taken.
std::uint32_t RestoreChosen(const std::vector<bool>& chosen, std::uint32_t* unreadable = nullptr);

class xRestore {
public:
    // Loads the lists (present-flags untouched) and opens Messages.dat, creating a missing one.
    xRestore();
    // Closes Messages.dat, then saves Folders.dat and Messages.ndx.
    ~xRestore();
    xRestore(const xRestore&) = delete;
    xRestore& operator=(const xRestore&) = delete;

    // The loop over the index (mode as for Restore); returns the number of messages re-created.
    // It is a pass (support/pass_control.h): where someone shows its progress, the chosen
    // entries whose messages are gone are counted first, and they are its steps ("3 of 12" while
    // 12 messages come back); otherwise every chosen entry is a step. A requested stop ends it
    // after the entry at hand.
    // A folder list that does not cover every record's folder number is damaged: the program
    // ends with "Folders.dat is damaged: run check --repair." (caption "xRestore::RestoreAll")
    // before anything is restored, rather than put messages into the wrong folders.
    std::uint32_t RestoreAll(platform::mapi::IMAPISession* session, RestoreMode mode);
    // The same loop over the entries `chosen` marks (a pass likewise).
    std::uint32_t RestoreSelected(platform::mapi::IMAPISession* session, const std::vector<bool>& chosen);
    // Index entry `i`: loads its record into `msg` and re-creates its message when it no
    // longer exists. 1 when re-created; 0 when the message still exists, or when the record is
    // unreadable (then `unreadable` grows by one and nothing is written anywhere). `msg` is
    // cleared afterwards; its session is the one the store is reached through.
    //
    // Interruption-safe: the new message is created and filled on one open message; the record
    // and the index entry are switched to its identifier (each written at once) before the
    // store commits it. Whenever the process ends, the message is either in the store whole
    // with the archive naming it, or not in the store with the archive naming an identifier
    // that opens nothing, so the next restore re-creates it exactly once. An entry whose
    // identifier differs from its record's (left by an older program) takes the record's.
    std::uint32_t RestoreEntry(qMsg& msg, std::uint32_t i);
    // The same for the entry whose record lies at `offset`.
    std::uint32_t RestoreMessage(qMsg& msg, std::uint32_t offset);
    // Whether the record's identifier still opens a message through its session. Only the
    // store's MAPI_E_NOT_FOUND means it does not; any other failure is fatal ("OpenEntry
    // failed.", caption "xRestore::Exists").
    bool Exists(const qMsg& msg);
    // Whether Folders.dat has a line for the folder number of every record the index names
    // (records that do not start like one aside).
    bool FolderListCoversRecords();

    // Reads the record at `offset` into `msg` (cleared first) and its folder number into
    // `folderIndex`. False when the record is unreadable: its offset lies past the end of
    // Messages.dat, it is cut short or does not parse, or its folder number names no line of
    // Folders.dat; `msg` is then left cleared. `lastRead` tells which.
    bool Load(qMsg& msg, std::uint32_t offset);
    // Writes the message's identifier size and identifier over fields 1 and 2 of the record at
    // `offset` (the identifier of a re-created message; it must be 20 bytes like the old one).
    void Update(const qMsg& msg, std::uint32_t offset);

    // Declared in this order so that destruction closes the data file, then saves the folder
    // list, then the index.
    xEntryID entryIds;
    xFolder folders;
    std::unique_ptr<platform::File> dataFile;
    std::uint32_t folderIndex = 0;

    // The outcome of the latest Load (kNone with `noFolderLine` set when the record was read but
    // its folder number names no line).
    ParsedRecord lastRead;
    bool noFolderLine = false;

    // Records skipped by RestoreMessage because they could not be read.
    std::uint32_t unreadable = 0;

private:
    // The loop both restores share: the entries among the first `last` that `taken` chooses, in
    // index order, as a pass (counted first where its progress is shown); `tag` captions a
    // failure of the store's write batch.
    std::uint32_t RestoreEntries(platform::mapi::IMAPISession* session, std::uint32_t last,
                                 const std::function<bool(std::uint32_t)>& taken, std::u16string_view tag);

    // Puts `newId` into the export list beside the old identifier of entry `i`, when the list
    // names that one (written at once).
    void FollowInExportList(std::uint32_t i, const std::uint8_t* newId);

    std::uint64_t dataSize_ = 0;
    std::unique_ptr<xEntryID> exportIds_;      // the export list, where there is one
    std::vector<xEntryID::Id> supersededIds_;  // identifiers switched in it, dropped at the end
};

}  // namespace tallymere
