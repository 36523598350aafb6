#include "archive/backup.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "archive/data_file.h"
#include "archive/record.h"
#include "archive/record_scan.h"
#include "platform/no_destructor.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/pass_control.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// Record offsets are 32-bit in the index: a record cannot start beyond this.
constexpr std::uint64_t MAX_DATA_OFFSET = std::numeric_limits<std::uint32_t>::max();
static_assert(xEntryID::MAX_ENTRYID == MAX_DATA_OFFSET / kMinRecordSize + 1,
              "the index holds at most as many entries as Messages.dat can hold records");

// Bytes of a record read at once to refresh it: enough for the fields up to the message flags
// of nearly every record.
constexpr std::size_t kUpdateRead = 512;

// The process-wide writer. Its holder is never destroyed: a program that ends through
// FatalError in mid-pass must not save the lists of the unfinished pass on its way out, so the
// lists on disk stay as they were before the pass.
platform::NoDestructor<std::unique_ptr<xBackup>> writerHolder;
std::unique_ptr<xBackup>& writer = *writerHolder;

}  // namespace

xBackup::xBackup(BackupMode mode) : entryIds(kArchiveDir, u"Messages.ndx") {
    folderIndex = 0;
    dataFile = OpenDataFile(u"xBackup::xBackup", &dataSize_);
    TakeOverTail();
    if (mode == BackupMode::Full) {
        flagsBefore_ = entryIds.flags;
        entryIds.ClearFlags();
    }
}

std::uint64_t xBackup::IndexedEnd() {
    if (entryIds.count == 0) return 0;
    const std::uint32_t last = *std::max_element(entryIds.offsets.begin(), entryIds.offsets.begin() + entryIds.count);
    ScannedRecord record;
    if (!RecordAt(*dataFile, dataSize_, last, &record)) return dataSize_;
    return last + record.size;
}

void xBackup::TakeOverTail() {
    const std::uint64_t end = IndexedEnd();
    if (end >= dataSize_) return;
    const RecordScan tail = ScanRecords(*dataFile, dataSize_, end);
    if (tail.readFailed) FatalError(u"fseek failed.", u"xBackup::xBackup");
    std::uint64_t keep = end;
    for (const ScannedRecord& record : tail.records) {
        // A record of a message the index knows is a copy that a pass began to archive afresh:
        // the index names the one it keeps.
        if (entryIds.CheckID(kRecordIdSize, record.id.data())) continue;
        if (record.offset > MAX_DATA_OFFSET) break;
        entryIds.AddID(kRecordIdSize, record.id.data(), static_cast<std::uint32_t>(record.offset));
        // Not known to be on the phone until a pass meets it.
        entryIds.flags[entryIds.count - 1] = 0;
        entryIds.SaveEntry(entryIds.count - 1);
        keep = record.offset + record.size;
    }
    if (keep < dataSize_) {
        if (!dataFile->Truncate(static_cast<std::int64_t>(keep)))
            FatalError(u"SetEndOfFile failed.", u"xBackup::xBackup");
        dataSize_ = keep;
    }
    atEnd_ = false;
}

xBackup::~xBackup() {
    // A full pass that a stop ended early has not met every message: those it did not reach
    // keep the flag they had, or a Restore Normal would take them for deleted ones.
    if (StopRequested()) {
        for (std::size_t i = 0; i < flagsBefore_.size() && i < entryIds.flags.size(); ++i) {
            entryIds.flags[i] |= flagsBefore_[i];
        }
    }
    // The records of the pass reach the medium before the index that names them is saved:
    // a failure here ends the program with the lists on disk as they were before the pass.
    if (dataFile && (!dataFile->Sync() || !dataFile->Close())) FatalError(u"fwrite failed.", u"xBackup::~xBackup");
    dataFile.reset();
}

void xBackup::EnterFolder(const qMsg& msg) {
    const std::uint32_t knownFolders = folders.count;
    folderIndex = folders.GetIndex(msg.folderPath);
    // A folder met for the first time reaches Folders.dat before any record names its line: a
    // pass that ends before its close must not leave records whose folder is known nowhere.
    if (folders.count != knownFolders) folders.Save();
}

bool xBackup::Refresh(const qMsg& msg) {
    const auto idSize = static_cast<std::uint32_t>(msg.entryId.size());
    if (!entryIds.CheckID(idSize, msg.entryId.data())) return false;
    const std::uint32_t i = entryIds.IndexOf(msg.entryId.data());
    EnterFolder(msg);
    if (!Update(msg, entryIds.offsets[i])) return false;
    entryIds.flags[i] = 1;
    return true;
}

std::uint32_t xBackup::Archive(const qMsg& msg) {
    EnterFolder(msg);
    // The size is that of the bytes held, so that a lookup never reads past them.
    const auto idSize = static_cast<std::uint32_t>(msg.entryId.size());
    const std::uint8_t* id = msg.entryId.data();
    if (entryIds.CheckID(idSize, id)) {
        const std::uint32_t i = entryIds.IndexOf(id);
        if (!Update(msg, entryIds.offsets[i])) {
            // The indexed bytes are not this message's record: archive it afresh.
            entryIds.offsets[i] = Insert(msg);
            entryIds.SaveEntry(i);
        }
        entryIds.flags[i] = 1;
        return 0;
    }
    const std::uint32_t offset = Insert(msg);
    entryIds.AddID(idSize, id, offset);
    // After its record: the index on disk never names bytes the host has not been handed.
    entryIds.SaveEntry(entryIds.count - 1);
    return 1;
}

std::uint32_t xBackup::Insert(const qMsg& msg) {
    // Records follow each other through the stream's buffer; only a refresh in between moves
    // the position away from the end.
    if (!atEnd_) {
        if (!dataFile->Seek(0, SEEK_END)) FatalError(u"fseek failed.", u"xBackup::Insert");
        const std::int64_t end = dataFile->Tell();
        if (end < 0) FatalError(u"fseek failed.", u"xBackup::Insert");
        dataSize_ = static_cast<std::uint64_t>(end);
        atEnd_ = true;
    }
    const std::uint64_t position = dataSize_;
    if (position > MAX_DATA_OFFSET) FatalError(u"MAX_DATA_OFFSET exeed.", u"xBackup::Insert");
    record_.clear();
    EncodeRecord(msg, folderIndex, record_);
    // Handed to the host now, before its index entry is written; synced with all the others
    // when the pass ends.
    if (dataFile->Write(record_.data(), record_.size()) != record_.size() || !dataFile->Flush()) {
        FatalError(u"fwrite failed.", u"xBackup::Insert");
    }
    dataSize_ = position + record_.size();
    return static_cast<std::uint32_t>(position);
}

bool xBackup::Update(const qMsg& msg, std::uint32_t offset) {
    // Fields 3 and 11 are found through the record's own stored text counts. Every position is
    // checked against the end of the file, and the record must carry the message's identifier.
    const std::uint64_t start = offset;
    if (start + kMinRecordSize > dataSize_ || msg.entryId.size() != kRecordIdSize) return false;
    atEnd_ = false;
    if (!dataFile->Seek(offset, SEEK_SET)) FatalError(u"fseek failed.", u"xBackup::Update");
    // The record's start in one read: it holds both fields unless the texts before the flags
    // are long, and then the rest is read as far as needed.
    std::uint8_t head[kUpdateRead];
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, dataSize_ - start));
    const std::size_t got = dataFile->Read(head, want);
    if (got < kFolderIndexOffset + 8) return false;
    if (GetU32(head) != kRecordIdSize || std::memcmp(head + 4, msg.entryId.data(), kRecordIdSize) != 0) {
        return false;
    }
    // Reads four bytes at `at` (from `head` when there, else from the file); false when they
    // lie beyond the end of the file.
    auto readU32 = [&](std::uint64_t at, std::uint32_t* value) {
        if (at + 4 > dataSize_) return false;
        const std::uint64_t inHead = at - start;
        if (inHead + 4 <= got) {
            *value = GetU32(head + inHead);
            return true;
        }
        if (!dataFile->Seek(static_cast<std::int64_t>(at), SEEK_SET)) FatalError(u"fseek failed.", u"xBackup::Update");
        std::uint8_t bytes[4];
        if (dataFile->Read(bytes, 4) != 4) return false;
        *value = GetU32(bytes);
        return true;
    };
    std::uint64_t position = start + kFolderIndexOffset + 4;  // the first text count
    for (int text = 0; text < 4; ++text) {
        std::uint32_t units = 0;
        if (!readU32(position, &units)) return false;
        position += 4 + 2 * static_cast<std::uint64_t>(units);
    }
    const std::uint64_t flagsAt = position + 12;
    std::uint32_t storedFolder = GetU32(head + kFolderIndexOffset);
    std::uint32_t storedFlags = 0;
    if (!readU32(flagsAt, &storedFlags)) return false;

    // Only what changed is written: a pass over an unchanged device writes nothing here.
    auto write = [&](std::uint64_t at, std::uint32_t value) {
        std::vector<std::uint8_t> bytes;
        PutU32(bytes, value);
        if (!dataFile->Seek(static_cast<std::int64_t>(at), SEEK_SET)) FatalError(u"fseek failed.", u"xBackup::Update");
        if (dataFile->Write(bytes.data(), 4) != 4) FatalError(u"fwrite failed.", u"xBackup::Update");
    };
    if (storedFolder != folderIndex) write(start + kFolderIndexOffset, folderIndex);
    if (storedFlags != msg.messageFlags) write(flagsAt, msg.messageFlags);
    return true;
}

void BeginBackup(BackupMode mode) {
    writer.reset();  // never two writers at once
    writer = std::make_unique<xBackup>(mode);
}

std::uint32_t BackupMessage(const qMsg& msg) { return writer ? writer->Archive(msg) : 0; }

bool RefreshArchived(const qMsg& msg) { return writer && writer->Refresh(msg); }

void EndBackup() { writer.reset(); }

bool IsBackupOpen() { return writer != nullptr; }

}  // namespace tallymere
