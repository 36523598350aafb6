// Notifications within the process and across processes, and writers in several processes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "mapi_fixture.h"
#include "platform/faults.h"
#include "platform/mapi/store/notifier.h"
#include "platform/sqlite.h"
#include "platform/window.h"
#include "support/fatal.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;
using namespace std::chrono_literals;

struct Event {
    ULONG type = 0;
    ULONG objType = 0;
    Bytes id;
    Bytes parent;
    Bytes oldParent;
    std::chrono::steady_clock::time_point at;
};

// Records every notification; the test owns it, so Release never frees it.
class RecordingSink final : public IMAPIAdviseSink {
public:
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG OnNotify(ULONG count, NOTIFICATION* notifications) override {
        EXPECT_EQ(count, 1u);
        const OBJECT_NOTIFICATION& o = notifications[0].info.obj;
        Event e;
        e.type = notifications[0].ulEventType;
        e.objType = o.ulObjType;
        e.id.assign(o.lpEntryID, o.lpEntryID + o.cbEntryID);
        if (o.lpParentID) e.parent.assign(o.lpParentID, o.lpParentID + o.cbParentID);
        if (o.lpOldParentID) e.oldParent.assign(o.lpOldParentID, o.lpOldParentID + o.cbOldParentID);
        e.at = std::chrono::steady_clock::now();
        if (delay.count()) std::this_thread::sleep_for(delay);
        std::lock_guard lock(mutex);
        events.push_back(e);
        changed.notify_all();
        return 0;
    }
    // Waits until `n` events arrived (or 5 s passed) and returns them.
    std::vector<Event> WaitFor(std::size_t n) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return events.size() >= n; });
        return events;
    }
    std::size_t Count() {
        std::lock_guard lock(mutex);
        return events.size();
    }

    std::atomic<ULONG> refs{1};
    std::chrono::milliseconds delay{0};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
};

class MapiNotify : public MapiTest {
protected:
    void SetUp() override {
        // Forked writers run beside the notification thread.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        MapiTest::SetUp();
    }
    void TearDown() override {
        store::Notifier::SetSafetyInterval(std::chrono::milliseconds(0));
        for (ULONG c : connections) session->Unadvise(c);
        MapiTest::TearDown();
    }
    void Advise(ULONG mask = 0x7C, const Bytes* on = nullptr) {
        ULONG connection = 0;
        ASSERT_EQ(session->Advise(on ? 20 : 0, on ? on->data() : nullptr, mask, &sink, &connection), 0);
        connections.push_back(connection);
    }
    // A message created, then filled and released, as a messaging client stores one.
    Bytes Deliver(IMAPIFolder* folder, const char16_t* subject) {
        Ptr<IMessage> message;
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.Out()), 0);
        SPropValue values[] = {Unicode(PR_SUBJECT_W, subject), Long(PR_MESSAGE_FLAGS, 0)};
        EXPECT_EQ(message->SetProps(2, values, nullptr), 0);
        Ptr<IUnknown> stream;
        EXPECT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
        ULONG written = 0;
        static_cast<IStream*>(stream.get())->Write(u"body", 8, &written);
        return EntryIdOf(message.get());
    }

    RecordingSink sink;
    std::vector<ULONG> connections;
};

TEST_F(MapiNotify, CreatedThenFilledGivesOneCreatedAndOneModified) {
    Advise();
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = Deliver(inbox.get(), u"new");
    std::vector<Event> events = sink.WaitFor(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, fnevObjectCreated);
    EXPECT_EQ(events[1].type, fnevObjectModified);
    for (const Event& e : events) {
        EXPECT_EQ(e.objType, MAPI_MESSAGE);
        EXPECT_EQ(e.id, id);
        EXPECT_EQ(e.parent, EntryIdOf(inbox.get()));
    }
    // Reading a message changes nothing and notifies nothing.
    Ptr<IMessage> read = OpenMessage(id);
    Ptr<IUnknown> body;
    ASSERT_EQ(read->OpenProperty(PR_BODY_W, nullptr, 0, MAPI_MODIFY, body.Out()), 0);
    char buffer[8];
    ULONG n = 0;
    static_cast<IStream*>(body.get())->Read(buffer, 8, &n);
    body.reset();
    read.reset();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sink.Count(), 2u);
}

TEST_F(MapiNotify, FoldersMovesCopiesAndDeletionsAreNotifiedInOrder) {
    Advise();
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPIFolder> work = Folder(u"Inbox/Work");  // created: folder
    Bytes id = NewMessage(inbox.get());             // created, modified
    SBinary bin{20, id.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->CopyMessages(&list, nullptr, work.get(), 0, nullptr, MESSAGE_MOVE), 0);  // moved
    ASSERT_EQ(work->CopyMessages(&list, nullptr, inbox.get(), 0, nullptr, 0), 0);             // copied
    ASSERT_EQ(work->DeleteMessages(&list, 0, nullptr, 0), 0);                                 // deleted
    std::vector<Event> events = sink.WaitFor(6);
    ASSERT_EQ(events.size(), 6u);
    const ULONG expected[] = {fnevObjectCreated, fnevObjectCreated, fnevObjectModified,
                              fnevObjectMoved,   fnevObjectCopied,  fnevObjectDeleted};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(events[i].type, expected[i]) << i;
    EXPECT_EQ(events[0].objType, MAPI_FOLDER);
    EXPECT_EQ(events[3].id, id);
    EXPECT_EQ(events[3].parent, EntryIdOf(work.get()));
    EXPECT_EQ(events[3].oldParent, EntryIdOf(inbox.get()));
    EXPECT_NE(events[4].id, id);
    EXPECT_EQ(events[5].id, id);
}

TEST_F(MapiNotify, MaskFilterAndUnadviseLimitDelivery) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    Bytes inboxId = EntryIdOf(inbox.get());
    Advise(fnevObjectCreated, &inboxId);
    NewMessage(drafts.get());
    Bytes id = NewMessage(inbox.get());
    std::vector<Event> events = sink.WaitFor(1);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(sink.Count(), 1u);
    EXPECT_EQ(events[0].id, id);
    ASSERT_EQ(session->Unadvise(connections.back()), 0);
    connections.clear();
    NewMessage(inbox.get());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_EQ(session->Unadvise(12345), MAPI_E_NOT_FOUND);
}

TEST_F(MapiNotify, RegistrationOutlivesItsSessionAndEndsThroughAnother) {
    Advise();
    session->Logoff(0, 0, 0);
    session = Logon();
    NewMessage(Folder(u"Inbox").get());
    EXPECT_EQ(sink.WaitFor(2).size(), 2u);
    ASSERT_EQ(session->Unadvise(connections.back()), 0);
    connections.clear();
    EXPECT_EQ(sink.refs.load(), 1u);  // the store gave back its reference
}

TEST_F(MapiNotify, LogoffReturnsOnceTheSessionsChangesAreDelivered) {
    sink.delay = 20ms;
    Advise();
    Ptr<IMAPISession> writer = Logon();
    {
        Ptr<IMAPITable> stores;
        ASSERT_EQ(writer->GetMsgStoresTable(0, stores.Out()), 0);
    }
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    // Through the writer session: open the folder there.
    Bytes inboxId = EntryIdOf(inbox.get());
    Ptr<IUnknown> object;
    ULONG type = 0;
    ASSERT_EQ(writer->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()), 0);
    Ptr<IMAPIFolder> folder = std::move(object).As<IMAPIFolder>();
    for (int i = 0; i < 5; ++i) Deliver(folder.get(), u"restored");
    folder.reset();
    ASSERT_EQ(writer->Logoff(0, 0, 0), 0);
    EXPECT_EQ(sink.Count(), 10u);
}

// A sink that hands every notification to a window with a synchronous send.
class SendingSink final : public IMAPIAdviseSink {
public:
    explicit SendingSink(platform::ui::HWND target) : window(target) {}
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    ULONG OnNotify(ULONG, NOTIFICATION*) override {
        platform::ui::SendMessageW(window, platform::ui::WM_COMMAND, 40096, 0);
        return 0;
    }
    std::atomic<ULONG> refs{1};
    platform::ui::HWND window;
};

TEST_F(MapiNotify, LogoffRunsWhatASinkSendsToTheWaitingThreadsWindow) {
    const auto owner = std::this_thread::get_id();
    int ran = 0;
    bool elsewhere = false;
    platform::ui::HWND window =
        platform::ui::CreateWindowW([&](platform::ui::HWND, std::uint32_t message, platform::ui::WPARAM,
                                        platform::ui::LPARAM) -> platform::ui::LRESULT {
            if (message != platform::ui::WM_COMMAND) return 0;
            elsewhere = elsewhere || std::this_thread::get_id() != owner;
            ++ran;
            return 0;
        });
    SendingSink sending(window);
    ULONG connection = 0;
    ASSERT_EQ(session->Advise(0, nullptr, fnevObjectCreated | fnevObjectModified, &sending, &connection), 0);
    struct Unadvise {
        IMAPISession* session;
        ULONG connection;
        ~Unadvise() { session->Unadvise(connection); }
    } unadvise{session.get(), connection};

    // This thread owns the window and runs no loop: only the wait inside Logoff can serve the
    // sink's sends, and the sink delivers nothing more until they have run.
    Ptr<IMAPISession> writer = Logon();
    Bytes inboxId = EntryIdOf(Folder(u"Inbox").get());
    {
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(writer->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()), 0);
        Ptr<IMAPIFolder> folder = std::move(object).As<IMAPIFolder>();
        for (int i = 0; i < 3; ++i) Deliver(folder.get(), u"sent on");
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(writer->Logoff(0, 0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the wait did not stall on the waiting sink";
    EXPECT_EQ(ran, 6) << "created and modified of three messages";
    EXPECT_FALSE(elsewhere);
}

TEST_F(MapiNotify, ChangesOfAnotherProcessArriveInOrderAndPromptly) {
    // With the safety poll a minute away, changes that arrive within WaitFor's few seconds were
    // woken for by the store's change events: no bound that a busy machine could overrun.
    store::Notifier::SetSafetyInterval(std::chrono::minutes(1));
    Advise();
    Bytes inboxId = EntryIdOf(Folder(u"Inbox").get());
    const pid_t child = ::fork();
    if (child == 0) {
        // The writer: its own session, three messages, one moved and one deleted.
        Ptr<IMAPISession> s;
        if (MAPILogonEx(0, nullptr, nullptr, 0, s.Out()) != 0) ::_exit(2);
        Ptr<IUnknown> object;
        ULONG type = 0;
        if (s->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()) != 0) ::_exit(3);
        Ptr<IMAPIFolder> inbox = std::move(object).As<IMAPIFolder>();
        Ptr<IMAPIFolder> work;
        if (inbox->CreateFolder(0, u"Work", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, work.Out()) != 0)
            ::_exit(4);
        std::vector<Bytes> ids;
        for (int i = 0; i < 3; ++i) ids.push_back(Deliver(inbox.get(), u"remote"));
        SBinary a{20, ids[0].data()}, b{20, ids[1].data()};
        ENTRYLIST move{1, &a}, remove{1, &b};
        if (inbox->CopyMessages(&move, nullptr, work.get(), 0, nullptr, MESSAGE_MOVE) != 0) ::_exit(5);
        if (inbox->DeleteMessages(&remove, 0, nullptr, 0) != 0) ::_exit(6);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::vector<Event> events = sink.WaitFor(9);
    ASSERT_EQ(events.size(), 9u);
    const ULONG expected[] = {fnevObjectCreated,  fnevObjectCreated,  fnevObjectModified,
                              fnevObjectCreated,  fnevObjectModified, fnevObjectCreated,
                              fnevObjectModified, fnevObjectMoved,    fnevObjectDeleted};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(events[i].type, expected[i]) << i;
    EXPECT_EQ(events[0].objType, MAPI_FOLDER);
    EXPECT_EQ(events[1].id, events[2].id);
    EXPECT_EQ(events[7].id, events[1].id);
    EXPECT_EQ(events[8].id, events[3].id);
}

// Where the file system gives no change events, the thread looks at the log every few
// milliseconds instead: another process's changes still arrive, in order.
TEST_F(MapiNotify, WithoutChangeEventsAnotherProcessesChangesStillArrive) {
    platform::faults::Plan("inotify_init1", 1, true);
    Advise();
    Bytes inboxId = EntryIdOf(Folder(u"Inbox").get());
    std::this_thread::sleep_for(50ms);  // the thread is asleep when the change comes
    const pid_t child = ::fork();
    if (child == 0) {
        Ptr<IMAPISession> s;
        if (MAPILogonEx(0, nullptr, nullptr, 0, s.Out()) != 0) ::_exit(2);
        Ptr<IUnknown> object;
        ULONG type = 0;
        if (s->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()) != 0) ::_exit(3);
        Deliver(std::move(object).As<IMAPIFolder>().get(), u"remote");
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<Event> events = sink.WaitFor(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, fnevObjectCreated);
    EXPECT_EQ(events[1].type, fnevObjectModified);
    EXPECT_EQ(events[0].id, events[1].id);
}

TEST_F(MapiNotify, WritersInSeveralProcessesLoseNothing) {
    Bytes inboxId = EntryIdOf(Folder(u"Inbox").get());
    constexpr int kWriters = 3, kEach = 60;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = ::fork();
        if (child == 0) {
            Ptr<IMAPISession> s;
            if (MAPILogonEx(0, nullptr, nullptr, 0, s.Out()) != 0) ::_exit(2);
            Ptr<IUnknown> object;
            ULONG type = 0;
            if (s->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()) != 0) ::_exit(3);
            Ptr<IMAPIFolder> inbox = std::move(object).As<IMAPIFolder>();
            for (int i = 0; i < kEach; ++i) {
                Ptr<IMessage> message;
                if (inbox->CreateMessage(nullptr, 0, message.Out()) != 0) ::_exit(4);
                SPropValue v = Long(PR_MSG_STATUS, w * 1000 + i);
                if (message->SetProps(1, &v, nullptr) != 0) ::_exit(5);
            }
            ::_exit(0);
        }
        ASSERT_GT(child, 0);
        children.push_back(child);
    }
    // This process writes at the same time.
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    for (int i = 0; i < kEach; ++i) NewMessage(inbox.get());
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Ptr<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.Out()), 0);
    ULONG count = 0;
    ASSERT_EQ(contents->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, static_cast<ULONG>((kWriters + 1) * kEach));
}

// A sink that works with the store from inside OnNotify, as a program handing a new message on
// at once does: its own logon, a change, a logoff.
class WorkingSink final : public IMAPIAdviseSink {
public:
    explicit WorkingSink(Bytes drafts) : drafts_(std::move(drafts)) {}
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    ULONG OnNotify(ULONG, NOTIFICATION* n) override {
        if (n[0].ulEventType != fnevObjectCreated || done.load()) return 0;
        Ptr<IMAPISession> s;
        if (MAPILogonEx(0, nullptr, nullptr, 0, s.Out()) != 0) return 0;
        Ptr<IUnknown> object;
        ULONG type = 0;
        if (s->OpenEntry(20, drafts_.data(), nullptr, 0, &type, object.Out()) == 0) {
            Ptr<IMessage> message;
            static_cast<IMAPIFolder*>(object.get())->CreateMessage(nullptr, 0, message.Out());
        }
        object.reset();
        s->Logoff(0, 0, 0);
        done = true;
        return 0;
    }
    std::atomic<bool> done{false};

private:
    Bytes drafts_;
};

TEST_F(MapiNotify, LogoffInsideOnNotifyDoesNotWaitForItself) {
    WorkingSink working(EntryIdOf(Folder(u"Drafts").get()));
    ULONG connection = 0;
    ASSERT_EQ(session->Advise(0, nullptr, fnevObjectCreated, &working, &connection), 0);
    NewMessage(Folder(u"Inbox").get());
    for (int i = 0; i < 500 && !working.done; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(working.done);
    ASSERT_EQ(session->Unadvise(connection), 0);
    Ptr<IMAPITable> drafts;
    ASSERT_EQ(Folder(u"Drafts")->GetContentsTable(0, drafts.Out()), 0);
    ULONG count = 0;
    drafts->GetRowCount(0, &count);
    EXPECT_EQ(count, 1u);
}

TEST_F(MapiNotify, OldChangeLogEntriesArePruned) {
    {
        platform::sql::Db db;
        ASSERT_TRUE(db.Open(platform::device::PlatformFile("messages.db")));
        ASSERT_TRUE(db.Exec("INSERT INTO changes (event, objtype, obj, time) VALUES (4, 5, 1, 0), (16, 5, 1, 0)"));
    }
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    for (int i = 0; i < 130; ++i) NewMessage(inbox.get());  // a created and a modified entry each
    platform::sql::Db db;
    ASSERT_TRUE(db.Open(platform::device::PlatformFile("messages.db")));
    platform::sql::Stmt old = db.Prepare("SELECT count(*) FROM changes WHERE time < 1000");
    ASSERT_TRUE(old.Step());
    EXPECT_EQ(old.Int(0), 0);
    platform::sql::Stmt recent = db.Prepare("SELECT count(*) FROM changes");
    ASSERT_TRUE(recent.Step());
    EXPECT_GE(recent.Int(0), 256);
}

// Pruning goes through an index on the log's time (a scan of the whole log every 256 changes
// made a long restore slower with every message); a store made before the index gets it.
TEST_F(MapiNotify, AStoreWithoutTheLogsTimeIndexGetsItAndPrunesThroughIt) {
    {
        platform::sql::Db db;
        ASSERT_TRUE(db.Open(platform::device::PlatformFile("messages.db")));
        ASSERT_TRUE(db.Exec("DROP INDEX changes_time"));
        ASSERT_TRUE(db.Exec("INSERT INTO changes (event, objtype, obj, time) VALUES (4, 5, 1, 0)"));
    }
    Ptr<IMAPISession> later = Logon();
    platform::sql::Db db;
    ASSERT_TRUE(db.Open(platform::device::PlatformFile("messages.db")));
    platform::sql::Stmt index = db.Prepare("SELECT 1 FROM sqlite_master WHERE name = 'changes_time'");
    EXPECT_TRUE(index.Step());
    platform::sql::Stmt plan = db.Prepare("EXPLAIN QUERY PLAN DELETE FROM changes WHERE time < 5");
    ASSERT_TRUE(plan.Step());
    EXPECT_NE(plan.Text(3).find("changes_time"), std::string::npos) << plan.Text(3);
    later->Logoff(0, 0, 0);
}

// A sink that ends the process from the notification thread.
class ExitingSink final : public IMAPIAdviseSink {
public:
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = this;
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    ULONG OnNotify(ULONG, NOTIFICATION*) override { std::exit(3); }
};

TEST_F(MapiNotify, ProcessExitEndsTheThreadWhereverItIs) {
    const auto start = std::chrono::steady_clock::now();
    // The program's failure path with the thread idle.
    Advise();
    EXPECT_EXIT(
        {
            NewMessage(Folder(u"Inbox").get());
            sink.WaitFor(2);
            tallymere::FatalError(u"Bye.", u"Test");
        },
        ::testing::ExitedWithCode(1), "Test: Bye\\.");
    // An exit on the notification thread itself.
    EXPECT_EXIT(
        {
            ExitingSink exiting;
            ULONG connection = 0;
            session->Advise(0, nullptr, fnevObjectCreated, &exiting, &connection);
            NewMessage(Folder(u"Inbox").get());
            std::this_thread::sleep_for(10s);
            std::exit(9);
        },
        ::testing::ExitedWithCode(3), "");
    // An exit while a sink is busy for long.
    EXPECT_EXIT(
        {
            sink.delay = 60s;
            NewMessage(Folder(u"Inbox").get());
            std::this_thread::sleep_for(200ms);
            std::exit(4);
        },
        ::testing::ExitedWithCode(4), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

}  // namespace
