#include "archive/export_list_check.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "archive/entry_id.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "support/fatal.h"
#include "support/files.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kTag = u"RepairExportList";
constexpr std::size_t kEntry = xEntryID::kEntryBytes;
// Offset 0 and flag 1, little-endian: how every entry of the list ends.
constexpr std::uint8_t kEnding[8] = {0, 0, 0, 0, 1, 0, 0, 0};

bool IsEntryAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return at + kEntry <= bytes.size() && std::memcmp(bytes.data() + at + 20, kEnding, sizeof kEnding) == 0;
}

// The list read: the report, and the sound entries kept (first of each identifier).
ExportListReport Scan(const std::vector<std::uint8_t>& bytes, std::vector<std::uint8_t>* kept) {
    ExportListReport report;
    report.found = true;
    std::set<xEntryID::Id> seen;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (IsEntryAt(bytes, at)) {
            xEntryID::Id id;
            std::memcpy(id.data(), bytes.data() + at, id.size());
            ++report.entries;
            if (!seen.insert(id).second) {
                ++report.duplicates;
            } else if (kept) {
                kept->insert(kept->end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + kEntry));
            }
            at += kEntry;
            continue;
        }
        std::size_t next = at + 1;
        while (next < bytes.size() && !IsEntryAt(bytes, next)) ++next;
        ++report.damaged;
        report.damagedBytes += next - at;
        at = next;
    }
    return report;
}

bool ReadWhole(std::u16string_view path, std::vector<std::uint8_t>* bytes) {
    auto file = platform::File::Open(path, u"rb");
    if (!file) return false;
    std::uint8_t piece[1 << 14];
    for (std::size_t got; (got = file->Read(piece, sizeof piece)) > 0;) bytes->insert(bytes->end(), piece, piece + got);
    return true;
}

void Replace(const std::u16string& path, const std::vector<std::uint8_t>& old, const std::vector<std::uint8_t>& now) {
    const auto write = [](const std::u16string& to, const std::vector<std::uint8_t>& bytes) {
        ReplacementFile out(to);
        if (!out.IsOpen()) FatalError(u"_wfopen failed.", kTag);
        if (out.Stream().Write(bytes.data(), bytes.size()) != bytes.size() || !out.Commit()) {
            FatalError(u"fwrite failed.", kTag);
        }
    };
    write(path + u".bak", old);
    write(path, now);
    platform::DeleteFileW(path + u".bak");
}

}  // namespace

ExportListReport CheckExportList(std::u16string_view path) {
    ExportListReport report;
    if (!platform::PathExists(path)) return report;
    std::vector<std::uint8_t> bytes;
    if (!ReadWhole(path, &bytes)) {
        report.found = report.unreadable = true;
        return report;
    }
    return Scan(bytes, nullptr);
}

ExportListReport RepairExportList(std::u16string_view path) {
    ExportListReport report;
    if (!platform::PathExists(path)) return report;
    std::vector<std::uint8_t> bytes, kept;
    if (!ReadWhole(path, &bytes)) {
        report.found = report.unreadable = true;
        return report;
    }
    report = Scan(bytes, &kept);
    if (!report.Sound()) {
        Replace(std::u16string(path), bytes, kept);
        report.rewritten = true;
    }
    return report;
}

}  // namespace tallymere
