#include "export/file_name.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "export_fixture.h"

namespace {

using export_testing::AddRecipient;
using export_testing::Message;
using tallymere::MakeFileName;
using tallymere::SafeName;

std::u16string Sanitized(std::u16string text) {
    tallymere::SanitizeName(text);
    return text;
}

TEST(SanitizeName, KeepsExactlyTheEightyOneAllowedCharacters) {
    const std::u16string allowed = u"aábcdeéfghiíjklmnoóöőpqrstuúüűvwxyzAÁBCDEÉFGHIÍJKLMNOÓÖŐPQRSTUÚÜŰVWXYZ0123456789@";
    ASSERT_EQ(allowed.size(), 81u);
    std::u16string kept;
    for (char32_t c = 1; c <= 0xFFFF; ++c) {
        std::u16string one(1, static_cast<char16_t>(c));
        tallymere::SanitizeName(one);
        if (one != u"_") kept += static_cast<char16_t>(c);
    }
    std::u16string sortedAllowed = allowed;
    std::sort(sortedAllowed.begin(), sortedAllowed.end());
    EXPECT_EQ(kept, sortedAllowed);
}

TEST(SanitizeName, CollapsesRunsAndNeverTrims) {
    EXPECT_EQ(Sanitized(u"001 Office +123"), u"001_Office_123");
    EXPECT_EQ(Sanitized(u"a.+-_ b"), u"a_b");
    EXPECT_EQ(Sanitized(u" x "), u"_x_");
    EXPECT_EQ(Sanitized(u"___"), u"_");
    EXPECT_EQ(Sanitized(u""), u"");
    EXPECT_EQ(Sanitized(u"Ősz űr"), u"Ősz_űr");
    // Characters beyond the basic plane are two units, both outside the set: one "_".
    EXPECT_EQ(Sanitized(u"Hi \U0001F600 there"), u"Hi_there");
}

TEST(MakeFileName, FromRecipientsOrSenderWithTheNumberFirst) {
    auto office = Message(1, u"SMS");
    AddRecipient(office, u"Office", u"+123");
    EXPECT_EQ(MakeFileName(office, 1), u"001_Office_123.txt");

    auto fromSender = Message(2, u"SMS");
    fromSender.SetSenderEmail(u"+456");
    EXPECT_EQ(MakeFileName(fromSender, 12), u"012_456.txt");

    auto nobody = Message(3, u"SMS");
    EXPECT_EQ(MakeFileName(nobody, 3), u"003_.txt");
    EXPECT_EQ(MakeFileName(nobody, 1234), u"1234_.txt");
    EXPECT_EQ(MakeFileName(nobody, 100000), u"100000_.txt");
}

TEST(MakeFileName, ListsEveryRecipientDisplayNameFirstAndIgnoresTheSenderThen) {
    auto message = Message(1, u"SMS");
    message.SetSenderEmail(u"+999");
    AddRecipient(message, u"Kovács Éva", u"+36.30");
    AddRecipient(message, u"", u"bob@example.org");
    AddRecipient(message, u"Zoë", u"");
    EXPECT_EQ(MakeFileName(message, 7), u"007_Kovács_Éva_36_30_bob@example_org_Zo_.txt");
}

TEST(MakeFileName, RecipientsWithoutTextFallBackToTheSender) {
    auto message = Message(1, u"SMS");
    message.SetSenderEmail(u"+456");
    AddRecipient(message, u"", u"");
    EXPECT_EQ(MakeFileName(message, 4), u"004_456.txt");
}

TEST(SafeName, MendsOnlyNamesThatCouldLeaveTheirDirectory) {
    EXPECT_EQ(SafeName(u"photo 1.jpg"), u"photo 1.jpg");
    EXPECT_EQ(SafeName(u".profile"), u".profile");
    EXPECT_EQ(SafeName(u"..."), u"...");
    EXPECT_EQ(SafeName(u"Zoë \U0001F600.png"), u"Zoë \U0001F600.png");
    EXPECT_EQ(SafeName(u"..\\..\\.profile"), u".._.._.profile");
    EXPECT_EQ(SafeName(u"../x"), u".._x");
    EXPECT_EQ(SafeName(u"a\\b"), u"a_b");
    EXPECT_EQ(SafeName(u"tab\there\nnul"), u"tab_here_nul");
    EXPECT_EQ(SafeName(std::u16string(u"a\0b", 3)), u"a_b");
    EXPECT_EQ(SafeName(u"."), u"_");
    EXPECT_EQ(SafeName(u".."), u"_");
    EXPECT_EQ(SafeName(u""), u"_");
}

TEST(MessageFileNames, RepeatedNamesGetAnOrdinalBeforeTheirExtension) {
    tallymere::MessageFileNames names;
    names.Take(u"001_Office_123.txt");
    EXPECT_EQ(names.Distinct(1, u"photo 1.jpg"), u"001_photo 1.jpg");
    EXPECT_EQ(names.Distinct(1, u"office_123.TXT"), u"001_office_123_2.TXT");
    EXPECT_EQ(names.Distinct(1, u"archive.tar.gz"), u"001_archive.tar.gz");
    EXPECT_EQ(names.Distinct(1, u"archive.tar.gz"), u"001_archive.tar_2.gz");
    // A leading or trailing dot starts no extension.
    for (std::u16string_view name : {u".profile", u"name.", u"README"}) {
        names.Distinct(1, name);
    }
    EXPECT_EQ(names.Distinct(1, u".profile"), u"001_.profile_2");
    EXPECT_EQ(names.Distinct(1, u"name."), u"001_name._2");
    EXPECT_EQ(names.Distinct(1, u"README"), u"001_README_2");
    // Only the files of one message count.
    EXPECT_EQ(names.Distinct(2, u"README"), u"002_README");
    names.Clear();
    EXPECT_EQ(names.Distinct(1, u"README"), u"001_README");
}

}  // namespace
