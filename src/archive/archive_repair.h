// Repairing an archive from what its intact records hold.
//
// Messages.ndx is rebuilt from the records that parse in Messages.dat (found as in
// archive/record_scan.h). An entry survives when its message's record is found: at its own
// offset, elsewhere (the entry is pointed there), or at its own offset under another
// identifier that no entry has (a restore that ended between its two writes; the record's
// identifier wins). A surviving entry keeps its place and its present-flag (1, or 0 for any
// other value). An intact record whose identifier no entry has is indexed after them, in file
// order, with present-flag 0: Restore Extra brings its message back, Restore Normal does not.
// Entries whose record is not found are dropped.
//
// Folders.dat must have a line for every folder number a record names. When it has too few
// lines, line feeds turned into other control characters (which the program never writes into
// a folder line) are taken for what they were; when that does not give enough lines the folder
// list cannot be repaired and is left as it is. A line that still holds a control character is
// damaged otherwise; it is rebuilt from the store (one session, MAPI initialised) where a
// message whose record names that line is still on the phone: the line becomes the folder path
// the message lies in now. Lines no such message names are reported and left as they are.
//
// Messages.dat is never written. A file that is rewritten is first copied beside itself
// ("Messages.ndx.bak", "Folders.dat.bak"), replaced in one step, and the copy is removed when
// the repair has finished.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

struct RepairReport {
    bool dataReadable = true;   // Messages.dat could be read (otherwise nothing was changed)
    std::uint32_t records = 0;  // intact records found
    std::uint32_t entriesBefore = 0;
    std::uint32_t kept = 0;       // entries whose record is where they said
    std::uint32_t repointed = 0;  // entries pointed at their record elsewhere
    std::uint32_t adopted = 0;    // entries that took their record's identifier
    std::uint32_t dropped = 0;    // entries without a record
    std::uint32_t orphans = 0;    // records indexed anew (present-flag 0)
    bool indexRewritten = false;
    std::uint32_t foldersBefore = 0;
    std::uint32_t foldersAfter = 0;
    std::uint32_t foldersNeeded = 0;  // 1 + the highest folder number a record names (0: none)
    bool foldersRewritten = false;
    bool foldersUnrepairable = false;
    std::vector<std::uint32_t> linesRebuilt;     // damaged lines rebuilt from the store
    std::vector<std::uint32_t> linesNotRebuilt;  // damaged lines no message on the phone names
};

// Repairs the archive in the device directory `archiveDir`. Failures to write are fatal
// ("_wfopen failed." / "fwrite failed.", caption "RepairArchive").
RepairReport RepairArchive(std::u16string_view archiveDir);

}  // namespace tallymere
