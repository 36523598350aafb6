#include "phone/device_list.h"

#include <string>
#include <vector>

#include "phone/iso_time.h"
#include "platform/text.h"

namespace phone {

namespace {

struct FolderLine {
    std::u16string path;
    int depth = 0;
    std::uint32_t count = 0;
    std::uint32_t unread = 0;
};

std::vector<FolderLine> Folders(Phone& phone, const Named& store) {
    std::vector<FolderLine> lines;
    phone.WalkFolders(store, [&](const std::u16string& path, mapi::IMAPIFolder* folder, int depth) {
        lines.push_back({path, depth, GetNumber(folder, mapi::PR_CONTENT_COUNT).value_or(0),
                         GetNumber(folder, mapi::PR_CONTENT_UNREAD).value_or(0)});
    });
    return lines;
}

struct MessageLine {
    std::string id, when, who, subject;
    bool unread = false;
};

std::vector<MessageLine> Messages(Phone& phone, std::u16string_view path) {
    std::vector<MessageLine> lines;
    mapi::Ptr<mapi::IMAPIFolder> folder = phone.FindFolder(path);
    for (const Bytes& id : phone.Messages(folder.get())) {
        mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(id);
        mapi::ULONG tags[] = {mapi::PR_MESSAGE_DELIVERY_TIME, mapi::PR_SENDER_NAME_W, mapi::PR_SENDER_EMAIL_ADDRESS_W,
                              mapi::PR_SUBJECT_W, mapi::PR_MESSAGE_FLAGS};
        mapi::SPropTagArray array{5, tags};
        mapi::ULONG count = 0;
        mapi::Buffer<mapi::SPropValue> v;
        if (message->GetProps(&array, 0, &count, v.Out()) != 0) throw Failure{"cannot read message " + Hex(id)};
        MessageLine line;
        line.id = Hex(id);
        line.when = v[0].ulPropTag == tags[0] ? FormatIsoTime(v[0].Value.ft) : "-";
        line.who = "-";
        if (v[1].ulPropTag == tags[1]) {
            line.who = platform::ToUtf8(v[1].Value.lpszW);
        } else if (v[2].ulPropTag == tags[2]) {
            line.who = platform::ToUtf8(v[2].Value.lpszW);
        }
        line.subject = v[3].ulPropTag == tags[3] ? platform::ToUtf8(v[3].Value.lpszW) : "";
        line.unread = v[4].ulPropTag == tags[4] && (v[4].Value.ul & mapi::MSGFLAG_READ) == 0;
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

void ListTree(Phone& phone, std::FILE* out) {
    for (const Named& store : phone.Stores()) {
        for (const FolderLine& f : Folders(phone, store)) {
            const std::u16string name = f.depth == 0 ? f.path : f.path.substr(f.path.rfind(u'/') + 1);
            std::fprintf(out, "%*s%s (%u%s)\n", f.depth * 2, "", platform::ToUtf8(name).c_str(), f.count,
                         f.unread ? (", " + std::to_string(f.unread) + " unread").c_str() : "");
        }
    }
}

void ListFolder(Phone& phone, std::u16string_view path, std::FILE* out) {
    for (MessageLine& m : Messages(phone, path)) {
        for (char& c : m.subject) {
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        }
        std::fprintf(out, "%s  %s %s  %s  %s\n", m.id.c_str(), m.when.c_str(), m.unread ? "*" : " ", m.who.c_str(),
                     m.subject.c_str());
    }
}

nlohmann::ordered_json TreeJson(Phone& phone) {
    nlohmann::ordered_json stores = nlohmann::ordered_json::array();
    for (const Named& store : phone.Stores()) {
        nlohmann::ordered_json folders = nlohmann::ordered_json::array();
        for (const FolderLine& f : Folders(phone, store)) {
            folders.push_back({{"path", platform::ToUtf8(f.path)}, {"messages", f.count}, {"unread", f.unread}});
        }
        stores.push_back({{"name", platform::ToUtf8(store.name)}, {"folders", std::move(folders)}});
    }
    return {{"stores", std::move(stores)}};
}

nlohmann::ordered_json FolderJson(Phone& phone, std::u16string_view path) {
    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    for (const MessageLine& m : Messages(phone, path)) {
        messages.push_back(
            {{"entryid", m.id},
             {"delivery_time", m.when == "-" ? nlohmann::ordered_json() : nlohmann::ordered_json(m.when)},
             {"sender", m.who == "-" ? nlohmann::ordered_json() : nlohmann::ordered_json(m.who)},
             {"subject", m.subject},
             {"read", !m.unread}});
    }
    return {{"path", platform::ToUtf8(path)}, {"messages", std::move(messages)}};
}

}  // namespace phone
