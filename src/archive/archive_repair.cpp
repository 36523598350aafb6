#include "archive/archive_repair.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <vector>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "archive/record_scan.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/tags.h"
#include "store/session.h"
#include "store/store_cache.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/files.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

constexpr std::u16string_view kTag = u"RepairArchive";

using Id = xEntryID::Id;

struct Entry {
    Id id{};
    std::uint64_t offset = 0;
    std::uint32_t flag = 0;
};

std::vector<std::uint8_t> ReadWhole(const std::u16string& path) {
    std::vector<std::uint8_t> bytes;
    auto file = platform::File::Open(path, u"rb");
    if (!file) return bytes;
    std::uint8_t piece[1 << 14];
    for (std::size_t got; (got = file->Read(piece, sizeof piece)) > 0;) bytes.insert(bytes.end(), piece, piece + got);
    return bytes;
}

// Writes `bytes` in place of the file at `path`: the old content is kept in "<path>.bak" until
// the new one is in place.
void Rewrite(const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
    const std::u16string backup = path + u".bak";
    const bool existed = platform::PathExists(path);
    if (existed) {
        const std::vector<std::uint8_t> old = ReadWhole(path);
        ReplacementFile copy(backup);
        if (!copy.IsOpen()) FatalError(u"_wfopen failed.", kTag);
        if (copy.Stream().Write(old.data(), old.size()) != old.size() || !copy.Commit()) {
            FatalError(u"fwrite failed.", kTag);
        }
    }
    ReplacementFile out(path);
    if (!out.IsOpen()) FatalError(u"_wfopen failed.", kTag);
    if (out.Stream().Write(bytes.data(), bytes.size()) != bytes.size() || !out.Commit()) {
        FatalError(u"fwrite failed.", kTag);
    }
    if (existed) platform::DeleteFileW(backup);
}

std::vector<Entry> ParseIndex(const std::vector<std::uint8_t>& bytes) {
    std::vector<Entry> entries;
    for (std::size_t at = 0; at + xEntryID::kEntryBytes <= bytes.size(); at += xEntryID::kEntryBytes) {
        Entry e;
        std::memcpy(e.id.data(), bytes.data() + at + xEntryID::kIdAt, e.id.size());
        e.offset = GetU32(bytes.data() + at + xEntryID::kOffsetAt);
        e.flag = GetU32(bytes.data() + at + xEntryID::kFlagAt);
        entries.push_back(e);
    }
    return entries;
}

// The records of the scan, with those the index names that the scan did not meet (a resync
// may have stepped over them); a record found only by the resync that overlaps one the index
// names is taken for bytes that merely looked like a record.
std::vector<ScannedRecord> Records(platform::File& data, std::uint64_t size, const RecordScan& scan,
                                   const std::vector<Entry>& entries) {
    std::map<std::uint64_t, ScannedRecord> named;
    std::set<std::uint64_t> scanned;
    for (const ScannedRecord& r : scan.records) scanned.insert(r.offset);
    for (const Entry& e : entries) {
        ScannedRecord r;
        if (named.count(e.offset) == 0 && RecordAt(data, size, e.offset, &r)) named.emplace(e.offset, r);
    }
    std::vector<ScannedRecord> records;
    for (const auto& [offset, r] : named) records.push_back(r);
    for (const ScannedRecord& r : scan.records) {
        if (named.count(r.offset) != 0) continue;
        // The named record that starts last before this one ends.
        auto before = named.lower_bound(r.offset + r.size);
        const bool overlaps =
            before != named.begin() && std::prev(before)->second.offset + std::prev(before)->second.size > r.offset;
        if (!overlaps) records.push_back(r);
    }
    std::sort(records.begin(), records.end(),
              [](const ScannedRecord& a, const ScannedRecord& b) { return a.offset < b.offset; });
    return records;
}

// The folder path the message `id` lies in now, when it is still in the store.
std::optional<std::u16string> CurrentFolderOf(mapi::IMAPISession* session, const Id& id) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    const mapi::HRESULT opened =
        session->OpenEntry(static_cast<mapi::ULONG>(id.size()), id.data(), nullptr, 0, &type, object.Out());
    if (opened == mapi::MAPI_E_NOT_FOUND) return std::nullopt;
    if (opened != 0 || !object) FatalError(u"OpenEntry failed.", kTag);
    if (type != mapi::MAPI_MESSAGE) return std::nullopt;
    mapi::Ptr<mapi::IMessage> message = std::move(object).As<mapi::IMessage>();
    const mapi::ULONG tag[] = {mapi::PR_PARENT_ENTRYID};
    const mapi::SPropTagArray tags{1, tag};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (message->GetProps(&tags, mapi::MAPI_UNICODE, &count, values.Out()) != 0) FatalError(u"GetProps failed.", kTag);
    if (count < 1 || values[0].ulPropTag != mapi::PR_PARENT_ENTRYID) return std::nullopt;
    qMsg msg(session, static_cast<std::uint32_t>(id.size()), id.data());
    GetMyFolder(msg, values[0].Value.bin.cb, values[0].Value.bin.lpb);
    return msg.folderPath;
}

// Writes `lines` in place of Folders.dat, each ended by a line feed, in UTF-8.
void WriteFolderLines(const std::u16string& foldersPath, const std::vector<std::u16string>& lines) {
    std::u16string text;
    for (const std::u16string& line : lines) text += line + u"\n";
    const std::string utf8 = platform::ToUtf8(text);
    Rewrite(foldersPath, std::vector<std::uint8_t>(utf8.begin(), utf8.end()));
}

// Lines of Folders.dat that hold a control character (damage the split did not explain) are
// rebuilt from the store: the folder a message of that line's records lies in now.
void RebuildDamagedLines(const std::u16string& foldersPath, const std::vector<Entry>& entries,
                         const std::vector<std::uint32_t>& folderOf, RepairReport& report) {
    std::vector<std::u16string> lines;
    if (auto file = platform::File::Open(foldersPath, u"rb")) lines = ReadFolderLines(*file).lines;
    std::vector<std::uint32_t> damaged;
    for (std::uint32_t i = 0; i < lines.size(); ++i) {
        if (std::any_of(lines[i].begin(), lines[i].end(), [](char16_t c) { return c < 0x20; })) damaged.push_back(i);
    }
    if (damaged.empty()) return;
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    bool changed = false;
    for (std::uint32_t line : damaged) {
        std::optional<std::u16string> path;
        for (std::size_t e = 0; e < entries.size() && !path; ++e) {
            if (folderOf[e] == line) path = CurrentFolderOf(session.get(), entries[e].id);
        }
        if (!path) {
            report.linesNotRebuilt.push_back(line);
            continue;
        }
        lines[line] = FolderLine(*path);
        report.linesRebuilt.push_back(line);
        changed = true;
    }
    SessionLogoff(std::move(session));
    if (!changed) return;
    WriteFolderLines(foldersPath, lines);
    report.foldersRewritten = true;
    report.foldersAfter = static_cast<std::uint32_t>(lines.size());
}

// Messages.dat's intact records (Records), or nothing when the file cannot be read. A missing
// file has none.
std::optional<std::vector<ScannedRecord>> ReadRecords(const std::u16string& dataPath,
                                                      const std::vector<Entry>& entries) {
    if (!platform::PathExists(dataPath)) return std::vector<ScannedRecord>{};
    auto data = platform::File::Open(dataPath, u"rb");
    const std::int64_t size = data ? data->Size() : -1;
    if (size < 0) return std::nullopt;
    const RecordScan scan = ScanRecords(*data, static_cast<std::uint64_t>(size));
    if (scan.readFailed) return std::nullopt;
    return Records(*data, static_cast<std::uint64_t>(size), scan, entries);
}

// The index rebuilt from the records, with the folder number each entry's record names.
struct RebuiltIndex {
    std::vector<Entry> entries;
    std::vector<std::uint32_t> folderOf;
};

// Matches the old entries with the records (see archive_repair.h), then indexes the records no
// entry took; counts each outcome in `report`.
RebuiltIndex RebuildIndex(const std::vector<Entry>& entries, const std::vector<ScannedRecord>& records,
                          RepairReport& report) {
    std::map<Id, std::size_t> firstWithId;  // identifier -> first record carrying it
    std::map<std::uint64_t, std::size_t> atOffset;
    for (std::size_t i = 0; i < records.size(); ++i) {
        firstWithId.emplace(records[i].id, i);
        atOffset.emplace(records[i].offset, i);
    }
    std::set<Id> entryIds;
    for (const Entry& e : entries) entryIds.insert(e.id);

    RebuiltIndex rebuilt;
    std::set<Id> taken;
    const auto add = [&](const Id& id, const ScannedRecord& record, std::uint32_t flag) {
        rebuilt.entries.push_back({id, record.offset, flag});
        rebuilt.folderOf.push_back(record.folderIndex);
        taken.insert(id);
    };
    for (const Entry& e : entries) {
        const std::uint32_t flag = e.flag == 1 ? 1 : 0;
        if (taken.count(e.id) != 0) {
            ++report.dropped;
            continue;
        }
        auto here = atOffset.find(e.offset);
        if (here != atOffset.end() && records[here->second].id == e.id) {
            add(e.id, records[here->second], flag);
            ++report.kept;
        } else if (auto elsewhere = firstWithId.find(e.id); elsewhere != firstWithId.end()) {
            add(e.id, records[elsewhere->second], flag);
            ++report.repointed;
        } else if (here != atOffset.end() && entryIds.count(records[here->second].id) == 0 &&
                   taken.count(records[here->second].id) == 0) {
            add(records[here->second].id, records[here->second], flag);
            ++report.adopted;
        } else {
            ++report.dropped;
        }
    }
    for (const ScannedRecord& r : records) {
        if (taken.count(r.id) != 0) continue;
        add(r.id, r, 0);
        ++report.orphans;
    }
    return rebuilt;
}

std::vector<std::uint8_t> EncodeIndex(const std::vector<Entry>& entries) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(entries.size() * xEntryID::kEntryBytes);
    for (const Entry& e : entries) {
        bytes.insert(bytes.end(), e.id.begin(), e.id.end());
        PutU32(bytes, static_cast<std::uint32_t>(e.offset));
        PutU32(bytes, e.flag);
    }
    return bytes;
}

// Writes the rebuilt index when anything about it changed (or there was none).
void WriteIndex(const std::u16string& indexPath, const std::vector<Entry>& entries, RepairReport& report) {
    const std::vector<std::uint8_t> bytes = EncodeIndex(entries);
    if (bytes != ReadWhole(indexPath) || !platform::PathExists(indexPath)) {
        Rewrite(indexPath, bytes);
        report.indexRewritten = true;
    }
}

// Gives Folders.dat a line for every folder number a record names, splitting it at its control
// characters where that gives enough lines, then rebuilds the damaged lines from the store.
void RepairFolders(const std::u16string& foldersPath, const RebuiltIndex& index, RepairReport& report) {
    for (std::uint32_t folder : index.folderOf) report.foldersNeeded = std::max(report.foldersNeeded, folder + 1);
    std::vector<std::u16string> lines;
    if (auto file = platform::File::Open(foldersPath, u"rb")) lines = ReadFolderLines(*file).lines;
    report.foldersBefore = report.foldersAfter = static_cast<std::uint32_t>(lines.size());
    if (lines.size() < report.foldersNeeded) {
        std::vector<std::u16string> split;
        if (auto file = platform::File::Open(foldersPath, u"rb")) split = SplitFolderLinesAtControls(*file);
        if (split.size() < report.foldersNeeded || split.size() > xFolder::MAX_FOLDER) {
            report.foldersUnrepairable = true;
            return;
        }
        WriteFolderLines(foldersPath, split);
        report.foldersRewritten = true;
        report.foldersAfter = static_cast<std::uint32_t>(split.size());
    }
    RebuildDamagedLines(foldersPath, index.entries, index.folderOf, report);
}

}  // namespace

RepairReport RepairArchive(std::u16string_view archiveDir) {
    RepairReport report;
    const std::u16string dir = std::u16string(archiveDir) + u"\\";
    const std::vector<Entry> entries = ParseIndex(ReadWhole(dir + u"Messages.ndx"));
    report.entriesBefore = static_cast<std::uint32_t>(entries.size());
    const std::optional<std::vector<ScannedRecord>> records = ReadRecords(dir + u"Messages.dat", entries);
    if (!records) {
        report.dataReadable = false;
        return report;
    }
    report.records = static_cast<std::uint32_t>(records->size());
    const RebuiltIndex index = RebuildIndex(entries, *records, report);
    WriteIndex(dir + u"Messages.ndx", index.entries, report);
    RepairFolders(dir + u"Folders.dat", index, report);
    return report;
}

}  // namespace tallymere
