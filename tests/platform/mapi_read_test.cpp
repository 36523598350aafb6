// Reading the store: a message opened whole, and tables read ahead in batches under one read.
#include <gtest/gtest.h>

#include <string>

#include "mapi_fixture.h"
#include "platform/mapi/tags.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

class MapiRead : public MapiTest {
protected:
    // A message in `folder` with `recipients` recipients and attachments numbered 0, 1, ...
    // holding "data0", "data1", ...
    Bytes Filled(IMAPIFolder* folder, int recipients, int attachments) {
        Ptr<IMessage> message;
        EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.Out()), 0);
        for (int i = 0; i < recipients; ++i) {
            const std::u16string address = u"+49" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            SPropValue values[] = {Long(PR_RECIPIENT_TYPE, MAPI_TO), Unicode(PR_EMAIL_ADDRESS_W, address.c_str())};
            ADRENTRY entry{0, 2, values};
            ADRLIST list{1, &entry};
            EXPECT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);
        }
        for (int i = 0; i < attachments; ++i) {
            Ptr<IAttach> attach;
            ULONG number = 0;
            EXPECT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
            Bytes data{'d', 'a', 't', 'a', static_cast<BYTE>('0' + i)};
            SPropValue value = Binary(PR_ATTACH_DATA_BIN, data);
            EXPECT_EQ(attach->SetProps(1, &value, nullptr), 0);
        }
        return EntryIdOf(message.get());
    }

    static ULONG Count(IMAPITable* table) {
        ULONG rows = 0;
        for (;;) {
            Rows set;
            if (table->QueryRows(1, 0, set.Out()) != 0 || set.size() == 0) return rows;
            ++rows;
        }
    }

    static bool Opens(IMAPISession* s, const Bytes& id) {
        Ptr<IUnknown> object;
        ULONG type = 0;
        return s->OpenEntry(static_cast<ULONG>(id.size()), id.data(), nullptr, 0, &type, object.Out()) == 0;
    }
};

// A message is read whole when it is opened: its recipients and attachments are those it had
// then, whatever another session stores meanwhile, as long as it has not changed itself.
TEST_F(MapiRead, AnOpenedMessageKeepsTheRecipientsAndAttachmentsItWasOpenedWith) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = Filled(inbox.get(), 2, 2);
    Ptr<IMessage> opened = OpenMessage(id);
    {
        Ptr<IMAPISession> other = Logon();
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(other->OpenEntry(20, id.data(), nullptr, 0, &type, object.Out()), 0);
        Ptr<IMessage> changing = std::move(object).As<IMessage>();
        SPropValue values[] = {Long(PR_RECIPIENT_TYPE, MAPI_CC), Unicode(PR_EMAIL_ADDRESS_W, u"+1")};
        ADRENTRY entry{0, 2, values};
        ADRLIST list{1, &entry};
        ASSERT_EQ(changing->ModifyRecipients(MODRECIP_ADD, &list), 0);
        ASSERT_EQ(changing->DeleteAttach(0, 0, nullptr, 0), 0);
        ASSERT_EQ(changing->SaveChanges(0), 0);
        other->Logoff(0, 0, 0);
    }
    Ptr<IMAPITable> recipients, attachments;
    ASSERT_EQ(opened->GetRecipientTable(0, recipients.Out()), 0);
    ASSERT_EQ(opened->GetAttachmentTable(0, attachments.Out()), 0);
    EXPECT_EQ(Count(recipients.get()), 2u);
    EXPECT_EQ(Count(attachments.get()), 2u);
    Ptr<IAttach> first;
    ASSERT_EQ(opened->OpenAttach(0, nullptr, 0, first.Out()), 0);
    EXPECT_EQ(GetBinary(first.get(), PR_ATTACH_DATA_BIN), (Bytes{'d', 'a', 't', 'a', '0'}));
    Ptr<IAttach> missing;
    EXPECT_EQ(opened->OpenAttach(7, nullptr, 0, missing.Out()), MAPI_E_NOT_FOUND);
    first.reset();
    recipients.reset();
    attachments.reset();
    opened.reset();

    // Opened again: what is stored now.
    opened = OpenMessage(id);
    ASSERT_EQ(opened->GetRecipientTable(0, recipients.Out()), 0);
    ASSERT_EQ(opened->GetAttachmentTable(0, attachments.Out()), 0);
    EXPECT_EQ(Count(recipients.get()), 3u);
    EXPECT_EQ(Count(attachments.get()), 1u);
    EXPECT_EQ(opened->OpenAttach(0, nullptr, 0, missing.Out()), MAPI_E_NOT_FOUND);
    ASSERT_EQ(opened->OpenAttach(1, nullptr, 0, first.Out()), 0);
    EXPECT_EQ(GetBinary(first.get(), PR_ATTACH_DATA_BIN), (Bytes{'d', 'a', 't', 'a', '1'}));
}

TEST_F(MapiRead, AMessageSeesItsOwnChangesAndAfterCommittingWhatIsStored) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = Filled(inbox.get(), 1, 1);
    Ptr<IMessage> opened = OpenMessage(id);
    SPropValue values[] = {Long(PR_RECIPIENT_TYPE, MAPI_TO), Unicode(PR_EMAIL_ADDRESS_W, u"+2")};
    ADRENTRY entry{0, 2, values};
    ADRLIST list{1, &entry};
    ASSERT_EQ(opened->ModifyRecipients(MODRECIP_ADD, &list), 0);
    Ptr<IAttach> made;
    ULONG number = 0;
    ASSERT_EQ(opened->CreateAttach(nullptr, 0, &number, made.Out()), 0);
    EXPECT_EQ(number, 1u) << "numbered after the attachment read with the message";
    made.reset();
    Ptr<IMAPITable> recipients, attachments;
    ASSERT_EQ(opened->GetRecipientTable(0, recipients.Out()), 0);
    EXPECT_EQ(Count(recipients.get()), 2u);
    ASSERT_EQ(opened->SaveChanges(0), 0);
    ASSERT_EQ(opened->GetAttachmentTable(0, attachments.Out()), 0);
    EXPECT_EQ(Count(attachments.get()), 2u);
    recipients.reset();
    ASSERT_EQ(opened->GetRecipientTable(0, recipients.Out()), 0);
    EXPECT_EQ(Count(recipients.get()), 2u);
    Ptr<IAttach> stored;
    EXPECT_EQ(opened->OpenAttach(1, nullptr, 0, stored.Out()), 0) << "the committed attachment opens";
}

// A message read whole lends its values, and those of its attachments, to the streams and
// attachments opened on it; whatever is changed through one of them is a copy of its own, and
// nothing read before or beside it changes.
TEST_F(MapiRead, ValuesLentByAMessageReadWholeChangeOnlyWhereTheyAreWritten) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    const Bytes id = Filled(inbox.get(), 1, 2);
    const auto open = [](IMAPIProp* object, ULONG tag) {
        Ptr<IUnknown> stream;
        EXPECT_EQ(object->OpenProperty(tag, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
        return std::move(stream).As<IStream>();
    };
    const auto read = [](IStream* stream) {
        Bytes bytes(64);
        ULONG got = 0;
        EXPECT_EQ(stream->Seek(0, STREAM_SEEK_SET, nullptr), 0);
        EXPECT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got), 0);
        bytes.resize(got);
        return bytes;
    };
    const Bytes data0{'d', 'a', 't', 'a', '0'}, data1{'d', 'a', 't', 'a', '1'};
    const Bytes changed{'n', 'e', 'w'};
    Ptr<IMessage> opened = OpenMessage(id);

    // An attachment's data written through one stream: the stream opened beside it keeps
    // what it read, the attachment and its message see the change.
    Ptr<IAttach> first;
    ASSERT_EQ(opened->OpenAttach(0, nullptr, 0, first.Out()), 0);
    Ptr<IStream> writing = open(first.get(), PR_ATTACH_DATA_BIN);
    Ptr<IStream> beside = open(first.get(), PR_ATTACH_DATA_BIN);
    ULONG written = 0;
    ASSERT_EQ(writing->SetSize(0), 0);
    ASSERT_EQ(writing->Write(changed.data(), static_cast<ULONG>(changed.size()), &written), 0);
    EXPECT_EQ(read(writing.get()), changed);
    EXPECT_EQ(read(beside.get()), data0) << "a stream beside the written one";
    ASSERT_EQ(writing->Commit(0), 0);
    EXPECT_EQ(read(beside.get()), data0);
    EXPECT_EQ(GetBinary(first.get(), PR_ATTACH_DATA_BIN), changed);
    Ptr<IAttach> again;
    ASSERT_EQ(opened->OpenAttach(0, nullptr, 0, again.Out()), 0);
    EXPECT_EQ(GetBinary(again.get(), PR_ATTACH_DATA_BIN), changed) << "the message took the change";
    Ptr<IAttach> second;
    ASSERT_EQ(opened->OpenAttach(1, nullptr, 0, second.Out()), 0);
    EXPECT_EQ(GetBinary(second.get(), PR_ATTACH_DATA_BIN), data1) << "its neighbour is untouched";

    // The message's own body, the same way.
    Ptr<IStream> body = open(opened.get(), PR_BODY_W);
    Ptr<IStream> bodyBeside = open(opened.get(), PR_BODY_W);
    const Bytes before = read(bodyBeside.get());
    ASSERT_EQ(body->Write(changed.data(), 2, &written), 0);
    ASSERT_EQ(body->Commit(0), 0);
    EXPECT_EQ(read(bodyBeside.get()), before);
    EXPECT_EQ(read(open(opened.get(), PR_BODY_W).get()), Bytes(changed.begin(), changed.begin() + 2));

    // Nobody else sees any of it before the commit; everybody after it.
    EXPECT_EQ(GetBinary(first.get(), PR_ATTACH_DATA_BIN), changed);
    {
        Ptr<IMessage> other = OpenMessage(id);
        Ptr<IAttach> stored;
        ASSERT_EQ(other->OpenAttach(0, nullptr, 0, stored.Out()), 0);
        EXPECT_EQ(GetBinary(stored.get(), PR_ATTACH_DATA_BIN), data0);
    }
    writing.reset();
    beside.reset();
    first.reset();
    again.reset();
    second.reset();
    body.reset();
    bodyBeside.reset();
    ASSERT_EQ(opened->SaveChanges(0), 0);
    opened.reset();
    Ptr<IMessage> reopened = OpenMessage(id);
    Ptr<IAttach> stored;
    ASSERT_EQ(reopened->OpenAttach(0, nullptr, 0, stored.Out()), 0);
    EXPECT_EQ(GetBinary(stored.get(), PR_ATTACH_DATA_BIN), changed);
    EXPECT_EQ(read(open(reopened.get(), PR_BODY_W).get()), Bytes(changed.begin(), changed.begin() + 2));
}

// A table reads ahead: its batch and whatever is read between its rows see the store at one
// moment; the next batch sees what others changed meanwhile.
TEST_F(MapiRead, ATableBatchAndTheReadsBetweenItsRowsSeeOneMoment) {
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    std::vector<Bytes> ids;
    for (int i = 0; i < 70; ++i) ids.push_back(NewMessage(drafts.get(), u"m"));
    Ptr<IMAPITable> table;
    ASSERT_EQ(drafts->GetContentsTable(0, table.Out()), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(2, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 2u);

    Ptr<IMAPISession> other = Logon();
    {
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(other->OpenEntry(20, EntryIdOf(drafts.get()).data(), nullptr, 0, &type, object.Out()), 0);
        Ptr<IMAPIFolder> theirs = std::move(object).As<IMAPIFolder>();
        SBinary gone[] = {{20, ids[2].data()}, {20, ids[66].data()}};
        ENTRYLIST list{2, gone};
        ASSERT_EQ(theirs->DeleteMessages(&list, 0, nullptr, 0), 0) << "a held read blocks no writer";
    }
    EXPECT_FALSE(Opens(other.get(), ids[2]));
    // Still in this session's batch, and still readable in it.
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 1u);
    const SBinary& third = rows->aRow[0].lpProps[0].Value.bin;
    EXPECT_EQ(Bytes(third.lpb, third.lpb + third.cb), ids[2]);
    EXPECT_TRUE(Opens(session.get(), ids[2]));
    // Rows 4 to 64 from the batch, then the rest read afresh: the 67th is gone.
    std::vector<Bytes> rest = FirstColumn(table.get());
    ASSERT_EQ(rest.size(), 66u);
    EXPECT_EQ(rest[60], ids[63]);
    EXPECT_EQ(std::find(rest.begin(), rest.end(), ids[66]), rest.end());
    table.reset();
    EXPECT_FALSE(Opens(session.get(), ids[2])) << "the held read ended with the table";
    other->Logoff(0, 0, 0);
}

TEST_F(MapiRead, AWriteThroughTheSessionEndsItsHeldReadFirst) {
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    for (int i = 0; i < 3; ++i) NewMessage(drafts.get(), u"m");
    Ptr<IMAPITable> table;
    ASSERT_EQ(drafts->GetContentsTable(0, table.Out()), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    // Another session commits while this one holds its read: this session's own write must
    // not be refused for reading an older state.
    Ptr<IMAPISession> other = Logon();
    {
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(other->OpenEntry(20, EntryIdOf(drafts.get()).data(), nullptr, 0, &type, object.Out()), 0);
        NewMessage(std::move(object).As<IMAPIFolder>().get(), u"theirs");
    }
    const Bytes mine = NewMessage(drafts.get(), u"mine");
    EXPECT_TRUE(Opens(other.get(), mine));
    // The table goes on after the write and sees both new messages.
    EXPECT_EQ(FirstColumn(table.get()).size(), 4u);
    other->Logoff(0, 0, 0);
}

// After a change made through the table's own session the rest of the table is read again:
// a later message deleted meanwhile is not returned, a changed one shows its change.
TEST_F(MapiRead, ATableReadAfterTheSessionsOwnWritesReflectsThem) {
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    std::vector<Bytes> ids;
    for (int i = 0; i < 4; ++i) ids.push_back(NewMessage(drafts.get(), u"m"));
    Ptr<IMAPITable> table;
    ASSERT_EQ(drafts->GetContentsTable(0, table.Out()), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    {
        Ptr<IMessage> second = OpenMessage(ids[1]);
        SPropValue subject = Unicode(PR_SUBJECT_W, u"changed");
        ASSERT_EQ(second->SetProps(1, &subject, nullptr), 0);
    }
    SBinary gone{20, ids[2].data()};
    ENTRYLIST list{1, &gone};
    ASSERT_EQ(drafts->DeleteMessages(&list, 0, nullptr, 0), 0);
    ASSERT_EQ(table->QueryRows(10, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 2u);
    const SRow& second = rows->aRow[0];
    EXPECT_EQ(Bytes(second.lpProps[0].Value.bin.lpb, second.lpProps[0].Value.bin.lpb + 20), ids[1]);
    ASSERT_EQ(second.lpProps[1].ulPropTag, PR_SUBJECT_W);
    EXPECT_EQ(std::u16string(second.lpProps[1].Value.lpszW), u"changed");
    const SRow& fourth = rows->aRow[1];
    EXPECT_EQ(Bytes(fourth.lpProps[0].Value.bin.lpb, fourth.lpProps[0].Value.bin.lpb + 20), ids[3]);
}

// A contents table reads its batch's messages whole for the session's next openings; a change
// through the session, or a message opened a second time, reads it afresh.
TEST_F(MapiRead, MessagesReadAheadByATableAreCurrentWhenOpened) {
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    std::vector<Bytes> ids;
    for (int i = 0; i < 3; ++i) ids.push_back(Filled(drafts.get(), 1, i));
    Ptr<IMAPITable> table;
    ASSERT_EQ(drafts->GetContentsTable(0, table.Out()), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    // Another session changes the second message: this session, inside the batch's read, does
    // not see it yet...
    Ptr<IMAPISession> other = Logon();
    {
        Ptr<IUnknown> object;
        ULONG type = 0;
        ASSERT_EQ(other->OpenEntry(20, ids[1].data(), nullptr, 0, &type, object.Out()), 0);
        Ptr<IMessage> theirs = std::move(object).As<IMessage>();
        SPropValue subject = Unicode(PR_SUBJECT_W, u"theirs");
        ASSERT_EQ(theirs->SetProps(1, &subject, nullptr), 0);
    }
    {
        Ptr<IMessage> first = OpenMessage(ids[0]);
        Ptr<IMAPITable> recipients;
        ASSERT_EQ(first->GetRecipientTable(0, recipients.Out()), 0);
        EXPECT_EQ(Count(recipients.get()), 1u);
        SPropValue subject = Unicode(PR_SUBJECT_W, u"changed");
        ASSERT_EQ(first->SetProps(1, &subject, nullptr), 0);
    }  // committed through this session
    Ptr<IMessage> again = OpenMessage(ids[0]);
    EXPECT_EQ(GetString(again.get(), PR_SUBJECT_W), u"changed");
    // ...but after its own write the batch's read is over: what was read ahead is gone too.
    Ptr<IMessage> second = OpenMessage(ids[1]);
    EXPECT_EQ(GetString(second.get(), PR_SUBJECT_W), u"theirs");
    {
        Ptr<IMessage> third = OpenMessage(ids[2]);
        SPropValue subject = Unicode(PR_SUBJECT_W, u"third");
        ASSERT_EQ(third->SetProps(1, &subject, nullptr), 0);
    }
    Ptr<IMessage> thirdAgain = OpenMessage(ids[2]);
    EXPECT_EQ(GetString(thirdAgain.get(), PR_SUBJECT_W), u"third");
    Ptr<IMAPITable> attachments;
    ASSERT_EQ(thirdAgain->GetAttachmentTable(0, attachments.Out()), 0);
    EXPECT_EQ(Count(attachments.get()), 2u);
    EXPECT_EQ(FirstColumn(table.get()).size(), 2u);
    other->Logoff(0, 0, 0);
}

}  // namespace
