#include "export/mms.h"

#include <algorithm>

#include "archive/qmsg.h"
#include "export/exporter.h"
#include "export/file_name.h"
#include "platform/device.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"
#include "support/timefmt.h"

namespace tallymere {

namespace {

bool HasTime(const platform::FILETIME& time) { return time.dwLowDateTime != 0 && time.dwHighDateTime != 0; }

bool SameSecond(platform::FILETIME a, platform::FILETIME b) {
    TruncateToSecond(a);
    TruncateToSecond(b);
    return a == b;
}

}  // namespace

void MmsListing::Refresh() {
    const std::u16string folder(platform::device::kMmsFolder);
    platform::FindData dir;
    const bool exists = platform::GetFileAttributesExW(folder, &dir);
    const bool looksUnchanged = exists == exists_ && (!exists || dir.creationTime == changed_);
    // Watched since the listing was taken and nothing changed: the listing is what a search
    // now would find, however soon after a change it was taken.
    if (listed_ && watch_ && !watch_->Changed() && looksUnchanged) return;
    if (listed_ && !watch_ && reusable_ && looksUnchanged) return;
    bySize_.clear();
    // Watched from before the search, so that a change during it counts.
    watch_ = exists ? platform::DirectoryWatch::Start(folder) : nullptr;
    listed_ = true;
    exists_ = exists;
    changed_ = dir.creationTime;
    // Reusable only when the change it saw is safely in the past (see the class comment).
    constexpr std::uint64_t kTwoSeconds = 2 * 10'000'000ull;
    const std::uint64_t now = platform::ToTicks(platform::GetSystemTimeAsFileTime());
    reusable_ = exists && platform::ToTicks(changed_) + kTwoSeconds < now;
    if (!exists) return;
    auto entries = platform::FindFiles(folder + u"\\*");
    if (!entries) return;
    for (platform::FindData& entry : *entries) {
        const auto entrySize = static_cast<std::uint32_t>(entry.size);
        bySize_[entrySize].push_back({std::move(entry.name), entry.creationTime, entrySize});
    }
}

std::uint32_t MmsListing::Files(std::vector<MmsFile>& list, std::uint32_t size) {
    Refresh();
    auto found = bySize_.find(size);
    if (found == bySize_.end()) return 0;
    for (const MmsFile& file : found->second) {
        list.push_back(file);
        if (list.size() > MAX_FILE_SAME_SIZE) FatalError(u"MAX_FILE_SAME_SIZE exeed.", u"GetMMSFiles");
    }
    return static_cast<std::uint32_t>(list.size());
}

std::uint32_t GetMMSFiles(std::vector<MmsFile>& list, std::uint32_t size) {
    auto entries = platform::FindFiles(std::u16string(platform::device::kMmsFolder) + u"\\*");
    if (!entries) return 0;
    for (const platform::FindData& entry : *entries) {
        const auto entrySize = static_cast<std::uint32_t>(entry.size);
        if (entrySize != size) continue;
        list.push_back({entry.name, entry.creationTime, entrySize});
        if (list.size() > MAX_FILE_SAME_SIZE) FatalError(u"MAX_FILE_SAME_SIZE exeed.", u"GetMMSFiles");
    }
    return static_cast<std::uint32_t>(list.size());
}

void xExport::ExportMMS(const qMsg& message, std::u16string_view relPath, std::uint32_t number) {
    if (message.messageClass != u"IPM.MMS") return;
    const platform::FILETIME time = HasTime(message.deliveryTime) ? message.deliveryTime : message.lastModificationTime;
    std::vector<MmsFile> candidates;
    const std::uint32_t n = mmsListing.Files(candidates, message.messageSize);
    if (n == 1) {
        DecodeMMS(candidates[0].name, relPath, number, message.messageSize);
        return;
    }
    // Several of the same size: the client stamps its file with the message's time, so the
    // first created in the same second is the message's. None such: nothing is copied.
    auto match = std::find_if(candidates.begin(), candidates.end(),
                              [&](const MmsFile& c) { return SameSecond(time, c.creationTime); });
    if (match != candidates.end()) DecodeMMS(match->name, relPath, number, message.messageSize);
}

void xExport::DecodeMMS(std::u16string_view sourceName, std::u16string_view relPath, std::uint32_t number,
                        std::uint32_t byteCount) {
    const std::u16string sourcePath = std::u16string(platform::device::kMmsFolder) + u"\\" + std::u16string(sourceName);
    // The client may hold its file a moment: it is opened as patiently as the files written.
    // One it still does not let us read is left out, like one not found.
    auto source = OpenRetrying(sourcePath, u"rb");
    if (!source) return;
    const std::u16string targetName = messageFiles.Distinct(number, SafeName(sourceName));
    WillWrite(currentDir_, targetName);
    auto target = CreateInDirectory(relPath, targetName);
    if (!target) FatalError(u"MyCreateFile failed.", u"xExport::DecodeMMS");
    // The file is copied unchanged; it is never interpreted. One that shrank since it was found
    // is copied as far as it goes.
    if (!target->CopyFrom(*source, byteCount)) FatalError(u"fwrite failed.", u"xExport::DecodeMMS");
    source->Close();
    if (!target->Close()) FatalError(u"fwrite failed.", u"xExport::DecodeMMS");
}

}  // namespace tallymere
