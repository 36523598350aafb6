#include "archive/archive_compact.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "archive/archive_check.h"
#include "archive/entry_id.h"
#include "archive/record_scan.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "support/endian.h"
#include "support/fatal.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kTag = u"CompactArchive";
constexpr std::array<std::u16string_view, 3> kArchiveFiles = {u"Messages.dat", u"Messages.ndx", u"Folders.dat"};

bool IsArchiveFile(std::u16string_view name) {
    return std::find(kArchiveFiles.begin(), kArchiveFiles.end(), name) != kArchiveFiles.end();
}

// The first entry of `dir` that is not an archive file, or "".
std::u16string ForeignEntry(const std::u16string& dir) {
    if (auto entries = platform::FindFiles(dir + u"\\*")) {
        for (const platform::FindData& entry : *entries) {
            if (!IsArchiveFile(entry.name)) return entry.name;
        }
    }
    return u"";
}

// Removes the copy a compaction left beside the archive (its archive files, then itself).
// False, leaving it, when it holds anything else.
bool RemoveCopy(const std::u16string& dir) {
    if (!platform::PathExists(dir)) return true;
    if (!ForeignEntry(dir).empty()) return false;
    for (std::u16string_view name : kArchiveFiles) {
        const std::u16string path = dir + u"\\" + std::u16string(name);
        if (platform::PathExists(path) && !platform::DeleteFileW(path)) FatalError(u"DeleteFileW failed.", kTag);
    }
    if (!platform::RemoveDirectoryW(dir)) FatalError(u"RemoveDirectoryW failed.", kTag);
    return true;
}

std::vector<std::uint8_t> ReadWhole(const std::u16string& path) {
    std::vector<std::uint8_t> bytes;
    if (!platform::PathExists(path)) return bytes;
    auto file = platform::File::Open(path, u"rb");
    if (!file) FatalError(u"_wfopen failed.", kTag);
    std::uint8_t piece[1 << 14];
    for (std::size_t got; (got = file->Read(piece, sizeof piece)) > 0;) bytes.insert(bytes.end(), piece, piece + got);
    return bytes;
}

std::unique_ptr<platform::File> Create(const std::u16string& path) {
    auto file = platform::File::Open(path, u"wb");
    if (!file) FatalError(u"_wfopen failed.", kTag);
    return file;
}

void Finish(platform::File& file) {
    if (!file.Sync() || !file.Close()) FatalError(u"fwrite failed.", kTag);
}

void WriteWhole(const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
    auto file = Create(path);
    if (file->Write(bytes.data(), bytes.size()) != bytes.size()) FatalError(u"fwrite failed.", kTag);
    Finish(*file);
}

// Copies the records the index names, in file order and without the bytes between them, into
// `to`; the index with their new offsets goes to `indexPath`. Returns the records' bytes.
std::uint64_t CopyRecords(const std::u16string& from, const std::u16string& to, std::vector<std::uint8_t> index,
                          const std::u16string& indexPath) {
    auto data = platform::File::Open(from, u"rb");
    if (!data) FatalError(u"_wfopen failed.", kTag);
    const std::int64_t size = data->Size();
    if (size < 0) FatalError(u"fseek failed.", kTag);
    const std::size_t entries = index.size() / xEntryID::kEntryBytes;
    std::vector<std::uint32_t> offsets(entries);
    for (std::size_t i = 0; i < entries; ++i)
        offsets[i] = GetU32(index.data() + i * xEntryID::kEntryBytes + xEntryID::kOffsetAt);
    std::vector<std::uint32_t> inFileOrder = offsets;
    std::sort(inFileOrder.begin(), inFileOrder.end());
    std::map<std::uint32_t, std::uint32_t> moved;  // old offset -> new offset
    auto out = Create(to);
    std::uint64_t written = 0;
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t offset : inFileOrder) {
        ScannedRecord record;
        if (!RecordAt(*data, static_cast<std::uint64_t>(size), offset, &record)) {
            FatalError(u"Messages.dat changed while it was compacted.", kTag);
        }
        bytes.resize(static_cast<std::size_t>(record.size));
        if (!data->Seek(offset, SEEK_SET) || data->Read(bytes.data(), bytes.size()) != bytes.size()) {
            FatalError(u"fread failed.", kTag);
        }
        if (out->Write(bytes.data(), bytes.size()) != bytes.size()) FatalError(u"fwrite failed.", kTag);
        moved.emplace(offset, static_cast<std::uint32_t>(written));
        written += record.size;
    }
    Finish(*out);
    for (std::size_t i = 0; i < entries; ++i) {
        std::vector<std::uint8_t> field;
        PutU32(field, moved.at(offsets[i]));
        std::memcpy(index.data() + i * xEntryID::kEntryBytes + xEntryID::kOffsetAt, field.data(), 4);
    }
    WriteWhole(indexPath, index);
    return written;
}

}  // namespace

CompactReport CompactArchive(std::u16string_view archiveDir) {
    CompactReport result;
    const std::u16string dir(archiveDir);
    const std::u16string copy = dir + u".compact";
    if (!platform::PathExists(dir)) {
        result.outcome = CompactReport::kNoArchive;
        return result;
    }
    // A copy left by a compaction that stopped is of no use: the archive may have changed since.
    if (!RemoveCopy(copy)) {
        result.outcome = CompactReport::kForeignFiles;
        result.foreign = ForeignEntry(copy);
        return result;
    }
    const ArchiveReport check = CheckArchive(dir);
    result.bytesBefore = result.bytesAfter = check.dataBytes;
    result.records = check.records;
    if (!check.Sound()) {
        result.outcome = CompactReport::kNotSound;
        return result;
    }
    if (check.unindexedBytes == 0) return result;
    result.foreign = ForeignEntry(dir);
    if (!result.foreign.empty()) {
        result.outcome = CompactReport::kForeignFiles;
        return result;
    }

    if (!platform::CreateDirectoryW(copy)) FatalError(u"CreateDirectoryW failed.", kTag);
    result.bytesAfter = CopyRecords(dir + u"\\Messages.dat", copy + u"\\Messages.dat",
                                    ReadWhole(dir + u"\\Messages.ndx"), copy + u"\\Messages.ndx");
    WriteWhole(copy + u"\\Folders.dat", ReadWhole(dir + u"\\Folders.dat"));
    // The copy must be what it is meant to be before it takes the archive's place.
    const ArchiveReport compacted = CheckArchive(copy);
    if (!compacted.Sound() || compacted.unindexedBytes != 0 || compacted.records != check.records ||
        compacted.entries != check.entries) {
        FatalError(u"The compacted archive does not check.", kTag);
    }
    if (!platform::ExchangePaths(dir, copy)) FatalError(u"ExchangePaths failed.", kTag);
    RemoveCopy(copy);  // the old archive now
    result.outcome = CompactReport::kCompacted;
    return result;
}

}  // namespace tallymere
