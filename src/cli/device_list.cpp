#include "cli/device_list.h"

#include <string>

#include "cli/iso_time.h"
#include "platform/text.h"

namespace cli::device {

void ListTree(Phone& phone, std::FILE* out) {
    for (const Named& store : phone.Stores()) {
        phone.WalkFolders(store, [&](const std::u16string& path, mapi::IMAPIFolder* folder, int depth) {
            const std::u16string name = depth == 0 ? path : path.substr(path.rfind(u'/') + 1);
            const std::uint32_t count = GetNumber(folder, mapi::PR_CONTENT_COUNT).value_or(0);
            const std::uint32_t unread = GetNumber(folder, mapi::PR_CONTENT_UNREAD).value_or(0);
            std::fprintf(out, "%*s%s (%u%s)\n", depth * 2, "", platform::ToUtf8(name).c_str(), count,
                         unread ? (", " + std::to_string(unread) + " unread").c_str() : "");
        });
    }
}

void ListFolder(Phone& phone, std::u16string_view path, std::FILE* out) {
    mapi::Ptr<mapi::IMAPIFolder> folder = phone.FindFolder(path);
    for (const Bytes& id : phone.Messages(folder.get())) {
        mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(id);
        mapi::ULONG tags[] = {mapi::PR_MESSAGE_DELIVERY_TIME, mapi::PR_SENDER_NAME_W, mapi::PR_SENDER_EMAIL_ADDRESS_W,
                              mapi::PR_SUBJECT_W, mapi::PR_MESSAGE_FLAGS};
        mapi::SPropTagArray array{5, tags};
        mapi::ULONG count = 0;
        mapi::Buffer<mapi::SPropValue> v;
        if (message->GetProps(&array, 0, &count, v.Out()) != 0) throw Failure{"cannot read message " + Hex(id)};
        const std::string when = v[0].ulPropTag == tags[0] ? FormatIsoTime(v[0].Value.ft) : "-";
        std::string who = "-";
        if (v[1].ulPropTag == tags[1]) {
            who = platform::ToUtf8(v[1].Value.lpszW);
        } else if (v[2].ulPropTag == tags[2]) {
            who = platform::ToUtf8(v[2].Value.lpszW);
        }
        std::string subject = v[3].ulPropTag == tags[3] ? platform::ToUtf8(v[3].Value.lpszW) : "";
        for (char& c : subject) {
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        }
        const bool unread = v[4].ulPropTag == tags[4] && (v[4].Value.ul & mapi::MSGFLAG_READ) == 0;
        std::fprintf(out, "%s  %s %s  %s  %s\n", Hex(id).c_str(), when.c_str(), unread ? "*" : " ", who.c_str(),
                     subject.c_str());
    }
}

}  // namespace cli::device
