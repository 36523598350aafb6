// A message arriving on the phone, stored as the phone's messaging client stores one: the
// message is created, then its properties, recipients, body and attachments are set, and it is
// released (so the store notifies it as created, then modified). An MMS also leaves its file
// in "\My Documents\UAContents\MMS UA", stamped with the delivery time, as the MMS client does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "phone/device_store.h"
#include "platform/time.h"

namespace phone {

struct Recipient {
    std::u16string address;
    std::u16string name;               // empty: the row gets no display name
    mapi::ULONG type = mapi::MAPI_TO;  // MAPI_TO, MAPI_CC or MAPI_BCC
};

struct Attachment {
    std::u16string filename;
    Bytes data;
};

struct Delivery {
    std::u16string folder = u"SMS/Inbox";
    std::optional<std::u16string> from;
    std::optional<std::u16string> fromName;
    std::vector<Recipient> to;
    std::u16string subject;
    std::u16string body;
    // A long subject or body kept as the UTF-8 it was read as, in place of `subject` or `body`
    // (which then stays empty): the store converts it piece by piece as it writes it, so that
    // it is held once.
    std::shared_ptr<const std::string> longSubject;
    std::shared_ptr<const std::string> longBody;
    bool subjectIsBody = false;  // the subject is the body's text (an SMS's is); `subject` stays empty
    std::u16string messageClass = u"IPM.SMStext";
    std::vector<Attachment> attachments;
    std::optional<Attachment> mms;                           // makes an "IPM.MMS" message of the file's size
    platform::FILETIME deliveryTime;                         // all zero: the message has none
    std::optional<platform::FILETIME> lastModificationTime;  // default: now
    bool read = false;
};

// Stores the message and returns its entry identifier. The folder must exist; nothing is
// written when it does not (Failure). `folder`, when given, is the open folder of the path.
// When the store refuses a step, what was written is removed again.
Bytes Deliver(Phone& phone, const Delivery& delivery, mapi::IMAPIFolder* folder = nullptr);
// The same, letting go of the subject and the body as soon as the store holds them, so that a
// text is not held twice while the message is written.
Bytes Deliver(Phone& phone, Delivery&& delivery, mapi::IMAPIFolder* folder = nullptr);

// The name under which the MMS client keeps a file called `name`: the name itself, or with
// " (2)", " (3)", ... before its extension when that is taken.
std::u16string FreeMmsName(const std::u16string& name);

}  // namespace phone
