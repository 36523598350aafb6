// Fuzz target: the archive reader of a restore (xRestore::Load for every index entry) and the
// archive check, over a crafted archive.
//
// Input layout, split into the three archive files:
//
//     offset  size  content
//          0     2  n, little-endian: bytes of Messages.ndx
//          2     2  f, little-endian: bytes of Folders.dat
//          4     n  Messages.ndx
//        4+n     f  Folders.dat
//      4+n+f  rest  Messages.dat
//
// (n and f are cut to what the input holds.) Checked: nothing crashes; every record that
// reads names a line of Folders.dat and, written again, gives exactly its bytes in
// Messages.dat; the check finds a problem whenever some record is unreadable.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_check.h"
#include "archive/record.h"
#include "archive/restore.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t n = std::min<std::size_t>(data[0] | data[1] << 8, size - 4);
    const std::size_t f = std::min<std::size_t>(data[2] | data[3] << 8, size - 4 - n);
    const std::uint8_t* ndx = data + 4;
    const std::uint8_t* folders = ndx + n;
    const std::uint8_t* dat = folders + f;
    const std::size_t datSize = size - 4 - n - f;
    // More than MAX_FOLDER lines end the program by design; 65535 bytes hold fewer than
    // MAX_ENTRYID entries.
    if (static_cast<std::size_t>(std::count(folders, folders + f, '\n')) > tallymere::xFolder::MAX_FOLDER) return 0;
    const auto& dir = fuzzing::ArchiveDir();
    fuzzing::WriteHostFile(dir / "Messages.ndx", ndx, n);
    fuzzing::WriteHostFile(dir / "Folders.dat", folders, f);
    fuzzing::WriteHostFile(dir / "Messages.dat", dat, datSize);

    const tallymere::ArchiveReport report = tallymere::CheckArchive(u"\\Out\\Tallymere");

    tallymere::xRestore reader;
    tallymere::qMsg msg(nullptr, 0, nullptr);
    std::vector<std::uint8_t> again;
    bool unreadable = false;
    for (std::uint32_t i = 0; i < reader.entryIds.count; ++i) {
        const std::uint32_t offset = reader.entryIds.offsets[i];
        if (!reader.Load(msg, offset)) {
            unreadable = true;
            if (msg.entryIdSize != 0 || msg.bodySize != 0 || msg.recipientCount != 0) {
                fuzzing::Violated("an unreadable record left data behind");
            }
            continue;
        }
        if (reader.folderIndex >= reader.folders.count) fuzzing::Violated("folder number without a line");
        again.clear();
        tallymere::EncodeRecord(msg, reader.folderIndex, again);
        if (offset + again.size() > datSize || !std::equal(again.begin(), again.end(), dat + offset)) {
            fuzzing::Violated("a record read does not write back to its bytes");
        }
        reader.Update(msg, offset);
    }
    if (unreadable && report.Sound()) fuzzing::Violated("the check missed an unreadable record");
    return 0;
}
