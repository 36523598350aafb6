// Reading and writing many messages cheaply: an opening that only asks whether an object
// exists, a contents table that reads its messages whole only when they are opened, and write
// batches that commit a thousand writes (or a second's worth) at a time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mapi_fixture.h"
#include "platform/kernel.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

using MapiBulk = MapiTest;

std::u16string Numbered(std::size_t n) {
    std::u16string text = u"m";
    for (char c : std::to_string(n)) text += static_cast<char16_t>(c);
    return text;
}

HRESULT OpenDeferred(IMAPISession* session, const Bytes& id, Ptr<IUnknown>* object, ULONG* type) {
    return session->OpenEntry(static_cast<ULONG>(id.size()), id.data(), nullptr, MAPI_DEFERRED_ERRORS, type,
                              object->Out());
}

// In a forked child: a session of its own in `s`, the inbox opened through it and a write batch
// begun; the child ends with status 2, 3 or 4 when one of them fails.
Ptr<IUnknown> InboxOfABatchWriter(const Bytes& inboxId, Ptr<IMAPISession>* s) {
    if (MAPILogonEx(0, nullptr, nullptr, 0, s->Out()) != 0) ::_exit(2);
    Ptr<IUnknown> folder;
    ULONG t = 0;
    if ((*s)->OpenEntry(20, inboxId.data(), nullptr, 0, &t, folder.Out()) != 0) ::_exit(3);
    if (HrBeginWriteBatch(s->get(), 1000, 60'000) != 0) ::_exit(4);
    return folder;
}

// The files of the process the store's library made for itself on the host's disk.
std::vector<std::string> TemporaryFilesOpen() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.find("etilqs_") != std::string::npos) found.push_back(target);
    }
    return found;
}

// The savepoint each message of a batch gets keeps its copies of pages in memory: a batch
// writes nothing to temporary files on the host's disk, however much each message changes.
TEST_F(MapiBulk, ABatchOfWritesUsesNoTemporaryFileOnTheHostsDisk) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    ASSERT_EQ(HrBeginWriteBatch(session.get(), 1000, 60'000), 0);
    const std::u16string recipient(40, u'r');
    for (int i = 0; i < 200; ++i) {
        Ptr<IMessage> message;
        ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        const std::u16string text = Numbered(static_cast<std::size_t>(i));
        SPropValue subject = Unicode(PR_SUBJECT_W, text.c_str());
        ASSERT_EQ(message->SetProps(1, &subject, nullptr), 0);
        // Many recipient rows: a message that changes many pages written before it in the batch.
        std::vector<std::vector<SPropValue>> rows;
        std::vector<ADRENTRY> entries;
        for (int r = 0; r < 60; ++r) {
            rows.push_back({Long(PR_RECIPIENT_TYPE, MAPI_TO), Unicode(PR_EMAIL_ADDRESS_W, recipient.c_str())});
        }
        for (auto& row : rows) entries.push_back({0, static_cast<ULONG>(row.size()), row.data()});
        ADRLIST list{static_cast<ULONG>(entries.size()), entries.data()};
        ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);
        ASSERT_EQ(message->SaveChanges(0), 0);
    }
    EXPECT_EQ(TemporaryFilesOpen(), std::vector<std::string>{});
    ASSERT_EQ(HrEndWriteBatch(session.get()), 0);
}

// A deferred opening tells whether the object exists and what it is; what is read from it
// afterwards is what a full opening gives.
TEST_F(MapiBulk, ADeferredOpeningTellsExistenceAndReadsTheRestWhenAsked) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = NewMessage(inbox.get(), u"later");
    {
        Ptr<IMessage> message = OpenMessage(id);
        SPropValue to[] = {Long(PR_RECIPIENT_TYPE, 1), Unicode(PR_EMAIL_ADDRESS_W, u"+100")};
        ADRENTRY entry{0, 2, to};
        ADRLIST list{1, &entry};
        ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);
        ASSERT_EQ(message->SaveChanges(0), 0);
    }
    Ptr<IUnknown> object;
    ULONG type = 0;
    ASSERT_EQ(OpenDeferred(session.get(), id, &object, &type), 0);
    EXPECT_EQ(type, MAPI_MESSAGE);
    Ptr<IMessage> message = std::move(object).As<IMessage>();
    EXPECT_EQ(GetString(message.get(), PR_SUBJECT_W), u"later");
    Ptr<IMAPITable> recipients;
    ASSERT_EQ(message->GetRecipientTable(0, recipients.Out()), 0);
    ULONG rows = 0;
    ASSERT_EQ(recipients->GetRowCount(0, &rows), 0);
    EXPECT_EQ(rows, 1u);
    message.reset();

    // A folder opened so takes new messages.
    Ptr<IUnknown> folderObject;
    ASSERT_EQ(OpenDeferred(session.get(), EntryIdOf(inbox.get()), &folderObject, &type), 0);
    EXPECT_EQ(type, MAPI_FOLDER);
    NewMessage(static_cast<IMAPIFolder*>(folderObject.get()), u"second");
    EXPECT_EQ(Messages(inbox.get()), 2u);

    // A deleted message is not found; neither is one of another store's form.
    SBinary bin{static_cast<ULONG>(id.size()), const_cast<BYTE*>(id.data())};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);
    Ptr<IUnknown> gone;
    EXPECT_EQ(OpenDeferred(session.get(), id, &gone, &type), MAPI_E_NOT_FOUND);
    Bytes foreign = id;
    foreign[5] ^= 0xFF;
    EXPECT_EQ(OpenDeferred(session.get(), foreign, &gone, &type), MAPI_E_NOT_FOUND);
}

// A contents table asked for entry identifiers alone gives every message, across its batches;
// the messages opened between its rows come whole and right, also after a write in between.
TEST_F(MapiBulk, AContentsTableOfIdentifiersGivesEveryRowAndTheMessagesOpenedBetweenThem) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPIFolder> other = Folder(u"Other");
    std::vector<Bytes> ids;
    for (int i = 0; i < 150; ++i) ids.push_back(NewMessage(inbox.get(), Numbered(i).c_str()));

    Ptr<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.Out()), 0);
    ULONG tags[] = {PR_ENTRYID};
    SPropTagArray columns{1, tags};
    ASSERT_EQ(contents->SetColumns(&columns, 0), 0);
    std::vector<Bytes> seen;
    for (;;) {
        Rows rows;
        ASSERT_EQ(contents->QueryRows(1, 0, rows.Out()), 0);
        if (rows.size() == 0) break;
        ASSERT_EQ(rows->aRow[0].cValues, 1u);
        ASSERT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_ENTRYID);
        const SBinary& bin = rows->aRow[0].lpProps[0].Value.bin;
        seen.emplace_back(bin.lpb, bin.lpb + bin.cb);
        // Every third message is opened, and one write lands in the middle of a batch.
        if (seen.size() % 3 == 0) {
            Ptr<IMessage> message = OpenMessage(seen.back());
            EXPECT_EQ(GetString(message.get(), PR_SUBJECT_W), Numbered(seen.size() - 1));
        }
        if (seen.size() == 70) NewMessage(other.get(), u"meanwhile");
    }
    EXPECT_EQ(seen, ids);
}

// Batched writes reach other sessions at the commit: once a thousand writes gathered, at a pace
// once the time is up, and at the end; a process that is killed in between leaves the
// uncommitted writes out, each message whole or absent.
TEST_F(MapiBulk, BatchedWritesReachOthersAtTheirCommitAndAKillLeavesTheRestOut) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPISession> other = Logon();
    Ptr<IUnknown> object;
    ULONG type = 0;
    const Bytes inboxId = EntryIdOf(inbox.get());
    ASSERT_EQ(other->OpenEntry(20, inboxId.data(), nullptr, 0, &type, object.Out()), 0);
    Ptr<IMAPIFolder> seenByOther = std::move(object).As<IMAPIFolder>();

    ASSERT_EQ(HrBeginWriteBatch(session.get(), 1000, 60'000), 0);
    for (int i = 0; i < 3; ++i) NewMessage(inbox.get(), u"bulk");
    EXPECT_EQ(Messages(inbox.get()), 3u) << "the writer sees its own writes";
    ASSERT_EQ(HrPaceWriteBatch(session.get()), 0);
    EXPECT_EQ(Messages(seenByOther.get()), 0u) << "nothing is committed before a thousand writes";
    for (int i = 3; i < 999; ++i) NewMessage(inbox.get(), u"bulk");
    EXPECT_EQ(Messages(seenByOther.get()), 0u);
    NewMessage(inbox.get(), u"bulk");
    EXPECT_EQ(Messages(seenByOther.get()), 1000u) << "the thousandth write commits them";
    NewMessage(inbox.get(), u"last");
    ASSERT_EQ(HrEndWriteBatch(session.get()), 0);
    EXPECT_EQ(Messages(seenByOther.get()), 1001u);
    ASSERT_EQ(HrEndWriteBatch(session.get()), 0) << "an ended batch ends again at no cost";

    // A pace commits once the batch's time is up, whether or not a write came since.
    ASSERT_EQ(HrBeginWriteBatch(session.get(), 1000, 1), 0);
    NewMessage(inbox.get(), u"timed");
    ::usleep(5'000);
    ASSERT_EQ(HrPaceWriteBatch(session.get()), 0);
    EXPECT_EQ(Messages(seenByOther.get()), 1002u);
    ASSERT_EQ(HrEndWriteBatch(session.get()), 0);

    // A child that writes in bulk and is killed before a commit leaves nothing; the identifiers
    // it was given (which a restore writes into its archive at once) are never given again.
    int ids[2];
    ASSERT_EQ(::pipe(ids), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ids[0]);
        Ptr<IMAPISession> s;
        Ptr<IUnknown> folder = InboxOfABatchWriter(inboxId, &s);
        for (int i = 0; i < 5; ++i) {
            Ptr<IMessage> message;
            if (static_cast<IMAPIFolder*>(folder.get())->CreateMessage(nullptr, 0, message.Out()) != 0) ::_exit(5);
            SPropValue subject = Unicode(PR_SUBJECT_W, u"lost");
            if (message->SetProps(1, &subject, nullptr) != 0) ::_exit(6);
            const Bytes given = EntryIdOf(message.get());
            if (given.size() != 20 || ::write(ids[1], given.data(), 20) != 20) ::_exit(8);
            if (message->SaveChanges(0) != 0 || HrPaceWriteBatch(s.get()) != 0) ::_exit(7);
        }
        ::_exit(0);  // as a kill would: no commit
    }
    ::close(ids[1]);
    std::vector<Bytes> given;
    for (Bytes id(20); ::read(ids[0], id.data(), 20) == 20;) given.push_back(id);
    ::close(ids[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Messages(seenByOther.get()), 1002u);
    EXPECT_EQ(given.size(), 5u);
    for (int i = 0; i < 70; ++i) {
        const Bytes fresh = NewMessage(seenByOther.get(), u"after");  // a connection with no block of its own
        EXPECT_EQ(std::count(given.begin(), given.end(), fresh), 0) << i;
    }
    const ULONG afterKill = 1002 + 70;

    // A child that exits (as a fatal error does) commits what it wrote before it exits.
    const pid_t exiting = ::fork();
    if (exiting == 0) {
        Ptr<IMAPISession> s;
        Ptr<IUnknown> folder = InboxOfABatchWriter(inboxId, &s);
        for (int i = 0; i < 2; ++i) {
            Ptr<IMessage> message;
            if (static_cast<IMAPIFolder*>(folder.get())->CreateMessage(nullptr, 0, message.Out()) != 0) ::_exit(5);
            SPropValue subject = Unicode(PR_SUBJECT_W, u"kept");
            if (message->SetProps(1, &subject, nullptr) != 0 || message->SaveChanges(0) != 0) ::_exit(6);
        }
        platform::ExitProcess(1);
    }
    ::waitpid(exiting, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Messages(seenByOther.get()), afterKill + 2);

    // A session not of the store is refused.
    EXPECT_EQ(HrBeginWriteBatch(nullptr, 1000, 1000), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrPaceWriteBatch(nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrEndWriteBatch(nullptr), MAPI_E_INVALID_PARAMETER);
    other->Logoff(0, 0, 0);
}

}  // namespace
