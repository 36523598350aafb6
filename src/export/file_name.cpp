#include "export/file_name.h"

#include <algorithm>

#include <fmt/format.h>

#include "archive/qmsg.h"
#include "platform/text.h"

namespace tallymere {

namespace {

// Letters outside ASCII that file names keep (lower-case, then capitals).
constexpr std::u16string_view kAccented =
    u"\u00E1\u00E9\u00ED\u00F3\u00F6\u0151\u00FA\u00FC\u0171"
    u"\u00C1\u00C9\u00CD\u00D3\u00D6\u0150\u00DA\u00DC\u0170";

bool Allowed(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'@' ||
           kAccented.find(c) != std::u16string_view::npos;
}

// The number with at least three digits, zero-padded.
std::u16string ThreeDigits(std::uint32_t number) {
    const std::string digits = fmt::format("{:03}", number);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

void SanitizeName(std::u16string& text) {
    std::replace_if(
        text.begin(), text.end(), [](char16_t c) { return !Allowed(c); }, u'_');
    auto end = std::unique(text.begin(), text.end(), [](char16_t a, char16_t b) { return a == u'_' && b == u'_'; });
    text.erase(end, text.end());
}

std::u16string MakeFileName(const qMsg& message, std::uint32_t number) {
    std::u16string name = ThreeDigits(number) + u" ";
    bool appended = false;
    auto append = [&](const std::u16string& text) {
        if (appended) name += u' ';
        name += text;
        appended = true;
    };
    const std::uint32_t recipients = message.RecipientSlots();
    for (std::uint32_t i = 0; i < recipients; ++i) {
        if (message.displayNameLen[i] != 0) append(message.displayName[i]);
        if (message.emailAddressLen[i] != 0) append(message.emailAddress[i]);
    }
    if (!appended && message.senderEmailLen != 0) append(message.senderEmail);
    SanitizeName(name);
    return name + u".txt";
}

std::u16string SafeName(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") return u"_";
    std::u16string safe(name);
    std::replace_if(
        safe.begin(), safe.end(), [](char16_t c) { return c == u'\\' || c == u'/' || c < u' '; }, u'_');
    return safe;
}

std::u16string NumberedName(std::uint32_t number, std::u16string_view name) {
    return ThreeDigits(number) + u"_" + std::u16string(name);
}

std::u16string MessageFileNames::Distinct(std::uint32_t number, std::u16string_view name) {
    std::u16string fileName = NumberedName(number, name);
    if (IsTaken(fileName)) {
        const std::size_t dot = name.rfind(u'.');
        const bool hasExtension = dot != std::u16string_view::npos && dot > 0 && dot + 1 < name.size();
        const std::u16string_view stem = hasExtension ? name.substr(0, dot) : name;
        const std::u16string_view extension = hasExtension ? name.substr(dot) : std::u16string_view();
        for (std::uint32_t ordinal = 2; IsTaken(fileName); ++ordinal) {
            const std::string digits = "_" + std::to_string(ordinal);
            std::u16string candidate(stem);
            candidate.append(digits.begin(), digits.end());
            candidate += extension;
            fileName = NumberedName(number, candidate);
        }
    }
    taken_.push_back(fileName);
    return fileName;
}

bool MessageFileNames::IsTaken(std::u16string_view fileName) const {
    return std::any_of(taken_.begin(), taken_.end(),
                       [fileName](const std::u16string& taken) { return platform::EqualsNoCase(taken, fileName); });
}

}  // namespace tallymere
