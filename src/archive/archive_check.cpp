#include "archive/archive_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <set>

#include "archive/entry_id.h"
#include "archive/folder.h"
#include "archive/qmsg.h"
#include "archive/record_parser.h"
#include "archive/record_scan.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "support/endian.h"

namespace tallymere {

namespace {

// 10000-01-01 00:00:00 UTC as a FILETIME: no message's time lies beyond it.
constexpr std::uint64_t kEndOfYear9999 = 0x24C85A5ED1C04000ull;

struct IndexEntry {
    xEntryID::Id id;
    std::uint32_t offset;
    std::uint32_t flag;
};

struct Span {
    std::uint64_t start;
    std::uint64_t size;
    std::uint32_t entry;
};

// Opens an existing file for reading only; records why not in the report.
std::unique_ptr<platform::File> OpenForReading(ArchiveReport& report, const std::u16string& path, ArchiveFile which,
                                               bool& found) {
    found = platform::PathExists(path);
    if (!found) return nullptr;
    auto file = platform::File::Open(path, u"rb");
    if (!file) report.problems.push_back({ArchiveProblem::kFileUnreadable, which});
    return file;
}

std::vector<IndexEntry> ReadIndex(ArchiveReport& report, platform::File& file) {
    std::vector<IndexEntry> entries;
    std::uint8_t bytes[xEntryID::kEntryBytes];
    std::size_t got;
    while ((got = file.Read(bytes, sizeof bytes)) == sizeof bytes) {
        IndexEntry entry;
        std::memcpy(entry.id.data(), bytes, xEntryID::ENTRYID_SIZE);
        entry.offset = GetU32(bytes + xEntryID::kOffsetAt);
        entry.flag = GetU32(bytes + xEntryID::kFlagAt);
        entries.push_back(entry);
    }
    if (got > 0) {
        ArchiveProblem p{ArchiveProblem::kIndexTrailingBytes, ArchiveFile::kIndex};
        p.value = got;
        report.problems.push_back(p);
    }
    return entries;
}

void CheckEntries(ArchiveReport& report, const std::vector<IndexEntry>& entries) {
    report.entries = static_cast<std::uint32_t>(entries.size());
    if (entries.size() > xEntryID::MAX_ENTRYID) {
        ArchiveProblem p{ArchiveProblem::kTooManyEntries, ArchiveFile::kIndex};
        p.value = entries.size();
        report.problems.push_back(p);
    }
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (entries[i].flag == 1) {
            ++report.present;
        } else {
            ++report.absent;
        }
        if (entries[i].flag > 1) {
            ArchiveProblem p{ArchiveProblem::kFlagValue, ArchiveFile::kIndex, i};
            p.value = entries[i].flag;
            report.problems.push_back(p);
        }
    }
    // Duplicates: sort positions by identifier, then compare neighbours.
    std::vector<std::uint32_t> order(entries.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return entries[a].id < entries[b].id; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (entries[order[k]].id == entries[order[k - 1]].id) {
            ArchiveProblem p{ArchiveProblem::kDuplicateIdentifier, ArchiveFile::kIndex, order[k]};
            std::size_t first = k - 1;
            while (first > 0 && entries[order[first - 1]].id == entries[order[k]].id) --first;
            p.other = order[first];
            report.problems.push_back(p);
        }
    }
}

ArchiveProblem::Kind KindOf(RecordFault fault) {
    switch (fault) {
        case RecordFault::kOffsetPastEnd: return ArchiveProblem::kOffsetPastEnd;
        case RecordFault::kCutShort: return ArchiveProblem::kCutShort;
        case RecordFault::kIdentifierSize: return ArchiveProblem::kIdentifierSize;
        case RecordFault::kTooManyRecipients: return ArchiveProblem::kTooManyRecipients;
        case RecordFault::kTooManyAttachments: return ArchiveProblem::kTooManyAttachments;
        case RecordFault::kNone:
        case RecordFault::kSeekFailed:
        case RecordFault::kReadFailed: break;
    }
    return ArchiveProblem::kReadFailed;
}

// Reads every record the index names; returns the spans of the readable ones.
std::vector<Span> CheckRecords(ArchiveReport& report, const std::vector<IndexEntry>& entries, platform::File* data) {
    std::vector<Span> spans;
    qMsg msg(nullptr, 0, nullptr);
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        const IndexEntry& entry = entries[i];
        ParsedRecord read;
        if (data == nullptr) {
            read.fault = RecordFault::kOffsetPastEnd;
        } else {
            read = ReadRecordAt(*data, report.dataBytes, entry.offset, msg);
        }
        ArchiveProblem p{KindOf(read.fault), ArchiveFile::kData, i};
        p.offset = entry.offset;
        p.value = read.found;
        if (!read.Readable()) {
            report.problems.push_back(p);
            continue;
        }
        spans.push_back({entry.offset, read.size, i});
        if (std::memcmp(msg.entryId.data(), entry.id.data(), xEntryID::ENTRYID_SIZE) != 0) {
            p.kind = ArchiveProblem::kIdentifierDiffers;
            report.problems.push_back(p);
        }
        for (const platform::FILETIME& time : {msg.deliveryTime, msg.lastModificationTime}) {
            const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
            if (ticks >= kEndOfYear9999) {
                p.kind = ArchiveProblem::kTimeOutOfRange;
                p.value = ticks;
                report.problems.push_back(p);
                break;
            }
        }
        report.foldersNeeded = std::max(report.foldersNeeded, read.folderIndex + 1);
        if (read.folderIndex >= report.folders) {
            p.kind = ArchiveProblem::kNoFolderLine;
            p.value = read.folderIndex;
            report.problems.push_back(p);
        }
    }
    return spans;
}

void CheckSpans(ArchiveReport& report, std::vector<Span> spans) {
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    std::uint64_t covered = 0;
    std::uint64_t reach = 0;  // end of the records seen so far
    std::size_t reachEntry = 0;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const Span& s = spans[k];
        if (k > 0 && s.start == spans[k - 1].start) {
            ArchiveProblem p{ArchiveProblem::kSharedRecord, ArchiveFile::kData, s.entry};
            p.other = spans[k - 1].entry;
            p.offset = s.start;
            report.problems.push_back(p);
            continue;
        }
        ++report.records;
        if (k > 0 && s.start < reach) {
            ArchiveProblem p{ArchiveProblem::kOverlap, ArchiveFile::kData, s.entry};
            p.other = spans[reachEntry].entry;
            p.offset = s.start;
            report.problems.push_back(p);
        }
        const std::uint64_t end = s.start + s.size;
        covered += end > std::max(reach, s.start) ? end - std::max(reach, s.start) : 0;
        if (end > reach) {
            reach = end;
            reachEntry = k;
        }
    }
    report.unindexedBytes = report.dataBytes - covered;
}

// The records found without the index: the folder numbers they name, and those of messages
// no entry knows.
void CheckUnindexed(ArchiveReport& report, const std::vector<IndexEntry>& entries, platform::File& data) {
    std::set<std::uint64_t> named;
    std::set<xEntryID::Id> ids;
    for (const IndexEntry& e : entries) {
        named.insert(e.offset);
        ids.insert(e.id);
    }
    const RecordScan scan = ScanRecords(data, report.dataBytes);
    ArchiveProblem p{ArchiveProblem::kUnindexedRecords, ArchiveFile::kData};
    for (const ScannedRecord& r : scan.records) {
        report.foldersNeeded = std::max(report.foldersNeeded, r.folderIndex + 1);
        if (named.count(r.offset) != 0 || ids.count(r.id) != 0) continue;
        if (p.value++ == 0) p.offset = r.offset;
    }
    if (p.value > 0) report.problems.push_back(p);
}

}  // namespace

ArchiveReport CheckArchive(std::u16string_view archiveDir) {
    ArchiveReport report;
    report.directory.assign(archiveDir);
    const std::u16string dir = report.directory + u"\\";

    auto folders = OpenForReading(report, dir + u"Folders.dat", ArchiveFile::kFolders, report.foldersFound);
    if (folders) {
        FolderLines lines = ReadFolderLines(*folders);
        report.folders = static_cast<std::uint32_t>(lines.lines.size());
        if (lines.droppedChars > 0) {
            ArchiveProblem p{ArchiveProblem::kFoldersTail, ArchiveFile::kFolders};
            p.value = lines.droppedChars;
            report.problems.push_back(p);
        }
        for (std::uint32_t line = 0; line < report.folders; ++line) {
            auto control =
                std::find_if(lines.lines[line].begin(), lines.lines[line].end(), [](char16_t c) { return c < 0x20; });
            if (control == lines.lines[line].end()) continue;
            ArchiveProblem p{ArchiveProblem::kFoldersControl, ArchiveFile::kFolders, line};
            p.value = static_cast<std::uint64_t>(*control);
            report.problems.push_back(p);
        }
        if (report.folders > xFolder::MAX_FOLDER) {
            ArchiveProblem p{ArchiveProblem::kTooManyFolders, ArchiveFile::kFolders};
            p.value = report.folders;
            report.problems.push_back(p);
        }
    }

    std::vector<IndexEntry> entries;
    auto index = OpenForReading(report, dir + u"Messages.ndx", ArchiveFile::kIndex, report.indexFound);
    if (index) entries = ReadIndex(report, *index);
    CheckEntries(report, entries);

    auto data = OpenForReading(report, dir + u"Messages.dat", ArchiveFile::kData, report.dataFound);
    if (data) {
        const std::int64_t size = data->Size();
        if (size < 0) {
            report.problems.push_back({ArchiveProblem::kFileUnreadable, ArchiveFile::kData});
            data.reset();
        } else {
            report.dataBytes = static_cast<std::uint64_t>(size);
        }
    }
    CheckSpans(report, CheckRecords(report, entries, data.get()));
    if (data) CheckUnindexed(report, entries, *data);
    if (report.FoldersDamaged() && folders && folders->Seek(0, SEEK_SET)) {
        report.foldersSplit = static_cast<std::uint32_t>(SplitFolderLinesAtControls(*folders).size());
    }
    return report;
}

bool ArchiveReport::RepairMends(const ArchiveProblem& p) const {
    switch (p.kind) {
        case ArchiveProblem::kFileUnreadable:
        case ArchiveProblem::kTooManyEntries:
        case ArchiveProblem::kTooManyFolders:
        case ArchiveProblem::kTimeOutOfRange:
        case ArchiveProblem::kReadFailed:
        case ArchiveProblem::kFoldersTail: return false;
        case ArchiveProblem::kNoFolderLine: return foldersSplit >= foldersNeeded;
        case ArchiveProblem::kFoldersControl:
            // Merged lines are split; another damaged line is rebuilt from a message of its
            // folder that is still on the phone, where there is one.
            return true;
        default: return true;
    }
}

}  // namespace tallymere
