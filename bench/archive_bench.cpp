// Archive writer timing: 10,000 seeded messages of realistic size archived into an empty
// archive, then the same messages again over the full archive (every one found and refreshed
// in place). Prints one line per pass: name, seconds, microseconds per message.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "platform/device.h"
#include "support/files.h"
#include "support/settings.h"

namespace {

using tallymere::qMsg;

constexpr int kMessages = 10000;

std::u16string Words(std::mt19937& rng, std::size_t chars) {
    static const char16_t* const kWords[] = {u"see",  u"you",    u"at",         u"the",  u"station", u"tomorrow",
                                             u"ok",   u"thanks", u"Grüße",      u"call", u"me",      u"later",
                                             u"when", u"home",   u"\U0001F600", u"fine", u"where",   u"are"};
    std::u16string text;
    while (text.size() < chars) {
        if (!text.empty()) text += u' ';
        text += kWords[rng() % std::size(kWords)];
    }
    text.resize(chars);
    return text;
}

std::vector<qMsg> MakeMessages() {
    std::mt19937 rng(20240601);
    const std::u16string folders[] = {u"SMS/Inbox",         u"SMS/Sent Items", u"SMS/Drafts",
                                      u"SMS/Deleted Items", u"MMS/Inbox",      u"MMS/Sent Items"};
    std::vector<qMsg> messages;
    messages.reserve(kMessages);
    for (int n = 0; n < kMessages; ++n) {
        std::uint8_t id[20];
        for (auto& b : id) b = static_cast<std::uint8_t>(rng());
        qMsg m(nullptr, 20, id);
        const bool mms = rng() % 10 == 0;
        m.SetFolder(folders[(mms ? 4 : 0) + rng() % (mms ? 2 : 4)]);
        const std::u16string body = Words(rng, 20 + rng() % 300);
        m.SetSubject(body.substr(0, 40));
        m.SetSenderName(Words(rng, 6 + rng() % 10));
        m.SetSenderEmail(u"+49151" + std::u16string(8, static_cast<char16_t>(u'0' + rng() % 10)));
        m.SetMsgStatus(0);
        m.SetMessageSize(static_cast<std::uint32_t>(2 * body.size() + 200));
        m.SetMessageFlags(rng() % 2);
        m.SetDeliveryTime({static_cast<std::uint32_t>(rng()), 0x01D80000});
        m.SetLastModificationTime({static_cast<std::uint32_t>(rng()), 0x01D80000});
        m.SetMessageClass(mms ? u"IPM.MMS" : u"IPM.SMStext");
        m.SetServiceName(mms ? u"MMS" : u"SMS");
        const std::uint32_t recipients = 1 + rng() % 2;
        m.SetRecipientCount(recipients);
        for (std::uint32_t r = 0; r < recipients; ++r) {
            m.SetRecipientType(r, 1);
            m.SetAddrType(r, u"SMS");
            m.SetEmailAddress(r, u"+49170" + std::u16string(7, static_cast<char16_t>(u'0' + r)));
            m.SetDisplayName(r, Words(rng, 5 + rng() % 12));
        }
        const std::string bodyBytes(reinterpret_cast<const char*>(body.data()), 2 * body.size());
        m.SetBody(reinterpret_cast<const std::uint8_t*>(bodyBytes.data()),
                  static_cast<std::uint32_t>(bodyBytes.size()));
        if (mms) {
            const std::uint32_t attachments = 1 + rng() % 3;
            m.SetHasAttach(1);
            m.SetAttachmentCount(attachments);
            for (std::uint32_t a = 0; a < attachments; ++a) {
                std::vector<std::uint8_t> data(2000 + rng() % 60000);
                for (auto& b : data) b = static_cast<std::uint8_t>(rng());
                m.SetAttachNum(a, a);
                m.SetAttachMethod(a, 1);
                m.SetAttachSize(a, static_cast<std::uint32_t>(data.size()));
                m.SetAttachData(a, data);
                m.SetAttachFilename(a, u"image" + std::u16string(1, static_cast<char16_t>(u'0' + a)) + u".jpg");
            }
        }
        messages.push_back(std::move(m));
    }
    return messages;
}

double Pass(const std::vector<qMsg>& messages, std::uint32_t* appended) {
    const auto start = std::chrono::steady_clock::now();
    tallymere::BeginBackup(tallymere::BackupMode::Full);
    *appended = 0;
    for (const qMsg& m : messages) *appended += tallymere::BackupMessage(m);
    tallymere::EndBackup();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tallymere-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const std::filesystem::path base(pattern);
    std::string error;
    if (!platform::device::Mount(base / "device", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    tallymere::SetRegistryStr(tallymere::kOutputDirValue, u"\\Out");
    tallymere::MyCreateDir(u"\\Out", u"", u"");
    tallymere::MyCreateDir(u"\\Out", tallymere::kArchiveDir, u"");

    const std::vector<qMsg> messages = MakeMessages();
    std::uint32_t appended = 0;
    const double empty = Pass(messages, &appended);
    std::printf("archive_into_empty %.3f %.1f (%u appended, Messages.dat %.1f MB)\n", empty, 1e6 * empty / kMessages,
                appended, std::filesystem::file_size(base / "device/Out/Tallymere/Messages.dat") / 1e6);
    const double full = Pass(messages, &appended);
    std::printf("archive_over_full %.3f %.1f (%u appended)\n", full, 1e6 * full / kMessages, appended);

    platform::device::Unmount();
    std::filesystem::remove_all(base);
    return 0;
}
