// The shapes of backup files from writers other than the phone's backup apps: encodings,
// careless XML, dates in other units, stray parts and very long text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device_fixture.h"
#include "phone/device_import.h"
#include "phone/lenient_xml.h"
#include "phone/sms_backup.h"
#include "platform/text.h"

namespace {

using namespace phone;

struct Mended {
    std::string text;
    std::uint64_t places = 0;
    std::uint64_t first = 0;
    std::vector<std::pair<std::uint64_t, std::string>> notes;
};

Mended Mend(std::string_view text, bool lenient, std::size_t piece = 0) {
    XmlMender mender(lenient);
    Mended m;
    if (piece == 0) piece = text.size() + 1;
    for (std::size_t i = 0; i < text.size(); i += piece) mender.Feed(text.substr(i, piece), m.text);
    mender.Finish(m.text);
    m.places = mender.Places();
    m.first = mender.FirstPlaceLine();
    m.notes = mender.TakeNotes();
    return m;
}

TEST(XmlMender, MendsCarelessAttributeValuesAndCountsThePlaces) {
    const std::pair<const char*, const char*> cases[] = {
        {"<a b=\"Caf&eacute; &Ocirc; &rsquo;\"/>", "<a b=\"Caf&#233; &#212; &#8217;\"/>"},
        {"<a b=\"fish & chips\"/>", "<a b=\"fish &amp; chips\"/>"},
        {"<a b=\"&word; &amp;&lt;&#233;&#xE9;\"/>", "<a b=\"&amp;word; &amp;&lt;&#233;&#xE9;\"/>"},
        {"<a b=\"1 < 2 &\"/>", "<a b=\"1 &lt; 2 &amp;\"/>"},
        {"<a b=\"say \"hi\" now\" c=\"d\">", "<a b=\"say &quot;hi&quot; now\" c=\"d\">"},
        {"<a b='it's' c='x' />", "<a b='it&apos;s' c='x' />"},
        {"<a b=\"x\"/><a b=\"y\" >", "<a b=\"x\"/><a b=\"y\" >"},  // quotes that end values stay
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(Mend(in, true).text, out) << in;
        EXPECT_EQ(Mend(in, true, 1).text, out) << in << " (a byte at a time)";
    }
    const Mended m = Mend("<s>\n<a b=\"ok\"/>\n<a b=\"&eacute;&\" c=\"<\"/>\n", true);
    EXPECT_EQ(m.places, 3u);
    EXPECT_EQ(m.first, 3u);
    // Strict: nothing is mended or counted.
    const Mended strict = Mend("<a b=\"&eacute; & <\"/>", false);
    EXPECT_EQ(strict.text, "<a b=\"&eacute; & <\"/>");
    EXPECT_EQ(strict.places, 0u);
}

TEST(XmlMender, KeepsRawLineBreaksInValuesAndTheFileLines) {
    for (const bool lenient : {true, false}) {
        EXPECT_EQ(Mend("<a b=\"one\ntwo\r\nthree\rfour\" c=\"d\"/>", lenient).text,
                  "<a b=\"one&#10;two&#10;three&#10;four\"\n\r\n\r c=\"d\"/>");
    }
    // Comments, declarations and text outside tags pass untouched.
    const std::string other = "<!DOCTYPE x [<!ATTLIST a b CDATA \"&\">]><!-- a \"& < --><?p & ?>x & y";
    EXPECT_EQ(Mend(other, true).text, other);
    EXPECT_EQ(Mend(other, true).places, 0u);
}

TEST(XmlMender, CutsTextValuesOverTheLimitButNotMedia) {
    const std::string big(XmlMender::kMaxTextBytes + 10, 'x');
    const Mended m =
        Mend("<s>\n<sms body=\"\xC3\xA9" + big + "\" type=\"1\"/><part data=\"" + big + "\"/>", true, 1 << 20);
    EXPECT_EQ(m.text.size(), std::string("<s>\n<sms body=\"").size() + XmlMender::kMaxTextBytes +
                                 std::string("\" type=\"1\"/><part data=\"").size() + big.size() + 3);
    EXPECT_NE(m.text.find("\" type=\"1\"/>"), std::string::npos);
    ASSERT_EQ(m.notes.size(), 1u);
    EXPECT_EQ(m.notes[0].first, 2u);
    EXPECT_EQ(m.notes[0].second, "its attribute \"body\" is longer than 16 MB and was cut there");

    // A reference or a character across the limit is left out whole.
    const std::string upTo(XmlMender::kMaxTextBytes - 2, 'x');
    for (const bool lenient : {true, false}) {
        for (const std::string& across : {std::string("&amp;"), std::string("&#10;"), std::string("\xE2\x82\xAC")}) {
            const Mended cut = Mend("<sms body=\"" + upTo + across + "yz\"/>", lenient, 1000);
            EXPECT_EQ(cut.text, "<sms body=\"" + upTo + "\"/>") << across << lenient;
        }
    }
}

std::string Decode(std::string_view bytes, bool* utf16 = nullptr) {
    InputDecoder decoder;
    std::string out;
    for (const char c : bytes) decoder.Feed(std::string_view(&c, 1), out);  // a byte at a time
    decoder.Finish(out);
    if (utf16) *utf16 = decoder.WasUtf16();
    return out;
}

std::string Utf16(std::string_view ascii, bool little, bool mark) {
    std::string out = mark ? (little ? "\xFF\xFE" : "\xFE\xFF") : "";
    for (const char c : ascii) {
        out += little ? c : '\0';
        out += little ? '\0' : c;
    }
    return out;
}

TEST(InputDecoder, ReadsUtf8AndUtf16AndPassesOverWhatPrecedesTheDeclaration) {
    const std::string xml = "<?xml version='1.0'?>\n<smses/>";
    bool utf16 = true;
    EXPECT_EQ(Decode(xml, &utf16), xml);
    EXPECT_FALSE(utf16);
    EXPECT_EQ(Decode("\xEF\xBB\xBF" + xml), xml);
    EXPECT_EQ(Decode(" \n\t\xEF\xBB\xBF\r\n" + xml), "<?xml version='1.0'?>\n\r\n" + std::string("\n<smses/>"));
    for (const bool little : {true, false}) {
        for (const bool mark : {true, false}) {
            EXPECT_EQ(Decode(Utf16(xml, little, mark), &utf16), xml) << little << mark;
            EXPECT_TRUE(utf16);
        }
    }
    // Characters beyond ASCII, a pair of halves and a lone half.
    EXPECT_EQ(Decode(std::string("\xFF\xFE<\0\xE9\0\x3D\xD8\x00\xDE\x3D\xD8x\0", 14)),
              "<\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx");
    EXPECT_EQ(Decode(std::string("\xFE\xFF\0<\0", 5)), "<\xEF\xBF\xBD");  // an odd last byte
}

class ShapesReader : public ::testing::Test {
protected:
    void SetUp() override { dir_ = testing_support::MakeTempDir("tallymere-shapes-"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    ReadOutcome Read(const std::string& bytes, ReadOptions options = {}) {
        const auto path = dir_ / "file.xml";
        testing_support::WriteHostFile(path, bytes);
        elements_.clear();
        return SmsBackupReader::ReadFile(
            path.string(),
            [&](BackupElement& e) {
                elements_.push_back(e);
                return std::string();
            },
            {}, options);
    }
    std::filesystem::path dir_;
    std::vector<BackupElement> elements_;
};

TEST_F(ShapesReader, AStrayPartsMediaReachesNoMessage) {
    const ReadOutcome outcome = Read(
        "<smses>\n"
        "<part ct=\"image/png\" data=\"c3RyYXk=\"/>\n"
        "<sms type=\"1\" body=\"x\"><part data=\"c3RyYXky\"/></sms>\n"
        "<mms msg_box=\"1\"><parts><part ct=\"image/png\" data=\"b3du\"/></parts></mms>\n"
        "</smses>\n");
    ASSERT_TRUE(outcome.complete) << outcome.error;
    ASSERT_EQ(elements_.size(), 3u);
    EXPECT_EQ(elements_[0].name, "part");
    EXPECT_EQ(ConvertElement(elements_[0]).skipped, "it is outside any <mms>");
    ASSERT_EQ(elements_[1].notes.size(), 1u);
    EXPECT_EQ(elements_[1].notes[0], "its <part> at line 3 is outside any <mms> and skipped");
    ASSERT_EQ(elements_[2].parts.size(), 1u);
    EXPECT_EQ(std::string(elements_[2].parts[0].data->begin(), elements_[2].parts[0].data->end()), "own");
}

TEST_F(ShapesReader, LenientByDefaultStrictOnAskingAndUnreadablePlacesShown) {
    const std::string file = "<smses>\n<sms body=\"Caf&eacute; & co\" type=\"1\"/>\n</smses>\n";
    ReadOutcome outcome = Read(file);
    ASSERT_TRUE(outcome.complete) << outcome.error;
    EXPECT_EQ(ValueOf(elements_[0].attributes, "body"), "Caf\xC3\xA9 & co");
    EXPECT_EQ(outcome.lenientPlaces, 2u);
    EXPECT_EQ(outcome.firstLenientLine, 2u);

    ReadOptions strict;
    strict.strict = true;
    outcome = Read(file, strict);
    EXPECT_FALSE(outcome.complete);
    EXPECT_TRUE(outcome.malformed);
    EXPECT_EQ(outcome.line, 2u);

    // What no recovery reads: a tag that never closes its name.
    outcome = Read("<smses>\n<sms type=\"1\"/>\n<sms type=\"1\" body=\"x\"\x01/>\n</smses>\n");
    EXPECT_TRUE(outcome.malformed) << outcome.error;
    EXPECT_EQ(outcome.line, 3u);
    EXPECT_EQ(outcome.there.substr(0, 6), "\\x01/>");
    EXPECT_EQ(elements_.size(), 1u);
}

TEST_F(ShapesReader, ValuesTakenOutOfTheStreamComeBackToTheirOwnAttributes) {
    // A value beginning with a reference is taken out however short; a default the DTD gives
    // that looks like a placeholder takes nothing.
    const std::string longBody(100 * 1024, 'z');
    const ReadOutcome outcome = Read(
        "<!DOCTYPE smses [<!ATTLIST sms extra CDATA \"&#x10FFFD;d\">]>\n<smses>\n<sms type=\"1\"/>\n"
        "<sms type=\"1\" body=\"&amp;two\" subject=\"" +
        longBody + "\"/>\n<sms body='" + longBody + "&#10;3'/>\n</smses>\n");
    ASSERT_TRUE(outcome.complete) << outcome.error;
    ASSERT_EQ(elements_.size(), 3u);
    EXPECT_EQ(ValueOf(elements_[0].attributes, "extra"),
              "\xF4\x8F\xBF\xBD"
              "d");
    EXPECT_EQ(ValueOf(elements_[1].attributes, "body"), "&two");
    EXPECT_EQ(ValueOf(elements_[1].attributes, "subject"), longBody);
    EXPECT_EQ(ValueOf(elements_[2].attributes, "body"), longBody + "\n3");
    EXPECT_EQ(elements_[2].line, 5u);
}

TEST(ConvertDates, SecondsForSmsTooThePhoneDatabaseConverterAndDateSent) {
    const auto convert = [](const char* name, Attributes dates) {
        BackupElement e;
        e.name = name;
        e.attributes = {{"type", "1"}, {"msg_box", "1"}, {"address", "+1"}, {"body", "b"}};
        e.attributes.insert(e.attributes.end(), dates.begin(), dates.end());
        return ConvertElement(e);
    };
    const auto ms = [](std::int64_t value) {
        return platform::ToTicks(
            platform::FromUnixTime(value / 1000, static_cast<std::uint32_t>(value % 1000) * 10000));
    };
    // (nanoseconds since 2001 + 978307200) * 1000, for 2023-05-17T10:32:24.700999999Z.
    const std::int64_t at = 1684319544700;
    const std::string converted = std::to_string((at - 978307200000) * 1000000 + 999999 + 978307200) + "000";
    for (const char* name : {"sms", "mms"}) {
        EXPECT_EQ(platform::ToTicks(convert(name, {{"date", converted}}).delivery->deliveryTime), ms(at)) << name;
        EXPECT_EQ(platform::ToTicks(convert(name, {{"date", "1700000000"}}).delivery->deliveryTime), ms(1700000000000));
        Conversion c = convert(name, {{"date", "soon"}, {"date_sent", "1700000001"}});
        EXPECT_EQ(platform::ToTicks(c.delivery->deliveryTime), ms(1700000001000));
        EXPECT_TRUE(c.note.empty());
        c = convert(name, {{"date", "soon"}, {"date_sent", "0"}});
        EXPECT_EQ(platform::ToTicks(c.delivery->deliveryTime), 0u);
        EXPECT_EQ(c.note, "imported without a time: its date \"soon\" cannot be read");
        EXPECT_EQ(convert(name, {}).note, "imported without a time: it has no date");
    }
}

TEST(ConvertParts, APartWithNeitherDataNorTextIsNoAttachment) {
    BackupElement e;
    e.name = "mms";
    e.attributes = {{"msg_box", "1"}, {"address", "+1"}, {"date", "1700000000000"}};
    BackupPart empty;
    empty.attributes = {{"ct", "image/jpeg"}, {"name", "a.jpg"}, {"text", "null"}};
    BackupPart zero = empty;
    zero.data.emplace();
    BackupPart smil;
    smil.attributes = {{"ct", "application/smil"}, {"cl", "smil.xml"}, {"text", "<smil/>"}};
    e.parts = {empty, zero, smil};
    const Conversion c = ConvertElement(e);
    ASSERT_TRUE(c.delivery);
    ASSERT_EQ(c.delivery->attachments.size(), 1u) << "the layout part, which has content, only";
    EXPECT_NE(c.delivery->attachments[0].filename, u"a.jpg");
}

// Lists of addresses and names longer than any group message are cut after their last whole
// item within 64 KB (an address without separators at a whole character), with a note each;
// shorter ones are left alone.
TEST(ConvertParties, ListsLongerThan64KbAreCutAfterTheirLastWholeItem) {
    std::string addresses;
    std::string names;
    for (int i = 0; addresses.size() < 100'000; ++i) {
        addresses += (i ? "~+1555" : "+1555") + std::to_string(100000 + i);
        names += (i ? ", Name " : "Name ") + std::to_string(i);
    }
    BackupElement e;
    e.name = "sms";
    e.attributes = {{"type", "2"}, {"address", addresses}, {"contact_name", names}, {"body", "b"}};
    Conversion c = ConvertElement(e);
    ASSERT_TRUE(c.delivery);
    const std::vector<Recipient>& to = c.delivery->to;
    const std::size_t kept = (64 * 1024 + 1) / 12;  // "+1555100000~" is 12 bytes a recipient
    ASSERT_EQ(to.size(), kept);
    EXPECT_EQ(to.back().address, u"+1555" + platform::FromUtf8(std::to_string(100000 + kept - 1)));
    EXPECT_EQ(e.notes,
              (std::vector<std::string>{"its attribute \"address\" is longer than 64 KB and was cut there",
                                        "its attribute \"contact_name\" is longer than 64 KB and was cut there"}));
    EXPECT_TRUE(to[0].name.empty()) << "names whose count no longer matches are not used";

    BackupElement one;
    one.name = "mms";
    one.attributes = {{"msg_box", "1"}, {"address", std::string(70'000, '7')}, {"date", "1700000000000"}};
    one.addrs = {{{"address", "+1"}, {"type", "137"}}};
    for (int i = 0; i < 23'400; ++i) one.addrs[0][0].second += "\xE4\xB8\xAD";  // U+4E2D
    c = ConvertElement(one);
    ASSERT_TRUE(c.delivery);
    ASSERT_EQ(one.notes.size(), 2u);
    EXPECT_EQ(ValueOf(one.attributes, "address")->size(), 64u * 1024);
    const std::string_view cut = *ValueOf(one.addrs[0], "address");
    EXPECT_LE(cut.size(), 64u * 1024);
    EXPECT_EQ(platform::ToUtf8(platform::FromUtf8(cut)), cut) << "cut at a whole character";

    BackupElement shorter;
    shorter.name = "sms";
    shorter.attributes = {{"type", "2"}, {"address", addresses.substr(0, 60'000)}, {"body", "b"}};
    ASSERT_TRUE(ConvertElement(shorter).delivery);
    EXPECT_TRUE(shorter.notes.empty());
    EXPECT_EQ(ValueOf(shorter.attributes, "address")->size(), 60'000u);
}

}  // namespace
