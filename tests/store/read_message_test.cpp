// Reading a stored message into a message record.
#include <gtest/gtest.h>

#include "archive/qmsg.h"
#include "mapi_fixture.h"
#include "platform/faults.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;
using platform::faults::Plan;
using tallymere::qMsg;

class ReadMessage : public MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        inbox = Folder(u"Inbox");
    }
    // A message with what `fill` puts in it.
    template <class Fill>
    Bytes Make(Fill fill) {
        Ptr<IMessage> message;
        EXPECT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        fill(message.get());
        return EntryIdOf(message.get());
    }
    static void Recipients(IMessage* message, int n) {
        for (int i = 0; i < n; ++i) {
            std::u16string address = u"+49" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
            SPropValue values[] = {Long(PR_RECIPIENT_TYPE, MAPI_TO), Unicode(PR_EMAIL_ADDRESS_W, address.c_str())};
            ADRENTRY entry{0, 2, values};
            ADRLIST list{1, &entry};
            ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);
        }
    }
    static void Attachments(IMessage* message, int n, const std::string& data = "data") {
        for (int i = 0; i < n; ++i) {
            Ptr<IAttach> attach;
            ULONG number = 0;
            ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
            Ptr<IUnknown> stream;
            ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
            ULONG written = 0;
            ASSERT_EQ(
                static_cast<IStream*>(stream.get())->Write(data.data(), static_cast<ULONG>(data.size()), &written), 0);
        }
    }
    static void Body(IMessage* message, const std::string& bytes) {
        Ptr<IUnknown> stream;
        ASSERT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
        ULONG written = 0;
        ASSERT_EQ(static_cast<IStream*>(stream.get())->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written),
                  0);
    }
    qMsg Read(const Bytes& id) {
        qMsg msg(session.get(), static_cast<std::uint32_t>(id.size()), id.data());
        msg.GetMAPI();
        return msg;
    }

    Ptr<IMAPIFolder> inbox;
};

TEST_F(ReadMessage, EveryStoredPartComesIntoTheRecord) {
    const std::string body("H\0i\0 \0=\xD8\x89\xDE", 10);  // "Hi " and an emoji, UTF-16LE
    Bytes id = Make([&](IMessage* m) {
        SPropValue values[] = {Unicode(PR_SUBJECT_PREFIX_W, u"RE: "),
                               Unicode(PR_SUBJECT_W, u"Привет"),
                               Unicode(PR_SENDER_NAME_W, u"山田"),
                               Unicode(PR_SENDER_EMAIL_ADDRESS_W, u"+81300"),
                               Long(PR_MSG_STATUS, 3),
                               Long(PR_MESSAGE_SIZE, 1234),
                               Long(PR_CONTENT_LENGTH, 10),
                               Long(PR_MESSAGE_FLAGS, 1),
                               Time(PR_MESSAGE_DELIVERY_TIME, 0x01C8A1B2C3D4E5F6ull),
                               Time(PR_LAST_MODIFICATION_TIME, 0x01C8A1B2C3D4E5F7ull),
                               Unicode(PR_MESSAGE_CLASS_W, u"IPM.MMS"),
                               Unicode(PR_SERVICE_NAME_W, u"SMS"),
                               Bool(PR_HASATTACH, true)};
        ASSERT_EQ(m->SetProps(13, values, nullptr), 0);
        SPropValue named[] = {Long(PR_RECIPIENT_TYPE, MAPI_CC), Unicode(PR_ADDRTYPE_W, u"SMS"),
                              Unicode(PR_EMAIL_ADDRESS_W, u"+1"), Unicode(PR_DISPLAY_NAME_W, u"Ann"),
                              Long(PROP_TAG(PT_LONG, 0x8001), 9)};
        SPropValue unnamed[] = {Unicode(PR_EMAIL_ADDRESS_W, u"+2"), Long(PR_RECIPIENT_TYPE, MAPI_TO)};
        ADRENTRY entries[] = {{0, 5, named}, {0, 2, unnamed}};
        ADRLIST list{2, entries};
        ASSERT_EQ(m->ModifyRecipients(MODRECIP_ADD, &list), 0);
        Body(m, body);
        Attachments(m, 1, std::string("\0\1\2", 3));
        Attachments(m, 1, "");
        Ptr<IAttach> first;
        ASSERT_EQ(m->OpenAttach(0, nullptr, 0, first.Out()), 0);
        SPropValue names[] = {Unicode(PR_ATTACH_FILENAME_W, u"photo.jpg"), Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE)};
        ASSERT_EQ(first->SetProps(2, names, nullptr), 0);
    });
    qMsg msg = Read(id);
    EXPECT_EQ(msg.subjectPrefix, u"RE: ");
    EXPECT_EQ(msg.subject, u"Привет");
    EXPECT_EQ(msg.subjectLen, 6u);
    EXPECT_EQ(msg.senderName, u"山田");
    EXPECT_EQ(msg.senderEmail, u"+81300");
    EXPECT_EQ(msg.msgStatus, 3u);
    EXPECT_EQ(msg.messageSize, 1234u);
    EXPECT_EQ(msg.contentLength, 10u);
    EXPECT_EQ(msg.messageFlags, 1u);
    EXPECT_EQ(platform::ToTicks(msg.deliveryTime), 0x01C8A1B2C3D4E5F6ull);
    EXPECT_EQ(platform::ToTicks(msg.lastModificationTime), 0x01C8A1B2C3D4E5F7ull);
    EXPECT_EQ(msg.messageClass, u"IPM.MMS");
    EXPECT_EQ(msg.serviceName, u"SMS");
    EXPECT_EQ(msg.hasAttach, 1u);
    ASSERT_EQ(msg.recipientCount, 2u);
    EXPECT_EQ(msg.recipientType[0], MAPI_CC);
    EXPECT_EQ(msg.addrType[0], u"SMS");
    EXPECT_EQ(msg.emailAddress[0], u"+1");
    EXPECT_EQ(msg.displayName[0], u"Ann");
    EXPECT_EQ(msg.emailAddress[1], u"+2");
    EXPECT_EQ(msg.displayNameLen[1], 0u);
    EXPECT_EQ(msg.addrTypeLen[1], 0u);
    EXPECT_EQ(msg.bodySize, 10u);
    EXPECT_EQ(std::string(msg.body.begin(), msg.body.end()), body);
    ASSERT_EQ(msg.attachmentCount, 2u);
    EXPECT_EQ(msg.attachNum[0], 0u);
    EXPECT_EQ(msg.attachSize[0], 3u);
    EXPECT_EQ(msg.attachMethod[0], ATTACH_BY_VALUE);
    EXPECT_EQ(msg.attachFilename[0], u"photo.jpg");
    EXPECT_EQ(std::string(msg.attachData[0].begin(), msg.attachData[0].end()), std::string("\0\1\2", 3));
    EXPECT_EQ(msg.attachNum[1], 1u);
    EXPECT_EQ(msg.attachSize[1], 0u);
}

TEST_F(ReadMessage, MissingPropertiesLeaveTheirFieldsEmpty) {
    // An empty body and no attachments: no Read call is made at all.
    Plan("Read", 1, true);
    Bytes id = Make([](IMessage* m) {
        SPropValue v = Unicode(PR_SUBJECT_W, u"only this");
        ASSERT_EQ(m->SetProps(1, &v, nullptr), 0);
    });
    qMsg msg = Read(id);
    EXPECT_EQ(msg.subject, u"only this");
    EXPECT_EQ(msg.subjectPrefixLen, 0u);
    EXPECT_EQ(msg.senderNameLen, 0u);
    EXPECT_EQ(msg.messageFlags, 0u);
    EXPECT_EQ(platform::ToTicks(msg.deliveryTime), 0u);
    EXPECT_EQ(msg.messageClassLen, 0u);
    EXPECT_EQ(msg.bodySize, 0u);
    EXPECT_TRUE(msg.body.empty());
    EXPECT_EQ(msg.recipientCount, 0u);
    EXPECT_EQ(msg.attachmentCount, 0u);
}

// Mended: a body size or a recipient table that could not be read was taken for an empty body
// or no recipients; the archive and the export kept the message so, and no later pass mended it.
TEST_F(ReadMessage, AnUnreadableStreamSizeOrRecipientTableIsFatal) {
    Bytes id = Make([](IMessage* m) {
        Body(m, std::string("a\0", 2));
        Recipients(m, 2);
    });
    Plan("Stat", 1);
    EXPECT_EXIT(Read(id), ::testing::ExitedWithCode(1), "^qMsg::GetMessageBody: Stat failed\\.\n$");
    platform::faults::Reset();
    Plan("GetRecipientTable", 1);
    EXPECT_EXIT(Read(id), ::testing::ExitedWithCode(1), "^qMsg::GetRecipients: GetRecipientTable failed\\.\n$");
}

// Mended: a 16th recipient or attachment ended every backup and export that met the message,
// for good. A message is read with as many as it has.
TEST_F(ReadMessage, MessagesWithManyRecipientsAndAttachmentsReadWhole) {
    Bytes fifteen = Make([](IMessage* m) {
        Recipients(m, 15);
        Attachments(m, 15);
    });
    qMsg msg = Read(fifteen);
    EXPECT_EQ(msg.recipientCount, 15u);
    EXPECT_EQ(msg.attachmentCount, 15u);
    EXPECT_EQ(std::string(msg.attachData[14].begin(), msg.attachData[14].end()), "data");

    Bytes many = Make([](IMessage* m) {
        Recipients(m, 40);
        Attachments(m, 17, "more");
    });
    msg = Read(many);
    ASSERT_EQ(msg.recipientCount, 40u);
    ASSERT_EQ(msg.attachmentCount, 17u);
    EXPECT_EQ(msg.RecipientSlots(), 40u);
    EXPECT_EQ(msg.emailAddress[39], u"+499");
    EXPECT_EQ(msg.emailAddress[15], u"+495");
    EXPECT_EQ(msg.attachNum[16], 16u);
    EXPECT_EQ(std::string(msg.attachData[16].begin(), msg.attachData[16].end()), "more");
}

TEST_F(ReadMessage, AnIdentifierThatIsNoMessageIsFatal) {
    Bytes folder = EntryIdOf(inbox.get());
    EXPECT_EXIT(Read(folder), ::testing::ExitedWithCode(1), "^qMsg::GetMAPI: OpenEntry failed\\.\n$");
    Bytes gone = NewMessage(inbox.get());
    SBinary bin{20, gone.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);
    EXPECT_EXIT(Read(gone), ::testing::ExitedWithCode(1), "^qMsg::GetMAPI: OpenEntry failed\\.\n$");
}

TEST_F(ReadMessage, StoreFailuresCarryTheStepsCaption) {
    Bytes id = Make([](IMessage* m) {
        Body(m, "bo");
        Attachments(m, 1);
    });
    const auto fails = [&](const char* op, int nth, const char* words) {
        EXPECT_EXIT(
            {
                Plan(op, nth);
                Read(id);
            },
            ::testing::ExitedWithCode(1), words)
            << op << nth;
    };
    fails("OpenEntry", 1, "^qMsg::GetMAPI: OpenEntry failed\\.\n$");
    fails("GetProps", 1, "^qMsg::GetProperties: GetProps failed\\.\n$");
    fails("OpenProperty", 1, "^qMsg::GetMessageBody: OpenProperty failed\\.\n$");
    fails("Read", 1, "^qMsg::GetMessageBody: Read failed\\.\n$");
    fails("GetAttachmentTable", 1, "^qMsg::GetAttachments: GetAttachmentTable failed\\.\n$");
    fails("SetColumns", 1, "^qMsg::GetAttachments: SetColumns failed\\.\n$");
    fails("OpenAttach", 1, "^qMsg::GetAttachments: OpenAttach failed\\.\n$");
    fails("OpenProperty", 2, "^qMsg::GetAttachments: OpenProperty failed\\.\n$");
    fails("Read", 2, "^qMsg::GetAttachments: Read failed\\.\n$");
    // Mended: a failed row read ended the table, so the message was kept without the rest of
    // its recipients or attachments.
    fails("QueryRows", 1, "^qMsg::GetRecipients: QueryRows failed\\.\n$");
    fails("QueryRows", 2, "^qMsg::GetAttachments: QueryRows failed\\.\n$");
}

}  // namespace
