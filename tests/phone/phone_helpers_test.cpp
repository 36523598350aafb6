#include "phone/iso_time.h"

#include <gtest/gtest.h>

#include "phone/sha256.h"
#include "phone/xml_markup.h"

namespace {

std::uint64_t Ticks(const char* text) {
    auto time = phone::ParseIsoTime(text);
    return time ? platform::ToTicks(*time) : 0;
}

TEST(IsoTime, FormsAndZones) {
    const std::uint64_t noon = platform::ToTicks(platform::FromUnixTime(1204373610));  // 2008-03-01T12:13:30Z
    EXPECT_EQ(Ticks("2008-03-01T12:13:30Z"), noon);
    EXPECT_EQ(Ticks("2008-03-01T12:13:30"), noon);
    EXPECT_EQ(Ticks("2008-03-01 14:13:30+02:00"), noon);
    EXPECT_EQ(Ticks("2008-03-01T07:13:30-0500"), noon);
    EXPECT_EQ(Ticks("2008-03-01T12:13:30.25Z"), noon + 2500000);
    EXPECT_EQ(Ticks("2008-03-01T12:13Z"), noon - 30 * 10000000ull);
    EXPECT_EQ(Ticks("2008-03-01"), noon - (12 * 3600 + 13 * 60 + 30) * 10000000ull);
    EXPECT_EQ(phone::FormatIsoTime(platform::FromTicks(noon)), "2008-03-01T12:13:30Z");
}

TEST(IsoTime, NotATime) {
    for (const char* bad : {"", "yesterday", "2008-02-30", "2007-02-29T00:00Z", "2008-13-01", "2008-03-01T24:00",
                            "2008-03-01T12:60", "2008-03-01T12:13:30Q", "2008-3-1", "2008-03-01T12:13:30.Z"}) {
        EXPECT_FALSE(phone::ParseIsoTime(bad)) << bad;
    }
    EXPECT_TRUE(phone::ParseIsoTime("2008-02-29"));
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(phone::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(phone::Sha256Hex(std::vector<std::uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(phone::Sha256Hex(std::vector<std::uint8_t>(two.begin(), two.end())),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Where markup after "<!" or "<?" ends: the text up to and including the character that ends
// it, or all of it when nothing does.
std::string Skipped(std::string_view text) {
    phone::SkippedMarkup markup;
    if (text.starts_with("<!")) markup.StartBang();
    if (text.starts_with("<?")) markup.StartInstruction();
    for (std::size_t i = 2; i < text.size(); ++i) {
        if (markup.Step(text[i])) return std::string(text.substr(0, i + 1));
    }
    return std::string(text);
}

TEST(SkippedMarkup, EndsWhereTheFiltersAndTheParserAgreeItEnds) {
    EXPECT_EQ(Skipped("<!-- a > b --><part/>"), "<!-- a > b -->");
    EXPECT_EQ(Skipped("<!-- a --->x"), "<!-- a --->");
    EXPECT_EQ(Skipped("<![CDATA[ ]> ]]]>x"), "<![CDATA[ ]> ]]]>");
    EXPECT_EQ(Skipped("<?xml version='1.0' ?>x"), "<?xml version='1.0' ?>");
    EXPECT_EQ(Skipped("<!DOCTYPE s [ <!ENTITY e \">\"> ]>x"), "<!DOCTYPE s [ <!ENTITY e \">\"> ]>");
    // Every character after "<!" counts in a declaration, the first ones too.
    EXPECT_EQ(Skipped("<![x>]>x"), "<![x>]>");
    EXPECT_EQ(Skipped("<!>x"), "<!>");
    // A stray "]" leaves nothing open for a later "[" to close.
    EXPECT_EQ(Skipped("<!D ]] [ > ]>x"), "<!D ]] [ > ]>");
    EXPECT_EQ(Skipped("<!-- never ends"), "<!-- never ends");
}

}  // namespace
