// qMsg: the in-memory image of one message — its entry identifier, its folder path, the
// message properties the program keeps, its recipients, the body and its attachments with
// their data.
//
// Every path goes through it: backup and export fill it from the store, restore fills it from
// the archive and writes it into the store. The fields are read directly by those parts; they
// are filled through the setters, each of which keeps its own copy of what it is given. Wide
// strings carry a companion length in UTF-16 units; a string never set is empty with length 0.
//
// Recipients and attachments are parallel arrays (slot i of each describes recipient or
// attachment i) that grow with the slots set: a message has as many as it has, however many.
// Setting any slot, or a count, makes every array of that group at least that long, so the
// slots below the count can always be read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/ptr.h"
#include "platform/time.h"

namespace tallymere {

class qMsg {
public:
    // Every field zero or empty, then `session` (not owned) and the identifier are stored.
    qMsg(platform::mapi::IMAPISession* session, std::uint32_t entryIdSize, const std::uint8_t* entryId);

    // Empties every field except `session`, so that the record can be filled again.
    void Clear();

    void SetFolder(std::u16string_view path);
    // `entryIdSize` = size; `entryId` = a copy of the bytes, or empty when none are given.
    void SetEntryID(std::uint32_t size, const std::uint8_t* bytes);
    void SetSubjectPrefix(std::u16string_view text);
    void SetSubject(std::u16string_view text);
    void SetSenderName(std::u16string_view text);
    void SetSenderEmail(std::u16string_view text);
    void SetMessageClass(std::u16string_view text);
    void SetServiceName(std::u16string_view text);
    void SetMsgStatus(std::uint32_t value) { msgStatus = value; }
    void SetMessageSize(std::uint32_t value) { messageSize = value; }
    void SetContentLength(std::uint32_t value) { contentLength = value; }
    void SetMessageFlags(std::uint32_t value) { messageFlags = value; }
    void SetHasAttach(std::uint32_t value) { hasAttach = value; }
    // The count, with room for that many slots.
    void SetRecipientCount(std::uint32_t value);
    void SetAttachmentCount(std::uint32_t value);
    void SetDeliveryTime(const platform::FILETIME& time) { deliveryTime = time; }
    void SetLastModificationTime(const platform::FILETIME& time) { lastModificationTime = time; }

    // Slot setters: slot i of the group exists afterwards (the counts do not change).
    void SetRecipientType(std::uint32_t i, std::uint32_t value) { recipientType[RecipientSlot(i)] = value; }
    void SetAddrType(std::uint32_t i, std::u16string_view text);
    void SetEmailAddress(std::uint32_t i, std::u16string_view text);
    void SetDisplayName(std::uint32_t i, std::u16string_view text);
    void SetAttachNum(std::uint32_t i, std::uint32_t value) { attachNum[AttachmentSlot(i)] = value; }
    void SetAttachSize(std::uint32_t i, std::uint32_t value) { attachSize[AttachmentSlot(i)] = value; }
    void SetAttachMethod(std::uint32_t i, std::uint32_t value) { attachMethod[AttachmentSlot(i)] = value; }
    void SetAttachFilename(std::uint32_t i, std::u16string_view text);
    // Copies exactly `attachSize[i]` bytes (set it first); a shorter `bytes` is padded with zeros.
    void SetAttachData(std::uint32_t i, std::span<const std::uint8_t> bytes);

    // `bodySize` = size; `body` = a copy of the bytes (UTF-16LE text, zero bytes included).
    void SetBody(const std::uint8_t* bytes, std::uint32_t size);
    // The body as text (its UTF-16LE bytes read as code units).
    std::u16string BodyText() const;

    // The recipients and attachments that can be read: the count, or fewer when a caller set
    // the count field itself beyond the slots it filled.
    std::uint32_t RecipientSlots() const;
    std::uint32_t AttachmentSlots() const;

    // Reading from the message store (store/read_message.cpp): fills the record from the
    // message that `session` and the entry identifier name; the record should be fresh.
    // Failures are fatal.
    void GetMAPI();
    void GetProperties(platform::mapi::IMessage* message);
    void GetRecipients(platform::mapi::IMessage* message);
    void GetMessageBody(platform::mapi::IMessage* message);
    void GetAttachments(platform::mapi::IMessage* message);

    // Writing into the message store (store/write_message.cpp). CreateMessage makes a new
    // message in the record's folder path (creating the path), makes the record name it and
    // returns it open; SetMAPI writes properties, recipients, body and attachments into it.
    // The store keeps an open message's changes until its last release and then stores the
    // message whole in one transaction, so a message created, filled and released is in the
    // store complete or, when the process ends before the release, not at all. SetMAPI()
    // opens the message the record names itself. Failures are fatal.
    platform::mapi::Ptr<platform::mapi::IMessage> CreateMessage();
    void SetMAPI();
    void SetMAPI(platform::mapi::IMessage* message);
    void SetProperties(platform::mapi::IMessage* message);
    void SetRecipients(platform::mapi::IMessage* message);
    void SetMessageBody(platform::mapi::IMessage* message);
    void SetAttachments(platform::mapi::IMessage* message);

    platform::mapi::IMAPISession* session = nullptr;
    std::u16string folderPath;
    std::uint32_t entryIdSize = 0;
    std::vector<std::uint8_t> entryId;
    std::uint32_t subjectPrefixLen = 0;
    std::u16string subjectPrefix;
    std::uint32_t subjectLen = 0;
    std::u16string subject;
    std::uint32_t senderNameLen = 0;
    std::u16string senderName;
    std::uint32_t senderEmailLen = 0;
    std::u16string senderEmail;
    std::uint32_t msgStatus = 0;
    std::uint32_t messageSize = 0;
    std::uint32_t contentLength = 0;
    std::uint32_t messageFlags = 0;
    platform::FILETIME deliveryTime;
    platform::FILETIME lastModificationTime;
    std::uint32_t messageClassLen = 0;
    std::u16string messageClass;
    std::uint32_t serviceNameLen = 0;
    std::u16string serviceName;
    std::uint32_t hasAttach = 0;

    std::uint32_t recipientCount = 0;
    std::vector<std::uint32_t> recipientType;
    std::vector<std::uint32_t> addrTypeLen;
    std::vector<std::u16string> addrType;
    std::vector<std::uint32_t> emailAddressLen;
    std::vector<std::u16string> emailAddress;
    std::vector<std::uint32_t> displayNameLen;
    std::vector<std::u16string> displayName;

    std::uint32_t bodySize = 0;
    std::vector<std::uint8_t> body;

    std::uint32_t attachmentCount = 0;
    std::vector<std::uint32_t> attachNum;
    std::vector<std::uint32_t> attachSize;
    std::vector<std::uint32_t> attachMethod;
    std::vector<std::uint32_t> attachFilenameLen;
    std::vector<std::u16string> attachFilename;
    std::vector<std::vector<std::uint8_t>> attachData;

private:
    // Makes slot i of every recipient (attachment) array exist; returns i.
    std::uint32_t RecipientSlot(std::uint32_t i);
    std::uint32_t AttachmentSlot(std::uint32_t i);
    void GrowRecipients(std::size_t size);
    void GrowAttachments(std::size_t size);
};

}  // namespace tallymere
