#include "platform/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Text, RoundTripsEveryScriptAndSurrogatePairs) {
    const std::u16string text = u"Zoë Привет 你好 \U0001F600 end";
    const std::string utf8 = platform::ToUtf8(text);
    EXPECT_EQ(
        utf8,
        "Zo\xC3\xAB \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80 end");
    EXPECT_EQ(platform::FromUtf8(utf8), text);
}

TEST(Text, LoneSurrogatesAndInvalidBytesBecomeReplacementCharacters) {
    const std::u16string lone = {u'a', static_cast<char16_t>(0xD83D), u'b', static_cast<char16_t>(0xDE00)};
    EXPECT_EQ(platform::ToUtf8(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(platform::FromUtf8("x\xFFy\xC3"), u"x\uFFFDy\uFFFD");
    EXPECT_EQ(platform::FromUtf8("\xE4\xBD"), u"\uFFFD\uFFFD");
}

TEST(Text, EachEncodedLengthAtItsBoundariesAndAppendedAfterWhatIsThere) {
    const std::u16string edges = {0x7F,   0x80,   0x7FF,  0x800,  0xD7FF, 0xE000,
                                  0xFFFF, 0xDC00, 0xD800, 0xDC00, 0xDBFF, 0xDFFF};
    EXPECT_EQ(platform::ToUtf8(edges),
              "\x7F"
              "\xC2\x80"
              "\xDF\xBF"
              "\xE0\xA0\x80"
              "\xED\x9F\xBF"
              "\xEE\x80\x80"
              "\xEF\xBF\xBF"
              "\xEF\xBF\xBD"
              "\xF0\x90\x80\x80"
              "\xF4\x8F\xBF\xBF");
    // A high surrogate at the very end has no partner.
    std::string out = "kept/";
    platform::AppendUtf8(out, std::u16string{u'x', static_cast<char16_t>(0xD83D)});
    EXPECT_EQ(out, "kept/x\xEF\xBF\xBD");
    platform::AppendUtf8(out, std::u16string_view{});
    EXPECT_EQ(out, "kept/x\xEF\xBF\xBD");
    // Every unit as the one-code-point conversion writes it.
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        std::string one;
        platform::AppendUtf8(one, c);
        ASSERT_EQ(platform::ToUtf8(std::u16string(1, static_cast<char16_t>(c))), one) << static_cast<unsigned>(c);
    }
}

TEST(Text, Utf8ConvertedInPiecesIsWhatTheWholeConversionGives) {
    // Every length of character, invalid bytes and a sequence cut off by the end of the text.
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3(\xFF\xED\xA0\x80z\xF0\x9F\x98\x80\xF0\x9F\x98";
    const std::u16string whole = platform::FromUtf8(text);
    EXPECT_EQ(platform::Utf16Length(text), whole.size());
    EXPECT_EQ(platform::Utf16Length(""), 0u);
    for (std::size_t room : {2u, 3u, 5u, 64u}) {
        std::u16string pieces;
        std::size_t at = 0;
        std::vector<char16_t> out(room);
        while (at < text.size()) {
            const std::size_t n = platform::FromUtf8Piece(text, &at, out.data(), room);
            ASSERT_GT(n, 0u) << "no progress with room " << room;
            ASSERT_LE(n, room);
            // A piece never ends between the two halves of a pair.
            EXPECT_FALSE(out[n - 1] >= 0xD800 && out[n - 1] < 0xDC00) << room;
            pieces.append(out.data(), n);
        }
        EXPECT_EQ(pieces, whole) << "room " << room;
    }
}

TEST(Text, PatternsMatchWithoutRegardToCase) {
    EXPECT_TRUE(platform::MatchesPattern(u"001_Office.TXT", u"*.txt"));
    EXPECT_TRUE(platform::MatchesPattern(u"anything", u"*"));
    EXPECT_TRUE(platform::MatchesPattern(u"a.b.txt", u"*.txt"));
    EXPECT_FALSE(platform::MatchesPattern(u"notes.txt.bak", u"*.txt"));
    EXPECT_TRUE(platform::MatchesPattern(u"ab", u"a?"));
    EXPECT_FALSE(platform::MatchesPattern(u"a", u"a?"));
    EXPECT_TRUE(platform::EqualsNoCase(u"Inbox", u"INBOX"));
    EXPECT_TRUE(platform::EqualsNoCase(u"\u00c9t\u00c9", u"\u00e9T\u00e9"));
    EXPECT_TRUE(platform::EqualsNoCase(u"\u041f\u0420\u0418", u"\u043f\u0440\u0438"));
    EXPECT_TRUE(platform::MatchesPattern(u"\u00c9T\u00c9.TXT", u"\u00e9t\u00e9.txt"));
    EXPECT_FALSE(platform::EqualsNoCase(u"\u00d7", u"\u00f7")) << "the multiplication sign is no letter";
}

TEST(Text, Utf16LeBytesRoundTrip) {
    const std::u16string text = u"A\u00e9\U0001F600";
    const std::string bytes = platform::ToUtf16Le(text);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(bytes[0], 'A');
    EXPECT_EQ(bytes[1], '\0');
    EXPECT_EQ(platform::FromUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), text);
}

}  // namespace
