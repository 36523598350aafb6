// Archive commands: "check" reads the whole archive without changing it and says whether it
// is sound.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "archive/archive_check.h"
#include "cli/commands.h"
#include "cli/remote.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "support/files.h"
#include "support/settings.h"

namespace cli {

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
            return "Messages.ndx: " + n(p.value) + " entries, more than MAX_ENTRYID (10000)";
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
            return record + " does not parse: " + n(p.value) + " recipients, more than 15";
        case ArchiveProblem::kTooManyAttachments:
            return record + " does not parse: " + n(p.value) + " attachments, more than 15";
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
            return "Folders.dat: " + n(p.value) + " lines, more than MAX_FOLDER (1000)";
    }
    return "unknown problem";
}

}  // namespace

int RunCheck(std::FILE* out, bool json) {
    // Only reads: no start-up step, so nothing on the device is created or changed.
    const std::u16string archiveDir =
        tallymere::JoinPath(tallymere::GetRegistryStr(tallymere::kOutputDirValue), tallymere::kArchiveDir, u"");
    const std::string shown = ShownPath(archiveDir);
    const bool found = platform::PathExists(archiveDir);
    const tallymere::ArchiveReport report = found ? tallymere::CheckArchive(archiveDir) : tallymere::ArchiveReport{};
    if (json) {
        nlohmann::ordered_json j{{"archive", platform::ToUtf8(archiveDir)}, {"hostPath", HostPathOf(archiveDir)},
                                 {"found", found}, {"sound", !found || report.Sound()}};
        if (found) {
            j.update({{"entries", report.entries}, {"present", report.present}, {"absent", report.absent},
                      {"records", report.records}, {"dataBytes", report.dataBytes},
                      {"unindexedBytes", report.unindexedBytes}, {"folders", report.folders},
                      {"indexFound", report.indexFound}, {"dataFound", report.dataFound},
                      {"foldersFound", report.foldersFound}, {"problems", nlohmann::ordered_json::array()}});
            for (const ArchiveProblem& p : report.problems) j["problems"].push_back(Describe(p, report));
        }
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return !found || report.Sound() ? 0 : 1;
    }
    if (!found) {
        std::fprintf(out, "No archive at %s.\n", shown.c_str());
        return 0;
    }
    std::fprintf(out, "Archive %s\n", shown.c_str());
    std::fprintf(out, "Index entries: %u (%u present, %u absent)%s\n", report.entries, report.present,
                 report.absent, report.indexFound ? "" : "; Messages.ndx is missing");
    std::fprintf(out, "Records: %u in %llu bytes (%llu bytes not in any indexed record)%s\n", report.records,
                 static_cast<unsigned long long>(report.dataBytes),
                 static_cast<unsigned long long>(report.unindexedBytes),
                 report.dataFound ? "" : "; Messages.dat is missing");
    std::fprintf(out, "Folders: %u%s\n", report.folders, report.foldersFound ? "" : "; Folders.dat is missing");
    if (report.Sound()) {
        std::fprintf(out, "The archive is sound.\n");
        return 0;
    }
    std::fprintf(out, "Inconsistencies: %zu\n", report.problems.size());
    for (const ArchiveProblem& p : report.problems) std::fprintf(out, "  %s\n", Describe(p, report).c_str());
    return 1;
}

Runner AddArchiveCommands(CLI::App& app) {
    CLI::App* check = app.add_subcommand(
        "check", "Read the whole archive without changing it; exit status 0 when it is sound, 1 otherwise");
    return [check](const GlobalOptions& options) -> int {
        if (!check->parsed()) return -1;
        // A pass writing the archive meanwhile would show as inconsistencies, so check, too, runs
        // only while no other program instance works on the device, or in the resident program
        // that holds it, between its commands.
        if (!MountDevice(options)) return 1;
        RemoteRequest request;
        request.verb = "check";
        request.json = options.json;
        if (const int status = LockOrForward(options, "check", request); status >= 0) return status;
        return RunCheck(stdout, options.json);
    };
}

}  // namespace cli
