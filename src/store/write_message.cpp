// Writing a message record into the store as a new message.
#include "archive/qmsg.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/values.h"
#include "store/store_cache.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

namespace {

mapi::Ptr<mapi::IStream> OpenStream(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Ptr<mapi::IUnknown> stream;
    if (object->OpenProperty(tag, nullptr, 0, mapi::MAPI_MODIFY, stream.Out()) != 0 || !stream) return {};
    return std::move(stream).As<mapi::IStream>();
}

// Writes `size` bytes in one call (zeros beyond what `bytes` holds); false when the write fails
// or comes short.
bool WriteExactly(mapi::IStream* stream, const std::vector<std::uint8_t>& bytes, std::uint32_t size) {
    std::vector<std::uint8_t> padded;
    const std::uint8_t* data = bytes.data();
    if (bytes.size() < size) {
        padded = bytes;
        padded.resize(size);
        data = padded.data();
    }
    mapi::ULONG written = 0;
    return stream->Write(data, size, &written) == 0 && written == size;
}

}  // namespace

mapi::Ptr<mapi::IMessage> qMsg::CreateMessage() {
    constexpr std::u16string_view kTag = u"qMsg::CreateMessage";
    mapi::Ptr<mapi::IMAPIFolder> folder = StoreCache().OpenFolder(session, folderPath);
    mapi::Ptr<mapi::IMessage> message;
    if (folder->CreateMessage(nullptr, 0, message.Out()) != 0 || !message) FatalError(u"CreateMessage failed.", kTag);
    mapi::ULONG tags[] = {mapi::PR_ENTRYID};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (message->GetProps(&array, 0, &count, values.Out()) != 0 || count != 1 ||
        values[0].ulPropTag != mapi::PR_ENTRYID) {
        FatalError(u"GetProps failed.", kTag);
    }
    SetEntryID(values[0].Value.bin.cb, values[0].Value.bin.lpb);
    return message;
}

void qMsg::SetMAPI() {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG type = 0;
    if (session->OpenEntry(entryIdSize, entryId.data(), nullptr, 0, &type, object.Out()) != 0 || !object ||
        type != mapi::MAPI_MESSAGE) {
        FatalError(u"OpenEntry failed.", u"qMsg::SetMAPI");
    }
    mapi::Ptr<mapi::IMessage> message = std::move(object).As<mapi::IMessage>();
    SetMAPI(message.get());
}

void qMsg::SetMAPI(mapi::IMessage* message) {
    SetProperties(message);
    SetRecipients(message);
    SetMessageBody(message);
    SetAttachments(message);
}

void qMsg::SetProperties(mapi::IMessage* message) {
    mapi::SPropValue values[13];
    values[0] = mapi::TextValue(mapi::PR_SUBJECT_PREFIX_W, subjectPrefix);
    values[1] = mapi::TextValue(mapi::PR_SUBJECT_W, subject);
    values[2] = mapi::TextValue(mapi::PR_SENDER_NAME_W, senderName);
    values[3] = mapi::TextValue(mapi::PR_SENDER_EMAIL_ADDRESS_W, senderEmail);
    values[4] = mapi::LongValue(mapi::PR_MSG_STATUS, msgStatus);
    values[5] = mapi::LongValue(mapi::PR_MESSAGE_SIZE, messageSize);
    values[6] = mapi::LongValue(mapi::PR_CONTENT_LENGTH, contentLength);
    values[7] = mapi::LongValue(mapi::PR_MESSAGE_FLAGS, messageFlags);
    // Without a delivery time (a zero half) the entry stays a zero placeholder with tag 0.
    if (deliveryTime.dwLowDateTime != 0 && deliveryTime.dwHighDateTime != 0) {
        values[8] = mapi::TimeValue(mapi::PR_MESSAGE_DELIVERY_TIME, deliveryTime);
    }
    values[9] = mapi::TimeValue(mapi::PR_LAST_MODIFICATION_TIME, lastModificationTime);
    values[10] = mapi::TextValue(mapi::PR_MESSAGE_CLASS_W, messageClass);
    values[11] = mapi::TextValue(mapi::PR_SERVICE_NAME_W, serviceName);
    values[12].ulPropTag = mapi::PR_HASATTACH;
    values[12].Value.b = static_cast<unsigned short>(hasAttach);
    if (message->SetProps(13, values, nullptr) != 0) FatalError(u"SetProps failed.", u"qMsg::SetProperties");
}

void qMsg::SetRecipients(mapi::IMessage* message) {
    if (RecipientSlots() == 0) return;
    const std::uint32_t count = RecipientSlots();
    std::vector<std::array<mapi::SPropValue, 4>> values(count);
    std::vector<mapi::ADRENTRY> entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        values[i][0] = mapi::LongValue(mapi::PR_RECIPIENT_TYPE, recipientType[i]);
        values[i][1] = mapi::TextValue(mapi::PR_ADDRTYPE_W, addrType[i]);
        values[i][2] = mapi::TextValue(mapi::PR_EMAIL_ADDRESS_W, emailAddress[i]);
        if (displayNameLen[i] != 0) {
            values[i][3] = mapi::TextValue(mapi::PR_DISPLAY_NAME_W, displayName[i]);
        } else {
            values[i][3].ulPropTag = mapi::PR_NULL;
        }
        entries[i].cValues = 4;
        entries[i].rgPropVals = values[i].data();
    }
    mapi::ADRLIST list{count, entries.data()};
    if (message->ModifyRecipients(mapi::MODRECIP_ADD, &list) != 0) {
        FatalError(u"ModifyRecipients failed.", u"qMsg::SetRecipients");
    }
}

void qMsg::SetMessageBody(mapi::IMessage* message) {
    if (bodySize == 0) return;
    mapi::Ptr<mapi::IStream> stream = OpenStream(message, mapi::PR_BODY_W);
    if (!stream) FatalError(u"OpenProperty failed.", u"qMsg::SetMessageBody");
    if (!WriteExactly(stream.get(), body, bodySize)) FatalError(u"Write failed.", u"qMsg::SetMessageBody");
}

void qMsg::SetAttachments(mapi::IMessage* message) {
    constexpr std::u16string_view kTag = u"qMsg::SetAttachments";
    const std::uint32_t count = AttachmentSlots();
    for (std::uint32_t i = 0; i < count; ++i) {
        mapi::Ptr<mapi::IAttach> attach;
        mapi::ULONG number = 0;
        if (message->CreateAttach(nullptr, 0, &number, attach.Out()) != 0 || !attach) {
            FatalError(u"CreateAttach failed.", kTag);
        }
        mapi::SPropValue values[4] = {
            mapi::LongValue(mapi::PR_ATTACH_NUM, attachNum[i]),
            mapi::LongValue(mapi::PR_ATTACH_SIZE, attachSize[i]),
            mapi::LongValue(mapi::PR_ATTACH_METHOD, attachMethod[i]),
            mapi::TextValue(mapi::PR_ATTACH_FILENAME_W, attachFilename[i]),
        };
        if (attach->SetProps(4, values, nullptr) != 0) FatalError(u"SetProps failed.", kTag);
        mapi::Ptr<mapi::IStream> stream = OpenStream(attach.get(), mapi::PR_ATTACH_DATA_BIN);
        if (!stream) FatalError(u"OpenProperty failed.", kTag);
        if (!WriteExactly(stream.get(), attachData[i], attachSize[i])) FatalError(u"Write failed.", kTag);
    }
}

}  // namespace tallymere
