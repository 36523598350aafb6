// `device import`: the messages of SMS/MMS backup files (sms_backup.h) delivered into the
// device's message store as the phone would have stored them (device_deliver.h).
//
// Folders by the message's `type` (SMS) or `msg_box` (MMS): 1 "SMS/Inbox", 2 "SMS/Sent Items",
// 3 "SMS/Drafts", 4, 5 (failed) and 6 (queued) "SMS/Outbox". An SMS is of class "IPM.SMStext",
// its text is its body and, as the phone keeps it, its subject; the other party is the sender
// of a received message and the recipients of any other one (`address`, several joined by "~"
// or ";", with their `contact_name`). An MMS is of class "IPM.MMS" with `sub` as subject, its
// sender and recipients from its <addr> elements (137 from, 151 to, 130 cc, 129 bcc), the text
// of its "text/plain" parts as body and every other part as an attachment. The delivery time
// is `date`, the read state `read`; the store computes the message size.
//
// A message already in its folder with the same delivery time, addresses and body is not
// delivered again; nor is one met twice in the files of one import.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>

#include "phone/device_deliver.h"
#include "phone/sms_backup.h"

namespace phone {

struct ImportCounts {
    std::uint64_t sms = 0;
    std::uint64_t mms = 0;
    std::uint64_t present = 0;  // already in the store
    std::uint64_t skipped = 0;  // elements that are not messages, or messages without anything in them
};

// "1843 messages imported (1612 SMS, 231 MMS), 0 already present, 2 skipped: see above" (the
// last words only when something was skipped).
std::string ImportSummary(const ImportCounts& counts);

// The message an element holds, or why it is skipped.
struct Conversion {
    std::optional<Delivery> delivery;
    bool mms = false;
    std::string skipped;  // the reason, when there is no delivery
};
// The media of the element's parts is moved into the delivery's attachments.
Conversion ConvertElement(BackupElement& element);

class Importer {
public:
    // Explanations of skipped elements and the progress line go to `notes`, each explanation
    // after `prefix`; the progress line only when `showProgress`.
    Importer(Phone& phone, std::FILE* notes, std::string prefix, bool showProgress);

    // Imports one file. False when the file could not be read to its end: `error` then names
    // the file, the line and the reason, and how many of its messages were imported before.
    bool ImportFile(const std::string& path, std::string* error);

    const ImportCounts& Counts() const { return counts_; }

private:
    struct Folder {
        mapi::Ptr<mapi::IMAPIFolder> folder;
        // Every message of the folder by delivery time (ticks, 0 when it has none).
        std::unordered_multimap<std::uint64_t, Bytes> byTime;
    };

    Folder& FolderOf(const std::u16string& path);
    bool AlreadyPresent(Folder& folder, const Delivery& delivery);
    // Imports the message of one element; a non-empty result is why the import must stop.
    std::string Take(const std::string& path, BackupElement& element);
    void ShowProgress(const std::string& path, std::uint64_t bytes);
    void ClearProgress();

    Phone& phone_;
    std::FILE* notes_;
    std::string prefix_;
    bool showProgress_;
    ImportCounts counts_;
    std::map<std::u16string, Folder> folders_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t fileMessages_ = 0;
    std::int64_t lastShown_ = 0;  // steady-clock milliseconds of the last progress line
    bool progressShown_ = false;
};

}  // namespace phone
