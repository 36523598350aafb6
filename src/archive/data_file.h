// Opening the archive's data file, Messages.dat, for the writer and the restore.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/file.h"

namespace tallymere {

inline constexpr std::u16string_view kDataFile = u"Messages.dat";

// Opens Messages.dat in the archive directory for reading and writing anywhere, creating it
// when missing ("ab+" creates, "rb+" then writes in place without truncating), and gives its
// size. Failures are fatal under `tag`: "MyCreateFile failed." or "fseek failed.".
std::unique_ptr<platform::File> OpenDataFile(std::u16string_view tag, std::uint64_t* size);

}  // namespace tallymere
