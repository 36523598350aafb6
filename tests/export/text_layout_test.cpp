#include "export/text_layout.h"

#include <gtest/gtest.h>

#include "export_fixture.h"

namespace {

using export_testing::AddRecipient;
using export_testing::At;
using export_testing::ExportTest;
using export_testing::Message;
using export_testing::SetBodyText;
using testing_support::ReadHostFile;

std::u16string Text(const tallymere::qMsg& message) {
    std::u16string all;
    for (const auto& line : tallymere::MessageTextLines(message)) all += line;
    return all;
}

tallymere::qMsg Received() {
    auto message = Message(1, u"SMS/Inbox");
    message.SetSenderEmail(u"+123");
    AddRecipient(message, u"Office", u"+456");
    message.SetSubject(u"Hello");
    message.SetDeliveryTime(At(2008, 3, 30, 12, 13, 30, 0));
    message.SetLastModificationTime(At(2008, 3, 30, 12, 13, 31, 0));
    message.SetMessageSize(164);
    SetBodyText(message, u"Hello");
    return message;
}

TEST_F(ExportTest, FullLayoutLineByLine) {
    EXPECT_EQ(Text(Received()),
              u"From: +123\n"
              u"To: +456, Office\n"
              u"Subject: Hello\n"
              u"2008.03.30 12:13:30:00\n"
              u"2008.03.30 12:13:31:00\n"
              u"Size: 164 bytes\n"
              u"Hello\n");
}

TEST_F(ExportTest, OptionalPartsLeaveTheirLabelsOrDropTheirLines) {
    auto bare = Message(1, u"SMS");
    EXPECT_EQ(Text(bare), u"From: \nTo: \nSubject: \nSize: 0 bytes\n\n");

    auto onlyModified = Received();
    onlyModified.SetDeliveryTime({});
    EXPECT_EQ(tallymere::MessageTextLines(onlyModified)[3], u"2008.03.30 12:13:31:00\n");
    EXPECT_EQ(tallymere::MessageTextLines(onlyModified)[4], u"Size: 164 bytes\n");

    auto onlyDelivered = Received();
    onlyDelivered.SetLastModificationTime({});
    EXPECT_EQ(tallymere::MessageTextLines(onlyDelivered)[3], u"2008.03.30 12:13:30:00\n");
    EXPECT_EQ(tallymere::MessageTextLines(onlyDelivered)[4], u"Size: 164 bytes\n");

    // A time whose low half is zero counts as no time at all.
    auto halfZero = Received();
    halfZero.SetDeliveryTime({0, 0x01C89200});
    halfZero.SetLastModificationTime({0x12345678, 0});
    EXPECT_EQ(tallymere::MessageTextLines(halfZero)[3], u"Size: 164 bytes\n");
}

TEST_F(ExportTest, RecipientsListAddressBeforeNameAndPrefixJoinsSubject) {
    auto message = Message(1, u"SMS");
    AddRecipient(message, u"Anna", u"+1");
    AddRecipient(message, u"", u"+2");
    AddRecipient(message, u"Bea", u"");
    message.SetSubjectPrefix(u"RE: ");
    message.SetSubject(u"plans");
    message.SetMessageSize(4000000000u);
    const auto lines = tallymere::MessageTextLines(message);
    EXPECT_EQ(lines[1], u"To: +1, Anna, +2, Bea\n");
    EXPECT_EQ(lines[2], u"Subject: RE: plans\n");
    EXPECT_EQ(lines[3], u"Size: 4000000000 bytes\n");
}

TEST_F(ExportTest, TextFileIsUtf8WithSurrogatePairsWhole) {
    auto message = Message(1, u"SMS");
    message.SetSenderEmail(u"+36 \U0001F4F1");
    AddRecipient(message, u"Zoë \U0001F600", u"+1");
    message.SetSubject(u"\U0001D11E clef");
    SetBodyText(message, u"Szia! \U0001F44D\U0001F3FD őű\nsecond line");
    EXPECT_EQ(ExportPass(message), 1);
    EXPECT_EQ(ReadHostFile(Export("SMS/001_Zo_1.txt")),
              "From: +36 \xF0\x9F\x93\xB1\n"
              "To: +1, Zo\xC3\xAB \xF0\x9F\x98\x80\n"
              "Subject: \xF0\x9D\x84\x9E clef\n"
              "Size: 0 bytes\n"
              "Szia! \xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xC5\x91\xC5\xB1\nsecond line\n");
}

TEST_F(ExportTest, BodyEndsAtItsFirstZeroCharacter) {
    auto inner = Message(1, u"SMS");
    SetBodyText(inner, std::u16string(u"before\0after", 12));
    EXPECT_EQ(tallymere::MessageTextLines(inner).back(), u"before\n");

    // A body stream that carries its terminator puts no NUL byte into the file.
    auto terminated = Message(2, u"SMS");
    SetBodyText(terminated, std::u16string(u"Hello\0", 6));
    auto leading = Message(3, u"SMS");
    SetBodyText(leading, std::u16string(u"\0hidden", 7));
    EXPECT_EQ(ExportPass(terminated, leading), 2);
    EXPECT_EQ(ReadHostFile(Export("SMS/001_.txt")), "From: \nTo: \nSubject: \nSize: 0 bytes\nHello\n");
    EXPECT_EQ(ReadHostFile(Export("SMS/002_.txt")), "From: \nTo: \nSubject: \nSize: 0 bytes\n\n");
}

}  // namespace
