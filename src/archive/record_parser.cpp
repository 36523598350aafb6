#include "archive/record_parser.h"

#include <cstring>
#include <string>
#include <vector>

#include "archive/record.h"
#include "support/endian.h"

namespace tallymere {

namespace {

// The fewest bytes a recipient entry (a number and three text counts) or an attachment entry
// (four numbers) takes.
constexpr std::uint64_t kMinEntryBytes = 16;

class FileInput : public RecordInput {
public:
    FileInput(platform::File& file, std::uint64_t remaining) : file_(file), remaining_(remaining) {}
    std::uint64_t Remaining() const override { return remaining_; }
    bool Read(std::uint8_t* out, std::size_t size) override {
        if (size > remaining_) return false;
        const std::size_t got = file_.Read(out, size);
        remaining_ -= got;
        return got == size;
    }

private:
    platform::File& file_;
    std::uint64_t remaining_;
};

// Field reader that stops at the first fault; every later call then fails at once.
class Fields {
public:
    explicit Fields(RecordInput& input) : input_(input) {}

    RecordFault fault() const { return fault_; }
    std::uint64_t consumed() const { return consumed_; }
    std::uint64_t Remaining() const { return input_.Remaining(); }
    void Fail(RecordFault fault) {
        if (fault_ == RecordFault::kNone) fault_ = fault;
    }

    bool Bytes(std::uint8_t* out, std::uint64_t size) {
        if (fault_ != RecordFault::kNone) return false;
        if (size > input_.Remaining()) {
            Fail(RecordFault::kCutShort);
            return false;
        }
        if (size > 0 && !input_.Read(out, static_cast<std::size_t>(size))) {
            Fail(RecordFault::kReadFailed);
            return false;
        }
        consumed_ += size;
        return true;
    }

    // Reads `size` bytes into `out`; the size is checked before anything is allocated.
    bool Buffer(std::vector<std::uint8_t>& out, std::uint64_t size) {
        if (fault_ != RecordFault::kNone) return false;
        if (size > input_.Remaining()) {
            Fail(RecordFault::kCutShort);
            return false;
        }
        out.resize(static_cast<std::size_t>(size));
        return Bytes(out.data(), size);
    }

    std::uint32_t U32() {
        std::uint8_t bytes[4] = {};
        return Bytes(bytes, 4) ? GetU32(bytes) : 0;
    }

    std::uint16_t U16() {
        std::uint8_t bytes[2] = {};
        return Bytes(bytes, 2) ? GetU16(bytes) : 0;
    }

    platform::FILETIME Time() {
        platform::FILETIME time;
        time.dwLowDateTime = U32();
        time.dwHighDateTime = U32();
        return time;
    }

    std::u16string Text() {
        const std::uint32_t units = U32();
        if (!Buffer(scratch_, 2 * static_cast<std::uint64_t>(units))) return {};
        std::u16string text(units, u'\0');
        for (std::uint32_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(GetU16(&scratch_[2 * i]));
        return text;
    }

private:
    RecordInput& input_;
    RecordFault fault_ = RecordFault::kNone;
    std::uint64_t consumed_ = 0;
    std::vector<std::uint8_t> scratch_;
};

ParsedRecord Fill(Fields& in, qMsg& msg) {
    ParsedRecord result;
    const std::uint32_t idSize = in.U32();
    if (in.fault() == RecordFault::kNone && idSize != kRecordIdSize) {
        result.found = idSize;
        in.Fail(RecordFault::kIdentifierSize);
    }
    std::uint8_t id[kRecordIdSize] = {};
    if (in.Bytes(id, kRecordIdSize)) msg.SetEntryID(kRecordIdSize, id);
    result.folderIndex = in.U32();
    msg.SetSubjectPrefix(in.Text());
    msg.SetSubject(in.Text());
    msg.SetSenderName(in.Text());
    msg.SetSenderEmail(in.Text());
    msg.SetMsgStatus(in.U32());
    msg.SetMessageSize(in.U32());
    msg.SetContentLength(in.U32());
    msg.SetMessageFlags(in.U32());
    msg.SetDeliveryTime(in.Time());
    msg.SetLastModificationTime(in.Time());
    msg.SetMessageClass(in.Text());
    msg.SetServiceName(in.Text());

    // A count is believed only as far as the rest of the file could hold its entries, and the
    // slots grow with the entries actually read, so a damaged count costs no memory.
    const std::uint32_t recipients = in.U32();
    if (in.fault() == RecordFault::kNone && recipients > in.Remaining() / kMinEntryBytes) {
        in.Fail(RecordFault::kCutShort);
    }
    for (std::uint32_t i = 0; i < recipients && in.fault() == RecordFault::kNone; ++i) {
        msg.SetRecipientType(i, in.U32());
        msg.SetAddrType(i, in.Text());
        msg.SetEmailAddress(i, in.Text());
        msg.SetDisplayName(i, in.Text());
    }
    if (in.fault() == RecordFault::kNone) msg.SetRecipientCount(recipients);

    std::vector<std::uint8_t> data;
    const std::uint32_t bodySize = in.U32();
    if (in.Buffer(data, bodySize)) msg.SetBody(data.data(), bodySize);
    msg.SetHasAttach(in.U16());

    const std::uint32_t attachments = in.U32();
    if (in.fault() == RecordFault::kNone && attachments > in.Remaining() / kMinEntryBytes) {
        in.Fail(RecordFault::kCutShort);
    }
    for (std::uint32_t i = 0; i < attachments && in.fault() == RecordFault::kNone; ++i) {
        msg.SetAttachNum(i, in.U32());
        const std::uint32_t size = in.U32();
        msg.SetAttachMethod(i, in.U32());
        msg.SetAttachFilename(i, in.Text());
        if (!in.Buffer(data, size)) break;
        msg.SetAttachSize(i, size);
        msg.SetAttachData(i, data);
    }
    if (in.fault() == RecordFault::kNone) msg.SetAttachmentCount(attachments);

    result.fault = in.fault();
    result.size = in.consumed();
    if (!result.Readable()) {
        result.size = 0;
        msg.Clear();
    }
    return result;
}

}  // namespace

bool SpanInput::Read(std::uint8_t* out, std::size_t size) {
    if (size > Remaining()) return false;
    if (size == 0) return true;
    std::memcpy(out, bytes_.data() + position_, size);
    position_ += size;
    return true;
}

ParsedRecord ParseRecord(RecordInput& input, qMsg& msg) {
    msg.Clear();
    Fields fields(input);
    return Fill(fields, msg);
}

ParsedRecord ReadRecordAt(platform::File& file, std::uint64_t fileSize, std::uint64_t offset, qMsg& msg) {
    ParsedRecord result;
    msg.Clear();
    if (offset >= fileSize) {
        result.fault = RecordFault::kOffsetPastEnd;
        return result;
    }
    if (!file.Seek(static_cast<std::int64_t>(offset), SEEK_SET)) {
        result.fault = RecordFault::kSeekFailed;
        return result;
    }
    FileInput input(file, fileSize - offset);
    return ParseRecord(input, msg);
}

}  // namespace tallymere
