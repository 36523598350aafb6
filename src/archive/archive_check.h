// A read-only check of the whole archive: the index (Messages.ndx), every record it names in
// Messages.dat and the folder list (Folders.dat). Nothing is created or changed; the files are
// only opened for reading, so the check can run on an archive that is damaged or missing.
//
// A sound archive has: an index of whole 28-byte entries, at most MAX_ENTRYID of them, each
// with present-flag 0 or 1 and an identifier no other entry has; for each entry a readable
// record (layout in archive/record.h) at its offset, carrying the entry's identifier and a
// folder number that names a line of Folders.dat; records that do not overlap; and a folder
// list of whole lines, at most MAX_FOLDER of them, covering the folder number of every intact
// record. Bytes of Messages.dat that no entry names are left by a pass that ended in a failure
// (the next pass archives those messages again); they are counted but are not a fault, unless
// they hold an intact record of a message the index does not know at all: only a repair
// (archive/archive_repair.h) makes that message reachable again. A record's fields must be
// possible: its times no later than the year 9999 (a time is a FILETIME, 0 when there is none),
// its counts within the file and within the record (a record running into the next is an
// overlap). The program writes no control character into a folder line, so one there is damage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

enum class ArchiveFile { kIndex, kData, kFolders };

struct ArchiveProblem {
    enum Kind {
        kFileUnreadable,       // `file` exists but cannot be opened or sized
        kIndexTrailingBytes,   // `value` bytes after the last whole entry
        kTooManyEntries,       // `value` entries, more than MAX_ENTRYID
        kFlagValue,            // entry's present-flag is `value`, neither 0 nor 1
        kDuplicateIdentifier,  // entry has the identifier of the earlier entry `other`
        kOffsetPastEnd,        // entry's `offset` lies at or past the end of Messages.dat
        kCutShort,             // the record at `offset` runs past the end of Messages.dat
        kIdentifierSize,       // the record's identifier size is `value`, not 20
        kTooManyRecipients,    // not reported any more (a count running past the end is kCutShort)
        kTooManyAttachments,   // not reported any more (a count running past the end is kCutShort)
        kReadFailed,           // the platform failed to read the record
        kIdentifierDiffers,    // the record carries another identifier than its entry
        kNoFolderLine,         // the record's folder number `value` names no line
        kSharedRecord,         // entry names the same record as the earlier entry `other`
        kOverlap,              // entry's record overlaps the record of entry `other`
        kFoldersTail,          // `value` characters after the last line feed of Folders.dat
        kTooManyFolders,       // `value` folder lines, more than MAX_FOLDER
        kUnindexedRecords,     // `value` intact records whose identifier no entry has, the
                               // first at `offset` (check --repair indexes them)
        kTimeOutOfRange,       // entry's record holds the time `value`, after the year 9999
        kFoldersControl,       // Folders.dat line `entry` holds the control character `value`
    };
    Kind kind;
    ArchiveFile file = ArchiveFile::kIndex;
    std::uint32_t entry = 0;
    std::uint32_t other = 0;
    std::uint64_t offset = 0;
    std::uint64_t value = 0;
};

struct ArchiveReport {
    std::u16string directory;  // the archive directory checked
    bool indexFound = false;
    bool dataFound = false;
    bool foldersFound = false;
    std::uint32_t entries = 0;  // index entries
    std::uint32_t present = 0;  // entries with present-flag 1
    std::uint32_t absent = 0;   // the other entries
    std::uint32_t records = 0;  // distinct readable records named by the index
    std::uint64_t dataBytes = 0;
    std::uint64_t unindexedBytes = 0;  // bytes of Messages.dat inside no readable record
    std::uint32_t folders = 0;         // lines of Folders.dat
    std::uint32_t foldersNeeded = 0;   // 1 + the highest folder number an intact record names
    std::vector<ArchiveProblem> problems;

    std::uint32_t foldersSplit = 0;  // lines of Folders.dat with every control character a line end

    // Folders.dat lacks lines that records name: lines were lost or merged, and every folder
    // number from the damage on may name the wrong folder.
    bool FoldersDamaged() const { return folders < foldersNeeded; }
    // Whether check --repair can mend the problem (archive/archive_repair.h): the index it can
    // always rebuild, a folder list only by splitting merged lines or from the store; a record
    // and an unreadable file it cannot.
    bool RepairMends(const ArchiveProblem& p) const;

    bool Sound() const { return problems.empty(); }
};

// Checks the archive in the device directory `archiveDir` (e.g. "<OutputDir>\Tallymere").
ArchiveReport CheckArchive(std::u16string_view archiveDir);

}  // namespace tallymere
