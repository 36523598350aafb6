// Names of the files an export writes.
//
// A message's text file is named after its number and its correspondents, reduced to a small
// set of letters and digits. Attachments and MMS copies keep their own names, except that a
// name which could reach outside its export directory is made safe first, and one that
// another file of the same message already has is told apart by an ordinal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallymere {

class qMsg;

// Replaces every character outside the allowed set (a-z, A-Z, 0-9, "@" and the accented
// letters á é í ó ö ő ú ü ű with their capitals) by "_", then reduces every run of "_" to one.
// No trimming: a leading or trailing "_" stays.
void SanitizeName(std::u16string& text);

// The text file's name: the number ("%03d "), then each recipient's display name and address
// (display name first), separated by spaces, or the sender's address when no recipient gave
// any text; all of it sanitized, then ".txt". Number 1 and recipient "Office" / "+123" give
// "001_Office_123.txt".
std::u16string MakeFileName(const qMsg& message, std::uint32_t number);

// A name given from outside (an attachment's file name, a folder's name) made safe to use as
// one path component: "\", "/" and characters below U+0020 become "_", and a name that is
// empty, "." or ".." becomes "_". Every other name is returned unchanged.
std::u16string SafeName(std::u16string_view name);

// "%03d_%s": the number, at least three digits, then "_" and the name.
std::u16string NumberedName(std::uint32_t number, std::u16string_view name);

// The names of the files written for one message, so that none of them replaces or corrupts
// another: an attachment named like the message's text file, or two attachments of one name,
// each keep a file of their own. Names are compared without regard to letter case, as the
// device's file system compares them.
class MessageFileNames {
public:
    // Forgets every name: a new message begins.
    void Clear() { taken_.clear(); }
    // Remembers a file name as taken (the message's text file).
    void Take(std::u16string fileName) { taken_.push_back(std::move(fileName)); }
    // NumberedName(number, name) when no file of the message has that name yet; otherwise the
    // first free one of the names with "_2", "_3", ... added before the extension ("a.jpg"
    // gives "a_2.jpg", "attachment" gives "attachment_2"). The result is remembered as taken.
    // The extension is the last "." and what follows it, when something comes before and
    // after that dot (".profile" and "name." have none).
    std::u16string Distinct(std::uint32_t number, std::u16string_view name);

private:
    bool IsTaken(std::u16string_view fileName) const;

    std::vector<std::u16string> taken_;
};

}  // namespace tallymere
