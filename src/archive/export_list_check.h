// Checking and repairing the export list, "Tallyport\Messages.ndx" (layout in
// archive/entry_id.h): the identifiers of the messages exported so far.
//
// Every entry the program writes into it has offset 0 and flag 1, so an entry whose last eight
// bytes are anything else is damaged, and a list whose length is not a multiple of 28 bytes has
// lost or gained bytes. Read naively, a list with one byte too many or too few names nothing
// but garbage from there on, and the next export would write every later message again. So the
// list is read as the record scan reads Messages.dat: an entry is 28 bytes ending in offset 0
// and flag 1; where none is, the reading moves on byte by byte to the next place where one is.
// A sound list is whole entries only, each such an entry, no identifier twice.
//
// The repair keeps every entry so found, the first of each identifier, in order, and drops the
// rest: a damaged list then costs at most the files of the messages whose entries were damaged,
// written once more by the next export. The old list is kept as "Messages.ndx.bak" until the new
// one is in place.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallymere {

struct ExportListReport {
    bool found = false;              // the list exists
    bool unreadable = false;         // it exists but cannot be read
    std::uint32_t entries = 0;       // sound entries (duplicates included)
    std::uint32_t duplicates = 0;    // sound entries whose identifier an earlier entry has
    std::uint32_t damaged = 0;       // stretches of bytes that are no sound entry
    std::uint64_t damagedBytes = 0;  // the bytes in them
    bool rewritten = false;          // a repair wrote the list anew

    bool Sound() const { return !unreadable && duplicates == 0 && damagedBytes == 0; }
};

// Reads the export list at the device path `path` without changing it.
ExportListReport CheckExportList(std::u16string_view path);

// Repairs the export list at `path` when it is not sound, and reports what it found before.
// Failures to write are fatal ("_wfopen failed." / "fwrite failed.", caption "RepairExportList").
ExportListReport RepairExportList(std::u16string_view path);

}  // namespace tallymere
