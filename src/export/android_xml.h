// The archive written as an Android SMS/MMS backup file, the XML that the common Android backup
// apps restore from:
//
//   <?xml version='1.0' encoding='UTF-8' standalone='yes' ?>
//   <smses count="N" backup_date="ms" type="full">
//     <sms protocol="0" address="..." date="ms" type="T" subject="..." body="..." read="1" .../>
//     <mms date="ms" msg_box="T" sub="..." read="1" m_type="132" address="a~b" ...>
//       <parts> a SMIL part that lays the others out, the text as a text/plain part, every
//               attachment as a base64 part with its content type and name </parts>
//       <addrs> <addr address="..." type="137|151|130|129" charset="106"/> ... </addrs>
//     </mms>
//   </smses>
//
// An archived message is an <mms> when it is of class "IPM.MMS" or has attachments, else an
// <sms>. Its folder gives `type`/`msg_box`: a path whose second level is "Inbox" (1), "Sent
// Items" (2), "Drafts" (3) or "Outbox" (4) counts as that box, also from a folder below it;
// every other folder's messages are written as received (1) and reported. An SMS's other
// party is its sender when received, else its recipients ("~"-joined, names ", "-joined in
// `contact_name`). The text is written in UTF-8 with every character as itself (emoji
// included); characters XML cannot carry (controls other than tab and line ends, lone
// surrogate halves, U+FFFE, U+FFFF) become U+FFFD.
//
// The file is written to "<path>.new" as a stream, one message at a time (memory holds one
// message with its attachments), the root's `count` is put in once the last message is
// written, and the file then takes its name in one step: a failed or interrupted export
// leaves any earlier file of that name as it was.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

class ArchiveView;

struct AndroidExport {
    std::uint64_t sms = 0;
    std::uint64_t mms = 0;
    std::uint32_t unreadable = 0;                        // chosen records that could not be read
    std::map<std::u16string, std::uint32_t> asReceived;  // folders of no box, written as received
};

// Writes the entries `chosen` marks (by index position) to the device file `path`. Failures
// to write are fatal ("fwrite failed.", caption "WriteAndroidBackup").
AndroidExport WriteAndroidBackup(ArchiveView& view, const std::vector<bool>& chosen, std::u16string_view path);

// The box an archived folder path stands for (1 received, 2 sent, 3 drafts, 4 outbox), 0 for
// none of them.
int AndroidBoxOf(std::u16string_view folderPath);

// XML attribute text: UTF-16 as UTF-8 with the escapes above, appended to `out`.
void AppendXmlText(std::string& out, std::u16string_view text);

}  // namespace tallymere
