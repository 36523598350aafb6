// Compacting an archive: removing every byte of Messages.dat that lies in no indexed record
// (left by passes of older programs that ended in a failure, or by damage a repair stepped
// over) and giving the index the records' new offsets. Nothing else changes: the records keep
// their bytes and their order in the file, the index its entries, their order and their
// present-flags, and Folders.dat its lines.
//
// Only a sound archive (archive/archive_check.h) is compacted: an entry whose record is damaged,
// or an intact record that no entry names, would otherwise be lost; `check --repair` comes
// first. The archive directory must hold nothing but the three archive files, since it is
// replaced as a whole.
//
// Crash order. The compacted archive is written whole into a directory beside the archive
// directory ("Tallymere.compact"): the records in file order, the index, a copy of Folders.dat,
// each synced. It is checked, and then the two directories swap names in one step
// (platform::ExchangePaths); the old archive, now under the other name, is removed afterwards.
// Whenever the process or the machine stops, "Tallymere" holds either the old archive or the
// new one, both sound; a directory left beside it by a stopped compaction holds a copy and is
// removed by the next one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallymere {

struct CompactReport {
    enum Outcome {
        kCompacted,     // the archive was compacted
        kNothingToDo,   // every byte of Messages.dat is in an indexed record (or there is none)
        kNoArchive,     // the archive directory does not exist
        kNotSound,      // the archive has inconsistencies: nothing was changed
        kForeignFiles,  // the archive directory holds other files (`foreign` names the first)
    };
    Outcome outcome = kNothingToDo;
    std::uint64_t bytesBefore = 0;  // size of Messages.dat before
    std::uint64_t bytesAfter = 0;   // and after
    std::uint32_t records = 0;      // records kept
    std::u16string foreign;
};

// Compacts the archive in the device directory `archiveDir` ("<OutputDir>\Tallymere").
// Failures to read, write or swap are fatal (caption "CompactArchive").
CompactReport CompactArchive(std::u16string_view archiveDir);

}  // namespace tallymere
