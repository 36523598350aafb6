#include "phone/device_dump.h"

#include "phone/sha256.h"
#include "platform/text.h"

namespace phone {

namespace {

using Json = nlohmann::ordered_json;

std::string Utf8(std::u16string_view text) { return platform::ToUtf8(text); }

// The value of one returned property as JSON (null when it came back as an error).
Json Value(const mapi::SPropValue& value, mapi::ULONG tag) {
    if (value.ulPropTag != tag) return nullptr;
    switch (mapi::PROP_TYPE(tag)) {
        case mapi::PT_UNICODE: return Utf8(value.Value.lpszW);
        case mapi::PT_LONG: return value.Value.ul;
        case mapi::PT_BOOLEAN: return value.Value.b != 0;
        case mapi::PT_SYSTIME: return platform::ToTicks(value.Value.ft);
        default: return nullptr;
    }
}

Json Recipients(mapi::IMessage* message) {
    Json list = Json::array();
    mapi::Ptr<mapi::IMAPITable> table;
    if (message->GetRecipientTable(0, table.Out()) != 0) return list;
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(1, 0, rows.Out()) != 0 || rows.size() == 0) break;
        Json r = {{"type", nullptr}, {"addrtype", nullptr}, {"email", nullptr}, {"display_name", nullptr}};
        const mapi::SRow& row = rows->aRow[0];
        for (mapi::ULONG i = 0; i < row.cValues; ++i) {
            const mapi::SPropValue& v = row.lpProps[i];
            switch (v.ulPropTag) {
                case mapi::PR_RECIPIENT_TYPE: r["type"] = v.Value.ul; break;
                case mapi::PR_ADDRTYPE_W: r["addrtype"] = Utf8(v.Value.lpszW); break;
                case mapi::PR_EMAIL_ADDRESS_W: r["email"] = Utf8(v.Value.lpszW); break;
                case mapi::PR_DISPLAY_NAME_W: r["display_name"] = Utf8(v.Value.lpszW); break;
                default: break;
            }
        }
        list.push_back(std::move(r));
    }
    return list;
}

Json Attachments(mapi::IMessage* message) {
    Json list = Json::array();
    mapi::Ptr<mapi::IMAPITable> table;
    if (message->GetAttachmentTable(0, table.Out()) != 0) return list;
    mapi::ULONG tags[] = {mapi::PR_ATTACH_NUM, mapi::PR_ATTACH_SIZE, mapi::PR_ATTACH_METHOD,
                          mapi::PR_ATTACH_FILENAME_W};
    mapi::SPropTagArray columns{4, tags};
    if (table->SetColumns(&columns, 0) != 0) return list;
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(1, 0, rows.Out()) != 0 || rows.size() == 0) break;
        const mapi::SPropValue* p = rows->aRow[0].lpProps;
        Json a;
        a["num"] = Value(p[0], tags[0]);
        a["size"] = Value(p[1], tags[1]);
        a["method"] = Value(p[2], tags[2]);
        a["filename"] = Value(p[3], tags[3]);
        a["sha256"] = nullptr;
        mapi::Ptr<mapi::IAttach> attach;
        if (p[0].ulPropTag == tags[0] && message->OpenAttach(p[0].Value.ul, nullptr, 0, attach.Out()) == 0) {
            a["sha256"] = Sha256Hex(ReadStream(attach.get(), mapi::PR_ATTACH_DATA_BIN));
        }
        list.push_back(std::move(a));
    }
    return list;
}

Json Message(Phone& phone, const Bytes& id) {
    static const std::pair<const char*, mapi::ULONG> kFields[] = {
        {"subject_prefix", mapi::PR_SUBJECT_PREFIX_W},
        {"subject", mapi::PR_SUBJECT_W},
        {"sender_name", mapi::PR_SENDER_NAME_W},
        {"sender_email", mapi::PR_SENDER_EMAIL_ADDRESS_W},
        {"msg_status", mapi::PR_MSG_STATUS},
        {"message_size", mapi::PR_MESSAGE_SIZE},
        {"content_length", mapi::PR_CONTENT_LENGTH},
        {"message_flags", mapi::PR_MESSAGE_FLAGS},
        {"delivery_time", mapi::PR_MESSAGE_DELIVERY_TIME},
        {"last_modification_time", mapi::PR_LAST_MODIFICATION_TIME},
        {"message_class", mapi::PR_MESSAGE_CLASS_W},
        {"service_name", mapi::PR_SERVICE_NAME_W},
        {"has_attach", mapi::PR_HASATTACH},
    };
    mapi::Ptr<mapi::IMessage> message = phone.OpenMessage(id);
    mapi::ULONG tags[std::size(kFields)];
    for (std::size_t i = 0; i < std::size(kFields); ++i) tags[i] = kFields[i].second;
    mapi::SPropTagArray array{static_cast<mapi::ULONG>(std::size(kFields)), tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    if (message->GetProps(&array, mapi::MAPI_UNICODE, &count, values.Out()) != 0) {
        throw Failure{"cannot read message " + Hex(id)};
    }
    Json m;
    m["entryid"] = Hex(id);
    for (std::size_t i = 0; i < std::size(kFields); ++i) m[kFields[i].first] = Value(values[i], tags[i]);
    m["recipients"] = Recipients(message.get());
    if (const std::optional<Bytes> body = ReadStreamIfAny(message.get(), mapi::PR_BODY_W)) {
        m["body"] = Utf8(platform::FromUtf16Le(body->data(), body->size()));
    } else {
        m["body"] = nullptr;
    }
    m["attachments"] = Attachments(message.get());
    return m;
}

}  // namespace

nlohmann::ordered_json Dump(Phone& phone) {
    Json stores = Json::array();
    for (const Named& store : phone.Stores()) {
        Json folders = Json::array();
        phone.WalkFolders(store, [&](const std::u16string& path, mapi::IMAPIFolder* folder, int) {
            Json messages = Json::array();
            for (const Bytes& id : phone.Messages(folder)) messages.push_back(Message(phone, id));
            Json f;
            f["path"] = Utf8(path);
            f["entryid"] = Hex(EntryIdOf(folder));
            f["messages"] = std::move(messages);
            folders.push_back(std::move(f));
        });
        Json s;
        s["name"] = Utf8(store.name);
        s["entryid"] = Hex(store.id);
        s["folders"] = std::move(folders);
        stores.push_back(std::move(s));
    }
    Json dump;
    dump["stores"] = std::move(stores);
    return dump;
}

}  // namespace phone
