// A mounted device with OutputDir "\Out" and an empty archive directory, plus messages built
// by hand for the archive tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "archive/entry_id.h"
#include "archive/qmsg.h"
#include "device_fixture.h"
#include "support/settings.h"

namespace archive_testing {

class ArchiveTest : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        std::filesystem::create_directories(Host("Out/Tallymere"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
    }
    std::filesystem::path Data() const { return Host("Out/Tallymere/Messages.dat"); }
    std::filesystem::path Index() const { return Host("Out/Tallymere/Messages.ndx"); }
    std::filesystem::path Folders() const { return Host("Out/Tallymere/Folders.dat"); }
};

// Bytes from hexadecimal pairs, spaces ignored: Hex("14 00 00 00").
inline std::string Hex(std::string_view text) {
    std::string bytes;
    int high = -1;
    for (char c : text) {
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<char>(high << 4 | v));
            high = -1;
        }
    }
    return bytes;
}

// A 20-byte identifier that differs for every n.
inline tallymere::xEntryID::Id IdOf(std::uint32_t n) {
    tallymere::xEntryID::Id id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(n >> (8 * (i % 4)));
    id[19] = 0xA5;
    return id;
}

// A small text message n in `folder`.
inline tallymere::qMsg TextMessage(std::uint32_t n, std::u16string_view folder = u"SMS/Inbox",
                                   std::u16string_view subject = u"Hello") {
    const auto id = IdOf(n);
    tallymere::qMsg msg(nullptr, 20, id.data());
    msg.SetFolder(folder);
    msg.SetSubject(subject);
    msg.SetSenderName(u"Ann");
    msg.SetSenderEmail(u"+4915100000" + std::u16string(1, static_cast<char16_t>(u'0' + n % 10)));
    msg.SetMessageClass(u"IPM.SMS");
    msg.SetServiceName(u"SMS");
    msg.SetMessageFlags(0);
    msg.SetDeliveryTime({n, 0x01D00000});
    msg.SetRecipientCount(1);
    msg.SetRecipientType(0, 1);
    msg.SetAddrType(0, u"SMS");
    msg.SetEmailAddress(0, u"+491700000");
    msg.SetDisplayName(0, u"Bob");
    const std::uint8_t body[] = {'H', 0, 'i', 0, '!', 0};
    msg.SetBody(body, sizeof body);
    return msg;
}

}  // namespace archive_testing
