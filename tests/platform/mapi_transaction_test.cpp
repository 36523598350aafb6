// A message's changes are stored together, when the message commits: at its last release or
// at SaveChanges. Until then only the open message sees them; a process that dies first leaves
// nothing of them behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mapi_fixture.h"
#include "platform/faults.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

using MapiTransaction = MapiTest;

ULONG RowCount(IMAPITable* table) {
    ULONG count = 0;
    EXPECT_EQ(table->GetRowCount(0, &count), 0);
    return count;
}

HRESULT Open(IMAPISession* session, const Bytes& id) {
    Ptr<IUnknown> object;
    ULONG type = 0;
    return session->OpenEntry(static_cast<ULONG>(id.size()), id.data(), nullptr, 0, &type, object.Out());
}

void WriteStream(IMAPIProp* object, ULONG tag, const void* bytes, ULONG size) {
    Ptr<IUnknown> stream;
    ASSERT_EQ(object->OpenProperty(tag, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
    ULONG written = 0;
    ASSERT_EQ(static_cast<IStream*>(stream.get())->Write(bytes, size, &written), 0);
}

// Creates and fills a message as a restore does, in a child process with a session of its own,
// which ends at `Operation:N!` of the fault plan (or at the end, without releasing anything).
int FillInChild(const Bytes& folderId, const char* crashAt) {
    const pid_t child = ::fork();
    if (child == 0) {
        platform::faults::Reset();
        if (crashAt) platform::faults::PlanCrash(crashAt, 1);
        Ptr<IMAPISession> s;
        if (MAPILogonEx(0, nullptr, nullptr, 0, s.Out()) != 0) ::_exit(2);
        Ptr<IUnknown> object;
        ULONG type = 0;
        if (s->OpenEntry(20, folderId.data(), nullptr, 0, &type, object.Out()) != 0) ::_exit(3);
        Ptr<IMessage> message;
        if (static_cast<IMAPIFolder*>(object.get())->CreateMessage(nullptr, 0, message.Out()) != 0) ::_exit(4);
        EntryIdOf(message.get());
        SPropValue subject = Unicode(PR_SUBJECT_W, u"half");
        message->SetProps(1, &subject, nullptr);
        SPropValue to[] = {Long(PR_RECIPIENT_TYPE, 1), Unicode(PR_EMAIL_ADDRESS_W, u"+1")};
        ADRENTRY entry{0, 2, to};
        ADRLIST list{1, &entry};
        message->ModifyRecipients(MODRECIP_ADD, &list);
        Ptr<IAttach> attach;
        ULONG number = 0;
        message->CreateAttach(nullptr, 0, &number, attach.Out());
        ::_exit(0);  // as a kill would: nothing released
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MapiTransaction, ANewMessageAppearsWholeAtItsLastReleaseAndNotBefore) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMAPISession> other = Logon();
    Bytes id;
    {
        Ptr<IMessage> message;
        ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
        id = EntryIdOf(message.get());
        ASSERT_EQ(id.size(), 20u);
        SPropValue values[] = {Unicode(PR_SUBJECT_W, u"whole"), Long(PR_MESSAGE_FLAGS, 1)};
        ASSERT_EQ(message->SetProps(2, values, nullptr), 0);
        SPropValue to[] = {Long(PR_RECIPIENT_TYPE, 1), Unicode(PR_EMAIL_ADDRESS_W, u"+100")};
        ADRENTRY entry{0, 2, to};
        ADRLIST list{1, &entry};
        ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);
        WriteStream(message.get(), PR_BODY_W, u"hi", 4);
        Ptr<IAttach> attach;
        ULONG number = 0;
        ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
        WriteStream(attach.get(), PR_ATTACH_DATA_BIN, "12345", 5);
        attach.reset();

        // The open message sees everything; nobody else sees anything.
        EXPECT_EQ(GetString(message.get(), PR_SUBJECT_W), u"whole");
        EXPECT_EQ(GetLong(message.get(), PR_MESSAGE_SIZE), 4 + 5);
        Ptr<IMAPITable> recipients, attachments;
        ASSERT_EQ(message->GetRecipientTable(0, recipients.Out()), 0);
        ASSERT_EQ(message->GetAttachmentTable(0, attachments.Out()), 0);
        EXPECT_EQ(RowCount(recipients.get()), 1u);
        EXPECT_EQ(RowCount(attachments.get()), 1u);
        EXPECT_EQ(Messages(inbox.get()), 0u);
        EXPECT_EQ(Open(other.get(), id), MAPI_E_NOT_FOUND);
    }
    EXPECT_EQ(Messages(inbox.get()), 1u);
    Ptr<IMessage> stored = OpenMessage(id);
    EXPECT_EQ(GetString(stored.get(), PR_SUBJECT_W), u"whole");
    EXPECT_EQ(GetLong(stored.get(), PR_MESSAGE_SIZE), 9);
    Ptr<IAttach> attach;
    ASSERT_EQ(stored->OpenAttach(0, nullptr, 0, attach.Out()), 0);
    EXPECT_EQ(GetLong(attach.get(), PR_ATTACH_SIZE), 5);
    other->Logoff(0, 0, 0);
}

TEST_F(MapiTransaction, AProcessThatDiesBeforeTheReleaseLeavesNothing) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes inboxId = EntryIdOf(inbox.get());
    EXPECT_EQ(FillInChild(inboxId, nullptr), 0);
    EXPECT_EQ(FillInChild(inboxId, "CreateAttach"), platform::faults::kCrashStatus);
    EXPECT_EQ(FillInChild(inboxId, "ModifyRecipients"), platform::faults::kCrashStatus);
    EXPECT_EQ(Messages(inbox.get()), 0u);
    // The identifiers the dead processes were given are never handed out again.
    const Bytes first = NewMessage(inbox.get());
    const Bytes second = NewMessage(inbox.get());
    EXPECT_NE(first, second);
    EXPECT_EQ(Messages(inbox.get()), 2u);
}

TEST_F(MapiTransaction, ChangesToAStoredMessageAreSeenByOthersOnlyAfterTheCommit) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = NewMessage(inbox.get(), u"before");
    {
        Ptr<IMessage> message = OpenMessage(id);
        ASSERT_EQ(message->CreateAttach(nullptr, 0, nullptr, Ptr<IAttach>().Out()), 0);
    }
    Ptr<IMessage> mine = OpenMessage(id);
    SPropValue subject = Unicode(PR_SUBJECT_W, u"after");
    ASSERT_EQ(mine->SetProps(1, &subject, nullptr), 0);
    ASSERT_EQ(mine->DeleteAttach(0, 0, nullptr, 0), 0);
    EXPECT_EQ(GetLong(mine.get(), PR_HASATTACH).value_or(-1) & 0xFFFF, 0);
    {
        Ptr<IMessage> theirs = OpenMessage(id);
        EXPECT_EQ(GetString(theirs.get(), PR_SUBJECT_W), u"before");
        EXPECT_EQ(GetLong(theirs.get(), PR_HASATTACH).value_or(-1) & 0xFFFF, 1);
    }
    // SaveChanges commits now and says whether it could; the message stays usable.
    platform::faults::Plan("SaveChanges", 1);
    EXPECT_NE(mine->SaveChanges(0), 0);
    EXPECT_EQ(GetString(OpenMessage(id).get(), PR_SUBJECT_W), u"before");
    EXPECT_EQ(mine->SaveChanges(0), 0);
    Ptr<IMessage> theirs = OpenMessage(id);
    EXPECT_EQ(GetString(theirs.get(), PR_SUBJECT_W), u"after");
    Ptr<IAttach> gone;
    EXPECT_EQ(theirs->OpenAttach(0, nullptr, 0, gone.Out()), MAPI_E_NOT_FOUND);
}

TEST_F(MapiTransaction, AMessageDeletedMeanwhileIsNotBroughtBackByItsCommit) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = NewMessage(inbox.get());
    Ptr<IMessage> message = OpenMessage(id);
    SPropValue subject = Unicode(PR_SUBJECT_W, u"late");
    ASSERT_EQ(message->SetProps(1, &subject, nullptr), 0);
    SBinary entry{20, id.data()};
    ENTRYLIST list{1, &entry};
    ASSERT_EQ(inbox->DeleteMessages(&list, 0, nullptr, 0), 0);
    EXPECT_EQ(message->SaveChanges(0), MAPI_E_OBJECT_DELETED);
    message.reset();
    EXPECT_EQ(Messages(inbox.get()), 0u);
    // A deleted message is not found; what is not an identifier of this store's form is invalid.
    EXPECT_EQ(Open(session.get(), id), MAPI_E_NOT_FOUND);
    Bytes foreign = id;
    foreign[4] ^= 0xFF;
    EXPECT_EQ(Open(session.get(), foreign), MAPI_E_NOT_FOUND);
    EXPECT_EQ(Open(session.get(), Bytes(id.begin(), id.begin() + 16)), MAPI_E_INVALID_ENTRYID);
}

TEST_F(MapiTransaction, ARefusedCallChangesNothing) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
    SPropValue values[] = {Unicode(PR_SUBJECT_W, u"kept"), Long(PROP_TAG(0x1102, 0x6000), 1)};  // multi-valued
    EXPECT_EQ(message->SetProps(2, values, nullptr), MAPI_E_INVALID_TYPE);
    EXPECT_EQ(GetString(message.get(), PR_SUBJECT_W), u"<missing>");
    SPropValue bad[] = {Long(PR_ROWID, 7)};
    ADRENTRY entry{0, 1, bad};
    ADRLIST list{1, &entry};
    EXPECT_EQ(message->ModifyRecipients(MODRECIP_REMOVE, &list), MAPI_E_NOT_FOUND);
    Ptr<IMAPITable> recipients;
    ASSERT_EQ(message->GetRecipientTable(0, recipients.Out()), 0);
    EXPECT_EQ(RowCount(recipients.get()), 0u);
}

}  // namespace
