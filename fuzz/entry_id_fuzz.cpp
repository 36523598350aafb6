// Fuzz target: xEntryID::Load over any Messages.ndx. The input is the file.
//
// Checked: loading never crashes, and saving what was loaded gives back the file's whole
// 28-byte entries byte for byte. Files of more than MAX_ENTRYID entries end the program by
// design ("MAX_ENTRYID exeed.") and are not explored.
#include <cstddef>
#include <cstdint>

#include "archive/entry_id.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tallymere::xEntryID;
    if (size / xEntryID::kEntryBytes > xEntryID::MAX_ENTRYID) return 0;
    const auto path = fuzzing::ArchiveDir() / "Messages.ndx";
    fuzzing::WriteHostFile(path, data, size);
    {
        xEntryID index(u"Tallymere", u"Messages.ndx");
        if (index.count != size / xEntryID::kEntryBytes) fuzzing::Violated("entry count");
        for (std::uint32_t i = 0; i < index.count; ++i) {
            if (!index.CheckID(20, index.ids[i].data())) fuzzing::Violated("CheckID of a loaded entry");
            if (index.IndexOf(index.ids[i].data()) > i) fuzzing::Violated("IndexOf of a loaded entry");
        }
    }
    const std::size_t whole = size - size % xEntryID::kEntryBytes;
    const std::string saved = fuzzing::ReadHostFile(path);
    if (saved.size() != whole || saved.compare(0, whole, reinterpret_cast<const char*>(data), whole) != 0) {
        fuzzing::Violated("save after load changed the entries");
    }
    return 0;
}
