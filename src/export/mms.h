// The files of the device's MMS client, which keeps each multimedia message as one file in
// "\My Documents\UAContents\MMS UA". A message's file is the one whose size is the message's
// size; where several have that size, the one created in the same second as the message was
// delivered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/time.h"

namespace tallymere {

// The most files of one size the MMS directory may hold.
constexpr std::uint32_t MAX_FILE_SAME_SIZE = 100;

// One entry of the MMS directory.
struct MmsFile {
    std::u16string name;
    platform::FILETIME creationTime;
    std::uint32_t size = 0;  // low 32 bits of the file's size
};

// Fills `list` with the entries of the MMS directory whose size is `size`, in the directory's
// order, and returns their number (0 when the directory is missing or empty). More than
// MAX_FILE_SAME_SIZE of them end the program with "MAX_FILE_SAME_SIZE exeed.".
std::uint32_t GetMMSFiles(std::vector<MmsFile>& list, std::uint32_t size);

}  // namespace tallymere
