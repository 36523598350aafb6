#include "store/tree_select.h"

#include <fmt/format.h>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "export/exporter.h"
#include "platform/mapi/tags.h"
#include "platform/text.h"
#include "store/session.h"
#include "support/fatal.h"
#include "support/pass_control.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

constexpr std::u16string_view kGetStores = u"xTreeSelect::GetStores";
constexpr std::u16string_view kGetFolders = u"xTreeSelect::GetFolders";
constexpr std::u16string_view kGetMessages = u"xTreeSelect::GetMessages";

// The one row QueryRows gives, or nothing at the end of the table. A read that fails is not
// the end of the table: the tree would lack messages and a pass would skip them.
bool NextRow(mapi::IMAPITable* table, mapi::Rows* rows, std::u16string_view caption) {
    if (table->QueryRows(1, 0, rows->Out()) != 0) FatalError(u"QueryRows failed.", caption);
    return rows->size() > 0;
}

bool HasTag(const mapi::SRow& row, mapi::ULONG column, mapi::ULONG tag) {
    return row.cValues > column && row.lpProps[column].ulPropTag == tag;
}

std::u16string_view Text(const mapi::SRow& row, mapi::ULONG column, mapi::ULONG tag) {
    return HasTag(row, column, tag) && row.lpProps[column].Value.lpszW ? row.lpProps[column].Value.lpszW
                                                                       : std::u16string_view();
}

mapi::SBinary Binary(const mapi::SRow& row, mapi::ULONG column, mapi::ULONG tag) {
    return HasTag(row, column, tag) ? row.lpProps[column].Value.bin : mapi::SBinary{};
}

void SetColumns(mapi::IMAPITable* table, std::initializer_list<mapi::ULONG> tags, std::u16string_view caption) {
    std::vector<mapi::ULONG> list(tags);
    const mapi::SPropTagArray columns{static_cast<mapi::ULONG>(list.size()), list.data()};
    if (table->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", caption);
}

// Opens the object an identifier names through `container` and checks that it has `type`.
template <class Result, class Container>
mapi::Ptr<Result> OpenAs(Container* container, const mapi::SBinary& id, mapi::ULONG type, std::u16string_view caption) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG got = 0;
    if (container->OpenEntry(id.cb, reinterpret_cast<const mapi::ENTRYID*>(id.lpb), nullptr, 0, &got, object.Out()) !=
            0 ||
        !object || got != type) {
        FatalError(u"OpenEntry failed.", caption);
    }
    return std::move(object).As<Result>();
}

std::u16string Label(std::u16string_view name, int count) {
    return std::u16string(name) + platform::FromUtf8(fmt::format(" ({})", count));
}

}  // namespace

std::string HexEntryId(const std::vector<std::uint8_t>& entryId) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * entryId.size());
    for (std::uint8_t b : entryId) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0xF]);
    }
    return hex;
}

xTreeSelect::xTreeSelect(TreeView* tree, SelectionMode selectionMode) : treeWindow(tree), mode(selectionMode) {}

xTreeSelect::~xTreeSelect() { messageCount = 0; }

void xTreeSelect::GetStores() {
    if (mapi::MAPILogonEx(0, nullptr, nullptr, 0, session.Out()) != 0 || !session) {
        FatalError(u"MAPILogonEx failed.", kGetStores);
    }
    {
        mapi::Ptr<mapi::IMAPITable> stores;
        if (session->GetMsgStoresTable(0, stores.Out()) != 0 || !stores) {
            FatalError(u"GetMsgStoresTable failed.", kGetStores);
        }
        SetColumns(stores.get(), {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W}, kGetStores);
        for (mapi::Rows row; NextRow(stores.get(), &row, kGetStores);) {
            const mapi::SRow& r = row->aRow[0];
            const std::u16string name(Text(r, 1, mapi::PR_DISPLAY_NAME_W));
            const mapi::SBinary storeId = Binary(r, 0, mapi::PR_ENTRYID);
            mapi::Ptr<mapi::IMsgStore> store;
            if (session->OpenMsgStore(0, storeId.cb, reinterpret_cast<const mapi::ENTRYID*>(storeId.lpb), nullptr, 0,
                                      store.Out()) != 0 ||
                !store) {
                FatalError(u"OpenMsgStore failed.", kGetStores);
            }
            const mapi::ULONG subtreeTag[] = {mapi::PR_IPM_SUBTREE_ENTRYID};
            const mapi::SPropTagArray subtreeTags{1, subtreeTag};
            mapi::ULONG count = 0;
            mapi::Buffer<mapi::SPropValue> subtree;
            if (store->GetProps(&subtreeTags, 0, &count, subtree.Out()) != 0)
                FatalError(u"GetProps failed.", kGetStores);
            if (count < 1 || subtree[0].ulPropTag != mapi::PR_IPM_SUBTREE_ENTRYID) {
                FatalError(u"OpenEntry failed.", kGetStores);
            }
            mapi::Ptr<mapi::IMAPIFolder> root =
                OpenAs<mapi::IMAPIFolder>(store.get(), subtree[0].Value.bin, mapi::MAPI_FOLDER, kGetStores);

            const HTREEITEM item = InsertTreeItem(*treeWindow, name, 0, {}, false);
            folderItems.push_back(item);
            folderItemPaths.push_back(name);
            const int n = GetFolders(root.get(), name, item);
            SetItemText(*treeWindow, item, Label(name, n));
        }
    }
    if (session->Logoff(0, 0, 0) != 0) FatalError(u"Logoff failed.", kGetStores);
    session.reset();
}

int xTreeSelect::GetFolders(mapi::IMAPIFolder* folder, std::u16string_view path, HTREEITEM parent) {
    int total = 0;
    mapi::Ptr<mapi::IMAPITable> hierarchy;
    if (folder->GetHierarchyTable(0, hierarchy.Out()) != 0 || !hierarchy) {
        FatalError(u"GetHierarchyTable failed.", kGetFolders);
    }
    SetColumns(hierarchy.get(), {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W, mapi::PR_SUBFOLDERS}, kGetFolders);
    for (mapi::Rows row; NextRow(hierarchy.get(), &row, kGetFolders);) {
        const mapi::SRow& r = row->aRow[0];
        const std::u16string_view name = Text(r, 1, mapi::PR_DISPLAY_NAME_W);
        mapi::Ptr<mapi::IMAPIFolder> subfolder =
            OpenAs<mapi::IMAPIFolder>(folder, Binary(r, 0, mapi::PR_ENTRYID), mapi::MAPI_FOLDER, kGetFolders);
        const HTREEITEM item = InsertTreeItem(*treeWindow, name, 0, parent, false);
        std::u16string childPath(path);
        childPath += u'/';
        childPath += name;
        folderItems.push_back(item);
        folderItemPaths.push_back(childPath);
        const int n = GetFolders(subfolder.get(), childPath, item) + GetMessages(subfolder.get(), childPath, item);
        SetItemText(*treeWindow, item, Label(name, n));
        total += n;
    }
    return total;
}

int xTreeSelect::GetMessages(mapi::IMAPIFolder* folder, std::u16string_view path, HTREEITEM parent) {
    int listed = 0;
    mapi::Ptr<mapi::IMAPITable> contents;
    if (folder->GetContentsTable(0, contents.Out()) != 0 || !contents) {
        FatalError(u"GetContentTable failed.", kGetMessages);
    }
    SetColumns(contents.get(),
               {mapi::PR_ENTRYID, mapi::PR_SENDER_NAME_W, mapi::PR_SENDER_EMAIL_ADDRESS_W, mapi::PR_SUBJECT_W},
               kGetMessages);
    for (mapi::Rows row; NextRow(contents.get(), &row, kGetMessages);) {
        const mapi::SRow& r = row->aRow[0];
        const mapi::SBinary id = Binary(r, 0, mapi::PR_ENTRYID);
        const std::u16string_view senderName = Text(r, 1, mapi::PR_SENDER_NAME_W);
        const std::u16string_view senderEmail = Text(r, 2, mapi::PR_SENDER_EMAIL_ADDRESS_W);
        // The recipients are read only when no sender would replace them.
        std::u16string who;
        if (!senderName.empty()) {
            who = senderName;
        } else if (!senderEmail.empty()) {
            who = senderEmail;
        } else {
            who = GetRecipient(id.cb, id.lpb);
        }
        const std::uint32_t i = messageCount;
        messageEntryIdSizes.push_back(id.cb);
        messageEntryIds.emplace_back(id.lpb, id.lpb + id.cb);
        messageFolders.emplace_back(path);
        std::u16string text = who;
        if (HasTag(r, 3, mapi::PR_SUBJECT_W)) text += u" [" + std::u16string(Text(r, 3, mapi::PR_SUBJECT_W)) + u"]";
        messageItems.push_back(InsertTreeItem(*treeWindow, text, static_cast<std::intptr_t>(i), parent, true));
        ++messageCount;
        ++listed;
    }
    return listed;
}

std::u16string xTreeSelect::GetRecipient(std::uint32_t entryIdSize, const std::uint8_t* entryId) {
    const mapi::SBinary id{entryIdSize, const_cast<std::uint8_t*>(entryId)};
    mapi::Ptr<mapi::IMessage> message =
        OpenAs<mapi::IMessage>(session.get(), id, mapi::MAPI_MESSAGE, u"xTreeSelect::GetRecipient");
    std::u16string who;
    mapi::Ptr<mapi::IMAPITable> recipients;
    if (message->GetRecipientTable(0, recipients.Out()) != 0 || !recipients) {
        FatalError(u"GetRecipientTable failed.", u"xTreeSelect::GetRecipient");
    }
    for (mapi::Rows row; NextRow(recipients.get(), &row, u"xTreeSelect::GetRecipient");) {
        const mapi::SRow& r = row->aRow[0];
        for (mapi::ULONG k = 0; k < r.cValues; ++k) {
            const mapi::SPropValue& value = r.lpProps[k];
            if (value.ulPropTag == mapi::PR_EMAIL_ADDRESS_W && value.Value.lpszW) {
                who += value.Value.lpszW;
                who += u' ';
            }
        }
    }
    return who;
}

int xTreeSelect::ProcessSelection() {
    int total = 0;
    mapi::Ptr<mapi::IMAPISession> processing = SessionLogon();
    std::uint32_t ticked = 0;
    for (std::uint32_t i = 0; i < messageCount; ++i) ticked += GetItemState(*treeWindow, messageItems[i]) == kSelected;
    BeginPass(ticked);
    for (std::uint32_t i = 0; i < messageCount && !StopRequested(); ++i) {
        if (GetItemState(*treeWindow, messageItems[i]) != kSelected) continue;
        PassStep();
        const std::vector<std::uint8_t>& id = messageEntryIds[i];
        {
            // Deleted on the phone while the dialog was open: nothing to back up or export. Only
            // the store's own "not found" says so; a store that cannot answer ends the pass.
            mapi::Ptr<mapi::IUnknown> object;
            mapi::ULONG type = 0;
            const mapi::HRESULT opened =
                processing->OpenEntry(messageEntryIdSizes[i], reinterpret_cast<const mapi::ENTRYID*>(id.data()),
                                      nullptr, 0, &type, object.Out());
            if (opened == mapi::MAPI_E_NOT_FOUND) continue;
            if (opened != 0 || !object) FatalError(u"OpenEntry failed.", u"xTreeSelect::ProcessSelection");
            if (type != mapi::MAPI_MESSAGE) continue;
        }
        qMsg record(processing.get(), messageEntryIdSizes[i], id.data());
        record.GetMAPI();
        record.SetFolder(messageFolders[i]);
        if (mode == SelectionMode::Backup) total += static_cast<int>(BackupMessage(record));
        if (mode == SelectionMode::Export && exporter != nullptr) total += exporter->ExportOne(record);
    }
    SessionLogoff(std::move(processing));
    return total;
}

std::optional<std::uint32_t> xTreeSelect::MessageIndexOf(HTREEITEM item) const {
    if (!item) return std::nullopt;
    const auto value = treeWindow->GetItemValue(item);
    if (value < 0 || static_cast<std::uint64_t>(value) >= messageCount) return std::nullopt;
    const auto i = static_cast<std::uint32_t>(value);
    if (messageItems[i] != item) return std::nullopt;
    return i;
}

std::vector<HTREEITEM> xTreeSelect::FindItems(std::u16string_view pathOrId) const {
    std::vector<HTREEITEM> found;
    for (std::size_t k = 0; k < folderItems.size(); ++k) {
        if (folderItemPaths[k] == pathOrId) found.push_back(folderItems[k]);
    }
    if (!found.empty() || pathOrId.empty() || pathOrId.size() % 2 != 0) return found;
    // The identifier's bytes, compared with every message's.
    std::vector<std::uint8_t> id;
    for (std::size_t k = 0; k < pathOrId.size(); k += 2) {
        int byte = 0;
        for (char16_t c : pathOrId.substr(k, 2)) {
            const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                              : c >= u'a' && c <= u'f' ? c - u'a' + 10
                              : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                       : -1;
            if (digit < 0) return found;
            byte = byte * 16 + digit;
        }
        id.push_back(static_cast<std::uint8_t>(byte));
    }
    for (std::uint32_t i = 0; i < messageCount; ++i) {
        if (messageEntryIds[i] == id) found.push_back(messageItems[i]);
    }
    return found;
}

}  // namespace tallymere
