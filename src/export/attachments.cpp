// The attachments of an exported message, each written as a file of its own beside the
// message's text file.
#include <algorithm>

#include "archive/qmsg.h"
#include "export/exporter.h"
#include "export/file_name.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

// The name an attachment is written under, after its number: its own file name, which is the
// sender's text and so is kept from leading out of the export directory; a nameless one is
// called "attachment", so that several of them do not overwrite one another's file.
std::u16string AttachmentName(const qMsg& message, std::uint32_t i) {
    if (message.attachFilenameLen[i] == 0) return u"attachment";
    return SafeName(message.attachFilename[i]);
}

}  // namespace

void xExport::GetAttachments(const qMsg& message, std::u16string_view relPath, std::uint32_t number) {
    const std::uint32_t count = std::min(message.attachmentCount, qMsg::MAX_ATTACHMENT);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto file = MyCreateFile(outputDir, kExportDir, relPath, NumberedName(number, AttachmentName(message, i)), u"wb");
        if (!file) FatalError(u"MyCreateFile failed.", u"xExport::GetAttachments");
        const std::vector<std::uint8_t>& data = message.attachData[i];
        const std::size_t size = std::min<std::size_t>(message.attachSize[i], data.size());
        if (file->Write(data.data(), size) != size || !file->Close()) {
            FatalError(u"fwrite failed.", u"xExport::GetAttachments");
        }
    }
}

}  // namespace tallymere
