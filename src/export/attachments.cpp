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

// The name an attachment is written under, after its number: its own file name, which is the
// sender's text and so is kept from leading out of the export directory. A nameless one is
// called "attachment"; a message's second and later nameless ones "attachment_2",
// "attachment_3", ..., so that none of them overwrites another's file.
std::u16string AttachmentName(const qMsg& message, std::uint32_t i, std::uint32_t& nameless) {
    if (message.attachFilenameLen[i] != 0) return SafeName(message.attachFilename[i]);
    ++nameless;
    if (nameless == 1) return u"attachment";
    const std::string ordinal = std::to_string(nameless);
    return u"attachment_" + std::u16string(ordinal.begin(), ordinal.end());
}

}  // namespace

void xExport::GetAttachments(const qMsg& message, std::u16string_view relPath, std::uint32_t number) {
    const std::uint32_t count = std::min(message.attachmentCount, qMsg::MAX_ATTACHMENT);
    std::uint32_t nameless = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::u16string name = NumberedName(number, AttachmentName(message, i, nameless));
        auto file = MyCreateFile(outputDir, kExportDir, relPath, name, u"wb");
        if (!file) FatalError(u"MyCreateFile failed.", u"xExport::GetAttachments");
        const std::vector<std::uint8_t>& data = message.attachData[i];
        const std::size_t size = std::min<std::size_t>(message.attachSize[i], data.size());
        if (file->Write(data.data(), size) != size || !file->Close()) {
            FatalError(u"fwrite failed.", u"xExport::GetAttachments");
        }
    }
}

}  // namespace tallymere
