#include "export/text_layout.h"

#include <algorithm>

#include "archive/qmsg.h"
#include "platform/file.h"
#include "platform/text.h"
#include "support/timefmt.h"

namespace tallymere {

namespace {

bool HasTime(const platform::FILETIME& time) { return time.dwLowDateTime != 0 && time.dwHighDateTime != 0; }

// Lays the message out, handing each line (without its "\n") to `line`.
template <class LineSink>
void LayOut(const qMsg& message, LineSink&& line) {
    std::u16string from = u"From: ";
    if (message.senderEmailLen != 0) from += message.senderEmail;
    line(from);

    std::u16string to = u"To: ";
    bool first = true;
    auto add = [&](const std::u16string& value) {
        if (!first) to += u", ";
        to += value;
        first = false;
    };
    const std::uint32_t recipients = message.RecipientSlots();
    for (std::uint32_t i = 0; i < recipients; ++i) {
        if (message.emailAddressLen[i] != 0) add(message.emailAddress[i]);
        if (message.displayNameLen[i] != 0) add(message.displayName[i]);
    }
    line(to);

    line(u"Subject: " + message.subjectPrefix + message.subject);
    if (HasTime(message.deliveryTime)) line(FormatTimestamp(message.deliveryTime));
    if (HasTime(message.lastModificationTime)) line(FormatTimestamp(message.lastModificationTime));

    const std::string size = std::to_string(message.messageSize);
    line(u"Size: " + std::u16string(size.begin(), size.end()) + u" bytes");

    // The body is a zero-terminated text: it ends at its first U+0000, so a stream that
    // carries its terminator puts no NUL into the file. A body without one is written whole.
    const std::size_t bodyBytes = std::min<std::size_t>(message.bodySize, message.body.size());
    std::u16string body = platform::FromUtf16Le(message.body.data(), bodyBytes);
    if (const std::size_t end = body.find(u'\0'); end != std::u16string::npos) body.resize(end);
    line(body);
}

}  // namespace

std::vector<std::u16string> MessageTextLines(const qMsg& message) {
    std::vector<std::u16string> lines;
    LayOut(message, [&lines](std::u16string_view text) {
        lines.emplace_back(text);
        lines.back() += u'\n';
    });
    return lines;
}

bool WriteMessageText(platform::File& file, const qMsg& message) {
    // One write per line, as before: the fault and crash trials count the writes.
    bool written = true;
    std::string bytes;
    LayOut(message, [&](std::u16string_view text) {
        bytes.clear();
        platform::AppendUtf8(bytes, text);
        bytes += '\n';
        written = file.Write(bytes.data(), bytes.size()) == bytes.size() && written;
    });
    return written;
}

}  // namespace tallymere
