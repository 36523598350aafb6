#include "archive/walk.h"

#include <string>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "export/exporter.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/tags.h"
#include "store/session.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

std::function<void(std::uint32_t)> walkProgress;
std::uint32_t visited = 0;

// The one row QueryRows gives, or nothing at the end of the table. A read that fails is not
// the end of the table: taking it for one would skip messages and report success.
bool NextRow(mapi::IMAPITable* table, mapi::Rows* rows, std::u16string_view tag) {
    if (table->QueryRows(1, 0, rows->Out()) != 0) FatalError(u"QueryRows failed.", tag);
    return rows->size() > 0;
}

bool IsTag(const mapi::SRow& row, mapi::ULONG column, mapi::ULONG tag) {
    return row.cValues > column && row.lpProps[column].ulPropTag == tag;
}

std::u16string_view Text(const mapi::SRow& row, mapi::ULONG column, mapi::ULONG tag) {
    return IsTag(row, column, tag) && row.lpProps[column].Value.lpszW ? row.lpProps[column].Value.lpszW
                                                                       : std::u16string_view();
}

// Opens the folder an identifier names through `container`; anything else is fatal.
template <class Container>
mapi::Ptr<mapi::IMAPIFolder> OpenFolderEntry(Container* container, const mapi::SBinary& id,
                                             std::u16string_view tag) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    if (container->OpenEntry(id.cb, reinterpret_cast<const mapi::ENTRYID*>(id.lpb), nullptr, 0, &type,
                             object.Out()) != 0 ||
        !object || type != mapi::MAPI_FOLDER) {
        FatalError(u"OpenEntry failed.", tag);
    }
    return std::move(object).As<mapi::IMAPIFolder>();
}

}  // namespace

void SetWalkProgress(std::function<void(std::uint32_t)> progress) { walkProgress = std::move(progress); }

int MakeRules(std::u16string_view command) {
    constexpr std::u16string_view kTag = u"MakeRules";
    int total = 0;
    visited = 0;
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    {
        mapi::Ptr<mapi::IMAPITable> stores;
        if (session->GetMsgStoresTable(0, stores.Out()) != 0) FatalError(u"GetMsgStoresTable failed.", kTag);
        const mapi::ULONG columnTags[] = {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W};
        const mapi::SPropTagArray columns{2, columnTags};
        if (stores->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
        for (mapi::Rows row; NextRow(stores.get(), &row, kTag);) {
            const mapi::SRow& r = row->aRow[0];
            const mapi::SBinary storeId = IsTag(r, 0, mapi::PR_ENTRYID) ? r.lpProps[0].Value.bin : mapi::SBinary{};
            mapi::Ptr<mapi::IMsgStore> store;
            if (session->OpenMsgStore(0, storeId.cb, reinterpret_cast<const mapi::ENTRYID*>(storeId.lpb), nullptr, 0,
                                      store.Out()) != 0 ||
                !store) {
                FatalError(u"OpenMsgStore failed.", kTag);
            }
            const std::u16string rootPath(Text(r, 1, mapi::PR_DISPLAY_NAME_W));
            const mapi::ULONG subtreeTag[] = {mapi::PR_IPM_SUBTREE_ENTRYID};
            const mapi::SPropTagArray subtreeTags{1, subtreeTag};
            mapi::ULONG count = 0;
            mapi::Buffer<mapi::SPropValue> subtree;
            if (store->GetProps(&subtreeTags, 0, &count, subtree.Out()) != 0) FatalError(u"GetProps failed.", kTag);
            // A store without its IPM subtree folder cannot be walked: the identifier to open is missing.
            if (count < 1 || subtree[0].ulPropTag != mapi::PR_IPM_SUBTREE_ENTRYID) FatalError(u"OpenEntry failed.", kTag);
            mapi::Ptr<mapi::IMAPIFolder> root = OpenFolderEntry(store.get(), subtree[0].Value.bin, kTag);
            total += MakeRulesRec(session.get(), command, root.get(), rootPath);
        }
    }
    SessionLogoff(std::move(session));
    return total;
}

int MakeRulesRec(mapi::IMAPISession* session, std::u16string_view command, mapi::IMAPIFolder* folder,
                 std::u16string_view path) {
    constexpr std::u16string_view kTag = u"MakeRulesRec";
    int total = 0;
    mapi::Ptr<mapi::IMAPITable> hierarchy;
    if (folder->GetHierarchyTable(0, hierarchy.Out()) != 0) FatalError(u"GetHierarchyTable failed.", kTag);
    const mapi::ULONG columnTags[] = {mapi::PR_ENTRYID, mapi::PR_SUBFOLDERS, mapi::PR_DISPLAY_NAME_W};
    const mapi::SPropTagArray columns{3, columnTags};
    if (hierarchy->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
    for (mapi::Rows row; NextRow(hierarchy.get(), &row, kTag);) {
        const mapi::SRow& r = row->aRow[0];
        const mapi::SBinary folderId = IsTag(r, 0, mapi::PR_ENTRYID) ? r.lpProps[0].Value.bin : mapi::SBinary{};
        mapi::Ptr<mapi::IMAPIFolder> subfolder = OpenFolderEntry(folder, folderId, kTag);
        std::u16string subPath(path);
        subPath += u'/';
        subPath += Text(r, 2, mapi::PR_DISPLAY_NAME_W);

        mapi::Ptr<mapi::IMAPITable> contents;
        if (subfolder->GetContentsTable(0, contents.Out()) != 0) FatalError(u"GetContentsTable failed.", kTag);
        for (mapi::Rows message; NextRow(contents.get(), &message, kTag);) {
            // The table's own first column is the message's entry identifier.
            const mapi::SRow& m = message->aRow[0];
            const bool hasId = m.cValues > 0 && mapi::PROP_TYPE(m.lpProps[0].ulPropTag) == mapi::PT_BINARY;
            const mapi::SBinary id = hasId ? m.lpProps[0].Value.bin : mapi::SBinary{};
            qMsg record(session, id.cb, id.lpb);
            record.SetFolder(subPath);
            record.GetMAPI();
            total += RunCommand(record, command);
            ++visited;
            if (walkProgress) walkProgress(visited);
        }
        contents.reset();
        if (IsTag(r, 1, mapi::PR_SUBFOLDERS) && r.lpProps[1].Value.b) {
            total += MakeRulesRec(session, command, subfolder.get(), subPath);
        }
    }
    return total;
}

int RunCommand(qMsg& message, std::u16string_view command) {
    int result = 0;
    if (command == u"BackupAll") result += static_cast<int>(BackupMessage(message));
    // As BackupMessage counts 0 without a writer, a walk without an open exporter counts 0.
    if (command == u"ExportAll" && exporter != nullptr) result += exporter->ExportOne(message);
    return result;
}

}  // namespace tallymere
