// The work of `check`: reads the whole archive without changing it (after repairing what can be
// rebuilt, with --repair) and reports whether it is sound.
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "archive/archive_check.h"
#include "archive/archive_repair.h"
#include "archive/entry_id.h"
#include "archive/folder.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "support/files.h"
#include "support/settings.h"

namespace remote {

namespace {

using tallymere::ArchiveFile;
using tallymere::ArchiveProblem;

const char* FileName(ArchiveFile file) {
    switch (file) {
        case ArchiveFile::kIndex:
            return "Messages.ndx";
        case ArchiveFile::kData:
            return "Messages.dat";
        case ArchiveFile::kFolders:
            return "Folders.dat";
    }
    return "?";
}

std::string Describe(const ArchiveProblem& p, const tallymere::ArchiveReport& report) {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    const std::string entry = "entry " + n(p.entry);
    const std::string record = entry + ": the record at offset " + n(p.offset);
    switch (p.kind) {
        case ArchiveProblem::kFileUnreadable:
            return std::string(FileName(p.file)) + ": cannot be read";
        case ArchiveProblem::kIndexTrailingBytes:
            return "Messages.ndx: " + n(p.value) + " bytes after the last whole entry";
        case ArchiveProblem::kTooManyEntries:
            return "Messages.ndx: " + n(p.value) + " entries, more than MAX_ENTRYID (" +
                   n(tallymere::xEntryID::MAX_ENTRYID) + ")";
        case ArchiveProblem::kFlagValue:
            return entry + ": present-flag " + n(p.value) + ", neither 0 nor 1";
        case ArchiveProblem::kDuplicateIdentifier:
            return entry + ": same identifier as entry " + n(p.other);
        case ArchiveProblem::kOffsetPastEnd:
            return entry + ": offset " + n(p.offset) + " lies past the end of Messages.dat (" +
                   n(report.dataBytes) + " bytes)";
        case ArchiveProblem::kCutShort:
            return record + " is cut short by the end of Messages.dat";
        case ArchiveProblem::kIdentifierSize:
            return record + " has an identifier of " + n(p.value) + " bytes, not 20";
        case ArchiveProblem::kTooManyRecipients:
            return record + " does not parse: " + n(p.value) + " recipients";
        case ArchiveProblem::kTooManyAttachments:
            return record + " does not parse: " + n(p.value) + " attachments";
        case ArchiveProblem::kReadFailed:
            return record + " cannot be read";
        case ArchiveProblem::kIdentifierDiffers:
            return record + " carries another identifier than the entry";
        case ArchiveProblem::kNoFolderLine:
            return record + " names folder " + n(p.value) + ", but Folders.dat has " + n(report.folders) +
                   " lines";
        case ArchiveProblem::kSharedRecord:
            return entry + ": names the same record as entry " + n(p.other) + " (offset " + n(p.offset) + ")";
        case ArchiveProblem::kOverlap:
            return record + " overlaps the record of entry " + n(p.other);
        case ArchiveProblem::kFoldersTail:
            return "Folders.dat: " + n(p.value) + " characters after the last line feed (not a line)";
        case ArchiveProblem::kTooManyFolders:
            return "Folders.dat: " + n(p.value) + " lines, more than MAX_FOLDER (" +
                   n(tallymere::xFolder::MAX_FOLDER) + ")";
        case ArchiveProblem::kUnindexedRecords:
            return "Messages.dat: " + n(p.value) + " intact records of messages the index does not know (the first at offset " +
                   n(p.offset) + ")";
    }
    return "unknown problem";
}

void PrintRepair(std::FILE* out, const tallymere::RepairReport& r) {
    if (!r.dataReadable) {
        std::fprintf(out, "Messages.dat cannot be read: nothing was repaired.\n");
        return;
    }
    if (r.indexRewritten) {
        std::fprintf(out, "Messages.ndx rebuilt from %u intact records: %u entries kept, %u pointed at their record, %u "
                    "took their record's identifier, %u dropped, %u records indexed anew (not present).\n",
                    r.records, r.kept, r.repointed, r.adopted, r.dropped, r.orphans);
    } else {
        std::fprintf(out, "Messages.ndx needs no repair (%u intact records).\n", r.records);
    }
    if (r.foldersRewritten) {
        std::fprintf(out, "Folders.dat repaired: %u lines (it had %u).\n", r.foldersAfter, r.foldersBefore);
    } else if (r.foldersUnrepairable) {
        std::fprintf(out, "Folders.dat cannot be repaired: it has %u lines, but records name folder numbers up to %u.\n",
                    r.foldersBefore, r.foldersNeeded - 1);
    }
}

}  // namespace

int RunCheck(std::FILE* out, bool repair, bool json) {
    // Only reads (unless repairing): no start-up step, so nothing on the device is created.
    std::u16string outputDir;
    const std::optional<std::u16string> stored = tallymere::FindRegistryStr(tallymere::kOutputDirValue);
    if (stored) {
        outputDir = *stored;
    } else {
        // The archive would be where the start-up puts it first.
        outputDir = tallymere::InstallerDir();
        if (!json) std::fprintf(out, "Tallymere has never started on this device: no output directory is set.\n");
    }
    const std::u16string archiveDir = tallymere::JoinPath(outputDir, tallymere::kArchiveDir, u"");
    const std::string shown = ShownPath(archiveDir);
    const bool found = platform::PathExists(archiveDir);
    std::optional<tallymere::RepairReport> repaired;
    if (found && repair) repaired = tallymere::RepairArchive(archiveDir);
    const tallymere::ArchiveReport report = found ? tallymere::CheckArchive(archiveDir) : tallymere::ArchiveReport{};
    if (json) {
        nlohmann::ordered_json j{{"archive", platform::ToUtf8(archiveDir)}, {"hostPath", HostPathOf(archiveDir)},
                                 {"started", stored.has_value()}, {"found", found},
                                 {"sound", !found || report.Sound()}};
        if (repaired) {
            const tallymere::RepairReport& r = *repaired;
            j["repair"] = {{"dataReadable", r.dataReadable}, {"indexRewritten", r.indexRewritten},
                           {"records", r.records},           {"kept", r.kept},
                           {"repointed", r.repointed},       {"adopted", r.adopted},
                           {"dropped", r.dropped},           {"orphans", r.orphans},
                           {"foldersRewritten", r.foldersRewritten}, {"foldersUnrepairable", r.foldersUnrepairable},
                           {"foldersBefore", r.foldersBefore},       {"foldersAfter", r.foldersAfter}};
        }
        if (found) {
            j.update({{"entries", report.entries}, {"present", report.present}, {"absent", report.absent},
                      {"records", report.records}, {"dataBytes", report.dataBytes},
                      {"unindexedBytes", report.unindexedBytes}, {"folders", report.folders},
                      {"indexFound", report.indexFound}, {"dataFound", report.dataFound},
                      {"foldersFound", report.foldersFound}, {"foldersDamaged", report.FoldersDamaged()},
                      {"problems", nlohmann::ordered_json::array()}});
            for (const ArchiveProblem& p : report.problems) j["problems"].push_back(Describe(p, report));
        }
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return !found || report.Sound() ? kExitDone : kExitFailure;
    }
    if (!found) {
        std::fprintf(out, "No archive at %s.\n", shown.c_str());
        return kExitDone;
    }
    if (repaired) PrintRepair(out, *repaired);
    std::fprintf(out, "Archive %s\n", shown.c_str());
    std::fprintf(out, "Index entries: %u (%u present, %u absent)%s\n", report.entries, report.present, report.absent,
                report.indexFound ? "" : "; Messages.ndx is missing");
    std::fprintf(out, "Records: %u in %llu bytes (%llu bytes not in any indexed record)%s\n", report.records,
                static_cast<unsigned long long>(report.dataBytes),
                static_cast<unsigned long long>(report.unindexedBytes),
                report.dataFound ? "" : "; Messages.dat is missing");
    std::fprintf(out, "Folders: %u%s\n", report.folders, report.foldersFound ? "" : "; Folders.dat is missing");
    if (report.Sound()) {
        std::fprintf(out, "The archive is sound.\n");
        return kExitDone;
    }
    std::fprintf(out, "Inconsistencies: %zu\n", report.problems.size());
    for (const ArchiveProblem& p : report.problems) std::fprintf(out, "  %s\n", Describe(p, report).c_str());
    if (report.FoldersDamaged()) {
        std::fprintf(out, "Folders.dat is damaged: it has %u lines, but records name folder numbers up to %u; a restore "
                    "would put messages into the wrong folders.\n",
                    report.folders, report.foldersNeeded - 1);
    }
    if (!repair) std::fprintf(out, "check --repair rebuilds Messages.ndx from the intact records.\n");
    return kExitFailure;
}

}  // namespace remote
