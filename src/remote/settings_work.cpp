// The work of `settings`: the output directory, shown with where it is on this computer, and
// its change.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "shell/output_dir.h"
#include "support/files.h"
#include "support/settings.h"

namespace remote {

namespace {

std::u16string OutputDir() { return tallymere::GetRegistryStr(tallymere::kOutputDirValue); }

std::u16string ArchiveDirOf(std::u16string_view outputDir) {
    return tallymere::JoinPath(outputDir, tallymere::kArchiveDir, u"");
}

// Whether the archive directory holds any of the archive's files.
bool HoldsArchive(std::u16string_view archiveDir) {
    for (std::u16string_view file : {u"Messages.dat", u"Messages.ndx", u"Folders.dat"}) {
        if (platform::PathExists(std::u16string(archiveDir) + u"\\" + std::u16string(file))) return true;
    }
    return false;
}

}  // namespace

std::string HostPathOf(std::u16string_view devicePath) {
    const auto host = platform::device::HostPath(devicePath);
    return host ? host->string() : std::string();
}

std::string ShownPath(std::u16string_view devicePath) {
    const std::string host = HostPathOf(devicePath);
    const std::string shown = "\"" + platform::ToUtf8(devicePath) + "\"";
    return host.empty() ? shown : shown + " (" + host + ")";
}

int RunSettings(std::FILE* out, const std::string* newDir, bool json) {
    // Without the start-up, which needs a usable output directory: the settings must stay
    // reachable to repair an unusable one.
    tallymere::ApplyOutputDirDefault();
    bool moved = false;
    if (newDir) {
        const std::u16string oldArchive = ArchiveDirOf(OutputDir());
        const bool hadArchive = HoldsArchive(oldArchive);
        if (!tallymere::ChangeOutputDir(platform::FromUtf8(*newDir))) return kExitFailure;
        const std::u16string newArchive = ArchiveDirOf(OutputDir());
        moved = hadArchive && newArchive != oldArchive && HoldsArchive(newArchive);
    } else {
        // Its directories are made as at start-up, when it can be used.
        tallymere::CheckOutputDir(tallymere::GetRegistryStr(tallymere::kOutputDirValue),
                                  tallymere::OutputDirUse::kStartUp, nullptr);
    }
    const std::u16string dir = OutputDir();
    if (json) {
        nlohmann::ordered_json j{{"command", "settings"}, {"output_dir", platform::ToUtf8(dir)}, {"host_path", HostPathOf(dir)}};
        if (newDir) j["archive_moved"] = moved;
        j["status"] = kExitDone;
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    } else {
        if (moved) std::fprintf(out, "Moved the archive to %s.\n", ShownPath(ArchiveDirOf(dir)).c_str());
        std::fprintf(out, "Output directory: %s\n", ShownPath(dir).c_str());
    }
    return kExitDone;
}

}  // namespace remote
