// A fresh device with an initialised message store per test, and small helpers for reading
// and writing store objects directly.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/ptr.h"

namespace testing_support {

namespace mapi = platform::mapi;
using Bytes = std::vector<mapi::BYTE>;

inline mapi::SPropValue Unicode(mapi::ULONG tag, const char16_t* text) {
    mapi::SPropValue v;
    v.ulPropTag = tag;
    v.Value.lpszW = const_cast<char16_t*>(text);
    return v;
}

inline mapi::SPropValue Long(mapi::ULONG tag, std::int32_t value) {
    mapi::SPropValue v;
    v.ulPropTag = tag;
    v.Value.l = value;
    return v;
}

inline mapi::SPropValue Bool(mapi::ULONG tag, bool value) {
    mapi::SPropValue v;
    v.ulPropTag = tag;
    v.Value.b = value ? 1 : 0;
    return v;
}

inline mapi::SPropValue Time(mapi::ULONG tag, std::uint64_t ticks) {
    mapi::SPropValue v;
    v.ulPropTag = tag;
    v.Value.ft = platform::FromTicks(ticks);
    return v;
}

inline mapi::SPropValue Binary(mapi::ULONG tag, Bytes& bytes) {
    mapi::SPropValue v;
    v.ulPropTag = tag;
    v.Value.bin.cb = static_cast<mapi::ULONG>(bytes.size());
    v.Value.bin.lpb = bytes.data();
    return v;
}

// One property through GetProps; nothing when it comes back as an error.
inline std::optional<mapi::SPropValue> GetProp(mapi::IMAPIProp* object, mapi::ULONG tag,
                                               mapi::Buffer<mapi::SPropValue>* keep) {
    mapi::ULONG tags[] = {tag};
    mapi::SPropTagArray array{1, tags};
    mapi::ULONG count = 0;
    if (object->GetProps(&array, 0, &count, keep->Out()) != 0 || count != 1) return std::nullopt;
    if ((*keep)[0].ulPropTag != tag) return std::nullopt;
    return (*keep)[0];
}

inline std::u16string GetString(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Buffer<mapi::SPropValue> keep;
    auto v = GetProp(object, tag, &keep);
    return v ? std::u16string(v->Value.lpszW) : std::u16string(u"<missing>");
}

inline std::optional<std::int32_t> GetLong(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Buffer<mapi::SPropValue> keep;
    auto v = GetProp(object, tag, &keep);
    if (!v) return std::nullopt;
    return v->Value.l;
}

// The number of messages of a folder, as its contents table counts them.
inline mapi::ULONG Messages(mapi::IMAPIFolder* folder) {
    mapi::Ptr<mapi::IMAPITable> contents;
    EXPECT_EQ(folder->GetContentsTable(0, contents.Out()), 0);
    mapi::ULONG count = 0;
    EXPECT_EQ(contents->GetRowCount(0, &count), 0);
    return count;
}

inline Bytes GetBinary(mapi::IMAPIProp* object, mapi::ULONG tag) {
    mapi::Buffer<mapi::SPropValue> keep;
    auto v = GetProp(object, tag, &keep);
    if (!v) return {};
    return Bytes(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
}

inline Bytes EntryIdOf(mapi::IMAPIProp* object) { return GetBinary(object, mapi::PR_ENTRYID); }

class MapiTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(mapi::MAPIInitialize(nullptr), 0);
        ASSERT_EQ(mapi::MAPILogonEx(0, nullptr, nullptr, 0, session.Out()), 0);
    }
    void TearDown() override {
        if (session) session->Logoff(0, 0, 0);
        session.reset();
        mapi::MAPIUninitialize();
        DeviceTest::TearDown();
    }

    mapi::Ptr<mapi::IMAPISession> Logon() {
        mapi::Ptr<mapi::IMAPISession> s;
        EXPECT_EQ(mapi::MAPILogonEx(0, nullptr, nullptr, 0, s.Out()), 0);
        return s;
    }

    // The first store of that display name, through the stores table.
    mapi::Ptr<mapi::IMsgStore> Store(std::u16string_view name = u"SMS") {
        mapi::Ptr<mapi::IMAPITable> table;
        EXPECT_EQ(session->GetMsgStoresTable(0, table.Out()), 0);
        for (;;) {
            mapi::Rows rows;
            if (table->QueryRows(1, 0, rows.Out()) != 0 || rows.size() == 0) break;
            const mapi::SRow& row = rows->aRow[0];
            if (row.lpProps[1].ulPropTag == mapi::PR_DISPLAY_NAME_W && name == row.lpProps[1].Value.lpszW) {
                mapi::Ptr<mapi::IMsgStore> store;
                EXPECT_EQ(session->OpenMsgStore(0, row.lpProps[0].Value.bin.cb, row.lpProps[0].Value.bin.lpb, nullptr,
                                                0, store.Out()),
                          0);
                return store;
            }
        }
        return {};
    }

    mapi::Ptr<mapi::IMAPIFolder> OpenFolderById(const Bytes& id) {
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        EXPECT_EQ(session->OpenEntry(static_cast<mapi::ULONG>(id.size()), id.data(), nullptr, 0, &type, object.Out()),
                  0);
        EXPECT_EQ(type, mapi::MAPI_FOLDER);
        return std::move(object).As<mapi::IMAPIFolder>();
    }

    mapi::Ptr<mapi::IMAPIFolder> Subtree(std::u16string_view store = u"SMS") {
        mapi::Ptr<mapi::IMsgStore> s = Store(store);
        return OpenFolderById(GetBinary(s.get(), mapi::PR_IPM_SUBTREE_ENTRYID));
    }

    // A folder below the IPM subtree by a "/"-separated path, created when missing.
    mapi::Ptr<mapi::IMAPIFolder> Folder(std::u16string_view path, std::u16string_view store = u"SMS") {
        mapi::Ptr<mapi::IMAPIFolder> folder = Subtree(store);
        while (!path.empty()) {
            auto slash = path.find(u'/');
            std::u16string name(path.substr(0, slash));
            path = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
            mapi::Ptr<mapi::IMAPIFolder> next;
            EXPECT_EQ(folder->CreateFolder(0, name.c_str(), nullptr, nullptr, mapi::MAPI_UNICODE | mapi::OPEN_IF_EXISTS,
                                           next.Out()),
                      0);
            folder = std::move(next);
        }
        return folder;
    }

    mapi::Ptr<mapi::IMessage> OpenMessage(const Bytes& id) {
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        EXPECT_EQ(session->OpenEntry(static_cast<mapi::ULONG>(id.size()), id.data(), nullptr, 0, &type, object.Out()),
                  0);
        EXPECT_EQ(type, mapi::MAPI_MESSAGE);
        return std::move(object).As<mapi::IMessage>();
    }

    // A message in `folder` with a subject; returns its identifier.
    Bytes NewMessage(mapi::IMAPIFolder* folder, const char16_t* subject = u"hello") {
        mapi::Ptr<mapi::IMessage> message;
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.Out()), 0);
        mapi::SPropValue v = Unicode(mapi::PR_SUBJECT_W, subject);
        EXPECT_EQ(message->SetProps(1, &v, nullptr), 0);
        return EntryIdOf(message.get());
    }

    // Identifiers of every row of a table's first column.
    static std::vector<Bytes> FirstColumn(mapi::IMAPITable* table) {
        std::vector<Bytes> ids;
        for (;;) {
            mapi::Rows rows;
            if (table->QueryRows(1, 0, rows.Out()) != 0 || rows.size() == 0) break;
            const mapi::SBinary& bin = rows->aRow[0].lpProps[0].Value.bin;
            ids.emplace_back(bin.lpb, bin.lpb + bin.cb);
        }
        return ids;
    }

    mapi::Ptr<mapi::IMAPISession> session;
};

}  // namespace testing_support
