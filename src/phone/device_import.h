// `device import`: the messages of SMS/MMS backup files (sms_backup.h) delivered into the
// device's message store as the phone would have stored them (device_deliver.h).
//
// Folders by the message's `type` (SMS) or `msg_box` (MMS): 1 "SMS/Inbox", 2 "SMS/Sent Items",
// 3 "SMS/Drafts", 4, 5 (failed) and 6 (queued) "SMS/Outbox". An SMS is of class "IPM.SMStext",
// its text is its body and, as the phone keeps it, its subject; the other party is the sender
// of a received message and the recipients of any other one (`address`, several joined by "~"
// or ";", with their `contact_name`). An MMS is of class "IPM.MMS" with `sub` as subject, its
// sender and recipients from its <addr> elements (137 from, 151 to, 130 cc, 129 bcc), the text
// of its "text/plain" parts as body and every other part with content as an attachment. The
// delivery time is `date` (else `date_sent`; none when neither can be read), the read state
// `read`; the store computes the message size.
//
// Messages are the same when their folder, delivery time, addresses, subject, body and
// attachments (names and bytes) are. The k-th of several same messages in the files of one
// import counts as already present only where its folder held k of them before the import:
// importing a file again adds nothing, and messages that merely look alike (photos sent in a
// burst, in the same second, without text) are all imported.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "phone/device_deliver.h"
#include "phone/sms_backup.h"

namespace phone {

struct ImportCounts {
    std::uint64_t sms = 0;
    std::uint64_t mms = 0;
    std::uint64_t present = 0;      // already in the store
    std::uint64_t skipped = 0;      // elements that are not messages, or messages without anything in them
    std::uint64_t lenient = 0;      // places that were not well-formed XML, read leniently
    std::uint64_t lenientLine = 0;  // the line of the first
    bool mirrored = false;          // --mirror: the folders the files cover were made like them
    std::uint64_t deleted = 0;      // then: messages deleted as the files no longer hold them
};

// "1843 messages imported (1612 SMS, 231 MMS), 0 already present, 2 skipped: see above" (the
// last words only when something was skipped), then when mirrored ", 12 deleted as on the
// phone", then, when there were such places, "; 37 places in the file were not well-formed XML
// and were read leniently (first at line 6)".
std::string ImportSummary(const ImportCounts& counts);

// The message an element holds, or why it is skipped.
struct Conversion {
    std::optional<Delivery> delivery;
    bool mms = false;
    std::string skipped;  // the reason, when there is no delivery
    std::string note;     // what the user should know about a delivery (it has no time)
};
// The media of the element's parts is moved into the delivery's attachments.
Conversion ConvertElement(BackupElement& element);

// The importer catches the Failure its store helpers throw (device_store.h) and returns it as
// an error line: Mirror and ImportFile return false with `error` set; nothing is thrown out.
class Importer {
public:
    // Explanations of skipped elements and the progress line go to `notes`, each explanation
    // after `prefix`; the progress line only when `showProgress`.
    Importer(Phone& phone, std::FILE* notes, std::string prefix, bool showProgress);

    // Files that are not well-formed XML are refused instead of read leniently.
    void SetStrict(bool strict) { strict_ = strict; }
    // Files that do not say they are full backups are refused (unless `force`): for Mirror.
    void RequireFull(bool force) {
        requireFull_ = true;
        force_ = force;
    }

    // After the files were read whole: deletes from each folder they had messages for the
    // messages it held before the import that none of their messages matched (the phone's
    // user deleted them), as the phone's own deletion does. False with `error` set when the
    // store refuses.
    bool Mirror(std::string* error);

    // Imports one file. False when the file could not be read to its end: `error` then names
    // the file, the line and the reason, and how many of its messages were imported before.
    bool ImportFile(const std::string& path, std::string* error);

    const ImportCounts& Counts() const { return counts_; }

private:
    struct Folder {
        mapi::Ptr<mapi::IMAPIFolder> folder;
        // The messages the folder held before the import, by delivery time (ticks, 0 when it
        // has none); a time's entry is dropped once its messages are counted in `held`.
        std::unordered_multimap<std::uint64_t, Bytes> byTime;
        // By content key: the messages the folder held before the import, and how many the
        // import's files have had so far (only for keys the folder held).
        std::unordered_map<std::string, std::vector<Bytes>> held;
        std::unordered_map<std::string, std::uint64_t> met;
        std::unordered_set<std::uint64_t> heldAt;  // the times of the messages counted in `held`
    };

    Folder& FolderOf(const std::u16string& path);
    bool AlreadyPresent(Folder& folder, const Delivery& delivery);
    // Counts the messages the folder held at `ticks` by their content key.
    void CountHeld(Folder& folder, std::uint64_t ticks);
    // Imports the message of one element; a non-empty result is why the import must stop.
    std::string Take(const std::string& path, BackupElement& element);
    void ShowProgress(const std::string& path, std::uint64_t bytes);
    void ClearProgress();

    Phone& phone_;
    std::FILE* notes_;
    std::string prefix_;
    bool showProgress_;
    bool strict_ = false;
    bool requireFull_ = false;
    bool force_ = false;
    ImportCounts counts_;
    std::map<std::u16string, Folder> folders_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t fileMessages_ = 0;
    std::int64_t lastShown_ = 0;  // steady-clock milliseconds of the last progress line
    bool progressShown_ = false;
};

}  // namespace phone
