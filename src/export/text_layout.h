// The text of an exported message, line by line:
//
//     From: <sender address>
//     To: <address>, <display name>, ...      (each recipient: address, then display name)
//     Subject: <prefix><subject>
//     <delivery time>                         (only when the message has one)
//     <last modification time>                (only when the message has one)
//     Size: <message size> bytes
//     <body>                                  (up to its first U+0000)
//
// Times are local "YYYY.MM.DD hh:mm:ss:ms"; the size is the store's size of the message.
#pragma once

#include <string>
#include <vector>

namespace platform {
class File;
}

namespace tallymere {

class qMsg;

// The lines of the layout above, each ending in "\n".
std::vector<std::u16string> MessageTextLines(const qMsg& message);

// Writes the lines to a text stream as UTF-8, one write per line; false when any of them could
// not be written whole.
bool WriteMessageText(platform::File& file, const qMsg& message);

}  // namespace tallymere
