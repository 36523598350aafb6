#include "phone/device_store.h"

#include "platform/text.h"

namespace phone {

namespace {

std::vector<std::u16string> Split(std::u16string_view path) {
    std::vector<std::u16string> parts(1);
    for (char16_t c : path) {
        if (c == u'/') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

void Check(mapi::HRESULT result, const char* what) {
    if (result != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(result));
        throw Failure{std::string("the message store refused ") + what + " (0x" + code + ")"};
    }
}

}  // namespace

std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t b : bytes) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 0xF]);
    }
    return hex;
}

Bytes ParseId(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes bytes;
    bool ok = text.size() == 40;
    for (std::size_t i = 0; ok && i < text.size(); i += 2) {
        const int high = value(text[i]), low = value(text[i + 1]);
        ok = high >= 0 && low >= 0;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (!ok) throw Failure{"malformed identifier \"" + std::string(text) + "\" (expected 40 hexadecimal digits)", true};
    return bytes;
}

namespace {

// The value of property `tag` of `object` in the store's buffer; an empty buffer when the
// object has none.
mapi::Buffer<mapi::SPropValue> GetOne(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::ULONG tags[] = {tag};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    Check(object->GetProps(&array, 0, &count, values.Out()), "GetProps");
    if (values[0].ulPropTag != tag) values.reset();
    return values;
}

}  // namespace

Bytes EntryIdOf(mapi::IMAPIProp* object) {
    const mapi::Buffer<mapi::SPropValue> value = GetOne(object, mapi::PR_ENTRYID);
    if (!value) return {};
    return Bytes(value->Value.bin.lpb, value->Value.bin.lpb + value->Value.bin.cb);
}

std::optional<std::u16string> GetText(mapi::IMAPIProp* object, mapi::ULONG tag) {
    const mapi::Buffer<mapi::SPropValue> value = GetOne(object, tag);
    if (!value) return std::nullopt;
    return std::u16string(value->Value.lpszW);
}

std::optional<std::uint32_t> GetNumber(mapi::IMAPIProp* object, mapi::ULONG tag) {
    const mapi::Buffer<mapi::SPropValue> value = GetOne(object, tag);
    if (!value) return std::nullopt;
    return mapi::PROP_TYPE(tag) == mapi::PT_BOOLEAN ? value->Value.b : value->Value.ul;
}

Bytes ReadStream(mapi::IMAPIProp* object, mapi::ULONG tag) { return ReadStreamIfAny(object, tag).value_or(Bytes()); }

std::optional<Bytes> ReadStreamIfAny(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Ptr<mapi::IUnknown> unknown;
    if (object->OpenProperty(tag, nullptr, 0, 0, unknown.Out()) != 0) return std::nullopt;
    mapi::Ptr<mapi::IStream> stream = std::move(unknown).As<mapi::IStream>();
    mapi::STATSTG status{};
    Check(stream->Stat(&status, mapi::STATFLAG_NONAME), "Stat");
    Bytes bytes(status.cbSize);
    mapi::ULONG read = 0;
    Check(stream->Read(bytes.data(), static_cast<mapi::ULONG>(bytes.size()), &read), "Read");
    bytes.resize(read);
    return bytes;
}

void WriteStream(mapi::IMAPIProp* object, mapi::ULONG tag, const Bytes& bytes) {
    mapi::Ptr<mapi::IUnknown> unknown;
    Check(object->OpenProperty(tag, nullptr, 0, mapi::MAPI_MODIFY | mapi::MAPI_CREATE, unknown.Out()), "OpenProperty");
    mapi::Ptr<mapi::IStream> stream = std::move(unknown).As<mapi::IStream>();
    mapi::ULONG written = 0;
    Check(stream->Write(bytes.data(), static_cast<mapi::ULONG>(bytes.size()), &written), "Write");
    Check(stream->Commit(0), "Commit");
}

Phone::Phone() {
    Check(mapi::MAPIInitialize(nullptr), "MAPIInitialize");
    if (mapi::MAPILogonEx(0, nullptr, nullptr, 0, session_.Out()) != 0) {
        mapi::MAPIUninitialize();
        throw Failure{"cannot open the device's message store"};
    }
}

Phone::~Phone() {
    session_->Logoff(0, 0, 0);
    session_.reset();
    mapi::MAPIUninitialize();
}

// Every row of a stores or hierarchy table, whose default columns begin with PR_ENTRYID and
// PR_DISPLAY_NAME_W.
static std::vector<Named> NamedRows(mapi::IMAPITable* table) {
    std::vector<Named> named;
    for (;;) {
        mapi::Rows rows;
        Check(table->QueryRows(1, 0, rows.Out()), "QueryRows");
        if (rows.size() == 0) break;
        const mapi::SPropValue* p = rows->aRow[0].lpProps;
        Named entry;
        if (p[1].ulPropTag == mapi::PR_DISPLAY_NAME_W) entry.name = p[1].Value.lpszW;
        entry.id.assign(p[0].Value.bin.lpb, p[0].Value.bin.lpb + p[0].Value.bin.cb);
        named.push_back(std::move(entry));
    }
    return named;
}

std::vector<Named> Phone::Stores() {
    mapi::Ptr<mapi::IMAPITable> table;
    Check(session_->GetMsgStoresTable(0, table.Out()), "GetMsgStoresTable");
    return NamedRows(table.get());
}

mapi::Ptr<mapi::IMAPIFolder> Phone::Subtree(const Bytes& storeId) {
    mapi::Ptr<mapi::IMsgStore> store;
    Check(session_->OpenMsgStore(0, static_cast<mapi::ULONG>(storeId.size()), storeId.data(), nullptr, 0, store.Out()),
          "OpenMsgStore");
    mapi::ULONG tags[] = {mapi::PR_IPM_SUBTREE_ENTRYID};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    mapi::Buffer<mapi::SPropValue> values;
    Check(store->GetProps(&array, 0, &count, values.Out()), "GetProps");
    if (values[0].ulPropTag != mapi::PR_IPM_SUBTREE_ENTRYID) throw Failure{"a store has no IPM subtree folder"};
    const mapi::SBinary& id = values[0].Value.bin;
    return OpenFolder(Bytes(id.lpb, id.lpb + id.cb));
}

std::vector<Named> Phone::Subfolders(mapi::IMAPIFolder* folder) {
    mapi::Ptr<mapi::IMAPITable> table;
    Check(folder->GetHierarchyTable(0, table.Out()), "GetHierarchyTable");
    return NamedRows(table.get());
}

std::vector<Bytes> Phone::Messages(mapi::IMAPIFolder* folder) {
    mapi::Ptr<mapi::IMAPITable> table;
    Check(folder->GetContentsTable(0, table.Out()), "GetContentsTable");
    mapi::ULONG tags[] = {mapi::PR_ENTRYID};
    mapi::SPropTagArray columns{1, tags};
    Check(table->SetColumns(&columns, 0), "SetColumns");
    std::vector<Bytes> ids;
    for (;;) {
        mapi::Rows rows;
        Check(table->QueryRows(64, 0, rows.Out()), "QueryRows");
        if (rows.size() == 0) break;
        for (mapi::ULONG i = 0; i < rows.size(); ++i) {
            const mapi::SBinary& id = rows->aRow[i].lpProps[0].Value.bin;
            ids.emplace_back(id.lpb, id.lpb + id.cb);
        }
    }
    return ids;
}

mapi::Ptr<mapi::IMAPIFolder> Phone::Resolve(std::u16string_view path, bool create) {
    const std::vector<std::u16string> parts = Split(path);
    const std::string shown = "\"" + platform::ToUtf8(path) + "\"";
    for (const std::u16string& part : parts) {
        if (part.empty()) throw Failure{"invalid folder path " + shown + " (empty folder name)", true};
    }
    mapi::Ptr<mapi::IMAPIFolder> folder;
    for (const Named& store : Stores()) {
        if (store.name == parts[0]) {
            folder = Subtree(store.id);
            break;
        }
    }
    if (!folder)
        throw Failure{"unknown folder path " + shown + " (no store \"" + platform::ToUtf8(parts[0]) + "\")", true};
    for (std::size_t i = 1; i < parts.size(); ++i) {
        mapi::Ptr<mapi::IMAPIFolder> next;
        if (create) {
            Check(folder->CreateFolder(mapi::FOLDER_GENERIC, parts[i].c_str(), nullptr, nullptr,
                                       mapi::MAPI_UNICODE | mapi::OPEN_IF_EXISTS, next.Out()),
                  "CreateFolder");
        } else {
            for (const Named& child : Subfolders(folder.get())) {
                if (child.name == parts[i]) {
                    next = OpenFolder(child.id);
                    break;
                }
            }
            if (!next) throw Failure{"unknown folder path " + shown, true};
        }
        folder = std::move(next);
    }
    return folder;
}

mapi::Ptr<mapi::IMAPIFolder> Phone::FindFolder(std::u16string_view path) { return Resolve(path, false); }
mapi::Ptr<mapi::IMAPIFolder> Phone::MakeFolder(std::u16string_view path) { return Resolve(path, true); }

// Opens the object an identifier names when it is of `type`; `what` names it in the error.
static mapi::Ptr<mapi::IUnknown> OpenOfType(mapi::IMAPISession* session, const Bytes& id, mapi::ULONG type,
                                            const char* what) {
    mapi::Ptr<mapi::IUnknown> object;
    mapi::ULONG found = 0;
    if (session->OpenEntry(static_cast<mapi::ULONG>(id.size()), id.data(), nullptr, 0, &found, object.Out()) != 0 ||
        found != type) {
        throw Failure{std::string("no ") + what + " with identifier " + Hex(id), true};
    }
    return object;
}

mapi::Ptr<mapi::IMAPIFolder> Phone::OpenFolder(const Bytes& id) {
    return OpenOfType(session_.get(), id, mapi::MAPI_FOLDER, "folder").As<mapi::IMAPIFolder>();
}

mapi::Ptr<mapi::IMessage> Phone::OpenMessage(const Bytes& id) {
    return OpenOfType(session_.get(), id, mapi::MAPI_MESSAGE, "message").As<mapi::IMessage>();
}

void Phone::WalkFolders(const Named& store,
                        const std::function<void(const std::u16string&, mapi::IMAPIFolder*, int)>& visit) {
    std::function<void(mapi::IMAPIFolder*, const std::u16string&, int)> walk =
        [&](mapi::IMAPIFolder* folder, const std::u16string& path, int depth) {
            visit(path, folder, depth);
            for (const Named& child : Subfolders(folder)) {
                mapi::Ptr<mapi::IMAPIFolder> sub = OpenFolder(child.id);
                walk(sub.get(), path + u"/" + child.name, depth + 1);
            }
        };
    mapi::Ptr<mapi::IMAPIFolder> subtree = Subtree(store.id);
    walk(subtree.get(), store.name, 0);
}

}  // namespace phone
