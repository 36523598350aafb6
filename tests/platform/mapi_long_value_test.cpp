// Long values: a text a message shares with its writer (HrSetTextShared), and strings and
// binaries long enough that the store writes them into their rows piece by piece.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mapi_fixture.h"
#include "platform/faults.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

using MapiLongValue = MapiTest;

// At least `units` UTF-16 code units of one-byte, two-byte and surrogate-pair characters, with
// a counter in it so that no stretch repeats (a piece stored at the wrong place shows), as
// UTF-8; with `broken`, bytes that are not UTF-8 too (each becomes U+FFFD).
std::string LongText(std::size_t units, bool broken = false) {
    std::string text;
    text.reserve(units * 3 / 2 + 64);
    std::size_t made = 0;
    for (std::size_t i = 0; made < units; ++i) {
        // "café жש 😀 #": 11 code units, the emoji two of them.
        text += "caf\xC3\xA9 \xD0\xB6\xD7\xA9 \xF0\x9F\x98\x80 #";
        made += 11;
        for (std::size_t n = i; n != 0; n /= 10, ++made) text += static_cast<char>('0' + n % 10);
        if (broken && i % 1000 == 999) {
            text += "\xC3(\xF0\x9F";  // a lead byte without its continuation, twice
            made += 3;
        }
        text += '\n';
        ++made;
    }
    return text;
}

// UTF-16LE of `utf8`, converted here by hand (not as the store does).
Bytes LittleEndian(const std::string& utf8) {
    Bytes bytes;
    const auto unit = [&bytes](char32_t u) {
        bytes.push_back(static_cast<BYTE>(u & 0xFF));
        bytes.push_back(static_cast<BYTE>(u >> 8));
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
        bool whole = i + length <= utf8.size();
        for (int k = 1; whole && k < length; ++k) whole = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        if (!whole) {
            unit(0xFFFD);
            ++i;
            continue;
        }
        char32_t c = length == 1 ? b : b & (0x7F >> length);
        for (int k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += static_cast<std::size_t>(length);
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return bytes;
}

std::u16string Utf16(const Bytes& bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return text;
}

Bytes ReadAll(IMAPIProp* object, ULONG tag) {
    Ptr<IUnknown> opened;
    EXPECT_EQ(object->OpenProperty(tag, nullptr, 0, 0, opened.Out()), 0);
    if (!opened) return {};
    auto* stream = static_cast<IStream*>(opened.get());
    Bytes all;
    BYTE buffer[65536];
    for (ULONG read = 0; stream->Read(buffer, sizeof buffer, &read) == 0 && read != 0;) {
        all.insert(all.end(), buffer, buffer + read);
    }
    return all;
}

TEST_F(MapiLongValue, ASharedTextServesSeveralPropertiesAndIsStoredByteForByte) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    // 3 MB of UTF-16, not a whole number of pieces; and a short text, bound as usual.
    auto text = std::make_shared<const std::string>(LongText(1'500'001, true));
    auto name = std::make_shared<const std::string>("Zo\xC3\xAB \xF0\x9F\x98\x80");
    Bytes id;
    {
        Ptr<IMessage> message;
        ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_SUBJECT_W, text), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_BODY_W, text), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_SENDER_NAME_W, name), 0);
        // Read back before it is stored: the subject becomes a value of its own, the body
        // stays shared; both must come out the same.
        EXPECT_TRUE(GetString(message.get(), PR_SUBJECT_W) == Utf16(LittleEndian(*text)));
        EXPECT_EQ(GetLong(message.get(), PR_MESSAGE_SIZE), static_cast<std::int32_t>(LittleEndian(*text).size()));
        ASSERT_EQ(message->SaveChanges(0), 0);
        id = EntryIdOf(message.get());
    }
    const Bytes expected = LittleEndian(*text);
    // Opened whole, the message leaves its long values in their rows until they are asked for.
    Ptr<IMessage> stored = OpenMessage(id);
    EXPECT_TRUE(ReadAll(stored.get(), PR_BODY_W) == expected);
    EXPECT_TRUE(ReadAll(stored.get(), PR_SUBJECT_W) == expected);
    EXPECT_TRUE(GetString(stored.get(), PR_SUBJECT_W) == Utf16(expected));
    EXPECT_EQ(GetLong(stored.get(), PR_MESSAGE_SIZE), static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(GetString(stored.get(), PR_SENDER_NAME_W), u"Zo\u00eb \U0001F600");
}

TEST_F(MapiLongValue, LongValuesReplaceStoredOnesAndLongBinariesGoInPiecesToo) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = NewMessage(inbox.get(), u"short");
    Bytes picture(2 * 1024 * 1024 + 3);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<BYTE>((i * 7919) >> 5);
    for (std::size_t units : {700'000u, 600'000u}) {
        auto text = std::make_shared<const std::string>(LongText(units));
        {
            Ptr<IMessage> message = OpenMessage(id);
            ASSERT_EQ(HrSetTextShared(message.get(), PR_SUBJECT_W, text), 0);
            Ptr<IAttach> attach;
            ULONG number = 0;
            ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
            SPropValue data = Binary(PR_ATTACH_DATA_BIN, picture);
            ASSERT_EQ(attach->SetProps(1, &data, nullptr), 0);
            attach.reset();
            ASSERT_EQ(message->SaveChanges(0), 0);
        }
        Ptr<IMessage> stored = OpenMessage(id);
        EXPECT_TRUE(ReadAll(stored.get(), PR_SUBJECT_W) == LittleEndian(*text)) << units;
        Ptr<IAttach> attach;
        ASSERT_EQ(stored->OpenAttach(0, nullptr, 0, attach.Out()), 0);
        EXPECT_TRUE(ReadAll(attach.get(), PR_ATTACH_DATA_BIN) == picture);
    }
}

TEST_F(MapiLongValue, AFailureWhileALongValueIsWrittenLeavesNothingAndWhatCannotBeSharedIsRefused) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    auto text = std::make_shared<const std::string>(LongText(1'000'000));
    {
        Ptr<IMessage> message;
        ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_BODY_W, text), 0);
        SPropValue subject = Unicode(PR_SUBJECT_W, u"half");
        ASSERT_EQ(message->SetProps(1, &subject, nullptr), 0);
        // The third piece fails, and so does the commit at the message's release.
        platform::faults::Plan("sqlite3_blob_write", 3, true);
        EXPECT_NE(message->SaveChanges(0), 0);
    }
    platform::faults::Reset();
    EXPECT_EQ(Messages(inbox.get()), 0u) << "no part of the message may stay behind";

    Ptr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
    EXPECT_EQ(HrSetTextShared(message.get(), PROP_TAG(PT_STRING8, PROP_ID(PR_SUBJECT_W)), text),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrSetTextShared(message.get(), PR_BODY_W, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrSetTextShared(nullptr, PR_BODY_W, text), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(HrSetTextShared(message.get(), PR_BODY_W, text), 0);
    ASSERT_EQ(message->SaveChanges(0), 0);
    EXPECT_EQ(Messages(inbox.get()), 1u);
    EXPECT_TRUE(ReadAll(message.get(), PR_BODY_W) == LittleEndian(*text));
}

TEST_F(MapiLongValue, AStoredLongValueIsReadInPiecesWhereItIsAndAChangeMeanwhileIsNoticed) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const std::string text = LongText(800'000);
    const Bytes expected = LittleEndian(text);
    Bytes id;
    {
        Ptr<IMessage> message;
        ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_SUBJECT_W, std::make_shared<const std::string>(text)), 0);
        ASSERT_EQ(HrSetTextShared(message.get(), PR_BODY_W, std::make_shared<const std::string>(text)), 0);
        ASSERT_EQ(message->SaveChanges(0), 0);
        id = EntryIdOf(message.get());
    }
    const auto openLate = [&]() {
        Ptr<IUnknown> object;
        ULONG type = 0;
        EXPECT_EQ(session->OpenEntry(static_cast<ULONG>(id.size()), id.data(), nullptr, MAPI_DEFERRED_ERRORS, &type,
                                     object.Out()),
                  0);
        return std::move(object).As<IMessage>();
    };
    Ptr<IMessage> message = openLate();
    // Read in odd pieces, with a seek back in the middle.
    Ptr<IUnknown> opened;
    ASSERT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, 0, opened.Out()), 0);
    auto* body = static_cast<IStream*>(opened.get());
    STATSTG stat{};
    ASSERT_EQ(body->Stat(&stat, STATFLAG_NONAME), 0);
    EXPECT_EQ(stat.cbSize, expected.size());
    Bytes read(expected.size() + 10);
    std::size_t at = 0;
    for (ULONG n = 0; at < 100'000 && body->Read(read.data() + at, 777, &n) == 0 && n != 0;) at += n;
    std::uint64_t position = 0;
    ASSERT_EQ(body->Seek(-1000, STREAM_SEEK_CUR, &position), 0);
    at = static_cast<std::size_t>(position);
    for (ULONG n = 0; body->Read(read.data() + at, 65'537, &n) == 0 && n != 0;) at += n;
    read.resize(at);
    EXPECT_TRUE(read == expected);
    ULONG written = 0;
    EXPECT_NE(body->Write("x", 1, &written), 0) << "a stream opened to read does not write";
    opened.reset();
    // The whole value through GetProps, as before.
    EXPECT_TRUE(GetString(message.get(), PR_SUBJECT_W) == Utf16(expected));

    // A value changed by another session after the stream opened is not mixed with the old one.
    Ptr<IMessage> reader = openLate();
    ASSERT_EQ(reader->OpenProperty(PR_BODY_W, nullptr, 0, 0, opened.Out()), 0);
    {
        Ptr<IMAPISession> other = Logon();
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(other->OpenEntry(static_cast<ULONG>(id.size()), id.data(), nullptr, MAPI_MODIFY, &type, object.Out()),
                  0);
        Ptr<IMessage> writer = std::move(object).As<IMessage>();
        ASSERT_EQ(HrSetTextShared(writer.get(), PR_BODY_W, std::make_shared<const std::string>(LongText(900'000))), 0);
        ASSERT_EQ(writer->SaveChanges(0), 0);
    }
    BYTE piece[1024];
    ULONG n = 0;
    EXPECT_NE(static_cast<IStream*>(opened.get())->Read(piece, sizeof piece, &n), 0);
}

}  // namespace
