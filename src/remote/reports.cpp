#include "remote/reports.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "remote/exit_status.h"
#include "remote/interrupt.h"
#include "support/pass_control.h"

namespace remote {

namespace {
// Keys in the order they are set.
using Json = nlohmann::ordered_json;
}  // namespace

std::string CommandName(std::uint32_t command) {
    switch (command) {
        case tallymere::kCommandBackupAll: return "backup-all";
        case tallymere::kCommandExportAll: return "export-all";
        case tallymere::kCommandRestoreNormal: return "restore normal";
        case tallymere::kCommandRestoreExtra: return "restore extra";
        case tallymere::kCommandRestoreBySelection: return "restore --select";
        case tallymere::kCommandBackupBySelection: return "backup";
        case tallymere::kCommandExportBySelection: return "export";
        default: return std::to_string(command);
    }
}

std::string ResultJson(const tallymere::CommandResult& result, std::uint32_t done) {
    const bool selection = result.command == tallymere::kCommandRestoreBySelection;
    const bool restore = result.command == tallymere::kCommandRestoreNormal ||
                         result.command == tallymere::kCommandRestoreExtra || selection;
    Json j{{"command", CommandName(result.command)}, {"count", result.count}};
    if (result.interrupted) {
        j["done"] = done;
        j["interrupted"] = true;
        j["error"] = InterruptedLine(done);
        j["status"] = kExitInterrupted;
    } else {
        j["result"] = result.text;
    }
    if (restore) j["unreadable"] = result.unreadable;
    if (!result.interrupted) j["status"] = kExitDone;
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ErrorJson(std::string_view command, int status, std::string_view error, std::string_view caption) {
    // A failure's words are one line; a second one, where there is one, says why (the file and
    // the system's reason, SQLite's message): "error" keeps the line scripts match, "cause" the why.
    const std::size_t lineEnd = error.find('\n');
    Json j{{"command", command}, {"error", error.substr(0, lineEnd)}};
    if (!caption.empty()) j["caption"] = caption;
    if (lineEnd != std::string_view::npos && lineEnd + 1 < error.size()) j["cause"] = error.substr(lineEnd + 1);
    j["status"] = status;
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int FinishCommand(const tallymere::CommandResult& result, bool json) {
    if (json) {
        std::printf("%s\n", ResultJson(result, tallymere::PassDone()).c_str());
        std::fflush(stdout);
    }
    if (result.interrupted) return ReportInterrupted(tallymere::PassDone());
    return kExitDone;
}

}  // namespace remote
