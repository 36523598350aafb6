// The work of `settings`: the output directory, shown with where it is on this computer, and
// its change.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/device.h"
#include "platform/text.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "shell/output_dir.h"
#include "support/files.h"
#include "support/settings.h"

namespace remote {

namespace {

std::u16string OutputDir() { return tallymere::GetRegistryStr(tallymere::kOutputDirValue); }

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
    if (newDir) {
        if (!tallymere::ChangeOutputDir(platform::FromUtf8(*newDir))) return kExitFailure;
    } else {
        // Its directories are made as at start-up, when it can be used.
        tallymere::CheckOutputDir(tallymere::GetRegistryStr(tallymere::kOutputDirValue),
                                  tallymere::OutputDirUse::kStartUp, nullptr);
    }
    const std::u16string dir = OutputDir();
    if (json) {
        const nlohmann::ordered_json j{{"outputDir", platform::ToUtf8(dir)}, {"hostPath", HostPathOf(dir)}};
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    } else {
        std::fprintf(out, "Output directory: %s\n", ShownPath(dir).c_str());
    }
    return kExitDone;
}

}  // namespace remote
