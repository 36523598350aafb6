// Reading a message from the store into a message record.
#include "archive/qmsg.h"
#include "platform/mapi/ptr.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

std::u16string_view Text(const mapi::SPropValue& value) {
    return value.Value.lpszW ? std::u16string_view(value.Value.lpszW) : std::u16string_view();
}

mapi::Ptr<mapi::IStream> OpenStream(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Ptr<mapi::IUnknown> stream;
    if (object->OpenProperty(tag, nullptr, 0, mapi::MAPI_MODIFY, stream.Out()) != 0 || !stream) return {};
    return std::move(stream).As<mapi::IStream>();
}

// Reads exactly `size` bytes in one call; false when the read fails or comes short.
bool ReadExactly(mapi::IStream* stream, std::vector<std::uint8_t>* bytes, std::uint32_t size) {
    bytes->assign(size, 0);
    mapi::ULONG read = 0;
    return stream->Read(bytes->data(), size, &read) == 0 && read == size;
}

}  // namespace

void qMsg::GetMAPI() {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    if (session->OpenEntry(entryIdSize, entryId.data(), nullptr, 0, &type, object.Out()) != 0 || !object ||
        type != mapi::MAPI_MESSAGE) {
        FatalError(u"OpenEntry failed.", u"qMsg::GetMAPI");
    }
    mapi::Ptr<mapi::IMessage> message = std::move(object).As<mapi::IMessage>();
    GetProperties(message.get());
    GetRecipients(message.get());
    GetMessageBody(message.get());
    GetAttachments(message.get());
}

void qMsg::GetProperties(mapi::IMessage* message) {
    static mapi::ULONG tags[] = {
        mapi::PR_ENTRYID,
        mapi::PR_SUBJECT_PREFIX_W,
        mapi::PR_SUBJECT_W,
        mapi::PR_SENDER_NAME_W,
        mapi::PR_SENDER_EMAIL_ADDRESS_W,
        mapi::PR_MSG_STATUS,
        mapi::PR_MESSAGE_SIZE,
        mapi::PR_CONTENT_LENGTH,
        mapi::PR_MESSAGE_FLAGS,
        mapi::PR_MESSAGE_DELIVERY_TIME,
        mapi::PR_LAST_MODIFICATION_TIME,
        mapi::PR_MESSAGE_CLASS_W,
        mapi::PR_SERVICE_NAME_W,
        mapi::PR_HASATTACH,
    };
    constexpr mapi::ULONG kCount = sizeof tags / sizeof tags[0];
    mapi::SPropTagArray array{kCount, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (message->GetProps(&array, mapi::MAPI_UNICODE, &count, values.Out()) != 0 || count != kCount) {
        FatalError(u"GetProps failed.", u"qMsg::GetProperties");
    }
    // A value counts only when it carries exactly the tag asked for.
    auto has = [&](mapi::ULONG i) { return values[i].ulPropTag == tags[i]; };
    if (has(1)) SetSubjectPrefix(Text(values[1]));
    if (has(2)) SetSubject(Text(values[2]));
    if (has(3)) SetSenderName(Text(values[3]));
    if (has(4)) SetSenderEmail(Text(values[4]));
    if (has(5)) SetMsgStatus(values[5].Value.ul);
    if (has(6)) SetMessageSize(values[6].Value.ul);
    if (has(7)) SetContentLength(values[7].Value.ul);
    if (has(8)) SetMessageFlags(values[8].Value.ul);
    if (has(9)) SetDeliveryTime(values[9].Value.ft);
    if (has(10)) SetLastModificationTime(values[10].Value.ft);
    if (has(11)) SetMessageClass(Text(values[11]));
    if (has(12)) SetServiceName(Text(values[12]));
    if (has(13)) SetHasAttach(values[13].Value.b);
}

void qMsg::GetRecipients(mapi::IMessage* message) {
    mapi::Ptr<mapi::IMAPITable> table;
    // A table that cannot be read is no message without recipients: the record would keep
    // none, and no later pass would mend it.
    if (message->GetRecipientTable(0, table.Out()) != 0 || !table) {
        FatalError(u"GetRecipientTable failed.", u"qMsg::GetRecipients");
    }
    for (;;) {
        mapi::Rows rows;
        // A failed read is not the end of the table: the message would be kept without recipients.
        if (table->QueryRows(1, 0, rows.Out()) != 0) FatalError(u"QueryRows failed.", u"qMsg::GetRecipients");
        if (rows.size() == 0) break;
        // However many rows there are: a group message has as many recipients as it has.
        const std::uint32_t i = recipientCount;
        const mapi::SRow& row = rows->aRow[0];
        for (mapi::ULONG k = 0; k < row.cValues; ++k) {
            const mapi::SPropValue& value = row.lpProps[k];
            switch (value.ulPropTag) {
                case mapi::PR_RECIPIENT_TYPE: SetRecipientType(i, value.Value.ul); break;
                case mapi::PR_ADDRTYPE_W: SetAddrType(i, Text(value)); break;
                case mapi::PR_EMAIL_ADDRESS_W: SetEmailAddress(i, Text(value)); break;
                case mapi::PR_DISPLAY_NAME_W: SetDisplayName(i, Text(value)); break;
                default: break;
            }
        }
        SetRecipientCount(i + 1);
    }
}

void qMsg::GetMessageBody(mapi::IMessage* message) {
    mapi::Ptr<mapi::IStream> stream = OpenStream(message, mapi::PR_BODY_W);
    if (!stream) FatalError(u"OpenProperty failed.", u"qMsg::GetMessageBody");
    mapi::STATSTG status{};
    // A stream that cannot tell its size is no empty body.
    if (stream->Stat(&status, mapi::STATFLAG_NONAME) != 0) FatalError(u"Stat failed.", u"qMsg::GetMessageBody");
    const auto size = static_cast<std::uint32_t>(status.cbSize);
    // Read straight into the record (SetBody would copy it once more).
    bodySize = size;
    body.clear();
    if (size != 0 && !ReadExactly(stream.get(), &body, size)) FatalError(u"Read failed.", u"qMsg::GetMessageBody");
}

void qMsg::GetAttachments(mapi::IMessage* message) {
    constexpr std::u16string_view kTag = u"qMsg::GetAttachments";
    mapi::Ptr<mapi::IMAPITable> table;
    if (message->GetAttachmentTable(0, table.Out()) != 0 || !table) FatalError(u"GetAttachmentTable failed.", kTag);
    static mapi::ULONG tags[] = {mapi::PR_ATTACH_NUM, mapi::PR_ATTACH_SIZE, mapi::PR_ATTACH_METHOD,
                                 mapi::PR_ATTACH_FILENAME_W};
    mapi::SPropTagArray columns{4, tags};
    if (table->SetColumns(&columns, 0) != 0) FatalError(u"SetColumns failed.", kTag);
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(1, 0, rows.Out()) != 0) FatalError(u"QueryRows failed.", kTag);
        if (rows.size() == 0) break;
        // However many rows there are; slot i exists from here on, whatever the row holds.
        const std::uint32_t i = AttachmentSlot(attachmentCount);
        const mapi::SRow& row = rows->aRow[0];
        auto has = [&](mapi::ULONG k) { return k < row.cValues && row.lpProps[k].ulPropTag == tags[k]; };
        if (has(0)) SetAttachNum(i, row.lpProps[0].Value.ul);
        if (has(1)) SetAttachSize(i, row.lpProps[1].Value.ul);
        if (has(2)) SetAttachMethod(i, row.lpProps[2].Value.ul);
        if (has(3)) SetAttachFilename(i, Text(row.lpProps[3]));

        mapi::Ptr<mapi::IAttach> attach;
        if (message->OpenAttach(attachNum[i], nullptr, 0, attach.Out()) != 0 || !attach) {
            FatalError(u"OpenAttach failed.", kTag);
        }
        mapi::Ptr<mapi::IStream> stream = OpenStream(attach.get(), mapi::PR_ATTACH_DATA_BIN);
        if (!stream) FatalError(u"OpenProperty failed.", kTag);
        // Read straight into the slot: exactly attachSize bytes, as SetAttachData would keep.
        if (!ReadExactly(stream.get(), &attachData[i], attachSize[i])) FatalError(u"Read failed.", kTag);
        SetAttachmentCount(i + 1);
    }
}

}  // namespace tallymere
