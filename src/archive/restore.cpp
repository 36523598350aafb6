#include "archive/restore.h"

#include "archive/record.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kDataFile = u"Messages.dat";

}  // namespace

xRestore::xRestore() : entryIds(kArchiveDir, u"Messages.ndx") {
    folderIndex = 0;
    const std::u16string outputDir = GetRegistryStr(kOutputDirValue);
    auto created = MyCreateFile(outputDir, kArchiveDir, u"", kDataFile, u"ab+");
    if (!created) FatalError(u"MyCreateFile failed.", u"xRestore::xRestore");
    created.reset();
    dataFile = MyCreateFile(outputDir, kArchiveDir, u"", kDataFile, u"rb+");
    if (!dataFile) FatalError(u"MyCreateFile failed.", u"xRestore::xRestore");
    const std::int64_t size = dataFile->Size();
    if (size < 0) FatalError(u"fseek failed.", u"xRestore::xRestore");
    dataSize_ = static_cast<std::uint64_t>(size);
}

xRestore::~xRestore() {
    if (dataFile && !dataFile->Close()) FatalError(u"fwrite failed.", u"xRestore::~xRestore");
    dataFile.reset();
}

bool xRestore::Load(qMsg& msg, std::uint32_t offset) {
    noFolderLine = false;
    lastRead = ReadRecordAt(*dataFile, dataSize_, offset, msg);
    if (lastRead.fault == RecordFault::kSeekFailed) FatalError(u"fseek failed.", u"xRestore::Load");
    if (!lastRead.Readable()) return false;
    folderIndex = lastRead.folderIndex;
    if (folderIndex >= folders.count) {
        noFolderLine = true;
        msg.Clear();
        return false;
    }
    return true;
}

void xRestore::Update(const qMsg& msg, std::uint32_t offset) {
    if (msg.entryId.size() != kRecordIdSize || msg.entryIdSize != kRecordIdSize) {
        FatalError(u"ENTRYID length mismatch.", u"xRestore::Update");
    }
    std::vector<std::uint8_t> fields;
    PutU32(fields, kRecordIdSize);
    fields.insert(fields.end(), msg.entryId.begin(), msg.entryId.end());
    if (!dataFile->Seek(offset, SEEK_SET)) FatalError(u"fseek failed.", u"xRestore::Update");
    if (dataFile->Write(fields.data(), fields.size()) != fields.size() || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xRestore::Update");
    }
}

}  // namespace tallymere
