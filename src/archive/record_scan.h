// Finding the records of Messages.dat without the index.
//
// Records are self-delimiting (layout in archive/record.h): a record that parses tells its own
// size, so the records of an intact file are found one after the other from its start. After
// damage (bytes changed, inserted or cut out) the scan resynchronises: it goes on at the next
// offset where a record with a 20-byte identifier parses, so every intact record after the
// damage is found again. Nothing is written.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/file.h"

namespace tallymere {

struct ScannedRecord {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 20> id{};
    std::uint32_t folderIndex = 0;
};

struct RecordScan {
    std::vector<ScannedRecord> records;  // in file order, none overlapping
    bool readFailed = false;             // the platform failed to position or read the file
};

// Scans Messages.dat (open for reading, `size` bytes) from `from` (its start by default) to its
// end.
RecordScan ScanRecords(platform::File& file, std::uint64_t size, std::uint64_t from = 0);

// The record at `offset` when one parses there; false otherwise.
bool RecordAt(platform::File& file, std::uint64_t size, std::uint64_t offset, ScannedRecord* record);

}  // namespace tallymere
