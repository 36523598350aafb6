// xRestore: the archive reader of a restore. One exists for one restore command.
//
// It opens the same three files as the writer (archive/backup.h): it loads the index
// (Messages.ndx) and the folder list (Folders.dat) when it is built, keeps Messages.dat open
// for reading and for rewriting identifiers, and saves both lists when it is destroyed.
//
// A restore walks `entryIds` in index order; for entry i it calls Load with the entry's offset.
// When Load says the record is unreadable, nothing of it can be restored: the entry is left as
// it is and counted, and the walk goes on with the next entry. Otherwise `msg` holds the
// archived message and `folderIndex` names a line of `folders`, its archived folder path.
// After re-creating the message under a new identifier, UpdateID on `entryIds` and Update
// here switch the index and the record to it.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "archive/record_parser.h"
#include "platform/file.h"

namespace tallymere {

class xRestore {
public:
    // Loads the lists (present-flags untouched) and opens Messages.dat, creating a missing one.
    xRestore();
    // Closes Messages.dat, then saves Folders.dat and Messages.ndx.
    ~xRestore();
    xRestore(const xRestore&) = delete;
    xRestore& operator=(const xRestore&) = delete;

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

private:
    std::uint64_t dataSize_ = 0;
};

}  // namespace tallymere
