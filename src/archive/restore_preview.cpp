#include "archive/restore_preview.h"

#include <cstdio>
#include <map>
#include <vector>

#include "archive/archive_view.h"
#include "archive/entry_id.h"
#include "platform/file.h"
#include "platform/mapi/ptr.h"
#include "store/session.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace mapi = platform::mapi;

RestorePreview PreviewRestore() {
    RestorePreview preview;
    const std::u16string path = JoinPath(GetRegistryStr(kOutputDirValue), kArchiveDir, u"") + u"\\Messages.ndx";
    // Opened for reading only: xEntryID would create the file and save it back.
    auto file = platform::File::Open(path, u"rb");
    if (!file) return preview;
    std::vector<std::uint8_t> entries;
    std::uint8_t entry[xEntryID::kEntryBytes];
    while (file->Read(entry, sizeof entry) == sizeof entry) entries.insert(entries.end(), entry, entry + sizeof entry);
    file.reset();

    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    for (std::size_t at = 0; at < entries.size(); at += xEntryID::kEntryBytes) {
        const std::uint8_t* id = entries.data() + at;
        const bool present = GetU32(id + 24) == 1;
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        const mapi::HRESULT opened = session->OpenEntry(
            xEntryID::ENTRYID_SIZE, reinterpret_cast<const mapi::ENTRYID*>(id), nullptr, 0, &type, object.Out());
        // A store that cannot answer must not have the question say how many messages are there.
        if (opened != 0 && opened != mapi::MAPI_E_NOT_FOUND) FatalError(u"OpenEntry failed.", u"PreviewRestore");
        const bool missing = opened == mapi::MAPI_E_NOT_FOUND;
        ++preview.archived;
        preview.present += present;
        preview.missingNormal += present && missing;
        preview.missingExtra += missing;
    }
    SessionLogoff(std::move(session));
    return preview;
}

RestorePlan PlanRestore(RestoreMode mode, const std::vector<bool>* chosen) {
    RestorePlan plan;
    ArchiveView view;
    std::map<std::u16string, std::uint32_t> byFolder;
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    qMsg msg(nullptr, 0, nullptr);
    for (std::uint32_t i = 0; i < view.Count(); ++i) {
        if (chosen ? (i >= chosen->size() || !(*chosen)[i]) : (mode == RestoreMode::Normal && !view.Present(i)))
            continue;
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        const bool missing =
            session->OpenEntry(xEntryID::ENTRYID_SIZE, reinterpret_cast<const mapi::ENTRYID*>(view.ids[i].data()),
                               nullptr, 0, &type, object.Out()) == mapi::MAPI_E_NOT_FOUND;
        if (!missing) continue;
        // Read whole, as the restore reads it: a record it would skip is counted as unreadable.
        if (!view.Load(i, msg)) {
            ++plan.unreadable;
            continue;
        }
        ++byFolder[msg.folderPath];
        ++plan.total;
    }
    SessionLogoff(std::move(session));
    for (auto& [path, count] : byFolder) plan.folders.push_back({path, count});
    return plan;
}

}  // namespace tallymere
