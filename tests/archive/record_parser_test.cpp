#include "archive/record_parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "archive/record.h"
#include "archive_fixture.h"

namespace {

using archive_testing::TextMessage;
using tallymere::ParseRecord;
using tallymere::qMsg;
using tallymere::RecordFault;
using tallymere::SpanInput;

std::vector<std::uint8_t> Encoded(const qMsg& m, std::uint32_t folder = 0) {
    std::vector<std::uint8_t> out;
    tallymere::EncodeRecord(m, folder, out);
    return out;
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

qMsg WithAttachment() {
    qMsg m = TextMessage(9);
    m.SetAttachmentCount(1);
    m.SetAttachSize(0, 5);
    const std::uint8_t data[] = {1, 0, 2, 0, 3};
    m.SetAttachData(0, data);
    m.SetAttachFilename(0, u"x.jpg");
    return m;
}

TEST(RecordParser, EveryPrefixOfARecordIsCutShortAndTheWholeReads) {
    const auto bytes = Encoded(WithAttachment(), 4);
    qMsg m(nullptr, 0, nullptr);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        SpanInput in(std::span(bytes.data(), size));
        EXPECT_EQ(ParseRecord(in, m).fault, RecordFault::kCutShort) << size;
        EXPECT_EQ(m.entryIdSize + m.subjectLen + m.recipientCount + m.bodySize, 0u) << "left cleared";
    }
    SpanInput in(bytes);
    const auto read = ParseRecord(in, m);
    ASSERT_TRUE(read.Readable());
    EXPECT_EQ(read.size, bytes.size());
    EXPECT_EQ(read.folderIndex, 4u);
    EXPECT_EQ(m.attachData[0], (std::vector<std::uint8_t>{1, 0, 2, 0, 3}));
    EXPECT_EQ(Encoded(m, 4), bytes) << "what is read writes back the same";
}

TEST(RecordParser, RecordsWithMoreThanFifteenRecipientsAndAttachmentsReadBack) {
    qMsg big = TextMessage(3);
    big.SetRecipientCount(20);
    for (std::uint32_t i = 0; i < 20; ++i) big.SetEmailAddress(i, u"+49" + std::u16string(i + 1, u'7'));
    big.SetAttachmentCount(16);
    for (std::uint32_t i = 0; i < 16; ++i) {
        big.SetAttachNum(i, i);
        big.SetAttachSize(i, i);
        big.SetAttachData(i, std::vector<std::uint8_t>(i, static_cast<std::uint8_t>(i)));
    }
    const auto bytes = Encoded(big, 2);
    qMsg m(nullptr, 0, nullptr);
    SpanInput in(bytes);
    const auto read = ParseRecord(in, m);
    ASSERT_TRUE(read.Readable());
    ASSERT_EQ(m.recipientCount, 20u);
    ASSERT_EQ(m.attachmentCount, 16u);
    EXPECT_EQ(m.emailAddress[19], u"+49" + std::u16string(20, u'7'));
    EXPECT_EQ(m.attachData[15], std::vector<std::uint8_t>(15, 15));
    EXPECT_EQ(Encoded(m, 2), bytes);
}

TEST(RecordParser, BytesAfterTheRecordAreNotPartOfIt) {
    auto bytes = Encoded(TextMessage(1));
    const std::size_t size = bytes.size();
    bytes.resize(size + 50, 0xEE);
    qMsg m(nullptr, 0, nullptr);
    SpanInput in(bytes);
    const auto read = ParseRecord(in, m);
    ASSERT_TRUE(read.Readable());
    EXPECT_EQ(read.size, size);
}

TEST(RecordParser, CountsBeyondWhatTheBytesLeftCouldHoldDoNotParse) {
    auto bytes = Encoded(TextMessage(1));
    ASSERT_EQ(bytes.size(), 212u);  // recipient count at 144, attachment count at 208
    qMsg m(nullptr, 0, nullptr);
    {
        // 64 bytes follow the count: room for 4 recipient entries of 16 bytes at the most.
        auto damaged = bytes;
        Put32(damaged, 144, 5);
        SpanInput in(damaged);
        EXPECT_EQ(ParseRecord(in, m).fault, RecordFault::kCutShort);
        EXPECT_EQ(m.recipientType.size(), 0u) << "nothing kept";
    }
    {
        auto damaged = bytes;
        Put32(damaged, 208, 0xFFFFFFFF);
        SpanInput in(damaged);
        EXPECT_EQ(ParseRecord(in, m).fault, RecordFault::kCutShort);
        EXPECT_EQ(m.attachNum.size(), 0u) << "no slots were made for the count";
    }
    {
        auto damaged = bytes;
        Put32(damaged, 0, 16);
        SpanInput in(damaged);
        const auto read = ParseRecord(in, m);
        EXPECT_EQ(read.fault, RecordFault::kIdentifierSize);
        EXPECT_EQ(read.found, 16u);
    }
}

TEST(RecordParser, HugeSizesAreCutShortWithoutBeingAllocated) {
    // Each of these would ask for gigabytes if trusted; the parser refuses them by the bytes left.
    const auto bytes = Encoded(WithAttachment());
    const std::size_t attachSizeAt = 212 + 4;  // after attachNum of the first attachment
    for (std::size_t at : {std::size_t{32}, std::size_t{116}, std::size_t{152}, std::size_t{196}, attachSizeAt}) {
        auto damaged = bytes;
        Put32(damaged, at, 0xFFFFFFFF);
        qMsg m(nullptr, 0, nullptr);
        SpanInput in(damaged);
        EXPECT_EQ(ParseRecord(in, m).fault, RecordFault::kCutShort) << "field at " << at;
    }
}

TEST(RecordParser, TheSessionIsKept) {
    auto* session = reinterpret_cast<platform::mapi::IMAPISession*>(0x10);
    qMsg m(session, 0, nullptr);
    const auto bytes = Encoded(TextMessage(1));
    SpanInput in(std::span(bytes.data(), 10));
    ParseRecord(in, m);
    EXPECT_EQ(m.session, session);
}

}  // namespace
