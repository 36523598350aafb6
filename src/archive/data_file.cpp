#include "archive/data_file.h"

#include <string>

#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

std::unique_ptr<platform::File> OpenDataFile(std::u16string_view tag, std::uint64_t* size) {
    const std::u16string outputDir = GetRegistryStr(kOutputDirValue);
    auto created = MyCreateFile(outputDir, kArchiveDir, u"", kDataFile, u"ab+");
    if (!created) FatalError(u"MyCreateFile failed.", tag);
    created.reset();
    auto file = MyCreateFile(outputDir, kArchiveDir, u"", kDataFile, u"rb+");
    if (!file) FatalError(u"MyCreateFile failed.", tag);
    const std::int64_t bytes = file->Size();
    if (bytes < 0) FatalError(u"fseek failed.", tag);
    *size = static_cast<std::uint64_t>(bytes);
    return file;
}

}  // namespace tallymere
