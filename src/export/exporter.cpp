#include "export/exporter.h"

#include <memory>

#include "archive/qmsg.h"
#include "export/file_name.h"
#include "export/text_layout.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

xExport* exporter = nullptr;

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
    return dirCount++;
}

std::uint32_t xExport::EnterDirectories(const std::u16string& folderPath) {
    std::u16string relPath;
    std::uint32_t position = 0;
    bool firstComponent = true;
    for (const std::u16string& component : SplitFolderPath(folderPath)) {
        if (!firstComponent) relPath += u'\\';
        firstComponent = false;
        // A folder's name is whatever the store holds: it must not lead out of the tree.
        relPath += SafeName(component);
        if (auto found = FindDir(relPath)) {
            position = *found;
        } else {
            MyCreateDir(outputDir, kExportDir, relPath);
            position = AddDir(relPath, CountTextFiles(outputDir, kExportDir, relPath) + 1);
        }
    }
    return position;
}

int xExport::ExportOne(const qMsg& message) {
    const std::uint32_t d = EnterDirectories(message.folderPath);
    // The list reads `entryIdSize` bytes of the identifier: a record whose bytes do not match
    // its stated size is as unusable as one of the wrong size, and must never be read past.
    if (message.entryId.size() != message.entryIdSize) {
        FatalError(u"ENTRYID length mismatch.", u"xEntryID::CheckID");
    }
    if (exportIds.CheckID(message.entryIdSize, message.entryId.data())) return 0;
    exportIds.AddID(message.entryIdSize, message.entryId.data(), 0);

    const std::u16string relPath = dirPaths[d];
    const std::uint32_t number = dirCounters[d];
    const std::u16string textName = MakeFileName(message, number);
    messageFiles.Clear();
    messageFiles.Take(textName);
    auto text = MyCreateFile(outputDir, kExportDir, relPath, textName, u"a");
    if (!text) FatalError(u"MyCreateFile failed.", u"xExport::ExportOne");
    // A text file cut short (a full medium) must not be counted as exported: the list is then
    // not saved and the next pass exports the message again.
    if (!WriteMessageText(*text, message)) FatalError(u"fwrite failed.", u"xExport::ExportOne");

    GetAttachments(message, relPath, number);
    ExportMMS(message, relPath, number);

    if (!text->Close()) FatalError(u"fwrite failed.", u"xExport::ExportOne");
    ++dirCounters[d];
    return 1;
}

void OpenExporter() {
    CloseExporter();
    // Owned through this pointer from here to CloseExporter. It is deliberately not a static
    // owner: the process's exit after a fatal failure must not save the export list.
    exporter = std::make_unique<xExport>().release();
}

void CloseExporter() {
    std::unique_ptr<xExport> closing(exporter);
    exporter = nullptr;
}

}  // namespace tallymere
