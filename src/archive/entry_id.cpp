#include "archive/entry_id.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "support/endian.h"
#include "support/fatal.h"
#include "support/files.h"
#include "support/settings.h"

namespace tallymere {

namespace {

xEntryID::Id ToId(const std::uint8_t* bytes) {
    xEntryID::Id id;
    std::memcpy(id.data(), bytes, xEntryID::ENTRYID_SIZE);
    return id;
}

std::uint64_t Word(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

}  // namespace

std::size_t xEntryID::IdHash::operator()(const Id& id) const noexcept {
    // The store's identifiers differ mostly in their last bytes (the object number), but any
    // identifier is accepted: all 20 bytes are mixed.
    std::uint64_t h = Word(id.data()) * 0x9E3779B97F4A7C15ull;
    h ^= Word(id.data() + 8) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    h ^= Word(id.data() + 12) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

xEntryID::xEntryID(std::u16string_view dirName, std::u16string_view fileName) {
    path = GetRegistryStr(kOutputDirValue) + u"\\" + std::u16string(dirName) + u"\\" + std::u16string(fileName);
    Load();
}

xEntryID::~xEntryID() {
    if (!abandoned_) Save();
    Clear();
}

void xEntryID::Abandon() {
    entryFile_.reset();
    Clear();
    abandoned_ = true;
}

bool xEntryID::CheckID(std::uint32_t size, const std::uint8_t* id) const {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::CheckID");
    return first_.contains(ToId(id));
}

void xEntryID::AddID(std::uint32_t size, const std::uint8_t* id, std::uint32_t offset) {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::AddID");
    if (count >= MAX_ENTRYID) FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::AddID");
    Append(ToId(id), offset, 1);
}

void xEntryID::Append(const Id& id, std::uint32_t offset, std::uint32_t flag) {
    ids.push_back(id);
    offsets.push_back(offset);
    flags.push_back(flag);
    if (!first_.try_emplace(id, count).second) duplicates_ = true;
    ++count;
}

std::uint32_t xEntryID::ScanFrom(const Id& id, std::uint32_t from) const {
    for (std::uint32_t i = from; i < count; ++i) {
        if (ids[i] == id) return i;
    }
    return count;
}

void xEntryID::UpdateID(std::uint32_t size, const std::uint8_t* oldId, const std::uint8_t* newId) {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::UpdateID");
    const Id from = ToId(oldId);
    const Id to = ToId(newId);
    auto found = first_.find(from);
    if (found == first_.end() || from == to) return;
    Replace(found->second, to);
}

void xEntryID::SetID(std::uint32_t i, const std::uint8_t* id) {
    if (i >= count) FatalError(u"Index out of range.", u"xEntryID::SetID");
    const Id to = ToId(id);
    if (ids[i] != to) Replace(i, to);
}

void xEntryID::Replace(std::uint32_t i, const Id& to) {
    const Id from = ids[i];
    ids[i] = to;
    auto found = first_.find(from);
    if (found != first_.end() && found->second == i) {
        first_.erase(found);
        // Only a list that holds an identifier twice (a damaged file) has a later entry equal
        // to the old identifier, which now becomes its first.
        if (duplicates_) {
            const std::uint32_t next = ScanFrom(from, i + 1);
            if (next < count) first_.emplace(from, next);
        }
    }
    auto [entry, added] = first_.try_emplace(to, i);
    if (!added) {
        duplicates_ = true;
        entry->second = std::min(entry->second, i);
    }
}

std::uint32_t xEntryID::IndexOf(const std::uint8_t* id) const {
    auto found = first_.find(ToId(id));
    return found == first_.end() ? 0 : found->second;
}

void xEntryID::ClearFlags() { std::fill(flags.begin(), flags.end(), 0u); }

void xEntryID::RemoveIDs(const std::vector<Id>& gone) {
    if (gone.empty()) return;
    const std::unordered_map<Id, std::uint32_t, IdHash> drop = [&] {
        std::unordered_map<Id, std::uint32_t, IdHash> set;
        for (const Id& id : gone) set.emplace(id, 0);
        return set;
    }();
    std::vector<Id> keptIds;
    std::vector<std::uint32_t> keptOffsets, keptFlags;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (drop.contains(ids[i])) continue;
        keptIds.push_back(ids[i]);
        keptOffsets.push_back(offsets[i]);
        keptFlags.push_back(flags[i]);
    }
    // Entries move: the file is written whole from now on.
    entryFile_.reset();
    entryFilePosition_ = -1;
    Clear();
    for (std::size_t i = 0; i < keptIds.size(); ++i) Append(keptIds[i], keptOffsets[i], keptFlags[i]);
}

void xEntryID::Load() {
    auto file = platform::File::Open(path, u"ab+");
    if (!file) FatalError(u"_wfopen failed.", u"xEntryID::Load");
    const std::int64_t size = file->Size();
    if (size < 0) FatalError(u"_wfopen failed.", u"xEntryID::Load");
    file->Seek(0, SEEK_SET);
    // A piece shorter than a whole entry can only be damage from outside: it is dropped.
    const std::uint64_t entries = static_cast<std::uint64_t>(size) / kEntryBytes;
    if (count + entries > MAX_ENTRYID) FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::Load");
    const auto n = static_cast<std::uint32_t>(entries);
    ids.reserve(count + n);
    offsets.reserve(count + n);
    flags.reserve(count + n);
    first_.reserve(count + n);
    // Read in pieces of whole entries: one read call per piece rather than per entry.
    constexpr std::uint32_t kPiece = 4096;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(n, kPiece)) * kEntryBytes);
    for (std::uint32_t done = 0; done < n;) {
        const std::uint32_t take = std::min(n - done, kPiece);
        const std::size_t got = file->Read(bytes.data(), static_cast<std::size_t>(take) * kEntryBytes);
        const auto whole = static_cast<std::uint32_t>(got / kEntryBytes);
        for (std::uint32_t k = 0; k < whole; ++k) {
            const std::uint8_t* entry = bytes.data() + static_cast<std::size_t>(k) * kEntryBytes;
            Append(ToId(entry), GetU32(entry + kOffsetAt), GetU32(entry + kFlagAt));
        }
        // The file got shorter while it was read: what was read whole is the list.
        if (whole < take) break;
        done += take;
    }
}

void xEntryID::SaveEntry(std::uint32_t i) {
    if (!entryFile_) {
        // "ab+" creates a missing file; "rb+" then writes anywhere in it.
        if (!platform::File::Open(path, u"ab+") || !(entryFile_ = platform::File::Open(path, u"rb+"))) {
            FatalError(u"_wfopen failed.", u"xEntryID::SaveEntry");
        }
    }
    std::vector<std::uint8_t> bytes(ids[i].begin(), ids[i].end());
    PutU32(bytes, offsets[i]);
    PutU32(bytes, flags[i]);
    // Entries appended one after the other need no seek between them.
    const std::int64_t at = static_cast<std::int64_t>(i) * kEntryBytes;
    if (entryFilePosition_ != at && !entryFile_->Seek(at, SEEK_SET))
        FatalError(u"fwrite failed.", u"xEntryID::SaveEntry");
    entryFilePosition_ = -1;
    if (entryFile_->Write(bytes.data(), bytes.size()) != bytes.size() || !entryFile_->Flush()) {
        FatalError(u"fwrite failed.", u"xEntryID::SaveEntry");
    }
    entryFilePosition_ = at + static_cast<std::int64_t>(kEntryBytes);
}

void xEntryID::Save() {
    // The whole file is replaced: entries written on their own go to the old one no more.
    entryFile_.reset();
    entryFilePosition_ = -1;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(count) * kEntryBytes);
    for (std::uint32_t i = 0; i < count; ++i) {
        bytes.insert(bytes.end(), ids[i].begin(), ids[i].end());
        PutU32(bytes, offsets[i]);
        PutU32(bytes, flags[i]);
    }
    ReplacementFile out(path);
    if (!out.IsOpen()) FatalError(u"_wfopen failed.", u"xEntryID::Save");
    if (out.Stream().Write(bytes.data(), bytes.size()) != bytes.size() || !out.Commit()) {
        FatalError(u"fwrite failed.", u"xEntryID::Save");
    }
}

void xEntryID::Clear() {
    ids.clear();
    offsets.clear();
    flags.clear();
    first_.clear();
    duplicates_ = false;
    count = 0;
}

}  // namespace tallymere
