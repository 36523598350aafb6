// Writing message records into the store, and reading them back unchanged.
#include <gtest/gtest.h>

#include "archive/qmsg.h"
#include "mapi_fixture.h"
#include "platform/faults.h"
#include "store/store_cache.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;
using platform::faults::Plan;
using tallymere::qMsg;

class WriteMessage : public MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        tallymere::storeCache = std::make_unique<tallymere::xStore>();
    }
    void TearDown() override {
        tallymere::storeCache.reset();
        MapiTest::TearDown();
    }

    // A record as restore loads one from the archive.
    qMsg Archived() {
        qMsg msg(session.get(), 0, nullptr);
        const std::uint8_t old[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
        msg.SetEntryID(20, old);
        msg.SetFolder(u"Backup/Old/2008");
        msg.SetSubjectPrefix(u"FW: ");
        msg.SetSubject(u"Ça va? 明日 🎂");
        msg.SetSenderName(u"Søren");
        msg.SetSenderEmail(u"+4512345678");
        msg.SetMsgStatus(7);
        msg.SetMessageSize(4096);
        msg.SetContentLength(40);
        msg.SetMessageFlags(1);
        msg.SetDeliveryTime(platform::FromTicks(0x01C7F00011112222ull));
        msg.SetLastModificationTime(platform::FromTicks(0x01C7F00033334444ull));
        msg.SetMessageClass(u"IPM.MMS");
        msg.SetServiceName(u"MMS");
        msg.SetHasAttach(1);
        msg.SetRecipientCount(3);
        const char16_t* addresses[] = {u"+1", u"+2", u"+3"};
        const char16_t* names[] = {u"Ann", u"", u"Иван"};
        for (std::uint32_t i = 0; i < 3; ++i) {
            msg.SetRecipientType(i, i == 2 ? MAPI_CC : MAPI_TO);
            msg.SetAddrType(i, u"SMS");
            msg.SetEmailAddress(i, addresses[i]);
            msg.SetDisplayName(i, names[i]);
        }
        const std::string body("A\0\0\0B\0", 6);  // a zero character in the middle
        msg.SetBody(reinterpret_cast<const std::uint8_t*>(body.data()), 6);
        msg.SetAttachmentCount(2);
        const std::uint32_t nums[] = {5, 0};
        const std::string data[] = {std::string("\xFF\0\x01", 3), std::string()};
        for (std::uint32_t i = 0; i < 2; ++i) {
            msg.SetAttachNum(i, nums[i]);
            msg.SetAttachSize(i, static_cast<std::uint32_t>(data[i].size()));
            msg.SetAttachMethod(i, ATTACH_BY_VALUE);
            msg.SetAttachFilename(i, i ? u"empty.txt" : u"photo.jpg");
            msg.SetAttachData(i, std::span(reinterpret_cast<const std::uint8_t*>(data[i].data()), data[i].size()));
        }
        return msg;
    }
    static void Restore(qMsg& msg) {
        msg.CreateMessage();
        msg.SetMAPI();
    }
    qMsg ReadBack(const qMsg& written) {
        qMsg msg(session.get(), written.entryIdSize, written.entryId.data());
        msg.GetMAPI();
        return msg;
    }
};

TEST_F(WriteMessage, RoundTripKeepsEveryField) {
    qMsg msg = Archived();
    const std::vector<std::uint8_t> old = msg.entryId;
    Restore(msg);
    ASSERT_EQ(msg.entryIdSize, 20u);
    EXPECT_NE(msg.entryId, old);

    qMsg back = ReadBack(msg);
    EXPECT_EQ(back.subjectPrefix, msg.subjectPrefix);
    EXPECT_EQ(back.subject, msg.subject);
    EXPECT_EQ(back.senderName, msg.senderName);
    EXPECT_EQ(back.senderEmail, msg.senderEmail);
    EXPECT_EQ(back.msgStatus, msg.msgStatus);
    EXPECT_EQ(back.messageSize, msg.messageSize);
    EXPECT_EQ(back.contentLength, msg.contentLength);
    EXPECT_EQ(back.messageFlags, msg.messageFlags);
    EXPECT_EQ(back.deliveryTime, msg.deliveryTime);
    EXPECT_EQ(back.lastModificationTime, msg.lastModificationTime);
    EXPECT_EQ(back.messageClass, msg.messageClass);
    EXPECT_EQ(back.serviceName, msg.serviceName);
    EXPECT_EQ(back.hasAttach, msg.hasAttach);
    ASSERT_EQ(back.recipientCount, 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.recipientType[i], msg.recipientType[i]) << i;
        EXPECT_EQ(back.addrType[i], msg.addrType[i]) << i;
        EXPECT_EQ(back.emailAddress[i], msg.emailAddress[i]) << i;
        EXPECT_EQ(back.displayName[i], msg.displayName[i]) << i;
        EXPECT_EQ(back.displayNameLen[i], msg.displayNameLen[i]) << i;
    }
    EXPECT_EQ(back.bodySize, 6u);
    EXPECT_EQ(back.body, msg.body);
    ASSERT_EQ(back.attachmentCount, 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(back.attachNum[i], msg.attachNum[i]) << i;
        EXPECT_EQ(back.attachSize[i], msg.attachSize[i]) << i;
        EXPECT_EQ(back.attachMethod[i], msg.attachMethod[i]) << i;
        EXPECT_EQ(back.attachFilename[i], msg.attachFilename[i]) << i;
        EXPECT_EQ(back.attachData[i], msg.attachData[i]) << i;
    }
    // The message lies in the last folder of its path, in the store the path created.
    Ptr<IMessage> message = OpenMessage(msg.entryId);
    qMsg where(session.get(), 0, nullptr);
    Bytes parent = GetBinary(message.get(), PR_PARENT_ENTRYID);
    tallymere::GetMyFolder(where, 20, parent.data());
    EXPECT_EQ(where.folderPath, u"Backup/Old/2008");
}

TEST_F(WriteMessage, NothingIsCalledForWhatTheRecordLacks) {
    qMsg msg(session.get(), 0, nullptr);
    msg.SetFolder(u"SMS/Inbox");
    msg.SetSubject(u"bare");
    msg.CreateMessage();
    // No recipients, no body, no attachments: their calls would fail now.
    Plan("ModifyRecipients", 1, true);
    Plan("OpenProperty", 1, true);
    Plan("CreateAttach", 1, true);
    msg.SetMAPI();
    platform::faults::Reset();
    qMsg back = ReadBack(msg);
    EXPECT_EQ(back.subject, u"bare");
    EXPECT_EQ(back.recipientCount, 0u);
    EXPECT_EQ(back.bodySize, 0u);
    EXPECT_EQ(back.attachmentCount, 0u);
}

TEST_F(WriteMessage, DeliveryTimeWithAZeroHalfIsLeftOut) {
    for (std::uint64_t ticks : {0ull, 0x0000000012345678ull, 0x01C7000000000000ull}) {
        qMsg msg = Archived();
        msg.SetDeliveryTime(platform::FromTicks(ticks));
        Restore(msg);
        Ptr<IMessage> message = OpenMessage(msg.entryId);
        Buffer<SPropValue> keep;
        EXPECT_FALSE(GetProp(message.get(), PR_MESSAGE_DELIVERY_TIME, &keep)) << ticks;
        // The other twelve are written all the same.
        EXPECT_EQ(GetString(message.get(), PR_SERVICE_NAME_W), u"MMS");
        EXPECT_EQ(ReadBack(msg).lastModificationTime, msg.lastModificationTime);
    }
}

TEST_F(WriteMessage, EmptyDisplayNameIsAPlaceholderAndTheRestIsWritten) {
    qMsg msg = Archived();
    Restore(msg);
    Ptr<IMessage> message = OpenMessage(msg.entryId);
    Ptr<IMAPITable> table;
    ASSERT_EQ(message->GetRecipientTable(0, table.Out()), 0);
    ULONG columns[] = {PR_EMAIL_ADDRESS_W, PR_DISPLAY_NAME_W, PR_ADDRTYPE_W, PR_RECIPIENT_TYPE};
    SPropTagArray set{4, columns};
    ASSERT_EQ(table->SetColumns(&set, 0), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(2, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 2u);
    const SRow& second = rows->aRow[1];
    EXPECT_EQ(std::u16string(second.lpProps[0].Value.lpszW), u"+2");
    EXPECT_EQ(second.lpProps[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_DISPLAY_NAME_W)));
    EXPECT_EQ(std::u16string(second.lpProps[2].Value.lpszW), u"SMS");
    EXPECT_EQ(second.lpProps[3].Value.l, static_cast<LONG>(MAPI_TO));
}

TEST_F(WriteMessage, CreatedThenModifiedAndIntoTheExistingFolder) {
    Bytes inbox = EntryIdOf(Folder(u"Inbox").get());
    qMsg msg = Archived();
    msg.SetFolder(u"SMS/Inbox");
    Restore(msg);
    Ptr<IMessage> message = OpenMessage(msg.entryId);
    EXPECT_EQ(GetBinary(message.get(), PR_PARENT_ENTRYID), inbox);
    EXPECT_EQ(tallymere::storeCache->folderCount, 1u);
}

TEST_F(WriteMessage, StoreFailuresCarryTheStepsCaption) {
    qMsg prepared = Archived();
    prepared.SetFolder(u"SMS/Inbox");
    prepared.CreateMessage();  // the folder is cached from here on
    const auto fails = [&](const char* op, int nth, bool create, const char* words) {
        EXPECT_EXIT(
            {
                qMsg msg = Archived();
                msg.SetFolder(u"SMS/Inbox");
                if (!create) msg.SetEntryID(prepared.entryIdSize, prepared.entryId.data());
                Plan(op, nth);
                if (create) msg.CreateMessage();
                msg.SetMAPI();
                std::exit(0);
            },
            ::testing::ExitedWithCode(1), words)
            << op << nth;
    };
    fails("CreateMessage", 1, true, "^qMsg::CreateMessage: CreateMessage failed\\.\n$");
    fails("GetProps", 1, true, "^qMsg::CreateMessage: GetProps failed\\.\n$");
    fails("OpenEntry", 1, false, "^qMsg::SetMAPI: OpenEntry failed\\.\n$");
    fails("SetProps", 1, false, "^qMsg::SetProperties: SetProps failed\\.\n$");
    fails("ModifyRecipients", 1, false, "^qMsg::SetRecipients: ModifyRecipients failed\\.\n$");
    fails("OpenProperty", 1, false, "^qMsg::SetMessageBody: OpenProperty failed\\.\n$");
    fails("Write", 1, false, "^qMsg::SetMessageBody: Write failed\\.\n$");
    fails("CreateAttach", 1, false, "^qMsg::SetAttachments: CreateAttach failed\\.\n$");
    fails("SetProps", 2, false, "^qMsg::SetAttachments: SetProps failed\\.\n$");
    fails("OpenProperty", 2, false, "^qMsg::SetAttachments: OpenProperty failed\\.\n$");
    fails("Write", 2, false, "^qMsg::SetAttachments: Write failed\\.\n$");

    qMsg wrong = Archived();
    Bytes folder = EntryIdOf(Folder(u"Inbox").get());
    wrong.SetEntryID(20, folder.data());
    EXPECT_EXIT(wrong.SetMAPI(), ::testing::ExitedWithCode(1), "^qMsg::SetMAPI: OpenEntry failed\\.\n$");
}

}  // namespace
