// Looking into the archive without changing it: its folders and messages, a selection of them
// by folder path or identifier, and the summaries `archive list` prints.
//
// ArchiveView opens the three archive files for reading only (nothing is created, nothing is
// saved back, so it may run beside a program that holds the device). It loads the index and
// the folder list whole (28 bytes and one line each) and reads records one at a time, on
// demand: memory stays that of one message however large the archive is. A record that cannot
// be read (cut short, damaged, naming no folder line) is counted in `unreadable` by whoever
// asks for it and passed over.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/entry_id.h"
#include "archive/qmsg.h"
#include "platform/file.h"
#include "platform/time.h"

namespace tallymere {

class ArchiveView {
public:
    // Opens the archive under the output directory; an archive that is missing holds nothing.
    ArchiveView();
    ArchiveView(const ArchiveView&) = delete;
    ArchiveView& operator=(const ArchiveView&) = delete;

    std::uint32_t Count() const { return static_cast<std::uint32_t>(ids.size()); }
    bool Present(std::uint32_t i) const { return flags[i] == 1; }
    // The folder number of entry i's record, read from the record's head only; nothing when the
    // record is unreadable there or names no line of Folders.dat.
    std::optional<std::uint32_t> FolderOf(std::uint32_t i);
    // Reads entry i's record into `msg` (its folder path set from Folders.dat). False when the
    // record is unreadable or names no folder line (`msg` is then cleared).
    bool Load(std::uint32_t i, qMsg& msg);
    // The entry whose identifier is `hex` (40 hexadecimal digits, letter case ignored).
    std::optional<std::uint32_t> Find(std::string_view hex) const;

    std::vector<xEntryID::Id> ids;
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> flags;
    std::vector<std::u16string> folders;  // Folders.dat's lines

private:
    std::unique_ptr<platform::File> data_;
    std::uint64_t dataSize_ = 0;
};

// Whether `folder` is `path` or lies below it ("SMS" holds "SMS/Inbox/Work").
bool FolderIsWithin(std::u16string_view folder, std::u16string_view path);

// The entries a list of PATHs chooses: each PATH is a folder path of the archive (the folder
// with everything below it) or a message's identifier in hexadecimal. `unknown` receives the
// PATHs that name nothing the archive holds; entries whose record heads cannot be read are
// chosen only by identifier.
struct ArchiveChoice {
    std::vector<bool> chosen;  // by entry
    std::vector<std::string> unknown;
};
ArchiveChoice ChooseArchived(ArchiveView& view, const std::vector<std::string>& paths);

// One archived message as `archive list` shows it.
struct ArchivedSummary {
    std::uint32_t entry = 0;
    std::string id;  // 40 hexadecimal digits
    bool present = false;
    platform::FILETIME time;
    std::u16string folder;
    std::u16string from;             // the sender's address, else its name
    std::vector<std::u16string> to;  // the recipients' addresses (else names)
    std::u16string subject;          // the subject, else the first line of the text
};
ArchivedSummary Summarize(const qMsg& msg, std::uint32_t entry, const xEntryID::Id& id, bool present);

// Whether the message's text, subject or addresses contain `needle`, compared case-folded
// (Unicode full case folding, so any script). `needle` must be folded with FoldCase already.
bool MessageContains(const qMsg& msg, std::u16string_view foldedNeedle);
std::u16string FoldCase(std::u16string_view text);

// A delivery time as ISO 8601 in UTC ("2024-01-02T03:04:05Z"); "" for a message without one.
std::string IsoTime(const platform::FILETIME& time);

}  // namespace tallymere
