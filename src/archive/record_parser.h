// Reading archive records (layout in archive/record.h) back into a qMsg, safely.
//
// An archive may be damaged from outside (a medium cut short, a stray write, an edited file),
// so nothing read from it is trusted: every count and size is checked against the bytes left
// before the end of Messages.dat before anything is allocated or read (a recipient or an
// attachment takes 16 bytes at the least). A record that fails a check is
// unreadable; the message record is then left cleared, and the other records of the archive
// stay as readable as they were.
#pragma once

#include <cstdint>
#include <span>

#include "archive/qmsg.h"
#include "platform/file.h"

namespace tallymere {

// Why a record cannot be read.
enum class RecordFault {
    kNone,
    kOffsetPastEnd,   // the record would start at or after the end of Messages.dat
    kCutShort,        // a count or size runs past the end of Messages.dat
    kIdentifierSize,  // the identifier size is not 20
    // Not produced any more: records hold as many recipients and attachments as messages have,
    // and a count whose entries would run past the end of the file is kCutShort.
    kTooManyRecipients,
    kTooManyAttachments,
    kSeekFailed,  // the platform could not position the file
    kReadFailed,  // the platform read fewer bytes than the file holds
};

struct ParsedRecord {
    RecordFault fault = RecordFault::kNone;
    std::uint32_t folderIndex = 0;  // field 3
    std::uint64_t size = 0;         // bytes the record takes, when readable
    // For kIdentifierSize: the value found.
    std::uint32_t found = 0;

    bool Readable() const { return fault == RecordFault::kNone; }
};

// Where a record's bytes come from: everything from the record's start to the end of
// Messages.dat.
class RecordInput {
public:
    virtual ~RecordInput() = default;
    // Bytes left before the end of the file.
    virtual std::uint64_t Remaining() const = 0;
    // Reads exactly `size` bytes (never more than Remaining()); false when fewer arrive.
    virtual bool Read(std::uint8_t* out, std::size_t size) = 0;
};

// The bytes of a buffer, from its start to its end.
class SpanInput : public RecordInput {
public:
    explicit SpanInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t Remaining() const override { return bytes_.size() - position_; }
    bool Read(std::uint8_t* out, std::size_t size) override;

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// Reads one record from `input` into `msg` (cleared first, its session kept). On a fault `msg`
// is left cleared.
ParsedRecord ParseRecord(RecordInput& input, qMsg& msg);

// Reads the record at `offset` of an open Messages.dat of `fileSize` bytes.
ParsedRecord ReadRecordAt(platform::File& file, std::uint64_t fileSize, std::uint64_t offset, qMsg& msg);

}  // namespace tallymere
