// The archive record: one message in "Messages.dat".
//
// Messages.dat is a sequence of records with no file header and nothing between records; a
// record is reached only through the offset that the index (Messages.ndx) keeps for it. All
// integers are little-endian. A text field is a 32-bit count of UTF-16 code units followed by
// that many UTF-16LE code units, no terminator, no padding.
//
//      #  field                       size     content
//      1  identifier size n           4        always 20 in a sound archive
//      2  entry identifier            n        the message's PR_ENTRYID
//      3  folderIndex                 4        line of Folders.dat holding the folder path
//      4  subject prefix              4 + 2k   text field
//      5  subject                     4 + 2k   text field
//      6  sender name                 4 + 2k   text field
//      7  sender e-mail address       4 + 2k   text field
//      8  msgStatus                   4
//      9  messageSize                 4
//     10  contentLength               4
//     11  messageFlags                4        refreshed in place by later backup passes
//     12  deliveryTime                8        FILETIME, low 32 bits first
//     13  lastModificationTime        8        FILETIME, low 32 bits first
//     14  message class               4 + 2k   text field
//     15  service name                4 + 2k   text field
//     16  recipient count r           4        as many as the message has
//     17  r recipients                         each: recipientType (4), address type (text),
//                                              e-mail address (text), display name (text)
//     18  body size b                 4        in bytes
//     19  body                        b        UTF-16LE text as held, no terminator
//     20  hasAttach                   2        low 16 bits of the message's hasAttach
//     21  attachment count a          4        as many as the message has
//     22  a attachments                        each: attachNum (4), attachSize s (4),
//                                              attachMethod (4), file-name count k (4),
//                                              file name (2k), data (s bytes)
//
// With a 20-byte identifier the smallest record (all texts empty, nothing else) is 98 bytes,
// folderIndex lies 24 bytes into the record and messageFlags 56 + 2 × (code units of fields
// 4 to 7) bytes into it.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/qmsg.h"

namespace tallymere {

inline constexpr std::uint32_t kRecordIdSize = 20;
inline constexpr std::uint32_t kMinRecordSize = 98;
inline constexpr std::uint32_t kFolderIndexOffset = 4 + kRecordIdSize;

// The offset of messageFlags inside a record with a 20-byte identifier whose fields 4 to 7
// hold `textUnits` UTF-16 code units together.
constexpr std::uint64_t MessageFlagsOffset(std::uint64_t textUnits) { return 56 + 2 * textUnits; }

// Appends the record of `msg` to `out`, with `folderIndex` as field 3. Counts are taken from
// what the message holds: the identifier's bytes, each text's code units; the body and each
// attachment's data are written with their size fields (bodySize, attachSize), cut or padded
// with zero bytes to that size, so that the record always holds what its counts say; the
// recipient and attachment counts are those of the slots the message can be read at
// (qMsg::RecipientSlots, AttachmentSlots).
void EncodeRecord(const qMsg& msg, std::uint32_t folderIndex, std::vector<std::uint8_t>& out);

}  // namespace tallymere
