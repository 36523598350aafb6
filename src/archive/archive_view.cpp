#include "archive/archive_view.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "archive/data_file.h"
#include "archive/folder.h"
#include "archive/record.h"
#include "archive/record_parser.h"
#include "platform/text.h"
#include "support/endian.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

std::u16string ArchiveFile(std::u16string_view name) {
    return JoinPath(GetRegistryStr(kOutputDirValue), kArchiveDir, u"") + u"\\" + std::u16string(name);
}

std::string Hex(const xEntryID::Id& id) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * id.size());
    for (std::uint8_t b : id) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

std::optional<xEntryID::Id> ParseHex(std::string_view hex) {
    if (hex.size() != 2 * xEntryID::ENTRYID_SIZE) return std::nullopt;
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    xEntryID::Id id{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        const int high = digit(hex[2 * i]);
        const int low = digit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        id[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return id;
}

bool Contains(std::u16string_view text, std::u16string_view foldedNeedle) {
    if (foldedNeedle.empty()) return true;
    if (text.empty()) return false;
    return FoldCase(text).find(foldedNeedle) != std::u16string::npos;
}

}  // namespace

ArchiveView::ArchiveView() {
    // Opened for reading only: the writer's lists would create the files and save them back.
    if (auto index = platform::File::Open(ArchiveFile(u"Messages.ndx"), u"rb")) {
        std::uint8_t entry[xEntryID::kEntryBytes];
        while (index->Read(entry, sizeof entry) == sizeof entry) {
            xEntryID::Id id;
            std::copy(entry, entry + id.size(), id.begin());
            ids.push_back(id);
            offsets.push_back(GetU32(entry + xEntryID::kOffsetAt));
            flags.push_back(GetU32(entry + xEntryID::kFlagAt));
        }
    }
    if (auto list = platform::File::Open(ArchiveFile(u"Folders.dat"), u"r")) {
        folders = ReadFolderLines(*list).lines;
    }
    data_ = platform::File::Open(ArchiveFile(kDataFile), u"rb");
    if (data_) {
        const std::int64_t size = data_->Size();
        dataSize_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }
}

std::optional<std::uint32_t> ArchiveView::FolderOf(std::uint32_t i) {
    const std::uint64_t offset = offsets[i];
    std::uint8_t head[kFolderIndexOffset + 4];
    if (!data_ || offset + kMinRecordSize > dataSize_) return std::nullopt;
    if (!data_->Seek(static_cast<std::int64_t>(offset), SEEK_SET)) return std::nullopt;
    if (data_->Read(head, sizeof head) != sizeof head || GetU32(head) != kRecordIdSize) return std::nullopt;
    const std::uint32_t folder = GetU32(head + kFolderIndexOffset);
    if (folder >= folders.size()) return std::nullopt;
    return folder;
}

bool ArchiveView::Load(std::uint32_t i, qMsg& msg) {
    if (!data_) {
        msg.Clear();
        return false;
    }
    const ParsedRecord read = ReadRecordAt(*data_, dataSize_, offsets[i], msg);
    if (!read.Readable() || read.folderIndex >= folders.size()) {
        msg.Clear();
        return false;
    }
    msg.SetFolder(folders[read.folderIndex]);
    return true;
}

std::optional<std::uint32_t> ArchiveView::Find(std::string_view hex) const {
    const std::optional<xEntryID::Id> id = ParseHex(hex);
    if (!id) return std::nullopt;
    for (std::uint32_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == *id) return i;
    }
    return std::nullopt;
}

bool FolderIsWithin(std::u16string_view folder, std::u16string_view path) {
    if (folder.size() < path.size() || folder.substr(0, path.size()) != path) return false;
    return folder.size() == path.size() || folder[path.size()] == u'/';
}

ArchiveChoice ChooseArchived(ArchiveView& view, const std::vector<std::string>& paths) {
    ArchiveChoice choice;
    choice.chosen.assign(view.Count(), false);
    // Folder numbers are read once, and only when a PATH names folders.
    std::vector<std::optional<std::uint32_t>> folderOf;
    for (const std::string& path : paths) {
        bool named = false;
        if (const auto entry = view.Find(path)) {
            choice.chosen[*entry] = true;
            named = true;
        } else {
            std::u16string wanted = FolderLine(platform::FromUtf8(path));
            while (!wanted.empty() && wanted.back() == u'/') wanted.pop_back();
            std::vector<bool> within(view.folders.size(), false);
            for (std::size_t f = 0; f < view.folders.size(); ++f) {
                within[f] = !wanted.empty() && FolderIsWithin(view.folders[f], wanted);
                named = named || within[f];
            }
            if (named) {
                if (folderOf.empty()) {
                    folderOf.resize(view.Count());
                    for (std::uint32_t i = 0; i < view.Count(); ++i) folderOf[i] = view.FolderOf(i);
                }
                for (std::uint32_t i = 0; i < view.Count(); ++i) {
                    if (folderOf[i] && within[*folderOf[i]]) choice.chosen[i] = true;
                }
            }
        }
        if (!named) choice.unknown.push_back(path);
    }
    return choice;
}

ArchivedSummary Summarize(const qMsg& msg, std::uint32_t entry, const xEntryID::Id& id, bool present) {
    ArchivedSummary s;
    s.entry = entry;
    s.id = Hex(id);
    s.present = present;
    s.time = msg.deliveryTime;
    s.folder = msg.folderPath;
    s.from = !msg.senderEmail.empty() ? msg.senderEmail : msg.senderName;
    for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) {
        s.to.push_back(!msg.emailAddress[r].empty() ? msg.emailAddress[r] : msg.displayName[r]);
    }
    s.subject = msg.subjectPrefix + msg.subject;
    if (s.subject.empty()) {
        const std::u16string body = msg.BodyText();
        const std::size_t end = body.find_first_of(std::u16string_view(u"\r\n\0", 3));
        s.subject = body.substr(0, end);
    }
    return s;
}

std::u16string FoldCase(std::u16string_view text) {
    if (text.empty()) return {};
    // Folding may lengthen the text (ß becomes ss): asked once for the size when it does not fit.
    std::u16string folded(text.size() + 16, u'\0');
    UErrorCode error = U_ZERO_ERROR;
    std::int32_t length = u_strFoldCase(folded.data(), static_cast<std::int32_t>(folded.size()), text.data(),
                                        static_cast<std::int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &error);
    if (error == U_BUFFER_OVERFLOW_ERROR) {
        folded.assign(static_cast<std::size_t>(length), u'\0');
        error = U_ZERO_ERROR;
        length = u_strFoldCase(folded.data(), length, text.data(), static_cast<std::int32_t>(text.size()),
                               U_FOLD_CASE_DEFAULT, &error);
    }
    if (U_FAILURE(error)) return std::u16string(text);
    folded.resize(static_cast<std::size_t>(length));
    return folded;
}

bool MessageContains(const qMsg& msg, std::u16string_view foldedNeedle) {
    if (Contains(msg.subjectPrefix + msg.subject, foldedNeedle) || Contains(msg.BodyText(), foldedNeedle) ||
        Contains(msg.senderName, foldedNeedle) || Contains(msg.senderEmail, foldedNeedle)) {
        return true;
    }
    for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) {
        if (Contains(msg.emailAddress[r], foldedNeedle) || Contains(msg.displayName[r], foldedNeedle)) return true;
    }
    return false;
}

std::string IsoTime(const platform::FILETIME& time) {
    platform::SYSTEMTIME t{};
    if (platform::ToTicks(time) == 0 || !platform::FileTimeToSystemTime(time, &t)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", static_cast<unsigned>(t.wYear),
                  static_cast<unsigned>(t.wMonth), static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour),
                  static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond));
    return text;
}

}  // namespace tallymere
