// Restores against a real message store: a device with an archive directory, the phone's side
// of the store for delivering, deleting and looking at messages, and a full backup pass built
// the way "Backup All" walks the stores.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/backup.h"
#include "archive/entry_id.h"
#include "archive/qmsg.h"
#include "archive_fixture.h"
#include "phone/device_deliver.h"
#include "phone/device_store.h"
#include "mapi_fixture.h"
#include "store/store_cache.h"

namespace archive_testing {

using Bytes = std::vector<std::uint8_t>;

// A stored message as the program reads it, with the folder it lies in.
struct Stored {
    std::u16string folder;
    Bytes id;
    tallymere::qMsg msg{nullptr, 0, nullptr};
};

class RestoreTest : public ArchiveTest {
protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        phone = std::make_unique<phone::Phone>();
        tallymere::storeCache = std::make_unique<tallymere::xStore>();
    }
    void TearDown() override {
        tallymere::storeCache.reset();
        phone.reset();
        ArchiveTest::TearDown();
    }

    platform::mapi::IMAPISession* Session() const { return phone->Session(); }

    // An SMS in `folder` (which must exist) with a distinct subject.
    Bytes Deliver(const std::u16string& subject, const std::u16string& folder = u"SMS/Inbox") {
        phone::Delivery d;
        d.folder = folder;
        d.subject = subject;
        d.body = u"Body of " + subject;
        d.from = u"+4917012345";
        d.fromName = u"Ann";
        d.to = {{u"+4915199999", u"Me"}};
        d.deliveryTime = platform::FromUnixTime(1200000000 + static_cast<std::int64_t>(subject.size()));
        d.lastModificationTime = platform::FromUnixTime(1200000100);
        const Bytes id = phone::Deliver(*phone, d);
        Complete(id);
        return id;
    }

    // Sets what the phone's client sets beyond a delivery, so that the message has every
    // property an archive record holds. (A record cannot tell a missing text or number from an
    // empty one or 0: a restored message has them all.)
    void Complete(const Bytes& id, const char16_t* prefix = u"", std::int32_t status = 0) {
        namespace mapi = platform::mapi;
        auto message = phone->OpenMessage(id);
        mapi::SPropValue extra[] = {
            testing_support::Unicode(mapi::PR_SUBJECT_PREFIX_W, prefix),
            testing_support::Long(mapi::PR_MSG_STATUS, status),
            testing_support::Long(mapi::PR_CONTENT_LENGTH, 77),
            testing_support::Unicode(mapi::PR_SERVICE_NAME_W, u"SMS"),
        };
        ASSERT_EQ(message->SetProps(4, extra, nullptr), 0);
    }

    void Delete(const Bytes& id) {
        auto message = phone->OpenMessage(id);
        const Bytes parent = testing_support::GetBinary(message.get(), platform::mapi::PR_PARENT_ENTRYID);
        message.reset();
        auto folder = phone->OpenFolder(parent);
        platform::mapi::SBinary entry{static_cast<platform::mapi::ULONG>(id.size()),
                                      const_cast<std::uint8_t*>(id.data())};
        platform::mapi::ENTRYLIST list{1, &entry};
        ASSERT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), 0);
    }

    // Every message of every store, in walk order (stores, then folders depth first, then
    // contents order), read through the program's reader.
    std::vector<Stored> Messages() {
        std::vector<Stored> all;
        for (const phone::Named& store : phone->Stores()) {
            phone->WalkFolders(store, [&](const std::u16string& path, platform::mapi::IMAPIFolder* folder, int) {
                for (const Bytes& id : phone->Messages(folder)) {
                    Stored s{path, id, tallymere::qMsg(Session(), static_cast<std::uint32_t>(id.size()), id.data())};
                    s.msg.GetMAPI();
                    all.push_back(std::move(s));
                }
            });
        }
        return all;
    }

    // The messages by subject (subjects are distinct in these tests).
    std::map<std::u16string, Stored> BySubject() {
        std::map<std::u16string, Stored> map;
        for (Stored& s : Messages()) {
            const std::u16string subject = s.msg.subject;
            EXPECT_TRUE(map.emplace(subject, std::move(s)).second) << "two messages with one subject";
        }
        return map;
    }

    // A full backup pass over every folder of every store; returns the number appended.
    std::uint32_t BackupAll() {
        tallymere::BeginBackup(tallymere::BackupMode::Full);
        std::uint32_t appended = 0;
        for (Stored& s : Messages()) {
            s.msg.SetFolder(s.folder);
            appended += tallymere::BackupMessage(s.msg);
        }
        tallymere::EndBackup();
        return appended;
    }

    struct Entry {
        Bytes id;
        std::uint32_t offset = 0;
        std::uint32_t flag = 0;
    };
    std::vector<Entry> IndexEntries() const {
        tallymere::xEntryID index(u"Tallymere", u"Messages.ndx");
        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < index.count; ++i) {
            entries.push_back({Bytes(index.ids[i].begin(), index.ids[i].end()), index.offsets[i], index.flags[i]});
        }
        return entries;
    }

    std::unique_ptr<phone::Phone> phone;
};

// Everything of two message records but their identifiers.
inline void ExpectSameMessage(const tallymere::qMsg& a, const tallymere::qMsg& b) {
    EXPECT_EQ(a.subjectPrefix, b.subjectPrefix);
    EXPECT_EQ(a.subject, b.subject);
    EXPECT_EQ(a.senderName, b.senderName);
    EXPECT_EQ(a.senderEmail, b.senderEmail);
    EXPECT_EQ(a.msgStatus, b.msgStatus);
    EXPECT_EQ(a.messageSize, b.messageSize);
    EXPECT_EQ(a.contentLength, b.contentLength);
    EXPECT_EQ(a.messageFlags, b.messageFlags);
    EXPECT_EQ(a.deliveryTime, b.deliveryTime);
    EXPECT_EQ(a.lastModificationTime, b.lastModificationTime);
    EXPECT_EQ(a.messageClass, b.messageClass);
    EXPECT_EQ(a.serviceName, b.serviceName);
    EXPECT_EQ(a.hasAttach, b.hasAttach);
    ASSERT_EQ(a.recipientCount, b.recipientCount);
    for (std::uint32_t i = 0; i < a.recipientCount; ++i) {
        EXPECT_EQ(a.recipientType[i], b.recipientType[i]) << i;
        EXPECT_EQ(a.addrType[i], b.addrType[i]) << i;
        EXPECT_EQ(a.emailAddress[i], b.emailAddress[i]) << i;
        EXPECT_EQ(a.displayName[i], b.displayName[i]) << i;
        EXPECT_EQ(a.displayNameLen[i], b.displayNameLen[i]) << i;
    }
    EXPECT_EQ(a.bodySize, b.bodySize);
    EXPECT_EQ(a.body, b.body);
    ASSERT_EQ(a.attachmentCount, b.attachmentCount);
    for (std::uint32_t i = 0; i < a.attachmentCount; ++i) {
        EXPECT_EQ(a.attachNum[i], b.attachNum[i]) << i;
        EXPECT_EQ(a.attachSize[i], b.attachSize[i]) << i;
        EXPECT_EQ(a.attachMethod[i], b.attachMethod[i]) << i;
        EXPECT_EQ(a.attachFilename[i], b.attachFilename[i]) << i;
        EXPECT_EQ(a.attachData[i], b.attachData[i]) << i;
    }
}

}  // namespace archive_testing
