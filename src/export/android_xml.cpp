#include "export/android_xml.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "archive/archive_view.h"
#include "archive/qmsg.h"
#include "platform/mapi/types.h"
#include "platform/text.h"
#include "platform/time.h"
#include "support/fatal.h"
#include "support/files.h"

namespace tallymere {

namespace {

constexpr std::u16string_view kTag = u"WriteAndroidBackup";
// Room for the root's count, written once the last message is: the digits, the closing quote
// and blanks up to this width.
constexpr std::size_t kCountField = 24;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void Attribute(std::string& out, const char* name, std::u16string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    AppendXmlText(out, value);
    out += '"';
}

void Attribute(std::string& out, const char* name, const std::string& ascii) {
    out += ' ';
    out += name;
    out += "=\"";
    out += ascii;
    out += '"';
}

// "null" stands for a missing value in these files, as Android writes it.
void TextOrNull(std::string& out, const char* name, std::u16string_view value) {
    if (value.empty()) {
        Attribute(out, name, std::string("null"));
    } else {
        Attribute(out, name, value);
    }
}

void AppendBase64(std::string& out, const std::uint8_t* data, std::size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == size) {
        const std::uint32_t v = data[i] << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == size) {
        const std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
}

std::string Milliseconds(const platform::FILETIME& time) {
    const std::uint64_t ticks = platform::ToTicks(time);
    // 100-ns ticks from 1601 to 1970.
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
    if (ticks <= kUnixEpoch) return "0";
    return std::to_string((ticks - kUnixEpoch) / 10000);
}

std::u16string AddressOf(std::u16string_view address, std::u16string_view name) {
    return std::u16string(address.empty() ? name : address);
}

// The content type an attachment's name suggests. Never "text/plain": a text/plain part is the
// message's text, and an attached text file must stay an attachment.
const char* ContentType(std::u16string_view name) {
    const std::size_t dot = name.rfind(u'.');
    std::string extension;
    if (dot != std::u16string_view::npos) {
        for (char16_t c : name.substr(dot + 1)) {
            extension.push_back(c < 0x80 ? static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c) : '?');
        }
    }
    static const std::pair<const char*, const char*> kTypes[] = {
        {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"}, {"png", "image/png"},       {"gif", "image/gif"},
        {"bmp", "image/bmp"},         {"webp", "image/webp"}, {"heic", "image/heic"},     {"amr", "audio/amr"},
        {"mp3", "audio/mpeg"},        {"m4a", "audio/mp4"},   {"ogg", "audio/ogg"},       {"aac", "audio/aac"},
        {"3gp", "video/3gpp"},        {"mp4", "video/mp4"},   {"vcf", "text/x-vcard"},    {"vcs", "text/x-vcalendar"},
        {"smil", "application/smil"}, {"html", "text/html"},  {"pdf", "application/pdf"},
    };
    for (const auto& [ext, type] : kTypes) {
        if (extension == ext) return type;
    }
    return "application/octet-stream";
}

// The layout part: every attachment's picture, sound or video, and the text, in one slide each.
std::u16string Smil(const qMsg& msg, bool hasText) {
    std::u16string smil =
        u"<smil><head><layout><root-layout/><region id=\"Image\" fit=\"meet\" top=\"0\" left=\"0\" height=\"80%\" "
        u"width=\"100%\"/><region id=\"Text\" top=\"80%\" left=\"0\" height=\"20%\" width=\"100%\"/></layout></head><body>";
    for (std::uint32_t i = 0; i < msg.AttachmentSlots(); ++i) {
        const std::string type = ContentType(msg.attachFilename[i]);
        const char16_t* element = type.starts_with("image/")   ? u"img"
                                  : type.starts_with("audio/") ? u"audio"
                                  : type.starts_with("video/") ? u"video"
                                                               : u"ref";
        std::u16string name = msg.attachFilename[i];
        std::replace(name.begin(), name.end(), u'"', u'\'');
        smil += u"<par dur=\"5000ms\"><";
        smil += element;
        smil += u" src=\"" + name + u"\" region=\"Image\"/></par>";
    }
    if (hasText) smil += u"<par dur=\"5000ms\"><text src=\"text_0.txt\" region=\"Text\"/></par>";
    smil += u"</body></smil>";
    return smil;
}

std::u16string BodyOf(const qMsg& msg) {
    std::u16string body = msg.BodyText();
    // As the text export: the text ends at its first U+0000.
    if (const std::size_t end = body.find(u'\0'); end != std::u16string::npos) body.resize(end);
    return body;
}

std::string JoinedNames(const std::vector<std::u16string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += ", ";
        if (names[i].empty()) {
            out += "(Unknown)";
        } else {
            AppendXmlText(out, names[i]);
        }
    }
    return out;
}

void WriteSms(std::string& out, const qMsg& msg, int box) {
    const std::u16string body = BodyOf(msg);
    const std::u16string subject = msg.subjectPrefix + msg.subject;
    std::vector<std::u16string> addresses, names;
    if (box == 1) {
        addresses.push_back(AddressOf(msg.senderEmail, msg.senderName));
        names.push_back(msg.senderName);
    } else {
        for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) {
            addresses.push_back(AddressOf(msg.emailAddress[r], msg.displayName[r]));
            names.push_back(msg.displayName[r]);
        }
    }
    std::u16string address;
    for (std::size_t i = 0; i < addresses.size(); ++i) address += (i > 0 ? u"~" : u"") + addresses[i];
    out += "  <sms protocol=\"0\"";
    TextOrNull(out, "address", address);
    Attribute(out, "date", Milliseconds(msg.deliveryTime));
    Attribute(out, "type", std::to_string(box));
    // The phone keeps an SMS's text as its subject too; a subject of its own is written out.
    TextOrNull(out, "subject", subject == body ? std::u16string() : subject);
    Attribute(out, "body", body);
    out += " toa=\"null\" sc_toa=\"null\" service_center=\"null\"";
    Attribute(out, "read", std::string((msg.messageFlags & platform::mapi::MSGFLAG_READ) ? "1" : "0"));
    out += " status=\"-1\" locked=\"0\" date_sent=\"0\"";
    Attribute(out, "readable_date", IsoTime(msg.deliveryTime));
    out += " contact_name=\"" + (names.empty() ? std::string("(Unknown)") : JoinedNames(names)) + "\" />\n";
}

void WriteMms(std::string& out, const qMsg& msg, int box) {
    const std::u16string body = BodyOf(msg);
    const std::u16string subject = msg.subjectPrefix + msg.subject;
    const std::u16string sender = AddressOf(msg.senderEmail, msg.senderName);
    // The other parties: the sender of a received message and every recipient.
    std::vector<std::u16string> addresses, names;
    if (box == 1 && !sender.empty()) {
        addresses.push_back(sender);
        names.push_back(msg.senderName);
    }
    for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) {
        addresses.push_back(AddressOf(msg.emailAddress[r], msg.displayName[r]));
        names.push_back(msg.displayName[r]);
    }
    std::u16string address;
    for (std::size_t i = 0; i < addresses.size(); ++i) address += (i > 0 ? u"~" : u"") + addresses[i];
    out += "  <mms";
    Attribute(out, "date", Milliseconds(msg.deliveryTime));
    out += " ct_t=\"application/vnd.wap.multipart.related\"";
    Attribute(out, "msg_box", std::to_string(box));
    out += " rr=\"null\"";
    TextOrNull(out, "sub", subject);
    out += " read_status=\"null\"";
    TextOrNull(out, "address", address);
    out += " m_id=\"null\"";
    Attribute(out, "read", std::string((msg.messageFlags & platform::mapi::MSGFLAG_READ) ? "1" : "0"));
    Attribute(out, "m_size", std::to_string(msg.messageSize));
    Attribute(out, "m_type", std::string(box == 1 ? "132" : "128"));
    out += " date_sent=\"0\"";
    Attribute(out, "readable_date", IsoTime(msg.deliveryTime));
    out += " contact_name=\"" + (names.empty() ? std::string("(Unknown)") : JoinedNames(names)) + "\">\n";
    out += "    <parts>\n";
    // The layout names no file of its own: it is not one of the sender's attachments.
    out +=
        "      <part seq=\"-1\" ct=\"application/smil\" name=\"null\" chset=\"null\" cd=\"null\" fn=\"null\" "
        "cid=\"&lt;smil&gt;\" cl=\"null\" ctt_s=\"null\" ctt_t=\"null\"";
    Attribute(out, "text", Smil(msg, !body.empty()));
    out += " />\n";
    if (!body.empty()) {
        out +=
            "      <part seq=\"0\" ct=\"text/plain\" name=\"null\" chset=\"106\" cd=\"null\" fn=\"null\" "
            "cid=\"&lt;text_0&gt;\" cl=\"text_0.txt\" ctt_s=\"null\" ctt_t=\"null\"";
        Attribute(out, "text", body);
        out += " />\n";
    }
    for (std::uint32_t i = 0; i < msg.AttachmentSlots(); ++i) {
        const std::u16string& name = msg.attachFilename[i];
        out += "      <part seq=\"0\"";
        Attribute(out, "ct", std::string(ContentType(name)));
        TextOrNull(out, "name", name);
        out += " chset=\"null\" cd=\"null\" fn=\"null\"";
        TextOrNull(out, "cid", name.empty() ? name : u"<" + name + u">");
        TextOrNull(out, "cl", name);
        out += " ctt_s=\"null\" ctt_t=\"null\" text=\"null\" data=\"";
        const std::vector<std::uint8_t>& data = msg.attachData[i];
        AppendBase64(out, data.data(), std::min<std::size_t>(msg.attachSize[i], data.size()));
        out += "\" />\n";
    }
    out += "    </parts>\n    <addrs>\n";
    if (!sender.empty()) {
        out += "      <addr";
        Attribute(out, "address", sender);
        out += " type=\"137\" charset=\"106\" />\n";
    }
    for (std::uint32_t r = 0; r < msg.RecipientSlots(); ++r) {
        const std::uint32_t kind = msg.recipientType[r];
        out += "      <addr";
        Attribute(out, "address", AddressOf(msg.emailAddress[r], msg.displayName[r]));
        Attribute(out, "type",
                  std::string(kind == platform::mapi::MAPI_CC    ? "130"
                              : kind == platform::mapi::MAPI_BCC ? "129"
                                                                 : "151"));
        out += " charset=\"106\" />\n";
    }
    out += "    </addrs>\n  </mms>\n";
}

void Put(platform::File& file, const std::string& text) {
    if (file.Write(text.data(), text.size()) != text.size()) FatalError(u"fwrite failed.", kTag);
}

}  // namespace

void AppendXmlText(std::string& out, std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF ||
                   (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r')) {
            c = 0xFFFD;
        }
        switch (c) {
            case u'&': out += "&amp;"; break;
            case u'<': out += "&lt;"; break;
            case u'>': out += "&gt;"; break;
            case u'"': out += "&quot;"; break;
            // Written as references: a line end or tab in an attribute would read back as a blank.
            case u'\n': out += "&#10;"; break;
            case u'\r': out += "&#13;"; break;
            case u'\t': out += "&#9;"; break;
            default: AppendUtf8(out, c);
        }
    }
}

int AndroidBoxOf(std::u16string_view folderPath) {
    const std::size_t first = folderPath.find(u'/');
    if (first == std::u16string_view::npos) return 0;
    std::u16string_view second = folderPath.substr(first + 1);
    second = second.substr(0, second.find(u'/'));
    if (second == u"Inbox") return 1;
    if (second == u"Sent Items") return 2;
    if (second == u"Drafts") return 3;
    if (second == u"Outbox") return 4;
    return 0;
}

AndroidExport WriteAndroidBackup(ArchiveView& view, const std::vector<bool>& chosen, std::u16string_view path) {
    AndroidExport result;
    ReplacementFile file(path);
    if (!file.IsOpen()) FatalError(u"MyCreateFile failed.", kTag);
    platform::File& out = file.Stream();
    std::string text = "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n";
    const std::string backupDate = Milliseconds(platform::GetSystemTimeAsFileTime());
    text +=
        "<smses backup_set=\"tallymere-" + backupDate + "\" backup_date=\"" + backupDate + "\" type=\"full\" count=\"";
    const std::size_t countAt = text.size();
    text += std::string(kCountField, ' ');
    text += ">\n";
    Put(out, text);

    qMsg msg(nullptr, 0, nullptr);
    for (std::uint32_t i = 0; i < view.Count(); ++i) {
        if (i >= chosen.size() || !chosen[i]) continue;
        if (!view.Load(i, msg)) {
            ++result.unreadable;
            continue;
        }
        int box = AndroidBoxOf(msg.folderPath);
        if (box == 0) {
            ++result.asReceived[msg.folderPath];
            box = 1;
        }
        text.clear();
        if (msg.messageClass == u"IPM.MMS" || msg.AttachmentSlots() > 0) {
            WriteMms(text, msg, box);
            ++result.mms;
        } else {
            WriteSms(text, msg, box);
            ++result.sms;
        }
        Put(out, text);
        msg.Clear();
    }
    Put(out, "</smses>\n");
    // The count, now that it is known, into the room left for it.
    std::string count = std::to_string(result.sms + result.mms) + "\"";
    count.resize(kCountField, ' ');
    if (!out.Seek(static_cast<std::int64_t>(countAt), SEEK_SET)) FatalError(u"fseek failed.", kTag);
    Put(out, count);
    if (!file.Commit()) FatalError(u"fwrite failed.", kTag);
    return result;
}

}  // namespace tallymere
