// The work of `settings`: the output directory, shown with where it is on this computer, and
// its change; whether the desktop program starts at login, and the switch.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/filesys.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "remote/autostart.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "shell/output_dir.h"
#include "support/files.h"
#include "support/main_window.h"
#include "support/settings.h"

namespace remote {

namespace {

std::u16string OutputDir() { return tallymere::GetRegistryStr(tallymere::kOutputDirValue); }

// "Start at login: on, device folder DIR (FILE)" or "Start at login: off".
std::string AutostartLine(const AutostartState& state) {
    if (!state.on) return "Start at login: off";
    std::string line = "Start at login: on, ";
    if (!state.device.empty()) line += "device folder " + state.device + " ";
    return line + "(" + AutostartFile().string() + ")";
}

nlohmann::ordered_json AutostartJson(const AutostartState& state) {
    nlohmann::ordered_json j{{"on", state.on}};
    if (!state.device.empty()) j["device"] = state.device;
    j["file"] = AutostartFile().string();
    return j;
}

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

bool ChangeAutostart(bool on, platform::ui::HWND owner) {
    std::string reason;
    if (SetAutostart(on, platform::device::Root().lexically_normal(), &reason)) return true;
    platform::ui::MessageBoxW(owner ? owner : tallymere::mainWindow.load(),
                              u"Cannot change Start at login: " + platform::FromUtf8(reason) + u".",
                              tallymere::kSettingsCaption, platform::ui::MB_OK | platform::ui::MB_ICONERROR);
    return false;
}

std::string HostPathOf(std::u16string_view devicePath) {
    const auto host = platform::device::HostPath(devicePath);
    return host ? host->string() : std::string();
}

std::string ShownPath(std::u16string_view devicePath) {
    const std::string host = HostPathOf(devicePath);
    const std::string shown = "\"" + platform::ToUtf8(devicePath) + "\"";
    return host.empty() ? shown : shown + " (" + host + ")";
}

int RunSettings(std::FILE* out, const std::string* newDir, std::optional<bool> autostart, bool json) {
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
    // After the directory, whose refusal changes nothing at all.
    if (autostart && !ChangeAutostart(*autostart, nullptr)) return kExitFailure;
    const std::u16string dir = OutputDir();
    const AutostartState state = ReadAutostart();
    if (json) {
        nlohmann::ordered_json j{{"command", "settings"},
                                 {"output_dir", platform::ToUtf8(dir)},
                                 {"host_path", HostPathOf(dir)},
                                 {"autostart", AutostartJson(state)}};
        if (newDir) j["archive_moved"] = moved;
        j["status"] = kExitDone;
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    } else {
        if (moved) std::fprintf(out, "Moved the archive to %s.\n", ShownPath(ArchiveDirOf(dir)).c_str());
        std::fprintf(out, "Output directory: %s\n%s\n", ShownPath(dir).c_str(), AutostartLine(state).c_str());
    }
    return kExitDone;
}

}  // namespace remote
