#include "archive/qmsg.h"

#include <gtest/gtest.h>

namespace {

using tallymere::qMsg;

auto* const kSession = reinterpret_cast<platform::mapi::IMAPISession*>(0x1234);

void ExpectEmpty(const qMsg& m) {
    EXPECT_TRUE(m.folderPath.empty());
    EXPECT_EQ(m.entryIdSize, 0u);
    EXPECT_TRUE(m.entryId.empty());
    EXPECT_EQ(m.subjectLen + m.subjectPrefixLen + m.senderNameLen + m.senderEmailLen, 0u);
    EXPECT_TRUE(m.subject.empty());
    EXPECT_EQ(m.messageClassLen + m.serviceNameLen, 0u);
    EXPECT_EQ(m.msgStatus + m.messageSize + m.contentLength + m.messageFlags + m.hasAttach, 0u);
    EXPECT_EQ(m.deliveryTime, platform::FILETIME{});
    EXPECT_EQ(m.lastModificationTime, platform::FILETIME{});
    EXPECT_EQ(m.recipientCount, 0u);
    EXPECT_EQ(m.attachmentCount, 0u);
    EXPECT_EQ(m.bodySize, 0u);
    EXPECT_TRUE(m.body.empty());
    EXPECT_EQ(m.RecipientSlots() + m.AttachmentSlots(), 0u);
    EXPECT_TRUE(m.recipientType.empty() && m.addrType.empty() && m.emailAddress.empty() && m.displayName.empty());
    EXPECT_TRUE(m.attachNum.empty() && m.attachSize.empty() && m.attachFilename.empty() && m.attachData.empty());
}

void Fill(qMsg& m) {
    const std::uint8_t id[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    m.SetEntryID(20, id);
    m.SetFolder(u"SMS/Inbox");
    m.SetSubject(u"Hello \U0001F600");
    m.SetSenderEmail(u"+4912345");
    m.SetMessageClass(u"IPM.MMS");
    m.SetMessageFlags(1);
    m.SetDeliveryTime(platform::FromTicks(0x01C8925D12345678ull));
    m.SetRecipientCount(1);
    m.SetRecipientType(0, 1);
    m.SetDisplayName(0, u"Zoë");
    const std::uint8_t body[] = {'H', 0, 'i', 0};
    m.SetBody(body, 4);
    m.SetAttachmentCount(1);
    m.SetAttachSize(0, 3);
    const std::uint8_t data[] = {0, 0xFF, 0};
    m.SetAttachData(0, data);
    m.SetAttachFilename(0, u"a.bin");
}

TEST(qMsg, FreshAndClearedRecordsAreEmptyAndKeepTheSession) {
    qMsg m(kSession, 0, nullptr);
    ExpectEmpty(m);
    m.Clear();
    ExpectEmpty(m);
    EXPECT_EQ(m.session, kSession);
    Fill(m);
    m.Clear();
    ExpectEmpty(m);
    EXPECT_EQ(m.session, kSession);
}

TEST(qMsg, ClearedRecordRefillsLikeANewOne) {
    qMsg a(kSession, 0, nullptr), b(kSession, 0, nullptr);
    Fill(a);
    a.Clear();
    Fill(a);
    Fill(b);
    EXPECT_EQ(a.entryId, b.entryId);
    EXPECT_EQ(a.subject, b.subject);
    EXPECT_EQ(a.subjectLen, 8u) << "surrogate pair counts two units";
    EXPECT_EQ(a.displayNameLen[0], 3u);
    EXPECT_EQ(a.body, b.body);
    EXPECT_EQ(a.attachData[0], b.attachData[0]);
}

TEST(qMsg, IdentifierWithoutBytesKeepsItsSize) {
    qMsg m(kSession, 20, nullptr);
    EXPECT_EQ(m.entryIdSize, 20u);
    EXPECT_TRUE(m.entryId.empty());
    const std::uint8_t first[20] = {1};
    const std::uint8_t second[20] = {2};
    m.SetEntryID(20, first);
    m.SetEntryID(20, second);
    EXPECT_EQ(m.entryId, std::vector<std::uint8_t>(second, second + 20));
}

TEST(qMsg, BinaryDataKeepsItsZeroBytesAndExactSize) {
    qMsg m(kSession, 0, nullptr);
    const std::uint8_t body[] = {'A', 0, 0, 0, 'B', 0};
    m.SetBody(body, sizeof body);
    EXPECT_EQ(m.bodySize, 6u);
    EXPECT_EQ(m.BodyText(), std::u16string(u"A\0B", 3));
    const std::uint8_t data[] = {0, 0, 7, 0, 9};
    m.SetAttachSize(2, 4);
    m.SetAttachData(2, data);
    EXPECT_EQ(m.attachData[2], (std::vector<std::uint8_t>{0, 0, 7, 0}));
    m.SetAttachSize(3, 0);
    m.SetAttachData(3, {});
    EXPECT_TRUE(m.attachData[3].empty());
}

TEST(qMsg, SettingAgainReplacesTheOldValue) {
    qMsg m(kSession, 0, nullptr);
    m.SetSubject(u"a long first subject");
    m.SetSubject(u"b");
    EXPECT_EQ(m.subject, u"b");
    EXPECT_EQ(m.subjectLen, 1u);
    m.SetEmailAddress(14, u"last slot");
    EXPECT_EQ(m.emailAddressLen[14], 9u);
}

TEST(qMsg, SlotsGrowTogetherAndOnlyFilledSlotsAreReadable) {
    qMsg m(kSession, 0, nullptr);
    m.SetDisplayName(20, u"21st");
    EXPECT_EQ(m.recipientType.size(), 21u) << "every array of the group has the slot";
    EXPECT_EQ(m.addrTypeLen.size(), 21u);
    EXPECT_EQ(m.emailAddress.size(), 21u);
    EXPECT_EQ(m.RecipientSlots(), 0u) << "no count set yet";
    m.SetRecipientCount(30);
    EXPECT_EQ(m.displayNameLen.size(), 30u);
    EXPECT_EQ(m.RecipientSlots(), 30u);
    // A caller that sets the count field itself beyond the slots cannot make a reader overrun.
    m.attachmentCount = 5;
    EXPECT_EQ(m.AttachmentSlots(), 0u);
    m.SetAttachMethod(1, 7);
    EXPECT_EQ(m.AttachmentSlots(), 2u);
    EXPECT_EQ(m.attachData.size(), 2u);
    m.Clear();
    EXPECT_EQ(m.recipientType.size() + m.attachNum.size(), 0u);
}

}  // namespace
