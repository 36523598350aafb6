// Names of the files an export writes.
//
// A message's text file is named after its number and its correspondents, reduced to a small
// set of letters and digits. Attachments and MMS copies keep their own names, except that a
// name which could reach outside its export directory is made safe first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace tallymere
