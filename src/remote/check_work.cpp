// The work of `check`: reads the whole archive without changing it (after repairing what can be
// rebuilt, with --repair) and reports whether it is sound.
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "archive/archive_check.h"
#include "archive/archive_compact.h"
#include "archive/archive_repair.h"
#include "archive/entry_id.h"
#include "archive/export_list_check.h"
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
        case ArchiveFile::kIndex: return "Messages.ndx";
        case ArchiveFile::kData: return "Messages.dat";
        case ArchiveFile::kFolders: return "Folders.dat";
    }
    return "?";
}

std::string Describe(const ArchiveProblem& p, const tallymere::ArchiveReport& report) {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    const std::string entry = "entry " + n(p.entry);
    const std::string record = entry + ": the record at offset " + n(p.offset);
    switch (p.kind) {
        case ArchiveProblem::kFileUnreadable: return std::string(FileName(p.file)) + ": cannot be read";
        case ArchiveProblem::kIndexTrailingBytes:
            return "Messages.ndx: " + n(p.value) + " bytes after the last whole entry";
        case ArchiveProblem::kTooManyEntries:
            return "Messages.ndx: " + n(p.value) + " entries, more than MAX_ENTRYID (" +
                   n(tallymere::xEntryID::MAX_ENTRYID) + ")";
        case ArchiveProblem::kFlagValue: return entry + ": present-flag " + n(p.value) + ", neither 0 nor 1";
        case ArchiveProblem::kDuplicateIdentifier: return entry + ": same identifier as entry " + n(p.other);
        case ArchiveProblem::kOffsetPastEnd:
            return entry + ": offset " + n(p.offset) + " lies past the end of Messages.dat (" + n(report.dataBytes) +
                   " bytes)";
        case ArchiveProblem::kCutShort: return record + " is cut short by the end of Messages.dat";
        case ArchiveProblem::kIdentifierSize: return record + " has an identifier of " + n(p.value) + " bytes, not 20";
        case ArchiveProblem::kTooManyRecipients: return record + " does not parse: " + n(p.value) + " recipients";
        case ArchiveProblem::kTooManyAttachments: return record + " does not parse: " + n(p.value) + " attachments";
        case ArchiveProblem::kReadFailed: return record + " cannot be read";
        case ArchiveProblem::kIdentifierDiffers: return record + " carries another identifier than the entry";
        case ArchiveProblem::kNoFolderLine:
            return record + " names folder " + n(p.value) + ", but Folders.dat has " + n(report.folders) + " lines";
        case ArchiveProblem::kSharedRecord:
            return entry + ": names the same record as entry " + n(p.other) + " (offset " + n(p.offset) + ")";
        case ArchiveProblem::kOverlap:
            return record + " runs into the record of entry " + n(p.other) + " (its counts overrun it)";
        case ArchiveProblem::kFoldersTail:
            return "Folders.dat: " + n(p.value) + " characters after the last line feed (not a line)";
        case ArchiveProblem::kTooManyFolders:
            return "Folders.dat: " + n(p.value) + " lines, more than MAX_FOLDER (" + n(tallymere::xFolder::MAX_FOLDER) +
                   ")";
        case ArchiveProblem::kTimeOutOfRange:
            return record + " holds a time after the year 9999 (" + n(p.value) + "): the record is damaged";
        case ArchiveProblem::kFoldersControl:
            return "Folders.dat: line " + n(p.entry) + " holds the control character " + n(p.value) +
                   " (no folder name has one: the line is damaged)";
        case ArchiveProblem::kUnindexedRecords:
            return "Messages.dat: " + n(p.value) +
                   " intact records of messages the index does not know (the first at offset " + n(p.offset) + ")";
    }
    return "unknown problem";
}

void PrintRepair(std::FILE* out, const tallymere::RepairReport& r) {
    if (!r.dataReadable) {
        std::fprintf(out, "Messages.dat cannot be read: nothing was repaired.\n");
        return;
    }
    if (r.indexRewritten) {
        std::fprintf(out,
                     "Messages.ndx rebuilt from %u intact records: %u entries kept, %u pointed at their record, %u "
                     "took their record's identifier, %u dropped, %u records indexed anew (not present).\n",
                     r.records, r.kept, r.repointed, r.adopted, r.dropped, r.orphans);
    } else {
        std::fprintf(out, "Messages.ndx needs no repair (%u intact records).\n", r.records);
    }
    if (r.foldersRewritten) {
        std::fprintf(out, "Folders.dat repaired: %u lines (it had %u).\n", r.foldersAfter, r.foldersBefore);
    } else if (r.foldersUnrepairable) {
        std::fprintf(out,
                     "Folders.dat cannot be repaired: it has %u lines, but records name folder numbers up to %u.\n",
                     r.foldersBefore, r.foldersNeeded - 1);
    }
    const auto lineList = [](const std::vector<std::uint32_t>& lines) {
        std::string text;
        for (std::uint32_t line : lines) text += (text.empty() ? "" : ", ") + std::to_string(line);
        return text;
    };
    if (!r.linesRebuilt.empty()) {
        std::fprintf(out, "Folders.dat lines rebuilt from messages still on the phone: %s.\n",
                     lineList(r.linesRebuilt).c_str());
    }
    if (!r.linesNotRebuilt.empty()) {
        std::fprintf(out,
                     "Folders.dat lines that could not be rebuilt (no message of their folder is on the phone): "
                     "%s.\n",
                     lineList(r.linesNotRebuilt).c_str());
    }
}

}  // namespace

namespace {

// Where the archive is: the output directory set, or where the start-up would put it first.
struct ArchivePlace {
    std::u16string outputDir;
    bool started = false;  // an output directory is set
    std::u16string archiveDir;
};

ArchivePlace FindArchivePlace() {
    ArchivePlace place;
    const std::optional<std::u16string> stored = tallymere::FindRegistryStr(tallymere::kOutputDirValue);
    place.started = stored.has_value();
    place.outputDir = stored ? *stored : tallymere::InstallerDir();
    place.archiveDir = tallymere::JoinPath(place.outputDir, tallymere::kArchiveDir, u"");
    return place;
}

// Why the output directory cannot be read ("does not exist", "is not a directory", "cannot be
// read"), or "" when it can. The device's root ("") always can.
std::string OutputDirTrouble(const std::u16string& outputDir) {
    if (outputDir.empty()) return "";
    platform::FindData info;
    if (!platform::GetFileAttributesExW(outputDir, &info)) return "does not exist";
    if (!(info.attributes & platform::FILE_ATTRIBUTE_DIRECTORY)) return "is not a directory";
    if (platform::FindFiles(outputDir + u"\\*") || platform::GetLastError() == platform::ERROR_FILE_NOT_FOUND)
        return "";
    return "cannot be read";
}

void PrintExportListRepair(std::FILE* out, const tallymere::ExportListReport& r) {
    if (!r.rewritten) return;
    std::fprintf(out,
                 "Tallyport\\Messages.ndx repaired: %u entries kept; %u damaged pieces (%llu bytes) and %u "
                 "repeated identifiers dropped (those messages are exported once more).\n",
                 r.entries - r.duplicates, r.damaged, static_cast<unsigned long long>(r.damagedBytes), r.duplicates);
}

// The export list's line, and its damage; false when it is not sound.
bool PrintExportList(std::FILE* out, const tallymere::ExportListReport& list, const std::u16string& path) {
    if (!list.found) return true;
    if (list.unreadable) {
        std::fprintf(out, "Export list %s cannot be read.\n", ShownPath(path).c_str());
        return false;
    }
    std::fprintf(out, "Export list: %u entries\n", list.entries);
    if (list.Sound()) return true;
    std::fprintf(out,
                 "The export list is damaged: %u pieces (%llu bytes) that are no whole entry, %u repeated "
                 "identifiers; check --repair drops them, and the next export writes those messages once more.\n",
                 list.damaged, static_cast<unsigned long long>(list.damagedBytes), list.duplicates);
    return false;
}

// What check --repair would mend of the problems found, and what it cannot.
void PrintAdvice(std::FILE* out, const tallymere::ArchiveReport& report) {
    bool index = false, split = false, rebuild = false, left = false;
    for (const ArchiveProblem& p : report.problems) {
        if (!report.RepairMends(p)) {
            left = true;
        } else if (p.kind == ArchiveProblem::kNoFolderLine) {
            split = true;
        } else if (p.kind == ArchiveProblem::kFoldersControl) {
            rebuild = true;
        } else {
            index = true;
        }
    }
    if (index) std::fprintf(out, "check --repair rebuilds Messages.ndx from the intact records.\n");
    if (split) std::fprintf(out, "check --repair splits the Folders.dat lines that damaged line feeds merged.\n");
    if (rebuild) {
        std::fprintf(out,
                     "check --repair rebuilds the damaged Folders.dat lines from messages of their folders that "
                     "are still on the phone.\n");
    }
    if (left) std::fprintf(out, "check --repair cannot mend the other inconsistencies.\n");
}

void PrintJson(std::FILE* out, const nlohmann::ordered_json& j) {
    std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

}  // namespace

int RunCheck(std::FILE* out, bool repair, bool json) {
    // Only reads (unless repairing): no start-up step, so nothing on the device is created.
    const ArchivePlace place = FindArchivePlace();
    if (!place.started && !json) {
        std::fprintf(out, "Tallymere has never started on this device: no output directory is set.\n");
    }
    const std::u16string& archiveDir = place.archiveDir;
    const std::string shown = ShownPath(archiveDir);
    // A directory that cannot be read says nothing about the archive: not "no archive yet".
    if (const std::string trouble = OutputDirTrouble(place.outputDir); !trouble.empty()) {
        const std::string words = "The output directory " + ShownPath(place.outputDir) + " " + trouble + ".";
        if (json) {
            PrintJson(out, {{"command", "check"},
                            {"archive", platform::ToUtf8(archiveDir)},
                            {"host_path", HostPathOf(archiveDir)},
                            {"started", place.started},
                            {"found", false},
                            {"sound", false},
                            {"error", words},
                            {"status", kExitFailure}});
        } else {
            std::fprintf(out, "%s\n", words.c_str());
        }
        return kExitFailure;
    }
    const bool found = platform::PathExists(archiveDir);
    std::optional<tallymere::RepairReport> repaired;
    if (found && repair) repaired = tallymere::RepairArchive(archiveDir);
    const tallymere::ArchiveReport report = found ? tallymere::CheckArchive(archiveDir) : tallymere::ArchiveReport{};
    const std::u16string listPath =
        tallymere::JoinPath(place.outputDir, tallymere::kExportDir, u"") + u"\\Messages.ndx";
    const tallymere::ExportListReport listRepaired =
        repair ? tallymere::RepairExportList(listPath) : tallymere::ExportListReport{};
    const tallymere::ExportListReport list = tallymere::CheckExportList(listPath);
    const bool sound = (!found || report.Sound()) && list.Sound();
    if (json) {
        nlohmann::ordered_json j{{"command", "check"},
                                 {"archive", platform::ToUtf8(archiveDir)},
                                 {"host_path", HostPathOf(archiveDir)},
                                 {"started", place.started},
                                 {"found", found},
                                 {"sound", sound}};
        if (repaired) {
            const tallymere::RepairReport& r = *repaired;
            j["repair"] = {{"data_readable", r.dataReadable},
                           {"index_rewritten", r.indexRewritten},
                           {"records", r.records},
                           {"kept", r.kept},
                           {"repointed", r.repointed},
                           {"adopted", r.adopted},
                           {"dropped", r.dropped},
                           {"orphans", r.orphans},
                           {"folders_rewritten", r.foldersRewritten},
                           {"folders_unrepairable", r.foldersUnrepairable},
                           {"folders_before", r.foldersBefore},
                           {"folders_after", r.foldersAfter},
                           {"lines_rebuilt", r.linesRebuilt},
                           {"lines_not_rebuilt", r.linesNotRebuilt}};
        }
        if (found) {
            j.update({{"entries", report.entries},
                      {"present", report.present},
                      {"absent", report.absent},
                      {"records", report.records},
                      {"data_bytes", report.dataBytes},
                      {"unindexed_bytes", report.unindexedBytes},
                      {"folders", report.folders},
                      {"index_found", report.indexFound},
                      {"data_found", report.dataFound},
                      {"folders_found", report.foldersFound},
                      {"folders_damaged", report.FoldersDamaged()},
                      {"problems", nlohmann::ordered_json::array()}});
            for (const ArchiveProblem& p : report.problems) j["problems"].push_back(Describe(p, report));
        }
        j["export_list"] = {{"path", platform::ToUtf8(listPath)}, {"found", list.found},
                            {"readable", !list.unreadable},       {"entries", list.entries},
                            {"duplicates", list.duplicates},      {"damaged", list.damaged},
                            {"damaged_bytes", list.damagedBytes}, {"sound", list.Sound()},
                            {"rewritten", listRepaired.rewritten}};
        j["status"] = sound ? kExitDone : kExitFailure;
        PrintJson(out, j);
        return sound ? kExitDone : kExitFailure;
    }
    PrintExportListRepair(out, listRepaired);
    if (!found) {
        std::fprintf(out, "No archive at %s.\n", shown.c_str());
        return PrintExportList(out, list, listPath) ? kExitDone : kExitFailure;
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
    if (report.unindexedBytes > 0) {
        std::fprintf(out, "%llu bytes of Messages.dat lie in no indexed record: compact reclaims them%s.\n",
                     static_cast<unsigned long long>(report.unindexedBytes),
                     report.Sound() ? "" : " once the archive is sound");
    }
    const bool listSound = PrintExportList(out, list, listPath);
    if (report.Sound()) {
        std::fprintf(out, "The archive is sound.\n");
        return listSound ? kExitDone : kExitFailure;
    }
    std::fprintf(out, "Inconsistencies: %zu\n", report.problems.size());
    for (const ArchiveProblem& p : report.problems) std::fprintf(out, "  %s\n", Describe(p, report).c_str());
    if (report.FoldersDamaged()) {
        std::fprintf(out,
                     "Folders.dat is damaged: it has %u lines, but records name folder numbers up to %u; a restore "
                     "would put messages into the wrong folders.\n",
                     report.folders, report.foldersNeeded - 1);
    }
    if (!repair) PrintAdvice(out, report);
    return kExitFailure;
}

int RunCompact(std::FILE* out, bool json) {
    const ArchivePlace place = FindArchivePlace();
    const std::u16string& archiveDir = place.archiveDir;
    nlohmann::ordered_json j{
        {"command", "compact"}, {"archive", platform::ToUtf8(archiveDir)}, {"host_path", HostPathOf(archiveDir)}};
    const auto finish = [&](int status, const std::string& outcome, const std::string& words) {
        if (json) {
            j["status"] = status;
            j["outcome"] = outcome;
            j[status == kExitDone ? "result" : "error"] = words;
            PrintJson(out, j);
        } else {
            std::fprintf(out, "%s\n", words.c_str());
        }
        return status;
    };
    if (const std::string trouble = OutputDirTrouble(place.outputDir); !trouble.empty()) {
        return finish(kExitFailure, "unreadable",
                      "The output directory " + ShownPath(place.outputDir) + " " + trouble + ".");
    }
    const tallymere::CompactReport r = tallymere::CompactArchive(archiveDir);
    j["bytes_before"] = r.bytesBefore;
    j["bytes_after"] = r.bytesAfter;
    j["reclaimed_bytes"] = r.bytesBefore - r.bytesAfter;
    j["records"] = r.records;
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    switch (r.outcome) {
        case tallymere::CompactReport::kCompacted:
            return finish(kExitDone, "compacted",
                          "Messages.dat compacted: " + n(r.bytesBefore - r.bytesAfter) + " bytes reclaimed (" +
                              n(r.records) + " records in " + n(r.bytesAfter) + " bytes).");
        case tallymere::CompactReport::kNothingToDo:
            return finish(kExitDone, "nothing_to_do",
                          "Messages.dat has no bytes outside an indexed record: nothing to compact.");
        case tallymere::CompactReport::kNoArchive:
            return finish(kExitDone, "no_archive", "No archive at " + ShownPath(archiveDir) + ".");
        case tallymere::CompactReport::kNotSound:
            return finish(kExitFailure, "not_sound",
                          "The archive is not sound: nothing was compacted. Run check, and check --repair where it "
                          "says so, first.");
        case tallymere::CompactReport::kForeignFiles:
            return finish(kExitFailure, "foreign_files",
                          "The archive directory holds " + platform::ToUtf8(r.foreign) +
                              ", which is not an archive file: compact replaces the directory whole, so nothing was "
                              "compacted. Move it elsewhere first.");
    }
    return kExitFailure;
}

}  // namespace remote
