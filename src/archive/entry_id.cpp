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

bool Equal(const xEntryID::Id& a, const std::uint8_t* b) {
    return std::memcmp(a.data(), b, xEntryID::ENTRYID_SIZE) == 0;
}

}  // namespace

xEntryID::xEntryID(std::u16string_view dirName, std::u16string_view fileName) {
    path = GetRegistryStr(kOutputDirValue) + u"\\" + std::u16string(dirName) + u"\\" + std::u16string(fileName);
    ids.reserve(MAX_ENTRYID);
    offsets.reserve(MAX_ENTRYID);
    flags.reserve(MAX_ENTRYID);
    Load();
}

xEntryID::~xEntryID() {
    Save();
    Clear();
}

bool xEntryID::CheckID(std::uint32_t size, const std::uint8_t* id) const {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::CheckID");
    return std::any_of(ids.begin(), ids.end(), [id](const Id& e) { return Equal(e, id); });
}

void xEntryID::AddID(std::uint32_t size, const std::uint8_t* id, std::uint32_t offset) {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::AddID");
    if (count >= MAX_ENTRYID) FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::AddID");
    Id entry;
    std::memcpy(entry.data(), id, ENTRYID_SIZE);
    ids.push_back(entry);
    offsets.push_back(offset);
    flags.push_back(1);
    ++count;
}

void xEntryID::UpdateID(std::uint32_t size, const std::uint8_t* oldId, const std::uint8_t* newId) {
    if (size != ENTRYID_SIZE) FatalError(u"ENTRYID length mismatch.", u"xEntryID::UpdateID");
    auto it = std::find_if(ids.begin(), ids.end(), [oldId](const Id& e) { return Equal(e, oldId); });
    if (it != ids.end()) std::memcpy(it->data(), newId, ENTRYID_SIZE);
}

std::uint32_t xEntryID::IndexOf(const std::uint8_t* id) const {
    auto it = std::find_if(ids.begin(), ids.end(), [id](const Id& e) { return Equal(e, id); });
    return it == ids.end() ? 0 : static_cast<std::uint32_t>(it - ids.begin());
}

void xEntryID::ClearFlags() { std::fill(flags.begin(), flags.end(), 0u); }

void xEntryID::Load() {
    auto file = platform::File::Open(path, u"ab+");
    if (!file) FatalError(u"_wfopen failed.", u"xEntryID::Load");
    file->Seek(0, SEEK_SET);
    std::uint8_t entry[kEntryBytes];
    // A piece shorter than a whole entry can only be damage from outside: it is dropped.
    while (file->Read(entry, kEntryBytes) == kEntryBytes) {
        if (count >= MAX_ENTRYID) FatalError(u"MAX_ENTRYID exeed.", u"xEntryID::Load");
        Id id;
        std::memcpy(id.data(), entry, ENTRYID_SIZE);
        ids.push_back(id);
        offsets.push_back(GetU32(entry + 20));
        flags.push_back(GetU32(entry + 24));
        ++count;
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
    if (!entryFile_->Seek(static_cast<std::int64_t>(i) * kEntryBytes, SEEK_SET) ||
        entryFile_->Write(bytes.data(), bytes.size()) != bytes.size() || !entryFile_->Flush()) {
        FatalError(u"fwrite failed.", u"xEntryID::SaveEntry");
    }
}

void xEntryID::Save() {
    // The whole file is replaced: entries written on their own go to the old one no more.
    entryFile_.reset();
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
    count = 0;
}

}  // namespace tallymere
