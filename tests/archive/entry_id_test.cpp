#include "archive/entry_id.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "platform/faults.h"
#include "support/files.h"
#include "support/settings.h"

namespace {

using tallymere::xEntryID;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

xEntryID::Id MakeId(std::uint32_t n) {
    xEntryID::Id id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(n >> (8 * (i % 4)));
    id[19] = 0xEE;
    return id;
}

std::string Entry(const xEntryID::Id& id, std::uint32_t offset, std::uint32_t flag) {
    std::string bytes(id.begin(), id.end());
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(offset >> (8 * i)));
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(flag >> (8 * i)));
    return bytes;
}

class EntryIdTest : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        std::filesystem::create_directories(Host("Out/Tallymere"));
        tallymere::SetRegistryStr(u"OutputDir", u"\\Out");
    }
    std::filesystem::path Index() const { return Host("Out/Tallymere/Messages.ndx"); }
};

TEST_F(EntryIdTest, MissingFileGivesAnEmptyTableAndAnEmptyFile) {
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        EXPECT_EQ(list.path, u"\\Out\\Tallymere\\Messages.ndx");
        EXPECT_EQ(list.count, 0u);
        EXPECT_TRUE(std::filesystem::exists(Index()));
    }
    EXPECT_EQ(std::filesystem::file_size(Index()), 0u);
}

TEST_F(EntryIdTest, FileFormatIsTwentyEightBytesPerEntryLittleEndian) {
    const auto a = MakeId(1), b = MakeId(2);
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        list.AddID(20, a.data(), 0x01020304);
        list.AddID(20, b.data(), 98);
        list.flags[0] = 0;
    }
    const std::string expected = Entry(a, 0x01020304, 0) + Entry(b, 98, 1);
    EXPECT_EQ(ReadHostFile(Index()), expected);
    EXPECT_EQ(expected.substr(20, 8), std::string("\x04\x03\x02\x01\0\0\0\0", 8));
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        ASSERT_EQ(list.count, 2u);
        EXPECT_EQ(list.offsets[0], 0x01020304u);
        EXPECT_EQ(list.flags[0], 0u);
        EXPECT_EQ(list.flags[1], 1u);
    }
    EXPECT_EQ(ReadHostFile(Index()), expected) << "load and save without changes reproduce the file";
}

TEST_F(EntryIdTest, TrailingPieceIsDroppedOnLoad) {
    const auto a = MakeId(7);
    WriteHostFile(Index(), Entry(a, 5, 1) + std::string(24, 'x'));
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        EXPECT_EQ(list.count, 1u);
    }
    EXPECT_EQ(ReadHostFile(Index()), Entry(a, 5, 1));
}

TEST_F(EntryIdTest, LookupsUpdatesAndFlags) {
    xEntryID list(u"Tallymere", u"Messages.ndx");
    const auto a = MakeId(1), b = MakeId(2), c = MakeId(3), d = MakeId(4);
    list.AddID(20, a.data(), 10);
    list.AddID(20, b.data(), 20);
    list.AddID(20, a.data(), 30);  // no duplicate check
    EXPECT_TRUE(list.CheckID(20, b.data()));
    EXPECT_FALSE(list.CheckID(20, c.data()));
    EXPECT_EQ(list.IndexOf(b.data()), 1u);
    EXPECT_EQ(list.IndexOf(c.data()), 0u);
    list.flags[1] = 0;
    list.UpdateID(20, a.data(), c.data());
    EXPECT_EQ(list.IndexOf(c.data()), 0u);
    EXPECT_EQ(list.offsets[0], 10u);
    EXPECT_EQ(list.IndexOf(a.data()), 2u) << "only the first equal entry is replaced";
    list.UpdateID(20, d.data(), b.data());
    EXPECT_EQ(list.count, 3u);
    list.UpdateID(20, b.data(), d.data());
    EXPECT_EQ(list.flags[1], 0u) << "flag stays";
    list.ClearFlags();
    EXPECT_EQ(list.flags[0] + list.flags[1] + list.flags[2], 0u);
}

TEST_F(EntryIdTest, WrongSizesEndTheProgram) {
    const std::uint8_t big[24] = {};
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.CheckID(16, big);
        },
        ::testing::ExitedWithCode(1), "xEntryID::CheckID: ENTRYID length mismatch\\.");
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.AddID(24, big, 0);
        },
        ::testing::ExitedWithCode(1), "xEntryID::AddID: ENTRYID length mismatch\\.");
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.UpdateID(16, big, big);
        },
        ::testing::ExitedWithCode(1), "xEntryID::UpdateID: ENTRYID length mismatch\\.");
}

TEST_F(EntryIdTest, TheListGrowsPastTenThousandEntries) {
    // The list once stopped at 10,000 entries for good: every later backup ended in a failure.
    std::string bytes;
    for (std::uint32_t i = 0; i < 9999; ++i) bytes += Entry(MakeId(i), i, 1);
    WriteHostFile(Index(), bytes);
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        ASSERT_EQ(list.count, 9999u);
        for (std::uint32_t i = 9999; i < 10002; ++i) list.AddID(20, MakeId(i).data(), i);
        EXPECT_EQ(list.count, 10002u);
        EXPECT_TRUE(list.CheckID(20, MakeId(10001).data()));
        EXPECT_EQ(list.IndexOf(MakeId(10000).data()), 10000u);
    }
    EXPECT_EQ(std::filesystem::file_size(Index()), 10002u * 28);
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        ASSERT_EQ(list.count, 10002u);
        EXPECT_EQ(list.offsets[10001], 10001u);
        EXPECT_EQ(list.IndexOf(MakeId(5000).data()), 5000u);
    }
}

TEST_F(EntryIdTest, AnIndexLongerThanAnyArchiveCanBeIsRefused) {
    // More entries than Messages.dat could hold records (32-bit offsets, 98-byte records at
    // the least): the file is not an index. A sparse file of that length costs no disk.
    WriteHostFile(Index(), Entry(MakeId(1), 0, 1));
    std::filesystem::resize_file(Index(), std::uintmax_t{xEntryID::MAX_ENTRYID + 1u} * xEntryID::kEntryBytes);
    EXPECT_EXIT({ xEntryID list(u"Tallymere", u"Messages.ndx"); }, ::testing::ExitedWithCode(1),
                "xEntryID::Load: MAX_ENTRYID exeed\\.");
    EXPECT_EQ(xEntryID::MAX_ENTRYID, 43826197u);
}

TEST_F(EntryIdTest, HashedLookupsAgreeWithALinearSearchOfTheArrays) {
    // A reference that does what the list promises the slow way: first equal entry wins.
    xEntryID list(u"Tallymere", u"Messages.ndx");
    std::vector<xEntryID::Id> model;
    auto first = [&](const xEntryID::Id& id) -> std::optional<std::uint32_t> {
        for (std::uint32_t i = 0; i < model.size(); ++i) {
            if (model[i] == id) return i;
        }
        return std::nullopt;
    };
    std::uint32_t seed = 12345;
    auto next = [&](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    // Few distinct identifiers, so that duplicates (a damaged list) and updates onto an
    // identifier already present both happen often.
    for (int step = 0; step < 3000; ++step) {
        const xEntryID::Id a = MakeId(next(40));
        const xEntryID::Id b = MakeId(next(40));
        const std::uint32_t action = next(4);
        if (action == 0) {
            list.AddID(20, a.data(), step);
            model.push_back(a);
        } else if (action == 1 && !model.empty()) {
            // Any position, a later duplicate's included (as a restore rewrites entry i).
            const std::uint32_t at = next(static_cast<std::uint32_t>(model.size()));
            list.SetID(at, b.data());
            model[at] = b;
        } else {
            list.UpdateID(20, a.data(), b.data());
            if (auto at = first(a)) model[*at] = b;
        }
        const xEntryID::Id probe = MakeId(next(40));
        ASSERT_EQ(list.CheckID(20, probe.data()), first(probe).has_value()) << "step " << step;
        ASSERT_EQ(list.IndexOf(probe.data()), first(probe).value_or(0)) << "step " << step;
    }
    ASSERT_EQ(list.count, model.size());
    for (std::uint32_t i = 0; i < model.size(); ++i) ASSERT_EQ(list.ids[i], model[i]);
}

TEST_F(EntryIdTest, AFailedSaveLeavesTheOldFileIntact) {
    const auto a = MakeId(1), b = MakeId(2);
    WriteHostFile(Index(), Entry(a, 0, 1));
    const std::string before = ReadHostFile(Index());
    // The write fails halfway through the save: the process ends, the old index stays.
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.AddID(20, b.data(), 7);
            platform::faults::Plan("fwrite", 1);
        },
        ::testing::ExitedWithCode(1), "xEntryID::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Index()), before);
    // The rename fails: still the old file.
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.AddID(20, b.data(), 7);
            platform::faults::Plan("MoveFileW", 1);
        },
        ::testing::ExitedWithCode(1), "xEntryID::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Index()), before);
    // The new content cannot be put on the medium: it never replaces the old one.
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.AddID(20, b.data(), 7);
            platform::faults::Plan("fsync", 1);
        },
        ::testing::ExitedWithCode(1), "xEntryID::Save: fwrite failed\\.");
    EXPECT_EQ(ReadHostFile(Index()), before);
}

TEST_F(EntryIdTest, IdentifiersThatDifferOnlyInTheirLastOrFirstByteAreTwo) {
    xEntryID list(u"Tallymere", u"Messages.ndx");
    xEntryID::Id a{}, lastByte{}, firstByte{};
    lastByte[19] = 1;
    firstByte[0] = 1;
    list.AddID(20, a.data(), 1);
    EXPECT_FALSE(list.CheckID(20, lastByte.data()));
    EXPECT_FALSE(list.CheckID(20, firstByte.data()));
    list.AddID(20, lastByte.data(), 2);
    list.AddID(20, firstByte.data(), 3);
    EXPECT_EQ(list.IndexOf(lastByte.data()), 1u);
    EXPECT_EQ(list.IndexOf(firstByte.data()), 2u);
    xEntryID::Id other = lastByte;
    other[19] = 2;
    list.UpdateID(20, lastByte.data(), other.data());
    EXPECT_EQ(list.ids[0], a);
    EXPECT_EQ(list.ids[1], other);
    EXPECT_EQ(list.ids[2], firstByte);
}

TEST_F(EntryIdTest, AnEntrySavedOnItsOwnSurvivesAProcessThatEndsBeforeTheSave) {
    const auto a = MakeId(1), b = MakeId(2), c = MakeId(3);
    WriteHostFile(Index(), Entry(a, 0, 1) + Entry(b, 5, 1) + "cut");
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            list.SetID(1, c.data());  // changed in place
            list.flags[1] = 0;
            list.SaveEntry(1);
            list.AddID(20, a.data(), 9);  // appended over the piece that is no entry
            list.SaveEntry(2);
            platform::faults::PlanCrash("MoveFileW", 1);
        },
        ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
    EXPECT_EQ(ReadHostFile(Index()), Entry(a, 0, 1) + Entry(c, 5, 0) + Entry(a, 9, 1));
    {
        // After a save has replaced the file, an entry goes into the new one.
        xEntryID list(u"Tallymere", u"Messages.ndx");
        list.Save();
        list.flags[0] = 0;
        list.SaveEntry(0);
        EXPECT_EQ(ReadHostFile(Index()).substr(0, 28), Entry(a, 0, 0));
    }
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            platform::faults::Plan("fwrite", 1);
            list.SaveEntry(0);
        },
        ::testing::ExitedWithCode(1), "^xEntryID::SaveEntry: fwrite failed\\.\n$");
}

TEST_F(EntryIdTest, AKilledSaveLeavesTheOldFileIntact) {
    const auto a = MakeId(1);
    WriteHostFile(Index(), Entry(a, 0, 1));
    const std::string before = ReadHostFile(Index());
    // The process dies inside the save, after the new content is written and synced but
    // before it replaces the index.
    EXPECT_EXIT(
        {
            xEntryID list(u"Tallymere", u"Messages.ndx");
            for (std::uint32_t i = 2; i < 500; ++i) list.AddID(20, MakeId(i).data(), i);
            platform::faults::PlanCrash("MoveFileW", 1);
        },
        ::testing::ExitedWithCode(platform::faults::kCrashStatus), "");
    EXPECT_EQ(ReadHostFile(Index()), before);
    {
        xEntryID list(u"Tallymere", u"Messages.ndx");
        EXPECT_EQ(list.count, 1u);
        list.AddID(20, MakeId(2).data(), 9);
    }
    EXPECT_EQ(ReadHostFile(Index()), before + Entry(MakeId(2), 9, 1)) << "the next save replaces the leftover";
}

TEST_F(EntryIdTest, UnopenableFileEndsTheLoad) {
    platform::faults::Plan("_wfopen", 1);
    EXPECT_EXIT({ xEntryID list(u"Tallymere", u"Messages.ndx"); }, ::testing::ExitedWithCode(1),
                "xEntryID::Load: _wfopen failed\\.");
}

}  // namespace
