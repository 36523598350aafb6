// The work of `restore --select PATH...` and of a restore's `--dry-run`, for the command line
// and for the program that carries them out for it.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/archive_view.h"
#include "archive/restore_preview.h"
#include "platform/text.h"
#include "remote/exit_status.h"
#include "remote/work.h"
#include "shell/commands.h"

namespace remote {

namespace {

using Json = nlohmann::ordered_json;

// The chosen entries, or the usage errors for the PATHs the archive does not hold.
bool Choose(const std::vector<std::string>& paths, std::FILE* err, std::vector<bool>* chosen) {
    tallymere::ArchiveView view;
    tallymere::ArchiveChoice choice = tallymere::ChooseArchived(view, paths);
    for (const std::string& path : choice.unknown) {
        std::fprintf(err, "tallymere-cli: --select %s: the archive holds no such folder or message\n", path.c_str());
    }
    if (!choice.unknown.empty()) return false;
    *chosen = std::move(choice.chosen);
    return true;
}

}  // namespace

int RunRestoreSelection(platform::ui::HWND window, const std::vector<std::string>& paths, std::FILE* err) {
    std::vector<bool> chosen;
    if (!Choose(paths, err, &chosen)) return kExitUsage;
    tallymere::RunRestoreSelection(window, chosen);
    return kExitDone;
}

int RunRestorePlan(std::FILE* out, std::FILE* err, const std::string& kind, const std::vector<std::string>& paths,
                   bool json, const std::string& name) {
    std::vector<bool> chosen;
    const bool select = kind == "select";
    if (select && !Choose(paths, err, &chosen)) {
        if (json) {
            Json j{{"command", name}, {"error", "the archive holds no such folder or message"}, {"status", kExitUsage}};
            std::fprintf(out, "%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
        }
        return kExitUsage;
    }
    const tallymere::RestorePlan plan = tallymere::PlanRestore(
        kind == "normal" ? tallymere::RestoreMode::Normal : tallymere::RestoreMode::Extra, select ? &chosen : nullptr);
    if (json) {
        Json folders = Json::array();
        for (const auto& folder : plan.folders) {
            folders.push_back({{"path", platform::ToUtf8(folder.path)}, {"count", folder.count}});
        }
        Json j{{"command", name},    {"status", kExitDone}, {"dry_run", true},
               {"folders", folders}, {"count", plan.total}, {"unreadable", plan.unreadable}};
        std::fprintf(out, "%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
        return kExitDone;
    }
    for (const auto& folder : plan.folders) {
        std::fprintf(out, "%s: %u messages\n", platform::ToUtf8(folder.path).c_str(), folder.count);
    }
    std::fprintf(out, "%u messages would be re-created.\n", plan.total);
    if (plan.unreadable > 0) std::fprintf(out, "%u archived messages could not be read.\n", plan.unreadable);
    return kExitDone;
}

}  // namespace remote
