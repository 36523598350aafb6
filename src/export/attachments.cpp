// The attachments of an exported message, each written as a file of its own beside the
// message's text file.
#include <algorithm>
#include <string>

#include "archive/qmsg.h"
#include "export/exporter.h"
#include "export/file_name.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// The name an attachment asks for, before its number: its own file name, which is the
// sender's text and so is kept from leading out of the export directory, or "attachment" for
// a nameless one. A name the message's other files have already is made distinct when the
// file is named (a second nameless one becomes "attachment_2").
std::u16string AttachmentName(const qMsg& message, std::uint32_t i) {
    if (message.attachFilenameLen[i] != 0) return SafeName(message.attachFilename[i]);
    return u"attachment";
}

}  // namespace

void xExport::GetAttachments(const qMsg& message, std::u16string_view relPath, std::uint32_t number) {
    const std::uint32_t count = message.AttachmentSlots();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::u16string name = messageFiles.Distinct(number, AttachmentName(message, i));
        WillWrite(currentDir_, name);
        auto file = CreateInDirectory(relPath, name);
        if (!file) FatalError(u"MyCreateFile failed.", u"xExport::GetAttachments");
        const std::vector<std::uint8_t>& data = message.attachData[i];
        const std::size_t size = std::min<std::size_t>(message.attachSize[i], data.size());
        if (file->Write(data.data(), size) != size || !file->Close()) {
            FatalError(u"fwrite failed.", u"xExport::GetAttachments");
        }
    }
}

}  // namespace tallymere
