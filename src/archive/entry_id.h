// xEntryID: a persistent table of 20-byte message entry identifiers, each with a 32-bit offset
// and a 32-bit flag. One instance is the archive index ("Tallymere\Messages.ndx", offset = the
// record's position in Messages.dat, flag = present-flag); another is the export list
// ("Tallyport\Messages.ndx", offsets 0).
//
// File layout (no header), one 28-byte entry per identifier, in table order:
//
//     offset  size  field
//          0    20  entry identifier bytes
//         20     4  offset, unsigned, little-endian
//         24     4  flag, little-endian (1 or 0)
//
// The table loads its file when built and writes it back whole when destroyed. The write goes
// to "<file>.new" first and replaces the file in one step, so a crash or a full medium never
// loses the previous index. An owner that must not lose an entry to a crash before that writes
// the entry on its own as well (SaveEntry). A trailing piece shorter than 28 bytes is not an
// entry and is dropped on load.
//
// The table grows as needed. Besides the three arrays (kept in table order, as the file is) it
// keeps a hash index from identifier to the position of its first entry, so that CheckID,
// IndexOf and UpdateID take the same time however many entries there are.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/file.h"

namespace tallymere {

class xEntryID {
public:
    static constexpr std::uint32_t ENTRYID_SIZE = 20;
    static constexpr std::size_t kEntryBytes = 28;
    // Where each field of an entry starts (the layout above).
    static constexpr std::size_t kIdAt = 0;
    static constexpr std::size_t kOffsetAt = 20;
    static constexpr std::size_t kFlagAt = 24;
    static_assert(kOffsetAt == kIdAt + ENTRYID_SIZE && kFlagAt == kOffsetAt + 4 && kEntryBytes == kFlagAt + 4);
    // No sound list is longer: record offsets are 32-bit and the smallest record is 98 bytes,
    // so Messages.dat cannot hold more records than this. A longer file is damaged or not an
    // index at all, and is refused ("MAX_ENTRYID exeed.") rather than loaded.
    static constexpr std::uint32_t MAX_ENTRYID = 0xFFFFFFFFu / 98 + 1;
    using Id = std::array<std::uint8_t, ENTRYID_SIZE>;

    // path = OutputDir + "\" + dirName + "\" + fileName; then Load.
    xEntryID(std::u16string_view dirName, std::u16string_view fileName);
    // Save, then Clear.
    ~xEntryID();
    xEntryID(const xEntryID&) = delete;
    xEntryID& operator=(const xEntryID&) = delete;

    // Whether the identifier is in the table (its size must be 20).
    bool CheckID(std::uint32_t size, const std::uint8_t* id) const;
    // Appends the identifier with `offset` and flag 1 (no duplicate check: ask CheckID first).
    void AddID(std::uint32_t size, const std::uint8_t* id, std::uint32_t offset);
    // Puts `newId` in place of the first entry equal to `oldId`; offset and flag stay.
    void UpdateID(std::uint32_t size, const std::uint8_t* oldId, const std::uint8_t* newId);
    // Puts `id` into entry `i` (which must exist); offset and flag stay.
    void SetID(std::uint32_t i, const std::uint8_t* id);
    // Position of the first entry equal to `id`, 0 when there is none.
    std::uint32_t IndexOf(const std::uint8_t* id) const;
    // Every entry's flag becomes 0.
    void ClearFlags();
    // Removes the entries whose identifiers are in `gone` (the others keep their order); the
    // file changes at the next Save.
    void RemoveIDs(const std::vector<Id>& gone);

    void Load();
    void Save();
    void Clear();
    // Drops the table without writing it back, now or when destroyed: its file has been changed
    // by someone else, and holds what counts.
    void Abandon();

    // Writes entry `i` into the file at once, at its place (28 bytes, flushed), so that the file
    // holds it also when the process ends before Save: an entry changed or appended as its
    // message is handled. The file must be the one the table was loaded from. Failures are
    // fatal ("_wfopen failed." or "fwrite failed.", caption "xEntryID::SaveEntry").
    void SaveEntry(std::uint32_t i);

    std::u16string path;
    std::uint32_t count = 0;
    // Read them freely; change identifiers only through AddID, UpdateID and SetID, which keep
    // the hash index in step.
    std::vector<Id> ids;
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> flags;

private:
    struct IdHash {
        std::size_t operator()(const Id& id) const noexcept;
    };
    // Appends an entry without the checks of AddID.
    void Append(const Id& id, std::uint32_t offset, std::uint32_t flag);
    // Entry `i` takes identifier `to`, the hash index in step.
    void Replace(std::uint32_t i, const Id& to);
    // The position of the first entry equal to `id` at or after `from`, or `count`.
    std::uint32_t ScanFrom(const Id& id, std::uint32_t from) const;

    std::unordered_map<Id, std::uint32_t, IdHash> first_;  // identifier -> its first position
    bool duplicates_ = false;                              // some identifier has two entries
    std::unique_ptr<platform::File> entryFile_;            // open for SaveEntry, closed by Save
    bool abandoned_ = false;
    std::int64_t entryFilePosition_ = -1;  // where entryFile_ stands, -1: unknown
};

}  // namespace tallymere
