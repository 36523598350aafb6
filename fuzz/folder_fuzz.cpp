// Fuzz target: xFolder::Load over any Folders.dat. The input is the file.
//
// Checked: loading never crashes; every loaded path in the form the list keeps paths in
// (FolderLine: no control character, which only damage puts into the file) is found again by
// GetIndex at or before its own line, and any other is numbered without a crash; and the saved
// list loads back to the same paths. Files of more than MAX_FOLDER
// lines end the program by design ("MAX_FOLDER exeed.") and are not explored.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/folder.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tallymere::xFolder;
    if (static_cast<std::size_t>(std::count(data, data + size, '\n')) > xFolder::MAX_FOLDER) return 0;
    fuzzing::WriteHostFile(fuzzing::ArchiveDir() / "Folders.dat", data, size);
    std::vector<std::u16string> loaded;
    {
        xFolder folders;
        loaded = folders.names;
        std::size_t damaged = 0;
        for (std::uint32_t i = 0; i < loaded.size(); ++i) {
            const bool kept = tallymere::FolderLine(loaded[i]) == loaded[i];
            if (!kept) ++damaged;
            if (folders.GetIndex(loaded[i]) > i && kept) fuzzing::Violated("GetIndex of a loaded path");
        }
        if (damaged == 0 && folders.count != loaded.size()) fuzzing::Violated("GetIndex of a loaded path appended it");
        loaded = folders.names;
    }
    xFolder again;
    if (again.names != loaded) fuzzing::Violated("save and load changed the paths");
    return 0;
}
