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
void qMsg::SetAddrType(std::uint32_t i, std::u16string_view t) { SetText(addrType.at(i), addrTypeLen.at(i), t); }
void qMsg::SetEmailAddress(std::uint32_t i, std::u16string_view t) {
    SetText(emailAddress.at(i), emailAddressLen.at(i), t);
}
void qMsg::SetDisplayName(std::uint32_t i, std::u16string_view t) {
    SetText(displayName.at(i), displayNameLen.at(i), t);
}
void qMsg::SetAttachFilename(std::uint32_t i, std::u16string_view t) {
    SetText(attachFilename.at(i), attachFilenameLen.at(i), t);
}

void qMsg::SetAttachData(std::uint32_t i, std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t>& data = attachData.at(i);
    const std::size_t size = attachSize.at(i);
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
