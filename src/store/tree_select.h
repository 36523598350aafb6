// xTreeSelect: the selection tree's contents. It fills a tree control with every message
// store, its folders and their messages, remembers which item stands for which message, and
// backs up or exports the messages whose items are ticked.
//
//   store    "Name (count)"   sorted among its siblings   closed folder picture
//   folder   "Name (count)"   sorted among its siblings   closed folder picture
//   message  "who [subject]"  after its last sibling      message picture, item value = its slot
// The count is the number of messages listed below the store or folder, subfolders included;
// a folder's subfolders come before its own messages. "who" is the sender's name, else the
// sender's address, else every recipient's address followed by a blank; " [subject]" follows
// when the message has a subject property, even an empty one. The messages lying directly in
// a store's top folder are not listed (as the all-messages walk does not visit them).
//
// Stores and folders are opened by their entry identifiers while the tree fills, never by
// their paths: a folder whose name holds "/" must not make the filling create folders, and two
// stores of the same name each show their own folders.
//
// The message tables grow with the store: every message is listed, however many there are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/ptr.h"
#include "support/tree_items.h"

namespace tallymere {

// What a selection pass does with the ticked messages, by the design's mode names.
enum class SelectionMode {
    Backup,  // archives them through the open writer (BeginBackup)
    Export,  // exports them as text through the open exporter (OpenExporter)
};

class xTreeSelect {
public:
    // `mode`: what ProcessSelection does with the ticked messages.
    xTreeSelect(TreeView* treeWindow, SelectionMode mode);
    ~xTreeSelect();
    xTreeSelect(const xTreeSelect&) = delete;
    xTreeSelect& operator=(const xTreeSelect&) = delete;

    // Fills the whole tree under a logon of its own. Failures are fatal, captioned
    // "xTreeSelect::GetStores".
    void GetStores();
    // Lists the folders below `folder` (whose path is `path`) under `parent`, each with its
    // subfolders and messages; returns the number of messages listed. Failures are fatal,
    // captioned "xTreeSelect::GetFolders".
    int GetFolders(platform::mapi::IMAPIFolder* folder, std::u16string_view path, HTREEITEM parent);
    // Lists the messages of `folder` under `parent`; returns their number. Failures are fatal,
    // captioned "xTreeSelect::GetMessages".
    int GetMessages(platform::mapi::IMAPIFolder* folder, std::u16string_view path, HTREEITEM parent);
    // Every recipient's address followed by a blank ("" without a recipient table).
    // "OpenEntry failed." (caption "xTreeSelect::GetRecipient") when the message does not open.
    std::u16string GetRecipient(std::uint32_t entryIdSize, const std::uint8_t* entryId);

    // Backs up (SelectionMode::Backup, through BackupMessage) or exports (Export, through the
    // open exporter) every message whose item is ticked, in listing order, under a logon of its
    // own; returns the number newly archived or exported. A ticked message that is no longer in
    // the store (deleted since the tree was filled) is passed over. It is a pass
    // (support/pass_control.h): every ticked message is a step, and a requested stop ends it
    // after the message at hand.
    int ProcessSelection();

    // The slot of a message item; nothing for any other item.
    std::optional<std::uint32_t> MessageIndexOf(HTREEITEM item) const;
    // The store and folder items whose folder path is `pathOrId`, else the message item whose
    // entry identifier is `pathOrId` in hexadecimal (letter case ignored).
    std::vector<HTREEITEM> FindItems(std::u16string_view pathOrId) const;

    TreeView* treeWindow;
    SelectionMode mode;
    platform::mapi::Ptr<platform::mapi::IMAPISession> session;  // held while the tree fills
    std::uint32_t messageCount = 0;
    std::vector<HTREEITEM> messageItems;
    std::vector<std::uint32_t> messageEntryIdSizes;
    std::vector<std::vector<std::uint8_t>> messageEntryIds;
    std::vector<std::u16string> messageFolders;
    // Every store and folder item with its folder path.
    std::vector<HTREEITEM> folderItems;
    std::vector<std::u16string> folderItemPaths;
};

// The entry identifier in lower-case hexadecimal.
std::string HexEntryId(const std::vector<std::uint8_t>& entryId);

}  // namespace tallymere
