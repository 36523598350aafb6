#include "export/exporter.h"

#include <memory>
#include <set>

#include "archive/qmsg.h"
#include "export/file_name.h"
#include "export/text_layout.h"
#include "platform/filesys.h"
#include "platform/no_destructor.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// The holder of the process-wide exporter is never destroyed: the process's exit after a fatal
// failure must not save the export list of an unfinished pass.
platform::NoDestructor<std::unique_ptr<xExport>> exporterHolder;

}  // namespace

std::unique_ptr<xExport>& exporter = *exporterHolder;

xExport::xExport() : exportIds(kExportDir, u"Messages.ndx"), outputDir(GetRegistryStr(kOutputDirValue)) {
    dirPaths.reserve(kDirSlots);
    dirCounters.reserve(kDirSlots);
}

std::vector<std::u16string> SplitFolderPath(std::u16string_view folderPath) {
    std::vector<std::u16string> components;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = folderPath.find(u'/', start);
        components.emplace_back(folderPath.substr(start, slash - start));
        if (slash == std::u16string_view::npos) return components;
        start = slash + 1;
    }
}

std::optional<std::uint32_t> xExport::FindDir(std::u16string_view relPath) const {
    for (std::uint32_t i = 0; i < dirCount; ++i) {
        if (dirPaths[i] == relPath) return i;
    }
    return std::nullopt;
}

std::uint32_t xExport::AddDir(std::u16string_view relPath, std::uint32_t counter) {
    dirPaths.emplace_back(relPath);
    dirCounters.push_back(counter);
    dirStock.emplace_back();
    dirWatch.emplace_back();
    dirHandles.emplace_back();
    dirStockTaken.push_back(true);
    return dirCount++;
}

void xExport::TakeStock(std::uint32_t d) {
    if (dirStockTaken[d]) return;
    dirStock[d] = TakeStockOfDirectory(JoinPath(outputDir, kExportDir, dirPaths[d]));
    dirCounters[d] = dirStock[d].textFiles + 1;
    dirStockTaken[d] = true;
}

platform::Directory* xExport::Handle(std::uint32_t d) {
    if (keptInStep) return nullptr;
    if (!dirHandles[d]) dirHandles[d] = platform::Directory::Open(JoinPath(outputDir, kExportDir, dirPaths[d]));
    return dirHandles[d].get();
}

std::unique_ptr<platform::File> xExport::CreateInDirectory(std::u16string_view relPath, const std::u16string& name,
                                                           std::u16string_view mode) {
    // Opened by name in the directory held open: no walk of the whole path.
    platform::Directory* handle = Handle(currentDir_);
    return handle ? OpenRetrying(*handle, name, mode) : MyCreateFile(outputDir, kExportDir, relPath, name, mode);
}

std::uint32_t xExport::EnterDirectories(const std::u16string& folderPath) {
    if (lastPosition_ && folderPath == lastFolderPath_) return *lastPosition_;
    std::u16string relPath;
    std::uint32_t position = 0;
    bool firstComponent = true;
    for (const std::u16string& component : SplitFolderPath(folderPath)) {
        if (!firstComponent) relPath += u'\\';
        // A folder's name is whatever the store holds: it must not lead out of the tree.
        const std::u16string name = SafeName(component);
        relPath += name;
        if (auto found = FindDir(relPath)) {
            position = *found;
        } else {
            if (!firstComponent) WillWrite(position, name);
            MyCreateDir(outputDir, kExportDir, relPath);
            const std::u16string dir = JoinPath(outputDir, kExportDir, relPath);
            if (keptInStep) {
                // Watched from before the listing, so that a change during it counts.
                auto watch = platform::DirectoryWatch::Start(dir);
                DirectoryStock stock = TakeStockOfDirectory(dir);
                position = AddDir(relPath, stock.textFiles + 1);
                dirStock[position] = std::move(stock);
                dirWatch[position] = std::move(watch);
            } else {
                // Its stock is taken when a message is first exported into it.
                position = AddDir(relPath, 1);
                dirStockTaken[position] = false;
            }
        }
        firstComponent = false;
    }
    lastFolderPath_ = folderPath;
    lastPosition_ = position;
    return position;
}

bool xExport::Exported(const qMsg& message, std::uint32_t* dir) {
    *dir = EnterDirectories(message.folderPath);
    // The list reads `entryIdSize` bytes of the identifier: a record whose bytes do not match
    // its stated size is as unusable as one of the wrong size, and must never be read past.
    if (message.entryId.size() != message.entryIdSize) {
        FatalError(u"ENTRYID length mismatch.", u"xEntryID::CheckID");
    }
    return exportIds.CheckID(message.entryIdSize, message.entryId.data());
}

bool xExport::Exported(const qMsg& message) {
    std::uint32_t dir = 0;
    return Exported(message, &dir);
}

int xExport::ExportOne(const qMsg& message) {
    std::uint32_t d = 0;
    if (Exported(message, &d)) return 0;
    TakeStock(d);

    const std::u16string relPath = dirPaths[d];
    DirectoryStock& stock = dirStock[d];
    // A number a text file of the directory carries already is passed over: the next file
    // would be appended to that file, or share the numbered names of its attachments.
    std::uint32_t number = dirCounters[d];
    while (stock.numbers.count(number) != 0) ++number;
    bool counted = true;
    for (auto it = stock.unfinished.begin(); it != stock.unfinished.end(); ++it) {
        if (MakeFileName(message, it->second) != it->first) continue;
        number = it->second;  // this message's export was interrupted: its number again
        counted = false;
        stock.unfinished.erase(it);
        break;
    }
    const std::u16string textName = MakeFileName(message, number);
    messageFiles.Clear();
    messageFiles.Take(textName);
    // The text is written under a name no text file has and takes its own name when it is
    // complete, so that a text file is never seen empty or cut short.
    const std::u16string partName = textName + std::u16string(kUnfinished);
    currentDir_ = d;
    WillWrite(d, partName);
    auto text = CreateInDirectory(relPath, partName, u"w");
    if (!text) FatalError(u"MyCreateFile failed.", u"xExport::ExportOne");
    if (!WriteMessageText(*text, message)) FatalError(u"fwrite failed.", u"xExport::ExportOne");

    GetAttachments(message, relPath, number);
    ExportMMS(message, relPath, number);

    if (!text->Close()) FatalError(u"fwrite failed.", u"xExport::ExportOne");
    WillWrite(d, textName);
    const auto inDir = [&](const std::u16string& name) {
        return JoinPath(outputDir, kExportDir, relPath) + u"\\" + name;
    };
    // Renamed by name in the directory held open when there is one.
    platform::Directory* handle = Handle(d);
    const bool renamed =
        handle ? handle->MoveFile(partName, textName) : platform::MoveFileW(inDir(partName), inDir(textName));
    if (!renamed) FatalError(u"MoveFileW failed.", u"xExport::ExportOne");
    stock.numbers.insert(number);
    if (counted) dirCounters[d] = number + 1;
    // Listed on disk as soon as its files are complete: an export that ends any time later
    // does not export it again.
    exportIds.AddID(message.entryIdSize, message.entryId.data(), 0);
    exportIds.SaveEntry(exportIds.count - 1);
    return 1;
}

namespace {

// The number a file name begins with.
std::uint32_t NumberOf(std::u16string_view name, bool* has) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < name.size() && digits < 10 && name[digits] >= u'0' && name[digits] <= u'9'; ++digits) {
        value = value * 10 + (name[digits] - u'0');
    }
    *has = digits > 0 && value <= UINT32_MAX;
    return static_cast<std::uint32_t>(value);
}

}  // namespace

std::uint32_t LeadingNumber(std::u16string_view name, bool* has) { return NumberOf(name, has); }

std::map<std::u16string, std::uint32_t> UnfinishedTextFiles(const std::u16string& dir) {
    std::map<std::u16string, std::uint32_t> unfinished;
    bool has = false;
    if (auto found = platform::FindFiles(dir + u"\\*.txt" + std::u16string(kUnfinished))) {
        for (const platform::FindData& entry : *found) {
            const std::u16string name = entry.name.substr(0, entry.name.size() - kUnfinished.size());
            const std::uint32_t number = NumberOf(name, &has);
            if (has) unfinished.emplace(name, number);
        }
    }
    return unfinished;
}

DirectoryStock TakeStockOfDirectory(const std::u16string& dir) {
    DirectoryStock stock;
    bool has = false;
    stock.unfinished = UnfinishedTextFiles(dir);
    for (const auto& [name, number] : stock.unfinished) stock.numbers.insert(number);
    if (auto found = platform::FindFiles(dir + u"\\*.txt")) {
        stock.textFiles = static_cast<std::uint32_t>(found->size());
        for (const platform::FindData& entry : *found) {
            const std::uint32_t number = NumberOf(entry.name, &has);
            if (has) stock.numbers.insert(number);
        }
    }
    return stock;
}

xExport::~xExport() {
    if (abandonList) exportIds.Abandon();
    // The messages of unfinished text files that this exporter did not meet again (gone from
    // the store): nothing will complete those files.
    for (std::uint32_t d = 0; d < dirCount; ++d) {
        // A directory nothing was exported into has none of its unfinished files completed.
        if (!dirStockTaken[d])
            dirStock[d].unfinished = UnfinishedTextFiles(JoinPath(outputDir, kExportDir, dirPaths[d]));
        for (const auto& [name, number] : dirStock[d].unfinished) {
            platform::DeleteFileW(JoinPath(outputDir, kExportDir, dirPaths[d]) + u"\\" + name +
                                  std::u16string(kUnfinished));
        }
    }
}

void OpenExporter() {
    CloseExporter();
    DropKeptExporter();
    exporter = std::make_unique<xExport>();
}

void CloseExporter() {
    // Empty before the exporter saves its list: nothing reaches a closing exporter.
    std::unique_ptr<xExport> closing = std::move(exporter);
}

}  // namespace tallymere
