// The store's notifications of a restore's own changes are all delivered by the time Restore
// returns, so that the automatic mode, switched off for the restore, has ignored every one of
// them before it is switched on again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "archive/restore.h"
#include "restore_fixture.h"

namespace {

using archive_testing::Bytes;
using archive_testing::RestoreTest;
using namespace platform::mapi;

// Counts created and modified notifications per message; owned by the test. Each call takes
// a while, as a sink doing real work would, so that late deliveries would show.
class CountingSink final : public IMAPIAdviseSink {
public:
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG OnNotify(ULONG count, NOTIFICATION* notifications) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        std::lock_guard lock(mutex);
        for (ULONG i = 0; i < count; ++i) {
            const OBJECT_NOTIFICATION& o = notifications[i].info.obj;
            if (o.ulObjType != MAPI_MESSAGE) continue;
            const Bytes id(o.lpEntryID, o.lpEntryID + o.cbEntryID);
            if (notifications[i].ulEventType == fnevObjectCreated) ++created[id];
            if (notifications[i].ulEventType == fnevObjectModified) ++modified[id];
        }
        return 0;
    }

    std::atomic<ULONG> refs{1};
    std::mutex mutex;
    std::map<Bytes, int> created;
    std::map<Bytes, int> modified;
};

class RestoreNotify : public RestoreTest {
protected:
    void TearDown() override {
        if (connection != 0) Session()->Unadvise(connection);
        RestoreTest::TearDown();
    }
    CountingSink sink;
    ULONG connection = 0;
};

// Mended: the notifications of restored messages could arrive after the automatic mode was
// switched on again, and every restored message would have been taken for a new arrival.
TEST_F(RestoreNotify, EveryNotificationOfTheRestoredMessagesIsDeliveredBeforeRestoreReturns) {
    constexpr int kMessages = 12;
    for (int i = 0; i < kMessages; ++i) {
        Deliver(u"message " + std::u16string(1, static_cast<char16_t>(u'A' + i)),
                i % 3 == 0 ? u"SMS/Sent Items" : u"SMS/Inbox");
    }
    ASSERT_EQ(BackupAll(), static_cast<std::uint32_t>(kMessages));
    for (const auto& s : Messages()) Delete(s.id);
    {
        // Into folders that are gone as well: their creation is part of the restore's changes.
        tallymere::BeginBackup(tallymere::BackupMode::Partial);
        tallymere::BackupMessage(archive_testing::TextMessage(1, u"Archive/2008", u"from a new folder"));
        tallymere::EndBackup();
    }
    ASSERT_EQ(Session()->Advise(0, nullptr, fnevObjectCreated | fnevObjectModified, &sink, &connection), 0);

    ASSERT_EQ(tallymere::Restore(tallymere::RestoreMode::Extra), static_cast<std::uint32_t>(kMessages + 1));

    std::map<Bytes, int> created, modified;
    {
        std::lock_guard lock(sink.mutex);
        created = sink.created;
        modified = sink.modified;
    }
    const auto entries = IndexEntries();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kMessages + 1));
    for (const auto& entry : entries) {
        EXPECT_EQ(created[entry.id], 1) << testing::PrintToString(entry.id);
        EXPECT_GE(modified[entry.id], 1) << testing::PrintToString(entry.id);
    }
    // And nothing of them arrives later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.created, created);
    EXPECT_EQ(sink.modified, modified);
}

}  // namespace
