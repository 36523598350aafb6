#include "archive/qmsg.h"

#include <algorithm>

#include "platform/text.h"

namespace tallymere {

namespace {

void SetText(std::u16string& field, std::uint32_t& length, std::u16string_view text) {
    field.assign(text);
    length = static_cast<std::uint32_t>(field.size());
}

}  // namespace

qMsg::qMsg(platform::mapi::IMAPISession* s, std::uint32_t size, const std::uint8_t* bytes) : session(s) {
    SetEntryID(size, bytes);
}

void qMsg::Clear() {
    platform::mapi::IMAPISession* kept = session;
    *this = qMsg(kept, 0, nullptr);
}

void qMsg::SetFolder(std::u16string_view path) { folderPath.assign(path); }

void qMsg::SetEntryID(std::uint32_t size, const std::uint8_t* bytes) {
    entryIdSize = size;
    if (bytes) {
        entryId.assign(bytes, bytes + size);
    } else {
        entryId.clear();
    }
}

void qMsg::SetSubjectPrefix(std::u16string_view t) { SetText(subjectPrefix, subjectPrefixLen, t); }
void qMsg::SetSubject(std::u16string_view t) { SetText(subject, subjectLen, t); }
void qMsg::SetSenderName(std::u16string_view t) { SetText(senderName, senderNameLen, t); }
void qMsg::SetSenderEmail(std::u16string_view t) { SetText(senderEmail, senderEmailLen, t); }
void qMsg::SetMessageClass(std::u16string_view t) { SetText(messageClass, messageClassLen, t); }
void qMsg::SetServiceName(std::u16string_view t) { SetText(serviceName, serviceNameLen, t); }
void qMsg::GrowRecipients(std::size_t size) {
    if (recipientType.size() >= size) return;
    recipientType.resize(size);
    addrTypeLen.resize(size);
    addrType.resize(size);
    emailAddressLen.resize(size);
    emailAddress.resize(size);
    displayNameLen.resize(size);
    displayName.resize(size);
}

void qMsg::GrowAttachments(std::size_t size) {
    if (attachNum.size() >= size) return;
    attachNum.resize(size);
    attachSize.resize(size);
    attachMethod.resize(size);
    attachFilenameLen.resize(size);
    attachFilename.resize(size);
    attachData.resize(size);
}

std::uint32_t qMsg::RecipientSlot(std::uint32_t i) {
    GrowRecipients(static_cast<std::size_t>(i) + 1);
    return i;
}

std::uint32_t qMsg::AttachmentSlot(std::uint32_t i) {
    GrowAttachments(static_cast<std::size_t>(i) + 1);
    return i;
}

void qMsg::SetRecipientCount(std::uint32_t value) {
    GrowRecipients(value);
    recipientCount = value;
}

void qMsg::SetAttachmentCount(std::uint32_t value) {
    GrowAttachments(value);
    attachmentCount = value;
}

std::uint32_t qMsg::RecipientSlots() const {
    return static_cast<std::uint32_t>(std::min<std::size_t>(recipientCount, recipientType.size()));
}

std::uint32_t qMsg::AttachmentSlots() const {
    return static_cast<std::uint32_t>(std::min<std::size_t>(attachmentCount, attachNum.size()));
}

void qMsg::SetAddrType(std::uint32_t i, std::u16string_view t) {
    RecipientSlot(i);
    SetText(addrType[i], addrTypeLen[i], t);
}
void qMsg::SetEmailAddress(std::uint32_t i, std::u16string_view t) {
    RecipientSlot(i);
    SetText(emailAddress[i], emailAddressLen[i], t);
}
void qMsg::SetDisplayName(std::uint32_t i, std::u16string_view t) {
    RecipientSlot(i);
    SetText(displayName[i], displayNameLen[i], t);
}
void qMsg::SetAttachFilename(std::uint32_t i, std::u16string_view t) {
    AttachmentSlot(i);
    SetText(attachFilename[i], attachFilenameLen[i], t);
}

void qMsg::SetAttachData(std::uint32_t i, std::span<const std::uint8_t> bytes) {
    AttachmentSlot(i);
    std::vector<std::uint8_t>& data = attachData[i];
    const std::size_t size = attachSize[i];
    data.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(size, bytes.size())));
    data.resize(size, 0);
}

void qMsg::SetBody(const std::uint8_t* bytes, std::uint32_t size) {
    bodySize = size;
    if (bytes) {
        body.assign(bytes, bytes + size);
    } else {
        body.assign(size, 0);
    }
}

std::u16string qMsg::BodyText() const { return platform::FromUtf16Le(body.data(), body.size()); }

}  // namespace tallymere
