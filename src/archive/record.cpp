#include "archive/record.h"

#include <algorithm>

#include "support/endian.h"

namespace tallymere {

namespace {

void PutText(std::vector<std::uint8_t>& out, const std::u16string& text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    for (char16_t c : text) PutU16(out, static_cast<std::uint16_t>(c));
}

// Exactly `size` bytes: the held bytes, cut or padded with zeros.
void PutBytes(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes, std::uint32_t size) {
    const std::size_t held = std::min<std::size_t>(bytes.size(), size);
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(held));
    out.insert(out.end(), size - held, 0);
}

void PutTime(std::vector<std::uint8_t>& out, const platform::FILETIME& time) {
    PutU32(out, time.dwLowDateTime);
    PutU32(out, time.dwHighDateTime);
}

}  // namespace

void EncodeRecord(const qMsg& msg, std::uint32_t folderIndex, std::vector<std::uint8_t>& out) {
    PutU32(out, static_cast<std::uint32_t>(msg.entryId.size()));
    out.insert(out.end(), msg.entryId.begin(), msg.entryId.end());
    PutU32(out, folderIndex);
    PutText(out, msg.subjectPrefix);
    PutText(out, msg.subject);
    PutText(out, msg.senderName);
    PutText(out, msg.senderEmail);
    PutU32(out, msg.msgStatus);
    PutU32(out, msg.messageSize);
    PutU32(out, msg.contentLength);
    PutU32(out, msg.messageFlags);
    PutTime(out, msg.deliveryTime);
    PutTime(out, msg.lastModificationTime);
    PutText(out, msg.messageClass);
    PutText(out, msg.serviceName);
    const std::uint32_t recipients = msg.RecipientSlots();
    PutU32(out, recipients);
    for (std::uint32_t i = 0; i < recipients; ++i) {
        PutU32(out, msg.recipientType[i]);
        PutText(out, msg.addrType[i]);
        PutText(out, msg.emailAddress[i]);
        PutText(out, msg.displayName[i]);
    }
    PutU32(out, msg.bodySize);
    PutBytes(out, msg.body, msg.bodySize);
    PutU16(out, static_cast<std::uint16_t>(msg.hasAttach));
    const std::uint32_t attachments = msg.AttachmentSlots();
    PutU32(out, attachments);
    for (std::uint32_t i = 0; i < attachments; ++i) {
        PutU32(out, msg.attachNum[i]);
        PutU32(out, msg.attachSize[i]);
        PutU32(out, msg.attachMethod[i]);
        PutText(out, msg.attachFilename[i]);
        PutBytes(out, msg.attachData[i], msg.attachSize[i]);
    }
}

}  // namespace tallymere
