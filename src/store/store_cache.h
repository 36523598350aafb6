// Folder paths and the store cache.
//
// A folder path names a folder by the display name of its message store, then the display
// names of the folders from the store's IPM subtree folder down to it, joined by "/"
// ("SMS/Inbox/Private"); a path of a store name alone names the IPM subtree folder itself.
// Names are matched exactly, letter case included.
//
// `storeCache` remembers the entry identifier of every store and folder path it has resolved
// during the program's run (identifiers only, never open objects), so that opening a path a
// second time costs one OpenEntry.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/ptr.h"

namespace tallymere {

class qMsg;

class xStore {
public:
    static constexpr std::uint32_t MAX_FOLDER = 1000;
    static constexpr std::uint32_t MAX_STORE = 100;

    xStore() = default;
    ~xStore();
    xStore(const xStore&) = delete;
    xStore& operator=(const xStore&) = delete;

    // The store of that display name, created when there is none. The first store of the name
    // in the stores table wins. Failures are fatal, captioned "xStore::OpenStore".
    platform::mapi::Ptr<platform::mapi::IMsgStore> OpenStore(platform::mapi::IMAPISession* session,
                                                             std::u16string_view name);

    // The folder a path names, creating the store and every missing folder along the path.
    // Failures are fatal, captioned "xStore::OpenFolder" (or "xStore::OpenStore").
    platform::mapi::Ptr<platform::mapi::IMAPIFolder> OpenFolder(platform::mapi::IMAPISession* session,
                                                                std::u16string_view path);

    // Entries in arrival order, keyed by the path or name as asked for; never shrunk. Beyond
    // the capacities a store or folder is still returned, just not remembered.
    std::uint32_t folderCount = 0;
    std::array<std::u16string, MAX_FOLDER> folderPaths;
    std::array<std::uint32_t, MAX_FOLDER> folderEntryIdSizes{};
    std::array<std::vector<std::uint8_t>, MAX_FOLDER> folderEntryIds;
    std::uint32_t storeCount = 0;
    std::array<std::u16string, MAX_STORE> storeNames;
    std::array<std::uint32_t, MAX_STORE> storeEntryIdSizes{};
    std::array<std::vector<std::uint8_t>, MAX_STORE> storeEntryIds;
};

// The program's one store cache, created at start-up and destroyed at shutdown (made on first
// use when start-up has not made it).
extern std::unique_ptr<xStore> storeCache;
xStore& StoreCache();

// Splits a path at every "/" into `elements` and returns their number: the number of "/" plus
// one, so "" gives one empty element and "A//B" gives "A", "" and "B".
std::uint32_t SplitPath(std::u16string_view path, std::vector<std::u16string>& elements);

// Makes sure the folder path exists (logs on and off on its own).
void CreateFolderPath(std::u16string_view path);

// Rebuilds the folder path of the folder `entryId` names (a message's PR_PARENT_ENTRYID) by
// walking up through the parent folders on the record's session, leaving out folders named
// "IPM.Root", and stores it with the record's SetFolder. The walk ends at the folder above
// "IPM.Root", at a folder without parent, or at a folder already seen.
// Failures: "OpenEntry failed." / "GetProps failed.", captioned "GetMyFolder".
void GetMyFolder(qMsg& msg, std::uint32_t entryIdSize, const std::uint8_t* entryId);

}  // namespace tallymere
