#include "phone/device_deliver.h"

#include "platform/device.h"
#include "platform/file.h"
#include "platform/filesys.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/values.h"
#include "platform/text.h"

namespace phone {

namespace {

void Check(mapi::HRESULT result, const char* what) {
    if (result != 0) throw Failure{std::string("the message store refused ") + what};
}

std::u16string MmsPath(const std::u16string& name) {
    return std::u16string(platform::device::kMmsFolder) + u"\\" + name;
}

// Puts the MMS file where the MMS client keeps it; returns its device path.
std::u16string StoreMmsFile(const Attachment& file, const platform::FILETIME& time) {
    const std::u16string path = MmsPath(FreeMmsName(file.filename));
    auto out = platform::File::Open(path, u"wb");
    if (!out || out->Write(file.data.data(), file.data.size()) != file.data.size() || !out->Close()) {
        platform::DeleteFileW(path);
        throw Failure{"cannot write the MMS file " + platform::ToUtf8(path)};
    }
    if (!platform::SetFileCreationTime(path, time)) {
        platform::DeleteFileW(path);
        throw Failure{"cannot stamp the MMS file " + platform::ToUtf8(path)};
    }
    return path;
}

Bytes Store(Phone& phone, const Delivery& d, Delivery* release, mapi::IMAPIFolder* open);

}  // namespace

Bytes Deliver(Phone& phone, const Delivery& d, mapi::IMAPIFolder* open) { return Store(phone, d, nullptr, open); }

Bytes Deliver(Phone& phone, Delivery&& d, mapi::IMAPIFolder* open) { return Store(phone, d, &d, open); }

std::u16string FreeMmsName(const std::u16string& name) {
    if (!platform::PathExists(MmsPath(name))) return name;
    const std::size_t dot = name.rfind(u'.');
    const std::u16string stem = dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::u16string extension = dot == std::u16string::npos || dot == 0 ? u"" : name.substr(dot);
    for (int n = 2;; ++n) {
        std::u16string candidate = stem + u" (" + platform::FromUtf8(std::to_string(n)) + u")" + extension;
        if (!platform::PathExists(MmsPath(candidate))) return candidate;
    }
}

namespace {

// `release`, when given, is `d`, whose subject and body may go once the store holds them.
Bytes Store(Phone& phone, const Delivery& d, Delivery* release, mapi::IMAPIFolder* open) {
    mapi::Ptr<mapi::IMAPIFolder> found;
    if (!open) found = phone.FindFolder(d.folder);
    mapi::IMAPIFolder* folder = open ? open : found.get();

    std::optional<std::u16string> mmsPath;
    if (d.mms) mmsPath = StoreMmsFile(*d.mms, d.deliveryTime);
    mapi::Ptr<mapi::IMessage> message;
    try {
        Check(folder->CreateMessage(nullptr, 0, message.Out()), "CreateMessage");

        const std::size_t bodyUnits = d.longBody ? platform::Utf16Length(*d.longBody) : d.body.size();
        std::uint32_t size = static_cast<std::uint32_t>(bodyUnits * 2);
        for (const Attachment& a : d.attachments) size += static_cast<std::uint32_t>(a.data.size());
        if (d.mms) size = static_cast<std::uint32_t>(d.mms->data.size());
        const std::u16string messageClass = d.mms ? u"IPM.MMS" : d.messageClass;
        const platform::FILETIME modified = d.lastModificationTime.value_or(platform::GetSystemTimeAsFileTime());

        std::vector<mapi::SPropValue> values = {
            mapi::TextValue(mapi::PR_MESSAGE_CLASS_W, messageClass),
            mapi::TimeValue(mapi::PR_LAST_MODIFICATION_TIME, modified),
            mapi::LongValue(mapi::PR_MESSAGE_FLAGS, d.read ? mapi::MSGFLAG_READ : 0),
            mapi::LongValue(mapi::PR_MESSAGE_SIZE, size),
        };
        // A long text is shared with the store; the subject may be the body's.
        const std::shared_ptr<const std::string>& longSubject = d.subjectIsBody ? d.longBody : d.longSubject;
        if (!longSubject) values.push_back(mapi::TextValue(mapi::PR_SUBJECT_W, d.subjectIsBody ? d.body : d.subject));
        if (platform::ToTicks(d.deliveryTime) != 0) {
            values.push_back(mapi::TimeValue(mapi::PR_MESSAGE_DELIVERY_TIME, d.deliveryTime));
        }
        mapi::SPropValue hasAttach;
        hasAttach.ulPropTag = mapi::PR_HASATTACH;
        hasAttach.Value.b = d.attachments.empty() ? 0 : 1;
        values.push_back(hasAttach);
        // The body goes with the other properties (one write less than a stream) unless a
        // U+0000 in it would end the text there.
        const bool bodyAsValue = !d.body.empty() && d.body.find(u'\0') == std::u16string::npos;
        if (bodyAsValue) values.push_back(mapi::TextValue(mapi::PR_BODY_W, d.body));
        if (d.from) values.push_back(mapi::TextValue(mapi::PR_SENDER_EMAIL_ADDRESS_W, *d.from));
        if (d.fromName) values.push_back(mapi::TextValue(mapi::PR_SENDER_NAME_W, *d.fromName));
        Check(message->SetProps(static_cast<mapi::ULONG>(values.size()), values.data(), nullptr), "SetProps");
        values.clear();
        if (longSubject)
            Check(mapi::HrSetTextShared(message.get(), mapi::PR_SUBJECT_W, longSubject), "HrSetTextShared");
        if (d.longBody) Check(mapi::HrSetTextShared(message.get(), mapi::PR_BODY_W, d.longBody), "HrSetTextShared");
        // What the store holds now may go.
        if (release != nullptr) {
            std::u16string().swap(release->subject);
            if (bodyAsValue) std::u16string().swap(release->body);
            release->longSubject.reset();
            release->longBody.reset();
        }

        if (!d.to.empty()) {
            const std::u16string sms = u"SMS";
            std::vector<std::vector<mapi::SPropValue>> rows;
            std::vector<mapi::ADRENTRY> entries;
            for (const Recipient& r : d.to) {
                rows.push_back({mapi::LongValue(mapi::PR_RECIPIENT_TYPE, r.type),
                                mapi::TextValue(mapi::PR_ADDRTYPE_W, sms),
                                mapi::TextValue(mapi::PR_EMAIL_ADDRESS_W, r.address)});
                if (!r.name.empty()) rows.back().push_back(mapi::TextValue(mapi::PR_DISPLAY_NAME_W, r.name));
            }
            for (auto& row : rows) entries.push_back({0, static_cast<mapi::ULONG>(row.size()), row.data()});
            mapi::ADRLIST list{static_cast<mapi::ULONG>(entries.size()), entries.data()};
            Check(message->ModifyRecipients(mapi::MODRECIP_ADD, &list), "ModifyRecipients");
        }
        if (!d.body.empty() && !bodyAsValue) {
            const std::string bodyBytes = platform::ToUtf16Le(d.body);
            WriteStream(message.get(), mapi::PR_BODY_W, Bytes(bodyBytes.begin(), bodyBytes.end()));
        }
        for (const Attachment& a : d.attachments) {
            mapi::Ptr<mapi::IAttach> attach;
            mapi::ULONG number = 0;
            Check(message->CreateAttach(nullptr, 0, &number, attach.Out()), "CreateAttach");
            mapi::SPropValue props[] = {mapi::LongValue(mapi::PR_ATTACH_METHOD, mapi::ATTACH_BY_VALUE),
                                        mapi::TextValue(mapi::PR_ATTACH_FILENAME_W, a.filename)};
            Check(attach->SetProps(2, props, nullptr), "SetProps");
            WriteStream(attach.get(), mapi::PR_ATTACH_DATA_BIN, a.data);
        }
        // The message is stored in one transaction here. Its identifier is asked for only now:
        // asked for earlier, a new message's identifier costs a transaction of its own.
        Check(message->SaveChanges(0), "SaveChanges");
        return EntryIdOf(message.get());
    } catch (const Failure&) {
        if (mmsPath) platform::DeleteFileW(*mmsPath);
        // What was written so far is stored when the message is let go: it is removed again.
        Bytes id;
        if (message) {
            try {
                id = EntryIdOf(message.get());
            } catch (const Failure&) {
            }
            message.reset();
        }
        if (!id.empty()) {
            mapi::SBinary entry{static_cast<mapi::ULONG>(id.size()), id.data()};
            mapi::ENTRYLIST list{1, &entry};
            folder->DeleteMessages(&list, 0, nullptr, 0);
        }
        throw;
    }
}

}  // namespace

}  // namespace phone
