// The all-messages walk: every message of every message store, depth-first, handed to one
// rule — BackupAll archives it, ExportAll exports it as text.
//
// Folder paths are built on the way down: the store's display name, then every folder name
// below the store's IPM subtree folder, joined by "/". The messages lying directly in the IPM
// subtree folder are not visited, and a folder whose PR_SUBFOLDERS is false is not descended
// into. The caller prepares the receiving side (BeginBackup / OpenExporter) and closes it.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/mapi/interfaces.h"

namespace tallymere {

class qMsg;

// What the walk does with each message, by the design's rule names.
enum class Rule {
    BackupAll,  // archives it through the open writer (BeginBackup)
    ExportAll,  // exports it as text through the open exporter (OpenExporter)
};

// Walks every store and returns the sum of the per-message results: the number of messages
// newly archived or newly exported. Failures are fatal, captioned "MakeRules".
//
// The walk is a pass (support/pass_control.h): it reports every message it visits, and stops
// after the message at which a stop is requested. When a front end shows the progress, the
// messages to visit are counted first, from the hierarchy tables' message counts.
int MakeRules(Rule rule);

// Walks the folders below `folder` (whose path is `path`). Failures are fatal, captioned
// "MakeRulesRec".
int MakeRulesRec(platform::mapi::IMAPISession* session, Rule rule, platform::mapi::IMAPIFolder* folder,
                 std::u16string_view path);

// Applies the rule to one filled record: 1 when it was newly archived or exported, else 0.
// A rule whose receiving side is not open counts 0, and so does a value of neither rule.
int RunCommand(qMsg& message, Rule rule);

}  // namespace tallymere
