#include "phone/device_import.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <memory>

#include "phone/sha256.h"
#include "platform/mapi/mapi.h"
#include "platform/text.h"

namespace phone {

namespace {

constexpr char16_t kInbox[] = u"SMS/Inbox";
constexpr mapi::ULONG kBatchMessages = 1000;
constexpr mapi::ULONG kBatchMs = 1000;

// The folder a message's `type` or `msg_box` names; null for any other value.
const char16_t* FolderFor(std::string_view box) {
    if (box == "1") return kInbox;
    if (box == "2") return u"SMS/Sent Items";
    if (box == "3") return u"SMS/Drafts";
    if (box == "4" || box == "5" || box == "6") return u"SMS/Outbox";
    return nullptr;
}

// Milliseconds since 1970 that a date attribute gives, or nothing when it gives no usable time.
// Backup apps write milliseconds; some phones and writers write seconds (a value below 10^11,
// which as milliseconds would be a day in 1973 at the latest); and one converter of another
// phone's database writes (nanoseconds since 2001-01-01 + 978307200) * 1000, a number of 20 or
// more digits, which is read back to the millisecond.
std::optional<std::int64_t> MillisecondsOf(std::optional<std::string_view> text) {
    constexpr std::int64_t kLastMs = 253402300799999;  // 9999-12-31T23:59:59.999Z
    constexpr std::uint64_t k2001 = 978307200;         // seconds from 1970 to 2001
    if (!text) return std::nullopt;
    std::string_view digits = *text;
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) digits.remove_prefix(1);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) digits.remove_suffix(1);
    if (digits.empty() || digits.size() > 40) return std::nullopt;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // The value, or (when it does not fit) the value without its last three digits.
    const auto parse = [](std::string_view d) -> std::optional<std::uint64_t> {
        std::uint64_t value = 0;
        const auto [at, error] = std::from_chars(d.data(), d.data() + d.size(), value);
        if (error != std::errc() || at != d.data() + d.size()) return std::nullopt;
        return value;
    };
    std::optional<std::uint64_t> kilo;
    if (const std::optional<std::uint64_t> value = parse(digits)) {
        if (*value == 0) return std::nullopt;
        if (*value < 100000000000) return static_cast<std::int64_t>(*value) * 1000;
        if (*value <= static_cast<std::uint64_t>(kLastMs)) return static_cast<std::int64_t>(*value);
        kilo = *value / 1000;
    } else if (digits.size() > 3) {
        kilo = parse(digits.substr(0, digits.size() - 3));
    }
    // Nanoseconds since 2001, as the converter wrote them.
    if (!kilo || *kilo < k2001 + 1000000000000000ull) return std::nullopt;  // before 2001-01-12: not such a date
    const std::uint64_t ms = (*kilo - k2001) / 1000000 + k2001 * 1000;
    if (ms > static_cast<std::uint64_t>(kLastMs)) return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

platform::FILETIME TimeOfMs(std::int64_t ms) {
    return platform::FromUnixTime(ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 10000);
}

// The message's time: its `date`, else its `date_sent`; all zero, with `note` saying why, when
// neither can be read.
platform::FILETIME TimeOf(const Attributes& attributes, std::string* note) {
    if (const auto ms = MillisecondsOf(ValueOf(attributes, "date"))) return TimeOfMs(*ms);
    if (const auto ms = MillisecondsOf(ValueOf(attributes, "date_sent"))) return TimeOfMs(*ms);
    const auto date = ValueOf(attributes, "date");
    *note = date ? "imported without a time: its date \"" + std::string(date->substr(0, 40)) + "\" cannot be read"
                 : "imported without a time: it has no date";
    return {};
}

std::u16string Wide(std::string_view utf8) { return platform::FromUtf8(utf8); }

std::u16string Trim(std::u16string_view text) {
    const auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::u16string(text);
}

// Splits at any of `separators`, trimming each piece and dropping empty ones.
std::vector<std::u16string> SplitList(std::u16string_view text, std::u16string_view separators) {
    std::vector<std::u16string> items;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && separators.find(text[i]) == std::u16string_view::npos) continue;
        std::u16string item = Trim(text.substr(start, i - start));
        if (!item.empty()) items.push_back(std::move(item));
        start = i + 1;
    }
    return items;
}

// The other parties of a message with the names the phone had for them: `address` (several
// joined by "~" or ";") and `contact_name` (several joined by ", " in the same order; a name
// that matches no count is not used).
std::vector<Recipient> OtherParties(const Attributes& attributes) {
    std::vector<Recipient> parties;
    const auto address = ValueOf(attributes, "address");
    if (!address) return parties;
    for (std::u16string& a : SplitList(Wide(*address), u"~;")) parties.push_back({std::move(a), u""});
    const auto contact = ValueOf(attributes, "contact_name");
    if (!contact || *contact == "(Unknown)" || parties.empty()) return parties;
    const std::u16string names = Wide(*contact);
    if (parties.size() == 1) {
        parties[0].name = Trim(names);
        return parties;
    }
    std::vector<std::u16string> split;
    std::size_t start = 0;
    for (std::size_t comma; (comma = names.find(u", ", start)) != std::u16string::npos; start = comma + 2) {
        split.push_back(Trim(std::u16string_view(names).substr(start, comma - start)));
    }
    split.push_back(Trim(std::u16string_view(names).substr(start)));
    if (split.size() == parties.size()) {
        for (std::size_t i = 0; i < split.size(); ++i) {
            if (split[i] != u"(Unknown)" && split[i] != u"null") parties[i].name = split[i];
        }
    }
    return parties;
}

bool IsRead(const Attributes& attributes) { return ValueOf(attributes, "read") == "1"; }

// Bytes from which a text is kept as the file's UTF-8 for the store to convert as it writes
// it (Delivery::longSubject, longBody).
constexpr std::size_t kLongText = 64 * 1024;

// The first value of attribute `name`, moved out of `attributes` (not copied) when it is that
// long and holds no U+0000 (which would end it as a property's value); else nothing.
std::shared_ptr<const std::string> TakeLong(Attributes& attributes, std::string_view name) {
    for (auto& [key, value] : attributes) {
        if (key != name) continue;
        if (value.size() < kLongText || value.find('\0') != std::string::npos) return nullptr;
        return std::make_shared<const std::string>(std::move(value));
    }
    return nullptr;
}

Conversion ConvertSms(BackupElement& e) {
    Conversion c;
    const auto type = ValueOf(e.attributes, "type");
    const char16_t* folder = type ? FolderFor(*type) : nullptr;
    if (folder == nullptr) {
        c.skipped = type ? "unknown message type \"" + std::string(*type) + "\"" : "it has no message type";
        return c;
    }
    Delivery d;
    d.folder = folder;
    d.messageClass = u"IPM.SMStext";
    const auto address = ValueOf(e.attributes, "address");
    const auto body = ValueOf(e.attributes, "body");
    if (!body && !(address && !Trim(Wide(*address)).empty())) {
        c.skipped = "it has neither text nor an address";
        return c;
    }
    if (body && !(d.longBody = TakeLong(e.attributes, "body"))) d.body = Wide(*body);
    const auto subject = ValueOf(e.attributes, "subject");
    if (subject) {
        if (!(d.longSubject = TakeLong(e.attributes, "subject"))) d.subject = Wide(*subject);
    } else {
        d.subjectIsBody = true;  // not a copy: a text may be 16 MB long
    }
    std::vector<Recipient> parties = OtherParties(e.attributes);
    if (folder == kInbox) {
        // The sender's address stays as the file has it, however it is written.
        if (address) d.from = Trim(Wide(*address));
        if (parties.size() == 1 && !parties[0].name.empty()) d.fromName = parties[0].name;
    } else {
        d.to = std::move(parties);
    }
    d.deliveryTime = TimeOf(e.attributes, &c.note);
    d.read = IsRead(e.attributes);
    c.delivery = std::move(d);
    return c;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& ch : lower) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return lower;
}

// A part's content type in lower case, without parameters.
std::string ContentType(const BackupPart& part) {
    std::string_view ct = ValueOf(part.attributes, "ct").value_or("application/octet-stream");
    ct = ct.substr(0, ct.find(';'));
    while (!ct.empty() && ct.back() == ' ') ct.remove_suffix(1);
    return Lower(ct);
}

const char16_t* ExtensionFor(const std::string& type) {
    static const std::pair<const char*, const char16_t*> kTypes[] = {
        {"image/jpeg", u".jpg"},  {"image/jpg", u".jpg"},        {"image/png", u".png"},
        {"image/gif", u".gif"},   {"image/bmp", u".bmp"},        {"image/webp", u".webp"},
        {"image/heic", u".heic"}, {"audio/amr", u".amr"},        {"audio/mpeg", u".mp3"},
        {"audio/mp4", u".m4a"},   {"audio/ogg", u".ogg"},        {"audio/aac", u".aac"},
        {"video/3gpp", u".3gp"},  {"video/mp4", u".mp4"},        {"text/x-vcard", u".vcf"},
        {"text/vcard", u".vcf"},  {"text/x-vcalendar", u".vcs"}, {"application/smil", u".smil"},
        {"text/html", u".html"},  {"application/pdf", u".pdf"},
    };
    for (const auto& [name, extension] : kTypes) {
        if (type == name) return extension;
    }
    return u".bin";
}

// The attachment's file name: the first of `name`, `fn` and `cl` given, without any folder
// part; a made-up one from the part's number and type when none is usable.
std::u16string FileNameOf(const BackupPart& part, std::size_t number, const std::string& type) {
    for (const char* key : {"name", "fn", "cl"}) {
        const auto value = ValueOf(part.attributes, key);
        if (!value) continue;
        std::u16string name = Trim(Wide(*value));
        const std::size_t slash = name.find_last_of(u"/\\");
        if (slash != std::u16string::npos) name.erase(0, slash + 1);
        if (!name.empty() && name != u"." && name != u"..") return name;
    }
    return u"part" + Wide(std::to_string(number)) + ExtensionFor(type);
}

// The bytes of a part's content: its data (taken out of the part), else its text (UTF-8).
Bytes ContentOf(BackupPart& part) {
    if (part.data) return std::move(*part.data);
    const auto text = ValueOf(part.attributes, "text");
    return text ? Bytes(text->begin(), text->end()) : Bytes();
}

// The text of a "text/plain" part: its `text`, else its data in its character set (106 UTF-8,
// the default; 4 ISO-8859-1).
std::u16string TextOf(const BackupPart& part) {
    if (const auto text = ValueOf(part.attributes, "text")) return Wide(*text);
    if (!part.data) return {};
    if (ValueOf(part.attributes, "chset") == "4") return std::u16string(part.data->begin(), part.data->end());
    return Wide(std::string_view(reinterpret_cast<const char*>(part.data->data()), part.data->size()));
}

// The same appended to `out` as UTF-8, in the form platform::FromUtf8 reads as TextOf's.
void AppendTextOf(const BackupPart& part, std::string& out) {
    if (const auto text = ValueOf(part.attributes, "text")) {
        out += *text;
    } else if (part.data && ValueOf(part.attributes, "chset") == "4") {
        for (const std::uint8_t byte : *part.data) platform::AppendUtf8(out, byte);
    } else if (part.data) {
        out.append(reinterpret_cast<const char*>(part.data->data()), part.data->size());
    }
}

// The address an <addr> gives, or nothing: Android keeps this placeholder where its own number
// on an outgoing MMS was not known.
std::optional<std::u16string> AddressOf(const Attributes& addr) {
    const auto address = ValueOf(addr, "address");
    if (!address || *address == "insert-address-token") return std::nullopt;
    std::u16string text = Trim(Wide(*address));
    if (text.empty()) return std::nullopt;
    return text;
}

Conversion ConvertMms(BackupElement& e) {
    Conversion c;
    c.mms = true;
    if (!e.problem.empty()) {
        c.skipped = e.problem;
        return c;
    }
    const auto box = ValueOf(e.attributes, "msg_box");
    const char16_t* folder = box ? FolderFor(*box) : nullptr;
    if (folder == nullptr && !box) {
        // Without a box, the PDU type tells a received message (132) from a sent one (128).
        const auto type = ValueOf(e.attributes, "m_type");
        folder = type == "132" ? kInbox : type == "128" ? u"SMS/Sent Items" : nullptr;
    }
    if (folder == nullptr) {
        c.skipped = box ? "unknown message box \"" + std::string(*box) + "\"" : "it has no message box";
        return c;
    }
    Delivery d;
    d.folder = folder;
    d.messageClass = u"IPM.MMS";
    if (const auto sub = ValueOf(e.attributes, "sub")) {
        if (!(d.longSubject = TakeLong(e.attributes, "sub"))) d.subject = Wide(*sub);
    }

    // The names the phone had for the other parties.
    const std::vector<Recipient> parties = OtherParties(e.attributes);
    const auto nameOf = [&](const std::u16string& address) -> std::u16string {
        for (const Recipient& p : parties) {
            if (p.address == address) return p.name;
        }
        return {};
    };
    bool listed = false;
    for (const Attributes& addr : e.addrs) {
        const std::optional<std::u16string> address = AddressOf(addr);
        const auto type = ValueOf(addr, "type");
        if (!address || !type) continue;
        if (*type == "137") {
            if (d.from) continue;
            d.from = *address;
            if (std::u16string name = nameOf(*address); !name.empty()) d.fromName = std::move(name);
        } else if (*type == "151" || *type == "130" || *type == "129") {
            const mapi::ULONG kind = *type == "151" ? mapi::MAPI_TO : *type == "130" ? mapi::MAPI_CC : mapi::MAPI_BCC;
            d.to.push_back({*address, nameOf(*address), kind});
        } else {
            continue;
        }
        listed = true;
    }
    if (!listed && !parties.empty()) {
        // No <addr>: the other parties are the sender of a received message, else its recipients.
        if (folder == kInbox) {
            d.from = parties[0].address;
            if (!parties[0].name.empty()) d.fromName = parties[0].name;
        } else {
            d.to = parties;
        }
    }

    // The text parts make the body, one line break between two; long, it is kept as UTF-8.
    std::size_t textBytes = 0;
    std::size_t textParts = 0;
    for (const BackupPart& part : e.parts) {
        if (ContentType(part) != "text/plain") continue;
        ++textParts;
        if (const auto text = ValueOf(part.attributes, "text")) {
            textBytes += text->size();
        } else if (part.data) {
            textBytes += part.data->size();
        }
    }
    std::string longBody;
    const bool keepUtf8 = textBytes >= kLongText;
    std::size_t number = 0;
    bool firstText = true;
    for (BackupPart& part : e.parts) {
        ++number;
        const std::string type = ContentType(part);
        // A layout part that names no file is the slide show the sending phone made of the
        // other parts, not a file of the sender's: it is not kept as an attachment.
        if (type == "application/smil" && !ValueOf(part.attributes, "name") && !ValueOf(part.attributes, "fn") &&
            !ValueOf(part.attributes, "cl")) {
            continue;
        }
        if (type == "text/plain" && keepUtf8) {
            if (!firstText) longBody += '\n';
            if (textParts == 1) {
                if (std::shared_ptr<const std::string> only = TakeLong(part.attributes, "text")) {
                    d.longBody = std::move(only);
                    continue;
                }
            }
            AppendTextOf(part, longBody);
            firstText = false;
        } else if (type == "text/plain") {
            if (!firstText) d.body += u'\n';
            d.body += TextOf(part);
            firstText = false;
        } else if ((part.data && !part.data->empty()) || ValueOf(part.attributes, "text")) {
            d.attachments.push_back({FileNameOf(part, number, type), ContentOf(part)});
        }
    }
    // A U+0000 would end the text as a value: such a body goes as UTF-16, as a short one does.
    if (!longBody.empty() && longBody.find('\0') != std::string::npos) {
        d.body = Wide(longBody);
    } else if (!longBody.empty()) {
        d.longBody = std::make_shared<const std::string>(std::move(longBody));
    }
    if (d.subject.empty() && !d.longSubject && d.body.empty() && !d.longBody && d.attachments.empty() && !d.from &&
        d.to.empty()) {
        c.skipped = "it has neither content nor an address";
        return c;
    }
    d.deliveryTime = TimeOf(e.attributes, &c.note);
    d.read = IsRead(e.attributes);
    c.delivery = std::move(d);
    return c;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// A fixed-size key of what makes a message the same as another: its time, sender, recipients
// in any order, subject, body and its attachments' names and digests in order. The subject and
// body come as digests of their UTF-16LE (TextDigest), so that a long text is never copied.
std::string ContentKey(std::uint64_t ticks, const std::u16string& from, std::vector<std::u16string> to,
                       const std::string& subjectDigest, const std::string& bodyDigest,
                       const std::vector<std::pair<std::u16string, std::string>>& attachments) {
    std::sort(to.begin(), to.end());
    Sha256 key;
    const auto add = [&key](std::string_view bytes) {
        const std::uint64_t size = bytes.size();
        std::uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(size >> (8 * i));
        key.Add(length, sizeof length);
        key.Add(bytes.data(), bytes.size());
    };
    add(std::to_string(ticks));
    add(platform::ToUtf16Le(from));
    add(std::to_string(to.size()));
    for (const std::u16string& address : to) add(platform::ToUtf16Le(address));
    add(subjectDigest);
    add(bodyDigest);
    add(std::to_string(attachments.size()));
    for (const auto& [name, digest] : attachments) {
        add(platform::ToUtf16Le(name));
        add(digest);
    }
    return key.Hex();
}

std::string TextDigest(std::u16string_view text) {
    Sha256 hash;
    hash.AddUtf16Le(text);
    return hash.Hex();
}

// The digest of a stored text as TextDigest makes it of the text GetText gives (up to its first
// U+0000), read piece by piece: a long one is never held whole. `whole`: every byte counts.
std::string StoredTextDigest(mapi::IMessage* message, mapi::ULONG tag, bool whole) {
    mapi::Ptr<mapi::IUnknown> unknown;
    if (message->OpenProperty(tag, nullptr, 0, 0, unknown.Out()) != 0) {
        if (whole) return Sha256Hex({});
        return TextDigest(GetText(message, tag).value_or(u""));
    }
    mapi::Ptr<mapi::IStream> stream = std::move(unknown).As<mapi::IStream>();
    Sha256 hash;
    constexpr std::size_t kPiece = 64 * 1024;
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(kPiece);  // not cleared first
    std::size_t kept = 0;  // a byte of the last piece left over: the first of a code unit
    for (;;) {
        mapi::ULONG read = 0;
        if (stream->Read(piece.get() + kept, static_cast<mapi::ULONG>(kPiece - kept), &read) != 0) {
            throw Failure{"the message store refused Read"};
        }
        if (read == 0) break;
        std::size_t n = kept + read;
        if (!whole) {
            for (std::size_t i = 0; i + 1 < n; i += 2) {
                if (piece[i] == 0 && piece[i + 1] == 0) {
                    hash.Add(piece.get(), i);
                    return hash.Hex();
                }
            }
        }
        kept = whole ? 0 : n % 2;
        hash.Add(piece.get(), n - kept);
        if (kept) piece[0] = piece[n - 1];
    }
    // A trailing odd byte is a code unit of its own in a text (its high byte 0).
    if (kept && piece[0] != 0) {
        const std::uint8_t unit[2] = {piece[0], 0};
        hash.Add(unit, 2);
    }
    return hash.Hex();
}

// TextDigest of platform::FromUtf8(utf8), made without that whole.
std::string Utf8TextDigest(std::string_view utf8) {
    Sha256 hash;
    hash.AddUtf8AsUtf16Le(utf8);
    return hash.Hex();
}

// The digest of a delivery's body, as TextDigest makes it of the stored one.
std::string BodyDigest(const Delivery& d) { return d.longBody ? Utf8TextDigest(*d.longBody) : TextDigest(d.body); }

std::vector<std::u16string> RecipientAddresses(mapi::IMessage* message) {
    std::vector<std::u16string> addresses;
    mapi::Ptr<mapi::IMAPITable> table;
    if (message->GetRecipientTable(0, table.Out()) != 0) throw Failure{"the message store refused GetRecipientTable"};
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(64, 0, rows.Out()) != 0) throw Failure{"the message store refused QueryRows"};
        if (rows.size() == 0) break;
        for (mapi::ULONG i = 0; i < rows.size(); ++i) {
            const mapi::SRow& row = rows->aRow[i];
            std::u16string address;
            for (mapi::ULONG v = 0; v < row.cValues; ++v) {
                if (row.lpProps[v].ulPropTag == mapi::PR_EMAIL_ADDRESS_W) address = row.lpProps[v].Value.lpszW;
            }
            addresses.push_back(std::move(address));
        }
    }
    return addresses;
}

// The names and digests of a stored message's attachments, in their order.
std::vector<std::pair<std::u16string, std::string>> StoredAttachments(mapi::IMessage* message) {
    std::vector<std::pair<std::u16string, std::string>> attachments;
    mapi::Ptr<mapi::IMAPITable> table;
    if (message->GetAttachmentTable(0, table.Out()) != 0) throw Failure{"the message store refused GetAttachmentTable"};
    mapi::ULONG tags[] = {mapi::PR_ATTACH_NUM, mapi::PR_ATTACH_FILENAME_W};
    mapi::SPropTagArray columns{2, tags};
    if (table->SetColumns(&columns, 0) != 0) throw Failure{"the message store refused SetColumns"};
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(64, 0, rows.Out()) != 0) throw Failure{"the message store refused QueryRows"};
        if (rows.size() == 0) break;
        for (mapi::ULONG i = 0; i < rows.size(); ++i) {
            const mapi::SPropValue* p = rows->aRow[i].lpProps;
            std::u16string name = p[1].ulPropTag == tags[1] ? std::u16string(p[1].Value.lpszW) : std::u16string();
            std::string digest;
            mapi::Ptr<mapi::IAttach> attach;
            if (p[0].ulPropTag == tags[0] && message->OpenAttach(p[0].Value.ul, nullptr, 0, attach.Out()) == 0) {
                digest = Sha256Hex(ReadStream(attach.get(), mapi::PR_ATTACH_DATA_BIN));
            }
            attachments.emplace_back(std::move(name), std::move(digest));
        }
    }
    return attachments;
}

}  // namespace

std::string ImportSummary(const ImportCounts& n) {
    std::string summary = std::to_string(n.sms + n.mms) + " messages imported (" + std::to_string(n.sms) + " SMS, " +
                          std::to_string(n.mms) + " MMS), " + std::to_string(n.present) + " already present, " +
                          std::to_string(n.skipped) + " skipped" + (n.skipped ? ": see above" : "");
    if (n.mirrored) summary += ", " + std::to_string(n.deleted) + " deleted as on the phone";
    if (n.lenient == 1) {
        summary += "; 1 place in the file was not well-formed XML and was read leniently (at line " +
                   std::to_string(n.lenientLine) + ")";
    } else if (n.lenient > 1) {
        summary += "; " + std::to_string(n.lenient) +
                   " places in the file were not well-formed XML and were read leniently (first at line " +
                   std::to_string(n.lenientLine) + ")";
    }
    return summary;
}

// Bytes a list of addresses or of names may take: far more than any group message has, and
// little enough that the copies made while the list is split and stored stay small.
constexpr std::size_t kLongestList = 64 * 1024;

// Cuts attribute `name`, when longer than kLongestList, after the last of its items that ends
// within that length (items are separated by one of `separators`), or at a whole character
// when the first is already longer; with a note.
void CutList(Attributes& attributes, std::string_view name, std::string_view separators,
             std::vector<std::string>* notes) {
    for (auto& [key, value] : attributes) {
        if (key != name || value.size() <= kLongestList) continue;
        std::size_t end = value.find_last_of(separators, kLongestList);
        if (end == std::string::npos || end == 0) {
            end = kLongestList;
            while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
        }
        value.resize(end);
        value.shrink_to_fit();
        notes->push_back("its attribute \"" + key + "\" is longer than 64 KB and was cut there");
    }
}

Conversion ConvertElement(BackupElement& element) {
    CutList(element.attributes, "address", "~;", &element.notes);
    CutList(element.attributes, "contact_name", ",", &element.notes);
    for (Attributes& addr : element.addrs) CutList(addr, "address", "~;", &element.notes);
    if (element.name == "sms") return ConvertSms(element);
    if (element.name == "mms") return ConvertMms(element);
    Conversion c;
    c.skipped = element.name == "part" ? "it is outside any <mms>" : "not a message";
    return c;
}

Importer::Importer(Phone& phone, std::FILE* notes, std::string prefix, bool showProgress)
    : phone_(phone), notes_(notes), prefix_(std::move(prefix)), showProgress_(showProgress) {}

Importer::Folder& Importer::FolderOf(const std::u16string& path) {
    auto found = folders_.find(path);
    if (found != folders_.end()) return found->second;
    Folder& entry = folders_[path];
    entry.folder = phone_.MakeFolder(path);
    mapi::Ptr<mapi::IMAPITable> table;
    if (entry.folder->GetContentsTable(0, table.Out()) != 0) {
        throw Failure{"the message store refused GetContentsTable"};
    }
    mapi::ULONG tags[] = {mapi::PR_ENTRYID, mapi::PR_MESSAGE_DELIVERY_TIME};
    mapi::SPropTagArray columns{2, tags};
    if (table->SetColumns(&columns, 0) != 0) throw Failure{"the message store refused SetColumns"};
    for (;;) {
        mapi::Rows rows;
        if (table->QueryRows(256, 0, rows.Out()) != 0) throw Failure{"the message store refused QueryRows"};
        if (rows.size() == 0) break;
        for (mapi::ULONG i = 0; i < rows.size(); ++i) {
            const mapi::SPropValue* p = rows->aRow[i].lpProps;
            const std::uint64_t ticks = p[1].ulPropTag == tags[1] ? platform::ToTicks(p[1].Value.ft) : 0;
            entry.byTime.emplace(ticks, Bytes(p[0].Value.bin.lpb, p[0].Value.bin.lpb + p[0].Value.bin.cb));
        }
    }
    return entry;
}

bool Importer::AlreadyPresent(Folder& folder, const Delivery& d) {
    const std::uint64_t ticks = platform::ToTicks(d.deliveryTime);
    CountHeld(folder, ticks);
    if (!folder.heldAt.count(ticks)) return false;
    std::vector<std::u16string> addresses;
    for (const Recipient& r : d.to) addresses.push_back(r.address);
    std::vector<std::pair<std::u16string, std::string>> attachments;
    for (const Attachment& a : d.attachments) attachments.emplace_back(a.filename, Sha256Hex(a.data));
    const std::string body = BodyDigest(d);
    const std::string subject = d.subjectIsBody ? body
                                : d.longSubject ? Utf8TextDigest(*d.longSubject)
                                                : TextDigest(d.subject);
    const std::string key = ContentKey(ticks, d.from.value_or(u""), std::move(addresses), subject, body, attachments);
    const auto held = folder.held.find(key);
    if (held == folder.held.end()) return false;
    return ++folder.met[key] <= held->second.size();
}

void Importer::CountHeld(Folder& folder, std::uint64_t ticks) {
    const auto [first, last] = folder.byTime.equal_range(ticks);
    if (first == last) return;
    folder.heldAt.insert(ticks);
    for (auto it = first; it != last; ++it) {
        mapi::Ptr<mapi::IMessage> message;
        try {
            message = phone_.OpenMessage(it->second);
        } catch (const Failure&) {
            continue;  // deleted meanwhile
        }
        folder
            .held[ContentKey(ticks, GetText(message.get(), mapi::PR_SENDER_EMAIL_ADDRESS_W).value_or(u""),
                             RecipientAddresses(message.get()),
                             StoredTextDigest(message.get(), mapi::PR_SUBJECT_W, false),
                             StoredTextDigest(message.get(), mapi::PR_BODY_W, true), StoredAttachments(message.get()))]
            .push_back(it->second);
    }
    folder.byTime.erase(first, last);
}

std::string Importer::Take(const std::string& path, BackupElement& element) {
    Conversion c = ConvertElement(element);
    // The element's text is in the delivery now: a long one is not held twice while it is stored.
    Attributes().swap(element.attributes);
    for (const std::string& note : element.notes) {
        ClearProgress();
        std::fprintf(notes_, "%s%s: line %llu: <%s>: %s\n", prefix_.c_str(), path.c_str(),
                     static_cast<unsigned long long>(element.line), element.name.c_str(), note.c_str());
    }
    if (!c.delivery) {
        ++counts_.skipped;
        ClearProgress();
        std::fprintf(notes_, "%s%s: line %llu: <%s> skipped: %s\n", prefix_.c_str(), path.c_str(),
                     static_cast<unsigned long long>(element.line), element.name.c_str(), c.skipped.c_str());
        return {};
    }
    Delivery& d = *c.delivery;
    // A message without a time gets none at all, not the moment of the import.
    d.lastModificationTime = d.deliveryTime;
    try {
        Folder& folder = FolderOf(d.folder);
        if (AlreadyPresent(folder, d)) {
            ++counts_.present;
            return {};
        }
        Deliver(phone_, std::move(d), folder.folder.get());
        if (!c.note.empty()) {
            ClearProgress();
            std::fprintf(notes_, "%s%s: line %llu: <%s> %s\n", prefix_.c_str(), path.c_str(),
                         static_cast<unsigned long long>(element.line), element.name.c_str(), c.note.c_str());
        }
    } catch (const Failure& failure) {
        return failure.message;
    }
    ++(c.mms ? counts_.mms : counts_.sms);
    ++fileMessages_;
    return {};
}

bool Importer::ImportFile(const std::string& path, std::string* error) {
    std::error_code ec;
    fileSize_ = std::filesystem::file_size(path, ec);
    if (ec) fileSize_ = 0;
    fileMessages_ = 0;
    lastShown_ = 0;
    ReadOptions options;
    options.strict = strict_;
    if (requireFull_ && !force_) {
        options.root = [](const Attributes& root) -> std::string {
            for (const auto& [name, value] : root) {
                if (name == "type" && value == "full") return {};
            }
            return "not a full backup (its root element does not say type=\"full\"), so --mirror would delete "
                   "what it merely leaves out; give --force to mirror it all the same";
        };
    }
    options.note = [&](std::uint64_t line, const std::string& what) {
        ClearProgress();
        std::fprintf(notes_, "%s%s: line %llu: %s\n", prefix_.c_str(), path.c_str(),
                     static_cast<unsigned long long>(line), what.c_str());
    };
    // Messages are committed a thousand at a time, or every second, instead of one by one: a
    // commit costs a disk sync. Each message still goes in whole or not at all, and what a
    // killed import had not committed a rerun brings in.
    mapi::HrBeginWriteBatch(phone_.Session(), kBatchMessages, kBatchMs);
    ReadOutcome outcome = SmsBackupReader::ReadFile(
        path, [&](BackupElement& element) { return Take(path, element); },
        [&](std::uint64_t bytes) { ShowProgress(path, bytes); }, options);
    ClearProgress();
    if (mapi::HrEndWriteBatch(phone_.Session()) != 0) {
        *error = path + ": the message store could not keep the messages imported last";
        return false;
    }
    if (outcome.lenientPlaces != 0 && counts_.lenient == 0) counts_.lenientLine = outcome.firstLenientLine;
    counts_.lenient += outcome.lenientPlaces;
    if (outcome.complete) return true;
    if (outcome.line == 0) {
        *error = path + ": " + outcome.error;
    } else if (outcome.malformed) {
        const std::string line = std::to_string(outcome.line);
        *error = path + ": import stopped at line " + line + ": " + std::to_string(fileMessages_) +
                 " messages imported before it; the file is not well-formed XML at line " + line + ": " + outcome.there;
    } else {
        *error = path + ": import stopped at line " + std::to_string(outcome.line) + ": " + outcome.error + "; " +
                 std::to_string(fileMessages_) + " messages imported before it";
    }
    return false;
}

bool Importer::Mirror(std::string* error) {
    counts_.mirrored = true;
    try {
        for (auto& [path, folder] : folders_) {
            std::vector<Bytes> gone;
            for (auto& [ticks, id] : folder.byTime) gone.push_back(std::move(id));
            folder.byTime.clear();
            for (auto& [key, ids] : folder.held) {
                const auto met = folder.met.find(key);
                const std::size_t kept = met == folder.met.end() ? 0 : std::min<std::size_t>(met->second, ids.size());
                for (std::size_t i = kept; i < ids.size(); ++i) gone.push_back(std::move(ids[i]));
                ids.resize(kept);
            }
            for (std::size_t start = 0; start < gone.size(); start += 256) {
                std::vector<mapi::SBinary> entries;
                for (std::size_t i = start; i < std::min(gone.size(), start + 256); ++i) {
                    entries.push_back({static_cast<mapi::ULONG>(gone[i].size()), gone[i].data()});
                }
                mapi::ENTRYLIST list{static_cast<mapi::ULONG>(entries.size()), entries.data()};
                if (folder.folder->DeleteMessages(&list, 0, nullptr, 0) != 0) {
                    throw Failure{"the message store refused DeleteMessages"};
                }
                counts_.deleted += entries.size();
            }
        }
    } catch (const Failure& failure) {
        *error = failure.message;
        return false;
    }
    return true;
}

void Importer::ShowProgress(const std::string& path, std::uint64_t bytes) {
    if (!showProgress_) return;
    const std::int64_t now = NowMs();
    if (now - lastShown_ < 200) return;
    lastShown_ = now;
    std::string line = path + ": " + Megabytes(bytes);
    if (fileSize_ != 0) {
        const std::uint64_t percent = std::min<std::uint64_t>(100, bytes * 100 / fileSize_);
        line += " of " + Megabytes(fileSize_) + " (" + std::to_string(percent) + "%)";
    }
    line += ", " + std::to_string(fileMessages_) + " messages imported";
    std::fprintf(notes_, "\r%s\033[K", line.c_str());
    std::fflush(notes_);
    progressShown_ = true;
}

void Importer::ClearProgress() {
    if (!progressShown_) return;
    std::fprintf(notes_, "\r\033[K");
    std::fflush(notes_);
    progressShown_ = false;
}

}  // namespace phone
