// The pieces under `device import`: base64, the mending of character references, and the
// streaming reader of backup files.
#include <gtest/gtest.h>

#include <expat.h>

#include <string>
#include <vector>

#include "phone/base64.h"
#include "phone/char_refs.h"
#include "phone/device_import.h"
#include "phone/long_values.h"
#include "phone/part_data.h"
#include "phone/sms_backup.h"
#include "device_fixture.h"

namespace {

using namespace phone;
using testing_support::WriteHostFile;

std::string Decoded(std::string_view text, bool* ok = nullptr) {
    std::vector<std::uint8_t> out;
    const bool good = DecodeBase64(text, out);
    if (ok) *ok = good;
    return std::string(out.begin(), out.end());
}

TEST(Base64, DecodesPaddedUnpaddedAndWrappedText) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"Zg", "f"},
        {"Zm8", "fo"},
        {" Zm9v\r\nYmFy\n", "foobar"},
        {"Zm9vYg= =", "foob"},
    };
    for (const auto& [text, plain] : cases) {
        bool ok = false;
        EXPECT_EQ(Decoded(text, &ok), plain) << text;
        EXPECT_TRUE(ok) << text;
    }
    // Every byte value survives, "+" and "/" included.
    EXPECT_EQ(Decoded("AAEC/f7/+w=="), std::string("\x00\x01\x02\xFD\xFE\xFF\xFB", 7));
}

TEST(Base64, RefusesWhatIsNotBase64) {
    // Padding no encoder writes: after a whole group, a third "=", after bits left over.
    for (const char* text : {"Zm9v!", "Zm9v-_", "Zg==Zg==", "Zm9vY", "Z", "Zm9v\x80", "Zm9v=", "Zg===", "Zh=="}) {
        bool ok = true;
        Decoded(text, &ok);
        EXPECT_FALSE(ok) << text;
    }
}

std::string Mend(std::string_view text) {
    CharRefFixer fixer;
    std::string out;
    fixer.Feed(text, out);
    fixer.Finish(out);
    return out;
}

// The same text fed in pieces of every size gives the same result.
std::string MendInPieces(std::string_view text, std::size_t piece) {
    CharRefFixer fixer;
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += piece) fixer.Feed(text.substr(i, piece), out);
    fixer.Finish(out);
    return out;
}

TEST(CharRefFixer, JoinsHalvesAndReplacesWhatXmlRefuses) {
    const std::pair<const char*, const char*> cases[] = {
        {"&#55357;&#56832;", "&#128512;"},                  // U+1F600
        {"a&#xD83C;&#xdf55;b", "a&#127829;b"},              // hexadecimal halves, U+1F355
        {"&#55357;", "&#65533;"},                           // a high half at the end
        {"&#55357; &#56832;", "&#65533; &#65533;"},         // halves apart: two lone halves
        {"&#56832;&#55357;", "&#65533;&#65533;"},           // in the wrong order
        {"&#55357;&#55357;&#56832;", "&#65533;&#128512;"},  // a lone half, then a pair
        {"&#55357;&amp;", "&#65533;&amp;"},
        {"&#0;&#7;&#x1F;&#65534;&#xFFFF;&#1114112;", "&#65533;&#65533;&#65533;&#65533;&#65533;&#65533;"},
        {"&#9;&#10;&#13;&#32;&#128512;&#x10FFFF;", "&#9;&#10;&#13;&#32;&#128512;&#x10FFFF;"},
        {"&amp;&lt;&#;&#x;&#12a;&#1234567890123;& #55357;", "&amp;&lt;&#;&#x;&#12a;&#1234567890123;& #55357;"},
        {"line 1\n&#55357;\n&#56832;\r\n", "line 1\n&#65533;\n&#65533;\r\n"},
        {"&", "&"},
        {"&#", "&#"},
        {"&#5535", "&#5535"},
    };
    for (const auto& [text, mended] : cases) {
        EXPECT_EQ(Mend(text), mended) << text;
        for (std::size_t piece = 1; piece < 20; ++piece)
            EXPECT_EQ(MendInPieces(text, piece), mended) << text << " / " << piece;
    }
}

struct Extracted {
    std::string text;                 // what the parser sees
    std::vector<std::string> values;  // the decoded values, "!" for one that is not base64 (and has no bytes)
};

Extracted Extract(std::string_view text, std::size_t piece) {
    PartDataExtractor extractor;
    Extracted result;
    for (std::size_t i = 0; i < text.size(); i += piece) extractor.Feed(text.substr(i, piece), result.text);
    PartDataExtractor::Value value;
    while (extractor.Take(&value)) {
        const std::string bytes(value.bytes.begin(), value.bytes.end());
        result.values.push_back(value.valid ? bytes : "!" + bytes);
    }
    return result;
}

TEST(PartDataExtractor, TakesOutTheDataOfPartsOnlyWhereverTheStreamIsCut) {
    struct Case {
        std::string text;
        std::string seen;
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"<part ct=\"a\" data=\"Zm9v\"/>", "<part ct=\"a\" data=\"*\"/>", {"foo"}},
        {"<part data = 'Zm9v\nYmFy&#10;' name='x'>", "<part data = '*\n' name='x'>", {"foobar"}},
        {"<part data=\"null\"/><part data=\"\"/><part data=\"nul\"/>",
         "<part data=\"null\"/><part data=\"\"/><part data=\"*\"/>",
         {"\x9E\xE9"}},
        {"<part data=\"Zm9v!\"/><part data=\"Zg&amp;\"/><part data=\"Zm9v\"/>",
         "<part data=\"*\"/><part data=\"*\"/><part data=\"*\"/>",
         {"!", "!", "foo"}},
        // Refused after whole groups: nothing of what was decoded before is kept, however cut.
        {"<part data=\"Zm9vYmFy=\"/>", "<part data=\"*\"/>", {"!"}},
        // Only a <part>'s own `data`, and never inside comments, CDATA, instructions or declarations.
        {"<mms data=\"Zm9v\" x='<part data=\"Zm9v\"/>'><partx data=\"Zm9v\"/><part xdata=\"Zm9v\"/>",
         "<mms data=\"Zm9v\" x='<part data=\"Zm9v\"/>'><partx data=\"Zm9v\"/><part xdata=\"Zm9v\"/>",
         {}},
        {"<!-- <part data=\"Zm9v\"/> --><![CDATA[<part data=\"Zm9v\"/>]]><?pi <part data=\"Zm9v\"/>?>"
         "<!DOCTYPE smses [<!ATTLIST part data CDATA \"Zm9v\">]><part data=\"YmFy\"/>",
         "<!-- <part data=\"Zm9v\"/> --><![CDATA[<part data=\"Zm9v\"/>]]><?pi <part data=\"Zm9v\"/>?>"
         "<!DOCTYPE smses [<!ATTLIST part data CDATA \"Zm9v\">]><part data=\"*\"/>",
         {"bar"}},
        {"<smses>\n<part\ndata=\"Zm9v\r\nYmFy\"\n/>text &amp; more</smses>",
         "<smses>\n<part\ndata=\"*\r\n\"\n/>text &amp; more</smses>",
         {"foobar"}},
    };
    for (const Case& c : cases) {
        for (std::size_t piece = 1; piece <= c.text.size(); ++piece) {
            const Extracted e = Extract(c.text, piece);
            EXPECT_EQ(e.text, c.seen) << c.text << " / " << piece;
            EXPECT_EQ(e.values, c.values) << c.text << " / " << piece;
        }
    }
}

// The attribute values of every start tag of `doc` as the parser reads them ("error: ..." when
// it refuses the document), with LongValueExtractor(streamFrom) in front of it, fed in pieces of
// `piece` bytes, when `streamFrom` is not 0. `shown`: what the parser got to see.
std::vector<std::string> ParsedValues(const std::string& doc, std::size_t streamFrom, std::size_t piece = 0,
                                      std::string* shown = nullptr) {
    struct State {
        LongValueExtractor* extractor = nullptr;
        std::vector<std::string> values;
    } state;
    std::string text = doc;
    LongValueExtractor extractor(streamFrom == 0 ? 1 : streamFrom);
    if (streamFrom != 0) {
        state.extractor = &extractor;
        text.clear();
        if (piece == 0) piece = doc.size() + 1;
        for (std::size_t i = 0; i < doc.size(); i += piece)
            extractor.Feed(std::string_view(doc).substr(i, piece), text);
        extractor.Finish(text);
        if (shown != nullptr) *shown = text;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &state);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char*, const XML_Char** attrs) {
        State& s = *static_cast<State*>(data);
        for (; attrs[0] != nullptr; attrs += 2) {
            std::string value = attrs[1];
            std::string taken;
            if (s.extractor != nullptr && value.rfind(LongValueExtractor::kMark, 0) == 0 && s.extractor->Take(&taken)) {
                value = taken + value.substr(LongValueExtractor::kMark.size());
            }
            s.values.push_back(value);
        }
    });
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
        state.values.assign(1, std::string("error: ") + XML_ErrorString(XML_GetErrorCode(parser)) + " at line " +
                                   std::to_string(XML_GetCurrentLineNumber(parser)));
    }
    XML_ParserFree(parser);
    return state.values;
}

TEST(LongValueExtractor, LongValuesReadAsTheParserReadsThemWhereverTheStreamIsCut) {
    const std::string values[] = {
        "plain text, 'quoted' > more",
        "tab\there",
        "&amp;&lt;&gt;&quot;&apos;&#10;&#13;&#9;&#x1F600;&#233;&#xe9;&#0065;",
        "caf\xC3\xA9 \xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xC2\x85",
        // Beginning with the placeholder's own character, written or referred to.
        "\xF4\x8F\xBF\xBDx",
        "&#x10FFFD;y",
        "&#1114109;",
        // What the parser judges itself: refused ...
        "a\x01b",
        "a<b",
        "&foo; bar",
        "&#0;",
        "&#xD800;",
        "&#X41;",
        "&amp",
        "x\xC3(",
        "\xED\xA0\x80",
        "\xEF\xBF\xBF",
        "\xF4\x90\x80\x80",
        "\xC0\xAF",
        "\xF0\x9F\x98",
        // ... or read.
        "a\x7F"
        "b",
        "&#00000000000000065;",
        "one\ntwo\r\nthree",
        "&#x10FFFD;\x01",
    };
    for (const std::string& value : values) {
        for (const std::string& head : {std::string(), std::string(40, 'x')}) {
            const std::string doc = "<a>\n<b one=\"" + head + value + "\" two='\"" + value + "\"'/>\n</a>";
            const std::vector<std::string> expected = ParsedValues(doc, 0);
            for (const std::size_t from : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
                for (const std::size_t piece : {1, 2, 3, 5, 8, 13, 0}) {
                    EXPECT_EQ(ParsedValues(doc, from, piece), expected) << value << " / " << from << " / " << piece;
                }
            }
        }
    }
    // A long value reaches the parser as the placeholder; a short one unchanged; and so does
    // everything under an encoding the filter does not know.
    std::string shown;
    const std::string doc =
        "<a one=\"" + std::string(100, 'x') + "\" two=\"short\"><!-- \"" + std::string(100, 'y') + "\" --></a>";
    EXPECT_EQ(ParsedValues(doc, 64, 0, &shown), ParsedValues(doc, 0));
    EXPECT_EQ(shown, "<a one=\"&#x10FFFD;\" two=\"short\"><!-- \"" + std::string(100, 'y') + "\" --></a>");
    const std::string latin1 =
        "<?xml version='1.0' encoding='iso-8859-1'?><a one=\"caf\xE9 " + std::string(100, 'x') + "\"/>";
    EXPECT_EQ(ParsedValues(latin1, 64, 0, &shown), ParsedValues(latin1, 0));
    EXPECT_EQ(ParsedValues(latin1, 64)[0], "caf\xC3\xA9 " + std::string(100, 'x'));
    const std::string other = "<?xml version='1.0' encoding='KOI8-R'?><a one=\"" + std::string(100, 'x') + "\"/>";
    ParsedValues(other, 64, 0, &shown);
    EXPECT_EQ(shown, other);
}

class BackupReaderTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = testing_support::MakeTempDir("tallymere-reader-"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& text) {
        const std::string path = (dir_ / "backup.xml").string();
        WriteHostFile(path, text);
        return path;
    }
    ReadOutcome Read(const std::string& text, std::string stopAt = {}) {
        elements_.clear();
        return SmsBackupReader::ReadFile(Write(text), [&](const BackupElement& e) {
            elements_.push_back(e);
            return e.name == stopAt ? std::string("stop here") : std::string();
        });
    }

    std::filesystem::path dir_;
    std::vector<BackupElement> elements_;
};

TEST_F(BackupReaderTest, HandsOverEveryElementBelowTheRootWithItsLineAndContent) {
    const ReadOutcome outcome = Read(
        "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
        "<smses count=\"9\">\n"
        "  <sms address=\"+1\" body=\"a &amp; b\" subject=\"null\" date=\"\" />\n"
        "  <mms msg_box=\"1\">\n"
        "    <parts>\n"
        "      <part ct=\"image/png\" data=\"iVBO\nRw==\" name=\"p.png\" />\n"
        "      <part ct=\"text/plain\" text=\"hi\" data=\"null\" />\n"
        "    </parts>\n"
        "    <addrs><addr address=\"+1\" type=\"137\" /><unknown><addr address=\"+2\" type=\"151\" /></unknown></addrs>\n"
        "  </mms>\n"
        "  <call number=\"+1\"><nested /></call>\n"
        "</smses>\n");
    ASSERT_TRUE(outcome.complete) << outcome.error;
    ASSERT_EQ(elements_.size(), 3u);
    const BackupElement& sms = elements_[0];
    EXPECT_EQ(sms.name, "sms");
    EXPECT_EQ(sms.line, 3u);
    EXPECT_EQ(ValueOf(sms.attributes, "body"), "a & b");
    EXPECT_FALSE(ValueOf(sms.attributes, "subject"));  // "null"
    EXPECT_FALSE(ValueOf(sms.attributes, "date"));     // empty
    EXPECT_FALSE(ValueOf(sms.attributes, "read"));     // missing

    const BackupElement& mms = elements_[1];
    EXPECT_EQ(mms.line, 4u);
    ASSERT_EQ(mms.parts.size(), 2u);
    ASSERT_TRUE(mms.parts[0].data);
    EXPECT_EQ(std::string(mms.parts[0].data->begin(), mms.parts[0].data->end()), "\x89PNG");
    EXPECT_FALSE(ValueOf(mms.parts[0].attributes, "data"));  // kept decoded only
    EXPECT_EQ(ValueOf(mms.parts[0].attributes, "name"), "p.png");
    EXPECT_FALSE(mms.parts[1].data);
    ASSERT_EQ(mms.addrs.size(), 2u);
    EXPECT_EQ(ValueOf(mms.addrs[1], "type"), "151");
    EXPECT_TRUE(mms.problem.empty());

    EXPECT_EQ(elements_[2].name, "call");
    EXPECT_EQ(elements_[2].line, 12u);  // the base64 above spans two lines
}

TEST_F(BackupReaderTest, MediaLargerThanAChunkArrivesWhole) {
    std::string encoded;
    std::string plain;
    for (std::size_t i = 0; plain.size() < 3 * SmsBackupReader::kChunkBytes; ++i) {
        plain += "abc";
        encoded += "YWJj";
        if (i % 19 == 18) encoded += "\n";
    }
    std::uint64_t lastProgress = 0;
    const std::string text = "<smses><mms><parts><part data=\"" + encoded + "\"/></parts></mms></smses>";
    std::size_t size = 0;
    const ReadOutcome outcome = SmsBackupReader::ReadFile(
        Write(text),
        [&](const BackupElement& e) {
            size = e.parts.at(0).data->size();
            EXPECT_TRUE(std::equal(plain.begin(), plain.end(), e.parts[0].data->begin()));
            return std::string();
        },
        [&](std::uint64_t bytes) { lastProgress = bytes; });
    ASSERT_TRUE(outcome.complete) << outcome.error;
    EXPECT_EQ(size, plain.size());
    EXPECT_EQ(lastProgress, text.size());
}

TEST_F(BackupReaderTest, EmojiHalvesThatStopAStrictParserAreRead) {
    const std::string text = testing_support::ReadHostFile(TALLYMERE_TEST_DATA "/import/emoji.xml");
    // The file as it is: a strict parser refuses it.
    XML_Parser strict = XML_ParserCreate(nullptr);
    EXPECT_EQ(XML_Parse(strict, text.data(), static_cast<int>(text.size()), XML_TRUE), XML_STATUS_ERROR);
    EXPECT_EQ(XML_GetErrorCode(strict), XML_ERROR_BAD_CHAR_REF);
    XML_ParserFree(strict);

    const ReadOutcome outcome = Read(text);
    ASSERT_TRUE(outcome.complete) << outcome.error;
    ASSERT_EQ(elements_.size(), 3u);
    EXPECT_EQ(ValueOf(elements_[0].attributes, "body"), "Smile \xF0\x9F\x98\x80 and a pizza \xF0\x9F\x8D\x95!");
    EXPECT_EQ(ValueOf(elements_[1].attributes, "body"),
              "Half \xEF\xBF\xBD here, \xEF\xBF\xBD there, bell \xEF\xBF\xBD");
    EXPECT_EQ(elements_[1].line, 4u);
}

TEST_F(BackupReaderTest, StopsWithLineAndReason) {
    struct Case {
        std::string text;
        std::uint64_t line;
        std::string words;
        std::size_t elements;
    };
    const Case cases[] = {
        {"", 1, "the file is empty", 0},
        {"\x89PNG\r\n\x1A\n", 1, "not an SMS/MMS backup file", 0},
        {"<calls>\n<call/></calls>", 1, "not an SMS/MMS backup file (its root element is <calls>, not <smses>)", 0},
        {"<smses>\n<sms body=\"1\"/>\n<sms body=\"2\"/>\n<mms><parts><part data=\"AAAA", 4, "cut off", 2},
        {"<smses>\n<sms body=\"1\"/>\n<sms body=\"2\" <sms/>\n</smses>", 3, "not well-formed", 1},
        {"<smses>\n<sms/>\n<stop/>\n<sms/>\n</smses>", 3, "stop here", 2},
        // An entity declaration (the start of any "billion laughs") ends the reading before it
        // can expand.
        {"<!DOCTYPE smses [\n<!ENTITY a \"aaaaaaaaaa\">\n<!ENTITY b \"&a;&a;&a;&a;&a;\">\n]>\n<smses><sms body=\"&b;\"/></smses>",
         2, "declares entities", 0},
    };
    for (const Case& c : cases) {
        const ReadOutcome outcome = Read(c.text, "stop");
        EXPECT_FALSE(outcome.complete) << c.text;
        EXPECT_EQ(outcome.line, c.line) << c.text;
        EXPECT_NE(outcome.error.find(c.words), std::string::npos) << c.text << ": " << outcome.error;
        EXPECT_EQ(elements_.size(), c.elements) << c.text;
    }
    const ReadOutcome missing =
        SmsBackupReader::ReadFile((dir_ / "none.xml").string(), [](const BackupElement&) { return std::string(); });
    EXPECT_FALSE(missing.complete);
    EXPECT_EQ(missing.line, 0u);
    EXPECT_NE(missing.error.find("cannot open the file"), std::string::npos);
}

TEST(ConvertElement, TimesInMillisecondsOrSecondsAndNothingForNonsense) {
    const auto time = [](const char* name, const char* date) {
        BackupElement e;
        e.name = name;
        e.attributes = {{"type", "1"}, {"msg_box", "1"}, {"address", "+1"}, {"date", date}};
        Conversion c = ConvertElement(e);
        return c.delivery ? platform::ToTicks(c.delivery->deliveryTime) : ~0ull;
    };
    const std::uint64_t at = platform::ToTicks(platform::FromUnixTime(1700000000, 1230000));
    EXPECT_EQ(time("sms", "1700000000123"), at);
    EXPECT_EQ(time("mms", "1700000000123"), at);
    EXPECT_EQ(time("mms", "1700000000"), platform::ToTicks(platform::FromUnixTime(1700000000)));
    EXPECT_EQ(time("sms", "1700000000"), platform::ToTicks(platform::FromUnixTime(1700000000)));
    for (const char* nonsense : {"", "null", "0", "-5", "12x", "1e12", "253402300800000", "999999999999999999999999"}) {
        EXPECT_EQ(time("sms", nonsense), 0u) << nonsense;
        EXPECT_EQ(time("mms", nonsense), 0u) << nonsense;
    }
}

}  // namespace
