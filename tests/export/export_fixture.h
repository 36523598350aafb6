// A mounted device with OutputDir "\Out" and its export directory, UTC as local time, and
// message records built by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "archive/qmsg.h"
#include "device_fixture.h"
#include "export/exporter.h"
#include "platform/text.h"
#include "platform/time.h"
#include "support/settings.h"

namespace export_testing {

inline platform::FILETIME At(int y, int mo, int d, int h, int mi, int s, int ms) {
    platform::SYSTEMTIME f{};
    f.wYear = static_cast<std::uint16_t>(y);
    f.wMonth = static_cast<std::uint16_t>(mo);
    f.wDay = static_cast<std::uint16_t>(d);
    f.wHour = static_cast<std::uint16_t>(h);
    f.wMinute = static_cast<std::uint16_t>(mi);
    f.wSecond = static_cast<std::uint16_t>(s);
    f.wMilliseconds = static_cast<std::uint16_t>(ms);
    platform::FILETIME t;
    platform::SystemTimeToFileTime(f, &t);
    return t;
}

// A 20-byte entry identifier distinct for every n.
inline std::array<std::uint8_t, 20> MakeId(std::uint32_t n) {
    std::array<std::uint8_t, 20> id{};
    for (int i = 0; i < 4; ++i) id[i] = static_cast<std::uint8_t>(n >> (8 * i));
    id[19] = 0x5A;
    return id;
}

// A record with identifier n in `folder`: no recipients, no sender, no times, empty body.
inline tallymere::qMsg Message(std::uint32_t n, std::u16string_view folder) {
    const auto id = MakeId(n);
    tallymere::qMsg message(nullptr, 20, id.data());
    message.SetFolder(folder);
    return message;
}

inline void SetBodyText(tallymere::qMsg& message, std::u16string_view text) {
    const std::string bytes = platform::ToUtf16Le(text);
    message.SetBody(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
}

inline void AddRecipient(tallymere::qMsg& message, std::u16string_view displayName, std::u16string_view address) {
    const std::uint32_t i = message.recipientCount;
    if (!displayName.empty()) message.SetDisplayName(i, displayName);
    if (!address.empty()) message.SetEmailAddress(i, address);
    message.SetRecipientCount(i + 1);
}

inline void AddAttachment(tallymere::qMsg& message, std::u16string_view name, const std::string& data) {
    const std::uint32_t i = message.attachmentCount;
    if (!name.empty()) message.SetAttachFilename(i, name);
    message.SetAttachSize(i, static_cast<std::uint32_t>(data.size()));
    message.SetAttachData(i, {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
    message.SetAttachmentCount(i + 1);
}

class ExportTest : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (const char* old = std::getenv("TZ")) savedTz_ = old, hadTz_ = true;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        std::filesystem::create_directories(Host("Out/Tallyport"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
    }
    void TearDown() override {
        tallymere::CloseExporter();
        if (hadTz_) {
            ::setenv("TZ", savedTz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
        DeviceTest::TearDown();
    }

    // Host path below the export directory.
    std::filesystem::path Export(const std::string& relative) const { return Host("Out/Tallyport/" + relative); }
    std::filesystem::path Mms(const std::string& name) const { return Host("My Documents/UAContents/MMS UA/" + name); }

    // Every path in the device folder, relative to it (the platform's own files left out).
    std::set<std::string> DeviceTree() const {
        std::set<std::string> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(device_)) {
            std::string rel = std::filesystem::relative(entry.path(), device_).generic_string();
            if (rel.rfind(".platform", 0) != 0) paths.insert(rel);
        }
        return paths;
    }

    // Exports the messages with a freshly opened exporter and returns how many were written.
    template <typename... Messages>
    int ExportPass(const Messages&... messages) {
        tallymere::OpenExporter();
        int exported = (0 + ... + tallymere::exporter->ExportOne(messages));
        tallymere::CloseExporter();
        return exported;
    }

private:
    std::string savedTz_;
    bool hadTz_ = false;
};

}  // namespace export_testing
