#include "phone/device_seed.h"

#include <map>
#include <string>

#include "phone/device_deliver.h"
#include "phone/seeded_random.h"
#include "platform/text.h"

namespace phone {

namespace {

using Random = phone::SeededRandom;

struct Contact {
    const char16_t* name;  // empty: a number not in the address book
    const char16_t* number;
};

constexpr Contact kContacts[] = {
    {u"Zoë Müller", u"+4915112345678"},
    {u"José Álvarez", u"+34612345678"},
    {u"Иван Петров", u"+79161234567"},
    {u"山田太郎", u"+819012345678"},
    {u"李小龙", u"+8613812345678"},
    {u"Søren Kierkegaard", u"+4520123456"},
    {u"Αλέξης Παπαδόπουλος", u"+306912345678"},
    {u"Mom ❤️", u"+15551230001"},
    {u"", u"+15551230002"},
    {u"François Dupont", u"+33612345678"},
    {u"Anna Kowalska", u"+48601234567"},
    {u"Emre Yılmaz", u"+905321234567"},
    {u"", u"+447700900123"},
};
constexpr const char16_t* kOwnNumber = u"+15550100";

constexpr const char16_t* kSentences[] = {
    u"Ça va? On se voit à 20h au café.",
    u"Danke für gestern! Schöne Grüße an alle.",
    u"¿Vienes mañana a la reunión?",
    u"Running 10 min late, sorry!",
    u"Call me when you get this.",
    u"Did you see the game last night? Unbelievable ending.",
    u"Remember to buy milk 🥛 and bread 🍞",
    u"Happy birthday!!! 🎉🎂",
    u"Привет! Как дела?",
    u"Буду через пять минут.",
    u"Спасибо за помощь!",
    u"明日の会議は10時からです。",
    u"晚上一起吃饭吗？",
    u"了解しました。よろしくお願いします。",
    u"Καλημέρα! Τι κάνεις;",
    u"Żółć gęślą jaźń — test of the new phone.",
    u"The train is delayed again, I will take the bus instead and should be home around seven.",
    u"Meeting moved to Thursday, same room.",
};
constexpr const char16_t* kShort[] = {u"ok", u"👍", u"😂😂😂", u"❤️🌹", u"Yes", u"Nein", u"Да", u"はい"};
constexpr const char16_t* kMmsSubjects[] = {u"Photos", u"Look at this!", u"Urlaub 🏖️", u"", u"Фото", u"写真"};

struct Place {
    const char16_t* path;
    std::uint32_t weight;
    bool received;
};

constexpr Place kPlaces[] = {
    {u"SMS/Inbox", 40, true},           {u"SMS/Inbox/Family", 8, true},
    {u"SMS/Inbox/Work", 8, true},       {u"SMS/Inbox/Work/Projects", 4, true},
    {u"SMS/Deleted Items", 5, true},    {u"SMS/Sent Items", 25, false},
    {u"SMS/Sent Items/2007", 5, false}, {u"SMS/Drafts", 3, false},
    {u"SMS/Outbox", 2, false},
};

// 2006-01-01T00:00:00Z and four years of seconds.
constexpr std::int64_t kFirstDay = 1136073600;
constexpr std::uint32_t kSpan = 4u * 365u * 86400u;

std::u16string Body(Random& random) {
    if (random.Percent(15)) return random.Pick(kShort);
    std::u16string text = random.Pick(kSentences);
    for (std::uint32_t n = random.Below(4); n > 0; --n) text += u" " + std::u16string(random.Pick(kSentences));
    return text;
}

std::u16string Number(std::uint32_t n, int width) {
    std::string digits = std::to_string(n);
    while (static_cast<int>(digits.size()) < width) digits.insert(digits.begin(), '0');
    return platform::FromUtf8(digits);
}

Bytes Picture(Random& random) {
    Bytes bytes(2048 + random.Below(38 * 1024));
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random.Next());
    const std::uint8_t header[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    bytes[bytes.size() - 2] = 0xFF;
    bytes[bytes.size() - 1] = 0xD9;
    return bytes;
}

// The MMS client's file: a small header, then every part.
Bytes MmsFile(const std::vector<Attachment>& parts, std::uint32_t serial) {
    const std::string header = "MMS\x01 seq " + std::to_string(serial) + "\n";
    Bytes bytes(header.begin(), header.end());
    for (const Attachment& part : parts) {
        const std::string name = platform::ToUtf8(part.filename) + "\n";
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.insert(bytes.end(), part.data.begin(), part.data.end());
    }
    return bytes;
}

}  // namespace

std::uint32_t Seed(Phone& phone, std::uint32_t count, std::uint64_t seed) {
    Random random(seed);
    std::map<std::u16string, mapi::Ptr<mapi::IMAPIFolder>> folders;
    std::uint32_t totalWeight = 0;
    for (const Place& place : kPlaces) totalWeight += place.weight;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t roll = random.Below(totalWeight);
        const Place* place = &kPlaces[0];
        for (const Place& p : kPlaces) {
            if (roll < p.weight) {
                place = &p;
                break;
            }
            roll -= p.weight;
        }
        mapi::Ptr<mapi::IMAPIFolder>& folder = folders[place->path];
        if (!folder) folder = phone.MakeFolder(place->path);

        Delivery d;
        d.folder = place->path;
        const std::int64_t delivered = kFirstDay + random.Below(kSpan);
        d.deliveryTime = platform::FromUnixTime(delivered, random.Below(10000000));
        d.lastModificationTime = platform::FromUnixTime(delivered + 2 + random.Below(120));
        const bool mms = random.Percent(8);
        if (place->received) {
            const Contact& from = random.Pick(kContacts);
            d.from = from.number;
            if (from.name[0] != u'\0') d.fromName = from.name;
            d.to.push_back({kOwnNumber, u""});
            d.read = place->path != std::u16string_view(u"SMS/Inbox") || random.Percent(80);
        } else {
            d.from = kOwnNumber;
            const std::uint32_t recipients = random.Percent(75) ? 1 : 2 + random.Below(3);
            for (std::uint32_t r = 0; r < recipients; ++r) {
                const Contact& to = random.Pick(kContacts);
                d.to.push_back({to.number, to.name});
            }
            d.read = true;
        }
        if (mms) {
            d.subject = random.Pick(kMmsSubjects);
            d.body = random.Percent(50) ? Body(random) : u"";
            const std::uint32_t pictures = 1 + random.Below(2);
            for (std::uint32_t p = 0; p < pictures; ++p) {
                d.attachments.push_back({u"IMG_" + Number(random.Below(10000), 4) + u".jpg", Picture(random)});
            }
            if (random.Percent(60)) {
                const std::string text = platform::ToUtf8(Body(random));
                d.attachments.push_back({u"text_01.txt", Bytes(text.begin(), text.end())});
            }
            d.mms = Attachment{u"MMS_" + Number(i, 6) + u".mms", MmsFile(d.attachments, i)};
        } else {
            d.body = Body(random);
            d.subject = d.body;
        }
        Deliver(phone, d, folder.get());
    }
    return count;
}

}  // namespace phone
