#include "archive/backup.h"

#include <cstring>
#include <limits>

#include "archive/data_file.h"
#include "archive/record.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/pass_control.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// Record offsets are 32-bit in the index: a record cannot start beyond this.
constexpr std::uint64_t MAX_DATA_OFFSET = std::numeric_limits<std::uint32_t>::max();

// The process-wide writer. Its holder is never destroyed: a program that ends through
// FatalError in mid-pass must not save the lists of the unfinished pass on its way out, so the
// lists on disk stay as they were before the pass.
union WriterHolder {
    WriterHolder() : writer() {}
    ~WriterHolder() {}
    std::unique_ptr<xBackup> writer;
};
WriterHolder holder;
std::unique_ptr<xBackup>& writer = holder.writer;

}  // namespace

xBackup::xBackup(std::uint32_t mode) : entryIds(kArchiveDir, u"Messages.ndx") {
    if (mode == 1) {
        flagsBefore_ = entryIds.flags;
        entryIds.ClearFlags();
    }
    folderIndex = 0;
    dataFile = OpenDataFile(u"xBackup::xBackup", &dataSize_);
}

xBackup::~xBackup() {
    // A full pass that a stop ended early has not met every message: those it did not reach
    // keep the flag they had, or a Restore Normal would take them for deleted ones.
    if (StopRequested()) {
        for (std::size_t i = 0; i < flagsBefore_.size() && i < entryIds.flags.size(); ++i) {
            entryIds.flags[i] |= flagsBefore_[i];
        }
    }
    // Every record was flushed when written; a failing close still means lost bytes.
    if (dataFile && !dataFile->Close()) FatalError(u"fwrite failed.", u"xBackup::~xBackup");
    dataFile.reset();
}

std::uint32_t xBackup::Archive(const qMsg& msg) {
    const std::uint32_t knownFolders = folders.count;
    folderIndex = folders.GetIndex(msg.folderPath);
    // A folder met for the first time reaches Folders.dat before any record names its line: a
    // pass that ends before its close must not leave records whose folder is known nowhere.
    if (folders.count != knownFolders) folders.Save();
    // The size is that of the bytes held, so that a lookup never reads past them.
    const auto idSize = static_cast<std::uint32_t>(msg.entryId.size());
    const std::uint8_t* id = msg.entryId.data();
    if (entryIds.CheckID(idSize, id)) {
        const std::uint32_t i = entryIds.IndexOf(id);
        if (!Update(msg, entryIds.offsets[i])) {
            // The indexed bytes are not this message's record: archive it afresh.
            entryIds.offsets[i] = Insert(msg);
        }
        entryIds.flags[i] = 1;
        return 0;
    }
    const std::uint32_t offset = Insert(msg);
    entryIds.AddID(idSize, id, offset);
    return 1;
}

std::uint32_t xBackup::Insert(const qMsg& msg) {
    if (msg.recipientCount > qMsg::MAX_RECIPIENT) FatalError(u"MAX_RECIPIENT exeed.", u"xBackup::Insert");
    if (msg.attachmentCount > qMsg::MAX_ATTACHMENT) FatalError(u"MAX_ATTACHMENT exeed.", u"xBackup::Insert");
    if (!dataFile->Seek(0, SEEK_END)) FatalError(u"fseek failed.", u"xBackup::Insert");
    const std::int64_t position = dataFile->Tell();
    if (position < 0) FatalError(u"fseek failed.", u"xBackup::Insert");
    if (static_cast<std::uint64_t>(position) > MAX_DATA_OFFSET) {
        FatalError(u"MAX_DATA_OFFSET exeed.", u"xBackup::Insert");
    }
    record_.clear();
    EncodeRecord(msg, folderIndex, record_);
    if (dataFile->Write(record_.data(), record_.size()) != record_.size() || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xBackup::Insert");
    }
    dataSize_ = static_cast<std::uint64_t>(position) + record_.size();
    return static_cast<std::uint32_t>(position);
}

bool xBackup::Update(const qMsg& msg, std::uint32_t offset) {
    // Fields 3 and 11 are found through the record's own stored text counts. Every position is
    // checked against the end of the file, and the record must carry the message's identifier.
    const std::uint64_t start = offset;
    if (start + kMinRecordSize > dataSize_ || msg.entryId.size() != kRecordIdSize) return false;
    if (!dataFile->Seek(offset, SEEK_SET)) FatalError(u"fseek failed.", u"xBackup::Update");
    std::uint8_t head[kFolderIndexOffset + 8];  // identifier size and bytes, folderIndex, first count
    if (dataFile->Read(head, sizeof head) != sizeof head) return false;
    if (GetU32(head) != kRecordIdSize || std::memcmp(head + 4, msg.entryId.data(), kRecordIdSize) != 0) {
        return false;
    }
    std::uint64_t position = start + sizeof head;  // just after the first text count
    std::uint32_t units = GetU32(head + kFolderIndexOffset + 4);
    for (int text = 1; text < 4; ++text) {
        position += 2 * static_cast<std::uint64_t>(units);
        if (position + 4 > dataSize_) return false;
        if (units > 0 && !dataFile->Seek(static_cast<std::int64_t>(position), SEEK_SET)) {
            FatalError(u"fseek failed.", u"xBackup::Update");
        }
        std::uint8_t count[4];
        if (dataFile->Read(count, 4) != 4) return false;
        units = GetU32(count);
        position += 4;
    }
    const std::uint64_t flagsAt = position + 2 * static_cast<std::uint64_t>(units) + 12;
    if (flagsAt + 4 > dataSize_) return false;

    std::vector<std::uint8_t> value;
    PutU32(value, folderIndex);
    if (!dataFile->Seek(static_cast<std::int64_t>(start + kFolderIndexOffset), SEEK_SET)) {
        FatalError(u"fseek failed.", u"xBackup::Update");
    }
    if (dataFile->Write(value.data(), 4) != 4) FatalError(u"fwrite failed.", u"xBackup::Update");
    value.clear();
    PutU32(value, msg.messageFlags);
    if (!dataFile->Seek(static_cast<std::int64_t>(flagsAt), SEEK_SET)) {
        FatalError(u"fseek failed.", u"xBackup::Update");
    }
    if (dataFile->Write(value.data(), 4) != 4 || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xBackup::Update");
    }
    return true;
}

void BeginBackup(std::uint32_t mode) {
    writer.reset();  // never two writers at once
    writer = std::make_unique<xBackup>(mode);
}

std::uint32_t BackupMessage(const qMsg& msg) { return writer ? writer->Archive(msg) : 0; }

void EndBackup() { writer.reset(); }

bool IsBackupOpen() { return writer != nullptr; }

}  // namespace tallymere
