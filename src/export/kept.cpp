// The exporter the resident program keeps between batches of arrivals (exporter.h).
#include <algorithm>
#include <cstdint>
#include <memory>

#include "export/exporter.h"
#include "platform/filesys.h"
#include "platform/no_destructor.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// The kept exporter while no pass uses it. Its holder is never destroyed, as the process-wide
// exporter's is not: the process's exit after a fatal failure must not save the export list.
platform::NoDestructor<std::unique_ptr<xExport>> keptHolder;
std::unique_ptr<xExport>& kept = *keptHolder;

// Whether a directory search for "*.txt" finds the name (letter case aside).
bool IsTextName(std::u16string_view name) {
    constexpr std::u16string_view kText = u".txt";
    if (name.size() < kText.size()) return false;
    const std::u16string_view tail = name.substr(name.size() - kText.size());
    return std::equal(tail.begin(), tail.end(), kText.begin(),
                      [](char16_t a, char16_t b) { return (a >= u'A' && a <= u'Z' ? a - u'A' + u'a' : a) == b; });
}

}  // namespace

void xExport::WillWrite(std::uint32_t d, const std::u16string& name) {
    if (!keptInStep || d >= dirCount || !dirWatch[d]) return;
    const std::u16string path = JoinPath(outputDir, kExportDir, dirPaths[d]) + u"\\" + name;
    dirWatch[d]->Expect(path);
    // The stock counts the new text file as a listing after the write would.
    if (IsTextName(name) && !platform::PathExists(path)) {
        DirectoryStock& stock = dirStock[d];
        ++stock.textFiles;
        bool has = false;
        const std::uint32_t number = LeadingNumber(name, &has);
        if (has) stock.numbers.insert(number);
    }
}

bool xExport::ListUnchanged() const {
    platform::FindData now;
    const bool exists = platform::GetFileAttributesExW(exportIds.path, &now);
    return exists == listExists_ && (!exists || (now.size == listSize_ && now.creationTime == listTime_));
}

void xExport::Settle() {
    for (std::uint32_t d = 0; d < dirCount; ++d) {
        DirectoryStock& stock = dirStock[d];
        for (const auto& [name, number] : stock.unfinished) {
            const std::u16string part = name + std::u16string(kUnfinished);
            WillWrite(d, part);
            platform::DeleteFileW(JoinPath(outputDir, kExportDir, dirPaths[d]) + u"\\" + part);
        }
        stock.unfinished.clear();
        // The notifications of this pass's own writes are read now, and only now: every later
        // one is somebody else's.
        if (dirWatch[d]) dirWatch[d]->ForgetExpected();
    }
    platform::FindData list;
    listExists_ = platform::GetFileAttributesExW(exportIds.path, &list);
    listSize_ = list.size;
    listTime_ = list.creationTime;
}

bool xExport::Refresh() {
    if (!ListUnchanged() || outputDir != GetRegistryStr(kOutputDirValue)) return false;
    for (std::uint32_t d = dirCount; d-- > 0;) {
        if (dirWatch[d] && !dirWatch[d]->Changed()) continue;
        dirPaths.erase(dirPaths.begin() + d);
        dirCounters.erase(dirCounters.begin() + d);
        dirStock.erase(dirStock.begin() + d);
        dirStockTaken.erase(dirStockTaken.begin() + d);
        dirWatch.erase(dirWatch.begin() + d);
        dirHandles.erase(dirHandles.begin() + d);
        --dirCount;
    }
    lastPosition_.reset();  // positions have moved
    // As a fresh exporter numbers a directory it meets.
    for (std::uint32_t d = 0; d < dirCount; ++d) dirCounters[d] = dirStock[d].textFiles + 1;
    return true;
}

void OpenKeptExporter() {
    CloseExporter();
    std::unique_ptr<xExport> taken = std::move(kept);
    if (taken && !taken->Refresh()) {
        taken->abandonList = !taken->ListUnchanged();
        taken.reset();
    }
    if (!taken) {
        taken = std::make_unique<xExport>();
        taken->keptInStep = true;
    }
    exporter = std::move(taken);
}

void KeepExporter() {
    if (!exporter) return;
    exporter->Settle();
    DropKeptExporter();
    kept = std::move(exporter);
}

void DropKeptExporter() {
    std::unique_ptr<xExport> dropping = std::move(kept);
    if (dropping && !dropping->ListUnchanged()) dropping->abandonList = true;
}

}  // namespace tallymere
