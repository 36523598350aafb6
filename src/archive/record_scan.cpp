#include "archive/record_scan.h"

#include <algorithm>
#include <cstring>

#include "archive/qmsg.h"
#include "archive/record.h"
#include "archive/record_parser.h"

namespace tallymere {

namespace {

// The first offset from `from` on where the four bytes of a 20-byte identifier's size lie, or
// `size` when there is none. Read in large pieces: after damage this may pass many bytes.
std::uint64_t NextCandidate(platform::File& file, std::uint64_t size, std::uint64_t from, bool* failed) {
    constexpr std::size_t kPiece = 1 << 16;
    const std::uint8_t pattern[4] = {kRecordIdSize, 0, 0, 0};
    std::vector<std::uint8_t> piece;
    for (std::uint64_t at = from; at + kMinRecordSize <= size;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece + 3, size - at));
        piece.resize(want);
        if (!file.Seek(static_cast<std::int64_t>(at), SEEK_SET) || file.Read(piece.data(), want) != want) {
            *failed = true;
            return size;
        }
        auto hit = std::search(piece.begin(), piece.end(), pattern, pattern + 4);
        if (hit != piece.end()) return at + static_cast<std::uint64_t>(hit - piece.begin());
        if (want < kPiece + 3) break;
        at += kPiece;  // the last three bytes are looked at again with the next piece
    }
    return size;
}

}  // namespace

bool RecordAt(platform::File& file, std::uint64_t size, std::uint64_t offset, ScannedRecord* record) {
    qMsg msg(nullptr, 0, nullptr);
    const ParsedRecord parsed = ReadRecordAt(file, size, offset, msg);
    if (!parsed.Readable() || msg.entryId.size() != kRecordIdSize) return false;
    record->offset = offset;
    record->size = parsed.size;
    std::memcpy(record->id.data(), msg.entryId.data(), kRecordIdSize);
    record->folderIndex = parsed.folderIndex;
    return true;
}

RecordScan ScanRecords(platform::File& file, std::uint64_t size, std::uint64_t from) {
    RecordScan scan;
    std::uint64_t at = from;
    while (at + kMinRecordSize <= size) {
        ScannedRecord record;
        if (RecordAt(file, size, at, &record)) {
            scan.records.push_back(record);
            at += record.size;
            continue;
        }
        at = NextCandidate(file, size, at + 1, &scan.readFailed);
    }
    return scan;
}

}  // namespace tallymere
