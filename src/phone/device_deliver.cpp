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

// Characters from which a text is long enough to be shared with the store rather than copied.
constexpr std::size_t kLongText = 64 * 1024;

// `text` for the store to share: moved out of `release` when given (which is `text`), else copied.
std::shared_ptr<const std::u16string> Share(const std::u16string& text, std::u16string* release) {
    if (release != nullptr) return std::make_shared<const std::u16string>(std::move(*release));
    return std::make_shared<const std::u16string>(text);
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

        std::uint32_t size = static_cast<std::uint32_t>(d.body.size() * 2);
        for (const Attachment& a : d.attachments) size += static_cast<std::uint32_t>(a.data.size());
        if (d.mms) size = static_cast<std::uint32_t>(d.mms->data.size());
        const std::u16string messageClass = d.mms ? u"IPM.MMS" : d.messageClass;
        const platform::FILETIME modified = d.lastModificationTime.value_or(platform::GetSystemTimeAsFileTime());

        // A text with U+0000 in it would end there as a value: such a body goes as a stream.
        const bool bodyAsValue = !d.body.empty() && d.body.find(u'\0') == std::u16string::npos;
        // A long text is shared with the store instead of copied into it, and the subject of an
        // SMS is the very text of its body, so that the text is held once while it is written.
        const bool shareBody = bodyAsValue && d.body.size() > kLongText;
        const std::u16string& subject = d.subjectIsBody ? d.body : d.subject;
        const bool shareSubject = subject.size() > kLongText && subject.find(u'\0') == std::u16string::npos;

        std::vector<mapi::SPropValue> values = {
            mapi::TextValue(mapi::PR_MESSAGE_CLASS_W, messageClass),
            mapi::TimeValue(mapi::PR_LAST_MODIFICATION_TIME, modified),
            mapi::LongValue(mapi::PR_MESSAGE_FLAGS, d.read ? mapi::MSGFLAG_READ : 0),
            mapi::LongValue(mapi::PR_MESSAGE_SIZE, size),
        };
        if (!shareSubject) values.push_back(mapi::TextValue(mapi::PR_SUBJECT_W, subject));
        if (platform::ToTicks(d.deliveryTime) != 0) {
            values.push_back(mapi::TimeValue(mapi::PR_MESSAGE_DELIVERY_TIME, d.deliveryTime));
        }
        mapi::SPropValue hasAttach;
        hasAttach.ulPropTag = mapi::PR_HASATTACH;
        hasAttach.Value.b = d.attachments.empty() ? 0 : 1;
        values.push_back(hasAttach);
        if (bodyAsValue && !shareBody) values.push_back(mapi::TextValue(mapi::PR_BODY_W, d.body));
        if (d.from) values.push_back(mapi::TextValue(mapi::PR_SENDER_EMAIL_ADDRESS_W, *d.from));
        if (d.fromName) values.push_back(mapi::TextValue(mapi::PR_SENDER_NAME_W, *d.fromName));
        Check(message->SetProps(static_cast<mapi::ULONG>(values.size()), values.data(), nullptr), "SetProps");
        values.clear();

        std::shared_ptr<const std::u16string> bodyText, subjectText;
        if (shareBody) bodyText = Share(d.body, release ? &release->body : nullptr);
        if (shareSubject) {
            subjectText = d.subjectIsBody ? bodyText : Share(d.subject, release ? &release->subject : nullptr);
            Check(mapi::HrSetTextShared(message.get(), mapi::PR_SUBJECT_W, std::move(subjectText)), "HrSetTextShared");
        }
        if (bodyText) Check(mapi::HrSetTextShared(message.get(), mapi::PR_BODY_W, std::move(bodyText)), "HrSetTextShared");
        // What was copied into the store may go.
        if (release != nullptr) {
            std::u16string().swap(release->subject);
            if (bodyAsValue) std::u16string().swap(release->body);
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
