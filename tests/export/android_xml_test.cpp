// The Android backup file's text: what XML cannot carry, and the box a folder stands for.
#include <gtest/gtest.h>

#include <string>

#include "export/android_xml.h"

namespace {

std::string Xml(std::u16string_view text) {
    std::string out;
    tallymere::AppendXmlText(out, text);
    return out;
}

TEST(AndroidXmlText, EscapesMarkupKeepsLineEndsAndWritesEveryCharacterAsItself) {
    EXPECT_EQ(Xml(u"a & b < c > d \"e\" 'f'"), "a &amp; b &lt; c &gt; d &quot;e&quot; 'f'");
    EXPECT_EQ(Xml(u"line\nnext\r\ttab"), "line&#10;next&#13;&#9;tab");
    // A surrogate pair is one character of four bytes, never two references.
    EXPECT_EQ(Xml(u"😀"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Xml(u"שלום مرحبا"), "שלום مرحبا");
    // What XML 1.0 cannot hold becomes U+FFFD: a lone half, other controls, U+FFFE and U+FFFF.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(Xml(std::u16string(1, u'\xD83D') + u"x"), replacement + "x");
    EXPECT_EQ(Xml(u"x" + std::u16string(1, u'\xDE00')), "x" + replacement);
    EXPECT_EQ(Xml(std::u16string(u"a\x01"
                                 u"b")),
              "a" + replacement + "b");
    EXPECT_EQ(Xml(std::u16string(1, u'\xFFFF')), replacement);
}

TEST(AndroidXmlBox, TheSecondLevelOfAFolderPathNamesTheBox) {
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Inbox"), 1);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Inbox/Work/Projects"), 1);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Sent Items/2007"), 2);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Drafts"), 3);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Outbox"), 4);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Deleted Items"), 0);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS"), 0);
    EXPECT_EQ(tallymere::AndroidBoxOf(u"SMS/Inboxes"), 0);
}

}  // namespace
