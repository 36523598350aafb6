// The archive's byte layout, checked against bytes written out by hand.
#include "archive/record.h"

#include <gtest/gtest.h>

#include "archive/backup.h"
#include "archive/restore.h"
#include "archive_fixture.h"

namespace {

using archive_testing::ArchiveTest;
using archive_testing::Hex;
using tallymere::qMsg;
using testing_support::ReadHostFile;

const std::string kId = Hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14");

qMsg HandBuilt() {
    qMsg m(nullptr, 20, reinterpret_cast<const std::uint8_t*>(kId.data()));
    m.SetFolder(u"SMS/Inbox");
    m.SetSubject(u"H\u00E9\U0001F600");
    m.SetSenderName(u"Zo\u00EB");
    m.SetSenderEmail(u"+49");
    m.SetMsgStatus(1);
    m.SetMessageSize(512);
    m.SetContentLength(0x11223344);
    m.SetMessageFlags(1);
    m.SetDeliveryTime({0x89ABCDEF, 0x01D2E3F4});
    m.SetLastModificationTime({0x01020304, 0x05060708});
    m.SetMessageClass(u"IPM.SMS");
    m.SetServiceName(u"SMS");
    m.SetRecipientCount(2);
    m.SetRecipientType(0, 1);
    m.SetAddrType(0, u"SMS");
    m.SetEmailAddress(0, u"+491");
    m.SetDisplayName(0, u"Ann");
    m.SetRecipientType(1, 2);
    m.SetAddrType(1, u"SMS");
    m.SetEmailAddress(1, u"+492");
    m.SetDisplayName(1, u"B\u00F6");
    const std::uint8_t body[] = {'H', 0, 'i', 0, '\n', 0};
    m.SetBody(body, sizeof body);
    m.SetHasAttach(0x00010001);
    m.SetAttachmentCount(2);
    m.SetAttachNum(0, 0);
    m.SetAttachSize(0, 3);
    m.SetAttachMethod(0, 1);
    m.SetAttachFilename(0, u"a.bin");
    const std::uint8_t first[] = {0x00, 0xFF, 0x00};
    m.SetAttachData(0, first);
    m.SetAttachNum(1, 1);
    m.SetAttachSize(1, 2);
    m.SetAttachMethod(1, 1);
    m.SetAttachFilename(1, u"b");
    const std::uint8_t second[] = {0x00, 0x00};
    m.SetAttachData(1, second);
    return m;
}

const std::string kRecord =
    Hex("14 00 00 00"  // identifier size 20
        "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14"
        "00 00 00 00"                                            // folderIndex 0
        "00 00 00 00"                                            // subject prefix ""
        "04 00 00 00 48 00 E9 00 3D D8 00 DE"                    // subject: H, e acute, surrogate pair
        "03 00 00 00 5A 00 6F 00 EB 00"                          // sender name
        "03 00 00 00 2B 00 34 00 39 00"                          // sender e-mail
        "01 00 00 00"                                            // msgStatus
        "00 02 00 00"                                            // messageSize
        "44 33 22 11"                                            // contentLength
        "01 00 00 00"                                            // messageFlags, at 56 + 2 * 10 = 76
        "EF CD AB 89 F4 E3 D2 01"                                // deliveryTime, low half first
        "04 03 02 01 08 07 06 05"                                // lastModificationTime
        "07 00 00 00 49 00 50 00 4D 00 2E 00 53 00 4D 00 53 00"  // message class
        "03 00 00 00 53 00 4D 00 53 00"                          // service name
        "02 00 00 00"                                            // two recipients
        "01 00 00 00 03 00 00 00 53 00 4D 00 53 00 04 00 00 00 2B 00 34 00 39 00 31 00"
        "03 00 00 00 41 00 6E 00 6E 00"
        "02 00 00 00 03 00 00 00 53 00 4D 00 53 00 04 00 00 00 2B 00 34 00 39 00 32 00"
        "02 00 00 00 42 00 F6 00"
        "06 00 00 00 48 00 69 00 0A 00"  // body, 6 bytes
        "01 00"                          // hasAttach: low 16 bits only
        "02 00 00 00"                    // two attachments
        "00 00 00 00 03 00 00 00 01 00 00 00 05 00 00 00 61 00 2E 00 62 00 69 00 6E 00 00 FF 00"
        "01 00 00 00 02 00 00 00 01 00 00 00 01 00 00 00 62 00 00 00");

class RecordTest : public ArchiveTest {};

TEST_F(RecordTest, GoldenRecordIndexAndFolderList) {
    const std::string smallId = Hex("21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31 32 33 34");
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    EXPECT_EQ(tallymere::BackupMessage(HandBuilt()), 1u);
    // The smallest record: a 20-byte identifier and nothing else.
    qMsg smallest(nullptr, 20, reinterpret_cast<const std::uint8_t*>(smallId.data()));
    EXPECT_EQ(tallymere::BackupMessage(smallest), 1u);
    tallymere::EndBackup();

    const std::string smallRecord = Hex("14 00 00 00") + smallId + Hex("01 00 00 00") + std::string(70, '\0');
    ASSERT_EQ(smallRecord.size(), tallymere::kMinRecordSize);
    ASSERT_EQ(kRecord.size(), 263u);
    EXPECT_EQ(ReadHostFile(Data()), kRecord + smallRecord);
    EXPECT_EQ(ReadHostFile(Index()), kId + Hex("00 00 00 00 01 00 00 00") + smallId + Hex("07 01 00 00 01 00 00 00"));
    EXPECT_EQ(ReadHostFile(Folders()), std::string("SMS/Inbox\n\n"));
}

TEST_F(RecordTest, EncodingAloneGivesTheSameBytes) {
    std::vector<std::uint8_t> out;
    tallymere::EncodeRecord(HandBuilt(), 0, out);
    EXPECT_EQ(std::string(out.begin(), out.end()), kRecord);
    EXPECT_EQ(tallymere::MessageFlagsOffset(0 + 4 + 3 + 3), 76u);
    EXPECT_EQ(kRecord.substr(76, 4), Hex("01 00 00 00"));
}

TEST_F(RecordTest, ARecordReadsBackIntoTheSameMessage) {
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    tallymere::BackupMessage(HandBuilt());
    tallymere::EndBackup();
    tallymere::xRestore reader;
    qMsg m(nullptr, 0, nullptr);
    ASSERT_TRUE(reader.Load(m, 0));
    EXPECT_EQ(reader.folderIndex, 0u);
    EXPECT_EQ(reader.folders.names[reader.folderIndex], u"SMS/Inbox");
    const qMsg want = HandBuilt();
    EXPECT_EQ(m.entryIdSize, 20u);
    EXPECT_EQ(m.entryId, want.entryId);
    EXPECT_EQ(m.subject, want.subject);
    EXPECT_EQ(m.subjectLen, 4u);
    EXPECT_EQ(m.senderName, want.senderName);
    EXPECT_EQ(m.senderEmail, want.senderEmail);
    EXPECT_EQ(m.msgStatus, 1u);
    EXPECT_EQ(m.messageSize, 512u);
    EXPECT_EQ(m.contentLength, 0x11223344u);
    EXPECT_EQ(m.messageFlags, 1u);
    EXPECT_EQ(m.deliveryTime, want.deliveryTime);
    EXPECT_EQ(m.lastModificationTime, want.lastModificationTime);
    EXPECT_EQ(m.messageClass, u"IPM.SMS");
    EXPECT_EQ(m.serviceName, u"SMS");
    ASSERT_EQ(m.recipientCount, 2u);
    EXPECT_EQ(m.recipientType[1], 2u);
    EXPECT_EQ(m.emailAddress[1], u"+492");
    EXPECT_EQ(m.displayName[1], u"B\u00F6");
    EXPECT_EQ(m.bodySize, 6u);
    EXPECT_EQ(m.body, want.body);
    EXPECT_EQ(m.hasAttach, 1u) << "only the low 16 bits are archived";
    ASSERT_EQ(m.attachmentCount, 2u);
    EXPECT_EQ(m.attachNum[1], 1u);
    EXPECT_EQ(m.attachSize[0], 3u);
    EXPECT_EQ(m.attachMethod[0], 1u);
    EXPECT_EQ(m.attachFilename[0], u"a.bin");
    EXPECT_EQ(m.attachData[0], want.attachData[0]);
    EXPECT_EQ(m.attachData[1], (std::vector<std::uint8_t>{0, 0}));
}

TEST_F(RecordTest, SizesFollowTheHeldBytes) {
    // A size field always describes the bytes that follow it, whatever the message holds.
    qMsg m(nullptr, 20, reinterpret_cast<const std::uint8_t*>(kId.data()));
    m.SetAttachmentCount(1);
    m.SetAttachSize(0, 4);  // no data set: four zero bytes are written
    std::vector<std::uint8_t> out;
    tallymere::EncodeRecord(m, 3, out);
    ASSERT_EQ(out.size(), 98u + 16 + 4);
    EXPECT_EQ(std::string(out.end() - 20, out.end()),
              Hex("00 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
}

}  // namespace
