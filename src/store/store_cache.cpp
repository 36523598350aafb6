#include "store/store_cache.h"

#include "store/session.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

std::unique_ptr<xStore> storeCache;

xStore& StoreCache() {
    if (!storeCache) storeCache = std::make_unique<xStore>();
    return *storeCache;
}

namespace {

constexpr std::u16string_view kOpenStore = u"xStore::OpenStore";
constexpr std::u16string_view kOpenFolder = u"xStore::OpenFolder";

mapi::Ptr<mapi::IMsgStore> OpenStoreById(mapi::IMAPISession* session, std::uint32_t size, const std::uint8_t* id) {
    mapi::Ptr<mapi::IMsgStore> store;
    if (session->OpenMsgStore(0, size, id, nullptr, 0, store.Out()) != 0 || !store) {
        FatalError(u"OpenMsgStore failed.", kOpenStore);
    }
    return store;
}

// The store of that display name in the stores table, or nothing.
mapi::Ptr<mapi::IMsgStore> FindStore(mapi::IMAPISession* session, std::u16string_view name) {
    mapi::Ptr<mapi::IMAPITable> table;
    if (session->GetMsgStoresTable(0, table.Out()) != 0 || !table) FatalError(u"GetMsgStoresTable failed.", kOpenStore);
    mapi::ULONG tags[] = {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W};
    mapi::SPropTagArray columns{2, tags};
    if (table->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kOpenStore);
    for (;;) {
        mapi::Rows rows;
        // A failed read is not the end of the table: the store would be created a second time.
        if (table->QueryRows(1, 0, rows.Out()) != 0) FatalError(u"QueryRows failed.", kOpenStore);
        if (rows.size() == 0) break;
        const mapi::SRow& row = rows->aRow[0];
        if (row.cValues < 2 || row.lpProps[1].ulPropTag != mapi::PR_DISPLAY_NAME_W ||
            row.lpProps[1].Value.lpszW == nullptr || name != row.lpProps[1].Value.lpszW) {
            continue;
        }
        const mapi::SBinary& id = row.lpProps[0].Value.bin;
        if (row.lpProps[0].ulPropTag != mapi::PR_ENTRYID) FatalError(u"OpenMsgStore failed.", kOpenStore);
        return OpenStoreById(session, id.cb, id.lpb);
    }
    return {};
}

// The entry identifier in a returned value, when the value carries the tag asked for.
bool TakeEntryId(const mapi::SPropValue& value, mapi::ULONG tag, std::vector<std::uint8_t>* id) {
    if (value.ulPropTag != tag) return false;
    id->assign(value.Value.bin.lpb, value.Value.bin.lpb + value.Value.bin.cb);
    return true;
}

}  // namespace

xStore::~xStore() {
    for (std::uint32_t i = 0; i < folderCount; ++i) {
        folderPaths[i].clear();
        folderEntryIds[i].clear();
        folderEntryIdSizes[i] = 0;
    }
    for (std::uint32_t i = 0; i < storeCount; ++i) {
        storeNames[i].clear();
        storeEntryIds[i].clear();
        storeEntryIdSizes[i] = 0;
    }
    folderCount = 0;
    storeCount = 0;
}

mapi::Ptr<mapi::IMsgStore> xStore::OpenStore(mapi::IMAPISession* session, std::u16string_view name) {
    for (std::uint32_t i = 0; i < storeCount; ++i) {
        if (storeNames[i] == name) return OpenStoreById(session, storeEntryIdSizes[i], storeEntryIds[i].data());
    }
    mapi::Ptr<mapi::IMsgStore> store = FindStore(session, name);
    if (!store) {
        const std::u16string copy(name);
        if (session->CreateMsgStore(copy.c_str(), store.Out()) != 0 || !store) {
            FatalError(u"CreateMsgStore failed.", kOpenStore);
        }
    }
    mapi::ULONG tags[] = {mapi::PR_ENTRYID, mapi::PR_DISPLAY_NAME_W};
    mapi::SPropTagArray array{2, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (store->GetProps(&array, 0, &count, values.Out()) != 0) FatalError(u"GetProps failed.", kOpenStore);
    std::vector<std::uint8_t> id;
    if (storeCount < MAX_STORE && count >= 1 && TakeEntryId(values[0], mapi::PR_ENTRYID, &id)) {
        storeNames[storeCount] = name;
        storeEntryIdSizes[storeCount] = static_cast<std::uint32_t>(id.size());
        storeEntryIds[storeCount] = std::move(id);
        ++storeCount;
    }
    return store;
}

mapi::Ptr<mapi::IMAPIFolder> xStore::OpenFolder(mapi::IMAPISession* session, std::u16string_view path) {
    for (std::uint32_t i = 0; i < folderCount; ++i) {
        if (folderPaths[i] != path) continue;
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        // A folder deleted since is no error: the path is resolved again below. A store that
        // cannot answer is. Deferred: the caller creates messages in it, and reading its
        // properties would be wasted.
        const mapi::HRESULT opened = session->OpenEntry(folderEntryIdSizes[i], folderEntryIds[i].data(), nullptr,
                                                        mapi::MAPI_DEFERRED_ERRORS, &type, object.Out());
        if (opened == 0 && object && type == mapi::MAPI_FOLDER) return std::move(object).As<mapi::IMAPIFolder>();
        if (opened != 0 && opened != mapi::MAPI_E_NOT_FOUND) FatalError(u"OpenEntry failed.", kOpenFolder);
    }

    std::vector<std::u16string> elements;
    const std::uint32_t n = SplitPath(path, elements);
    mapi::Ptr<mapi::IMAPIFolder> folder;
    {
        mapi::Ptr<mapi::IMsgStore> store = OpenStore(session, elements[0]);
        mapi::ULONG tags[] = {mapi::PR_IPM_SUBTREE_ENTRYID};
        mapi::SPropTagArray array{1, tags};
        mapi::ULONG count = 0;
        mapi::Buffer<mapi::SPropValue> values;
        if (store->GetProps(&array, 0, &count, values.Out()) != 0) FatalError(u"GetProps failed.", kOpenFolder);
        // A store without an IPM subtree has no folder to open.
        std::vector<std::uint8_t> subtree;
        if (count < 1 || !TakeEntryId(values[0], mapi::PR_IPM_SUBTREE_ENTRYID, &subtree)) {
            FatalError(u"OpenEntry failed.", kOpenFolder);
        }
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        if (store->OpenEntry(static_cast<mapi::ULONG>(subtree.size()), subtree.data(), nullptr, 0, &type,
                             object.Out()) != 0 ||
            !object || type != mapi::MAPI_FOLDER) {
            FatalError(u"OpenEntry failed.", kOpenFolder);
        }
        folder = std::move(object).As<mapi::IMAPIFolder>();
    }
    for (std::uint32_t i = 1; i < n; ++i) {
        mapi::Ptr<mapi::IMAPIFolder> next;
        if (folder->CreateFolder(0, elements[i].c_str(), nullptr, nullptr, mapi::MAPI_UNICODE | mapi::OPEN_IF_EXISTS,
                                 next.Out()) != 0 ||
            !next) {
            FatalError(u"CreateFolder failed.", kOpenFolder);
        }
        folder = std::move(next);
    }

    mapi::ULONG tags[] = {mapi::PR_ENTRYID};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (folder->GetProps(&array, 0, &count, values.Out()) != 0) FatalError(u"GetProps failed.", kOpenFolder);
    std::vector<std::uint8_t> id;
    if (folderCount < MAX_FOLDER && count >= 1 && TakeEntryId(values[0], mapi::PR_ENTRYID, &id)) {
        folderPaths[folderCount] = path;
        folderEntryIdSizes[folderCount] = static_cast<std::uint32_t>(id.size());
        folderEntryIds[folderCount] = std::move(id);
        ++folderCount;
    }
    return folder;
}

std::uint32_t SplitPath(std::u16string_view path, std::vector<std::u16string>& elements) {
    elements.clear();
    std::u16string element;
    for (char16_t c : path) {
        if (c == u'/') {
            elements.push_back(std::move(element));
            element.clear();
        } else {
            element.push_back(c);
        }
    }
    elements.push_back(std::move(element));
    return static_cast<std::uint32_t>(elements.size());
}

void CreateFolderPath(std::u16string_view path) {
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    StoreCache().OpenFolder(session.get(), path).reset();
    SessionLogoff(std::move(session));
}

}  // namespace tallymere
