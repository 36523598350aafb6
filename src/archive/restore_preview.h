// What a restore would bring back, counted before the user is asked to confirm it: the
// archived messages that are no longer in the message store, among those Restore Normal takes
// (present at the latest full backup) and among all of them (Restore Extra).
//
// It reads the archive index (Messages.ndx) and asks the store, on a session of its own,
// whether each identifier still names a message; it writes nothing, so it may run while
// another process holds the device. Only the store's own "not found" counts as missing. The
// message store must be initialised (MAPIInitialize).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/restore.h"

namespace tallymere {

struct RestorePreview {
    std::uint32_t archived = 0;       // index entries
    std::uint32_t present = 0;        // entries with present-flag 1: what Restore Normal looks at
    std::uint32_t missingNormal = 0;  // of those, the messages no longer in the store
    std::uint32_t missingExtra = 0;   // of all entries, the messages no longer in the store
};

// Counts; an archive that is missing or cannot be read counts nothing.
RestorePreview PreviewRestore();

// What a restore would re-create, folder by folder (sorted by path): the entries `mode` names;
// with `chosen` (by index position) the entries a Restore by Selection takes instead. Records
// that cannot be read are counted in `unreadable`, as the restore would skip them. Writes
// nothing.
struct RestorePlan {
    struct Folder {
        std::u16string path;
        std::uint32_t count = 0;
    };
    std::vector<Folder> folders;
    std::uint32_t total = 0;
    std::uint32_t unreadable = 0;
};
RestorePlan PlanRestore(RestoreMode mode, const std::vector<bool>* chosen);

}  // namespace tallymere
