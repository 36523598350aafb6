#include "archive/walk.h"

#include <string>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "export/exporter.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/tags.h"
#include "store/session.h"
#include "support/fatal.h"
#include "support/pass_control.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

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

// The command applied from a contents-table row to a message it knows already: a message in
// the archive gets its folder and flags refreshed, one in the export list its directories. True
// when that was all there was to do; false when the message must be read whole and handed to
// RunCommand (new to the command, or no flags in the row to refresh its record from).
bool RunKnown(qMsg& record, const mapi::SRow& row, Rule rule) {
    if (rule == Rule::ExportAll) return exporter != nullptr && exporter->Exported(record);
    if (rule != Rule::BackupAll) return false;
    for (mapi::ULONG k = 0; k < row.cValues; ++k) {
        if (row.lpProps[k].ulPropTag != mapi::PR_MESSAGE_FLAGS) continue;
        record.SetMessageFlags(row.lpProps[k].Value.ul);
        return RefreshArchived(record);
    }
    return false;
}

// Opens the folder an identifier names through `container`; anything else is fatal.
template <class Container>
mapi::Ptr<mapi::IMAPIFolder> OpenFolderEntry(Container* container, const mapi::SBinary& id, std::u16string_view tag) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    if (container->OpenEntry(id.cb, reinterpret_cast<const mapi::ENTRYID*>(id.lpb), nullptr, 0, &type, object.Out()) !=
            0 ||
        !object || type != mapi::MAPI_FOLDER) {
        FatalError(u"OpenEntry failed.", tag);
    }
    return std::move(object).As<mapi::IMAPIFolder>();
}

// The number of messages the walk will visit below `folder`: the message counts of its
// subfolders, read from the hierarchy tables, so that no contents table is opened. Failures
// are the walk's own.
std::uint32_t CountBelow(mapi::IMAPIFolder* folder) {
    constexpr std::u16string_view kTag = u"MakeRulesRec";
    std::uint32_t total = 0;
    mapi::Ptr<mapi::IMAPITable> hierarchy;
    if (folder->GetHierarchyTable(0, hierarchy.Out()) != 0) FatalError(u"GetHierarchyTable failed.", kTag);
    const mapi::ULONG columnTags[] = {mapi::PR_ENTRYID, mapi::PR_SUBFOLDERS, mapi::PR_CONTENT_COUNT};
    const mapi::SPropTagArray columns{3, columnTags};
    if (hierarchy->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
    for (mapi::Rows row; NextRow(hierarchy.get(), &row, kTag);) {
        const mapi::SRow& r = row->aRow[0];
        if (IsTag(r, 2, mapi::PR_CONTENT_COUNT)) total += r.lpProps[2].Value.ul;
        if (IsTag(r, 1, mapi::PR_SUBFOLDERS) && r.lpProps[1].Value.b && IsTag(r, 0, mapi::PR_ENTRYID)) {
            mapi::Ptr<mapi::IMAPIFolder> subfolder = OpenFolderEntry(folder, r.lpProps[0].Value.bin, kTag);
            total += CountBelow(subfolder.get());
        }
    }
    return total;
}

// The root folder of the store a stores-table row names, with the store's display name.
mapi::Ptr<mapi::IMAPIFolder> OpenStoreRoot(mapi::IMAPISession* session, const mapi::SRow& r,
                                           mapi::Ptr<mapi::IMsgStore>* store) {
    constexpr std::u16string_view kTag = u"MakeRules";
    const mapi::SBinary storeId = IsTag(r, 0, mapi::PR_ENTRYID) ? r.lpProps[0].Value.bin : mapi::SBinary{};
    if (session->OpenMsgStore(0, storeId.cb, reinterpret_cast<const mapi::ENTRYID*>(storeId.lpb), nullptr, 0,
                              store->Out()) != 0 ||
        !*store) {
        FatalError(u"OpenMsgStore failed.", kTag);
    }
    const mapi::ULONG subtreeTag[] = {mapi::PR_IPM_SUBTREE_ENTRYID};
    const mapi::SPropTagArray subtreeTags{1, subtreeTag};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> subtree;
    if ((*store)->GetProps(&subtreeTags, 0, &count, subtree.Out()) != 0) FatalError(u"GetProps failed.", kTag);
    // A store without its IPM subtree folder cannot be walked: the identifier to open is missing.
    if (count < 1 || subtree[0].ulPropTag != mapi::PR_IPM_SUBTREE_ENTRYID) FatalError(u"OpenEntry failed.", kTag);
    return OpenFolderEntry(store->get(), subtree[0].Value.bin, kTag);
}

// Every store's row of the session's stores table, in order, to `visit` (which returns false
// to stop early).
template <class Visit>
void ForEachStore(mapi::IMAPISession* session, Visit visit) {
    constexpr std::u16string_view kTag = u"MakeRules";
    mapi::Ptr<mapi::IMAPITable> stores;
    if (session->GetMsgStoresTable(0, stores.Out()) != 0) FatalError(u"GetMsgStoresTable failed.", kTag);
    const mapi::ULONG columnTags[] = {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W};
    const mapi::SPropTagArray columns{2, columnTags};
    if (stores->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
    for (mapi::Rows row; NextRow(stores.get(), &row, kTag);) {
        if (!visit(row->aRow[0])) break;
    }
}

}  // namespace

int MakeRules(Rule rule) {
    int total = 0;
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    // Someone shows the progress: the messages to visit are counted first.
    std::uint32_t messages = 0;
    if (PassProgressShown()) {
        ForEachStore(session.get(), [&](const mapi::SRow& r) {
            mapi::Ptr<mapi::IMsgStore> store;
            mapi::Ptr<mapi::IMAPIFolder> root = OpenStoreRoot(session.get(), r, &store);
            messages += CountBelow(root.get());
            return true;
        });
    }
    BeginPass(messages);
    ForEachStore(session.get(), [&](const mapi::SRow& r) {
        mapi::Ptr<mapi::IMsgStore> store;
        mapi::Ptr<mapi::IMAPIFolder> root = OpenStoreRoot(session.get(), r, &store);
        const std::u16string rootPath(Text(r, 1, mapi::PR_DISPLAY_NAME_W));
        total += MakeRulesRec(session.get(), rule, root.get(), rootPath);
        return !StopRequested();
    });
    SessionLogoff(std::move(session));
    return total;
}

int MakeRulesRec(mapi::IMAPISession* session, Rule rule, mapi::IMAPIFolder* folder, std::u16string_view path) {
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
        // The rows carry what a message known to the command is dealt with from: its entry
        // identifier and, for a backup, its flags.
        const mapi::ULONG messageTags[] = {mapi::PR_ENTRYID, mapi::PR_MESSAGE_FLAGS};
        const mapi::SPropTagArray messageColumns{rule == Rule::BackupAll ? 2u : 1u, messageTags};
        if (contents->SetColumns(&messageColumns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
        for (mapi::Rows message; NextRow(contents.get(), &message, kTag);) {
            // The first column is the message's entry identifier.
            const mapi::SRow& m = message->aRow[0];
            const bool hasId = m.cValues > 0 && mapi::PROP_TYPE(m.lpProps[0].ulPropTag) == mapi::PT_BINARY;
            const mapi::SBinary id = hasId ? m.lpProps[0].Value.bin : mapi::SBinary{};
            qMsg record(session, id.cb, id.lpb);
            record.SetFolder(subPath);
            // A message the command knows already is dealt with from its row; only the others
            // are read whole.
            if (!RunKnown(record, m, rule)) {
                record.GetMAPI();
                total += RunCommand(record, rule);
            }
            PassStep();
            // A stop ends the walk between two messages; the caller closes the pass as usual.
            if (StopRequested()) return total;
        }
        contents.reset();
        if (IsTag(r, 1, mapi::PR_SUBFOLDERS) && r.lpProps[1].Value.b) {
            total += MakeRulesRec(session, rule, subfolder.get(), subPath);
            if (StopRequested()) return total;
        }
    }
    return total;
}

int RunCommand(qMsg& message, Rule rule) {
    int result = 0;
    if (rule == Rule::BackupAll) result += static_cast<int>(BackupMessage(message));
    // As BackupMessage counts 0 without a writer, a walk without an open exporter counts 0.
    if (rule == Rule::ExportAll && exporter != nullptr) result += exporter->ExportOne(message);
    return result;
}

}  // namespace tallymere
