// The files of the device's MMS client, which keeps each multimedia message as one file in
// "\My Documents\UAContents\MMS UA". A message's file is the one whose size is the message's
// size; where several have that size, the one created in the same second as the message was
// delivered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/filesys.h"
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

// The MMS directory listed once for a whole export pass, by size: GetMMSFiles for every
// multimedia message would list the directory once per message, a cost that grows with the
// directory. The directory is watched from each listing on, and listed again after any change
// notification or when its modification time has changed since (a file added, removed or
// renamed), so the same files are found as by a listing per message. Where it cannot be
// watched, a listing taken within two seconds of the directory's last change is not reused: a change in the same tick of the file system's clock (two seconds on some
// media) would not move that time.
class MmsListing {
public:
    // As GetMMSFiles, from the listing.
    std::uint32_t Files(std::vector<MmsFile>& list, std::uint32_t size);

private:
    // Lists the directory now unless the listing at hand still holds.
    void Refresh();

    std::unique_ptr<platform::DirectoryWatch> watch_;  // since the listing, when it could be watched
    bool listed_ = false;
    bool reusable_ = false;       // the listing may serve while the directory is unchanged
    bool exists_ = false;         // the directory existed at the listing
    platform::FILETIME changed_;  // the directory's modification time at the listing
    std::unordered_map<std::uint32_t, std::vector<MmsFile>> bySize_;
};

}  // namespace tallymere
