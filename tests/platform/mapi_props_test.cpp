// Property values, tables and streams.
#include <gtest/gtest.h>

#include <cstring>

#include "mapi_fixture.h"

namespace {

using namespace testing_support;
using namespace platform::mapi;

using MapiProps = MapiTest;

TEST_F(MapiProps, AnyTagIsKeptAndMissingOnesComeBackAsErrorsInOrder) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
    Bytes blob = {0, 1, 2, 0, 255};
    const ULONG custom = PROP_TAG(PT_LONG, 0x8123);
    SPropValue values[] = {Unicode(PR_SUBJECT_W, u"Zoë 🎉"), Long(PR_MESSAGE_SIZE, 4242), Long(custom, -7),
                           Time(PR_LAST_MODIFICATION_TIME, 0x01C8000012345678ull), Bool(PR_HASATTACH, true),
                           Binary(PROP_TAG(PT_BINARY, 0x8124), blob),
                           // Placeholders that are accepted and skipped: tag 0 and PT_NULL.
                           SPropValue{}, Long(PR_NULL, 0)};
    ASSERT_EQ(message->SetProps(8, values, nullptr), 0);
    message.reset();

    // Read back through another session: everything was kept without SaveChanges.
    Ptr<IMAPISession> other = Logon();
    Ptr<IUnknown> object;
    ULONG type = 0;
    Ptr<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.Out()), 0);
    Bytes id = FirstColumn(contents.get()).at(0);
    ASSERT_EQ(other->OpenEntry(20, id.data(), nullptr, 0, &type, object.Out()), 0);
    Ptr<IMessage> reread = std::move(object).As<IMessage>();

    ULONG tags[] = {PR_ENTRYID,
                    PR_SUBJECT_W,
                    PR_SUBJECT_PREFIX_W,
                    PR_MESSAGE_SIZE,
                    custom,
                    PR_LAST_MODIFICATION_TIME,
                    PR_HASATTACH,
                    PROP_TAG(PT_BINARY, 0x8124),
                    PR_MESSAGE_DELIVERY_TIME};
    SPropTagArray array{9, tags};
    ULONG count = 0;
    Buffer<SPropValue> got;
    ASSERT_EQ(reread->GetProps(&array, MAPI_UNICODE, &count, got.Out()), 0);
    ASSERT_EQ(count, 9u);
    EXPECT_EQ(got[0].ulPropTag, PR_ENTRYID);
    EXPECT_EQ(Bytes(got[0].Value.bin.lpb, got[0].Value.bin.lpb + got[0].Value.bin.cb), id);
    EXPECT_EQ(std::u16string(got[1].Value.lpszW), u"Zoë 🎉");
    EXPECT_EQ(got[2].ulPropTag, PROP_TAG(PT_ERROR, 0x003D));
    EXPECT_EQ(got[2].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(got[3].Value.l, 4242);
    EXPECT_EQ(got[4].ulPropTag, custom);
    EXPECT_EQ(got[4].Value.l, -7);
    EXPECT_EQ(platform::ToTicks(got[5].Value.ft), 0x01C8000012345678ull);
    EXPECT_EQ(got[6].Value.b, 1);
    EXPECT_EQ(Bytes(got[7].Value.bin.lpb, got[7].Value.bin.lpb + got[7].Value.bin.cb), blob);
    EXPECT_EQ(got[8].ulPropTag, PROP_TAG(PT_ERROR, 0x0E06));
}

TEST_F(MapiProps, StringsConvertBetweenWidthsAndComputedPropertiesCannotBeSet) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = NewMessage(inbox.get(), u"Grüße");
    Ptr<IMessage> message = OpenMessage(id);
    Buffer<SPropValue> keep;
    auto narrow = GetProp(message.get(), CHANGE_PROP_TYPE(PR_SUBJECT_W, PT_STRING8), &keep);
    ASSERT_TRUE(narrow);
    EXPECT_STREQ(narrow->Value.lpszA,
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    auto any = GetProp(message.get(), CHANGE_PROP_TYPE(PR_SUBJECT_W, PT_UNSPECIFIED), &keep);
    EXPECT_FALSE(any);  // comes back with its stored type, not the tag asked for
    ASSERT_EQ(keep[0].ulPropTag, PR_SUBJECT_W);

    Bytes fake(20, 7);
    SPropValue entry = Binary(PR_ENTRYID, fake);
    Buffer<SPropProblemArray> problems;
    ASSERT_EQ(message->SetProps(1, &entry, problems.Out()), 0);
    ASSERT_TRUE(problems);
    EXPECT_EQ(problems->cProblem, 1u);
    EXPECT_EQ(EntryIdOf(message.get()), id);

    // Every property at once.
    ULONG count = 0;
    Buffer<SPropValue> all;
    ASSERT_EQ(message->GetProps(nullptr, 0, &count, all.Out()), 0);
    bool sawSubject = false;
    for (ULONG i = 0; i < count; ++i) sawSubject |= all[i].ulPropTag == PR_SUBJECT_W;
    EXPECT_TRUE(sawSubject);
}

TEST_F(MapiProps, MessageSizeAndHasAttachAreComputedUntilSet) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
    EXPECT_EQ(GetLong(message.get(), PR_HASATTACH).value_or(-1) & 0xFFFF, 0);
    Ptr<IAttach> attach;
    ULONG number = 99;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
    EXPECT_EQ(number, 0u);
    Ptr<IUnknown> stream;
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, nullptr, 0, MAPI_MODIFY, stream.Out()), 0);
    ULONG written = 0;
    ASSERT_EQ(static_cast<IStream*>(stream.get())->Write("12345", 5, &written), 0);
    stream.reset();
    EXPECT_EQ(GetLong(attach.get(), PR_ATTACH_SIZE), 5);
    EXPECT_EQ(GetLong(message.get(), PR_MESSAGE_SIZE), 5);
    EXPECT_EQ(GetLong(message.get(), PR_HASATTACH).value_or(0) & 0xFFFF, 1);
    // A caller's value is never overridden, not even PR_HASATTACH.
    SPropValue values[] = {Long(PR_MESSAGE_SIZE, 1000), Bool(PR_HASATTACH, false), Long(PR_ATTACH_SIZE, 77)};
    ASSERT_EQ(message->SetProps(2, values, nullptr), 0);
    EXPECT_EQ(GetLong(message.get(), PR_MESSAGE_SIZE), 1000);
    EXPECT_EQ(GetLong(message.get(), PR_HASATTACH).value_or(1) & 0xFFFF, 0);
    // PR_ATTACH_SIZE stays the length of the data stream.
    ASSERT_EQ(attach->SetProps(1, &values[2], nullptr), 0);
    EXPECT_EQ(GetLong(attach.get(), PR_ATTACH_SIZE), 5);
}

TEST_F(MapiProps, AttachmentsKeepTheNumberTheyAreGiven) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Ptr<IMessage> message;
    ASSERT_EQ(inbox->CreateMessage(nullptr, 0, message.Out()), 0);
    for (int archived : {5, 0}) {
        Ptr<IAttach> attach;
        ULONG number = 0;
        ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
        SPropValue values[] = {Long(PR_ATTACH_NUM, archived),
                               Unicode(PR_ATTACH_FILENAME_W, archived ? u"five" : u"zero")};
        ASSERT_EQ(attach->SetProps(2, values, nullptr), 0);
    }
    Ptr<IAttach> five;
    ASSERT_EQ(message->OpenAttach(5, nullptr, 0, five.Out()), 0);
    EXPECT_EQ(GetString(five.get(), PR_ATTACH_FILENAME_W), u"five");
    Ptr<IAttach> zero;
    ASSERT_EQ(message->OpenAttach(0, nullptr, 0, zero.Out()), 0);
    EXPECT_EQ(GetString(zero.get(), PR_ATTACH_FILENAME_W), u"zero");
    Ptr<IAttach> none;
    EXPECT_EQ(message->OpenAttach(1, nullptr, 0, none.Out()), MAPI_E_NOT_FOUND);
    // The next attachment is numbered above the highest in use.
    ULONG number = 0;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, none.Out()), 0);
    EXPECT_EQ(number, 6u);
}

TEST_F(MapiProps, TablesReturnOneRowPerCallAndAnEmptySetAtTheEnd) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes a = NewMessage(inbox.get(), u"a");
    Bytes b = NewMessage(inbox.get(), u"b");
    Ptr<IMAPIFolder> work = Folder(u"Inbox/Work");
    NewMessage(work.get(), u"elsewhere");

    Ptr<IMAPITable> table;
    ASSERT_EQ(inbox->GetContentsTable(0, table.Out()), 0);
    // Without columns the first column is the entry identifier.
    EXPECT_EQ(FirstColumn(table.get()), (std::vector<Bytes>{a, b}));
    Rows rows;
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    EXPECT_EQ(rows.size(), 0u);

    ULONG columns[] = {PR_SUBJECT_W, PR_SENDER_NAME_W, PR_ENTRYID};
    SPropTagArray set{3, columns};
    ASSERT_EQ(table->SetColumns(&set, 0), 0);
    ASSERT_EQ(table->SeekRowBeginning(), 0);
    ASSERT_EQ(table->QueryRows(5, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows->aRow[1].cValues, 3u);
    EXPECT_EQ(std::u16string(rows->aRow[1].lpProps[0].Value.lpszW), u"b");
    EXPECT_EQ(rows->aRow[1].lpProps[1].ulPropTag, PROP_TAG(PT_ERROR, 0x0C1A));
    // Rows added behind the position are seen; rows removed are not.
    Bytes c = NewMessage(inbox.get(), u"c");
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[0].Value.lpszW), u"c");
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, 3u);

    // The hierarchy table lists immediate subfolders only.
    Ptr<IMAPITable> hierarchy;
    ASSERT_EQ(Subtree()->GetHierarchyTable(0, hierarchy.Out()), 0);
    ASSERT_EQ(hierarchy->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, 5u);
    ASSERT_EQ(hierarchy->QueryRows(1, 0, rows.Out()), 0);
    EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[1].Value.lpszW), u"Inbox");
    EXPECT_EQ(rows->aRow[0].lpProps[2].ulPropTag, PR_SUBFOLDERS);
    EXPECT_EQ(rows->aRow[0].lpProps[2].Value.b, 1);
}

// A batch holds at most the rows asked for, each with its own values, in order; a row removed
// before the table reaches it is skipped, and a value set on a later row after the table was
// opened is seen.
TEST_F(MapiProps, TablesReadInBatchesGiveEachRowItsOwnValues) {
    Ptr<IMAPIFolder> drafts = Folder(u"Drafts");
    std::vector<Bytes> ids;
    for (const char16_t* subject : {u"a", u"b", u"c", u"d", u"e"}) ids.push_back(NewMessage(drafts.get(), subject));
    Ptr<IMAPITable> table;
    ASSERT_EQ(drafts->GetContentsTable(0, table.Out()), 0);
    ULONG columns[] = {PR_ENTRYID, PR_SUBJECT_W};
    SPropTagArray set{2, columns};
    ASSERT_EQ(table->SetColumns(&set, 0), 0);
    auto subjects = [](const Rows& rows) {
        std::u16string seen;
        for (ULONG i = 0; i < rows.size(); ++i) seen += rows->aRow[i].lpProps[1].Value.lpszW;
        return seen;
    };
    Rows rows;
    ASSERT_EQ(table->QueryRows(2, 0, rows.Out()), 0);
    EXPECT_EQ(subjects(rows), u"ab");
    EXPECT_EQ(Bytes(rows->aRow[1].lpProps[0].Value.bin.lpb, rows->aRow[1].lpProps[0].Value.bin.lpb + 20), ids[1]);

    SBinary third{20, ids[2].data()};
    ENTRYLIST list{1, &third};
    ASSERT_EQ(drafts->DeleteMessages(&list, 0, nullptr, 0), 0);
    {
        Ptr<IMessage> e = OpenMessage(ids[4]);
        SPropValue subject = Unicode(PR_SUBJECT_W, u"E");
        ASSERT_EQ(e->SetProps(1, &subject, nullptr), 0);
    }
    ASSERT_EQ(table->QueryRows(2, 0, rows.Out()), 0);
    EXPECT_EQ(subjects(rows), u"dE");
    ASSERT_EQ(table->QueryRows(2, 0, rows.Out()), 0);
    EXPECT_EQ(rows.size(), 0u);

    // The stores table the same way.
    for (const char16_t* name : {u"Two", u"Three"}) {
        Ptr<IMsgStore> store;
        ASSERT_EQ(session->CreateMsgStore(name, store.Out()), 0);
    }
    Ptr<IMAPITable> stores;
    ASSERT_EQ(session->GetMsgStoresTable(0, stores.Out()), 0);
    ASSERT_EQ(stores->QueryRows(2, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[1].Value.lpszW), u"SMS");
    EXPECT_EQ(std::u16string(rows->aRow[1].lpProps[1].Value.lpszW), u"Two");
    ASSERT_EQ(stores->QueryRows(2, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[1].Value.lpszW), u"Three");
}

TEST_F(MapiProps, RecipientRowsCarryWhatTheyWereGiven) {
    Ptr<IMAPIFolder> outbox = Folder(u"Outbox");
    Ptr<IMessage> message;
    ASSERT_EQ(outbox->CreateMessage(nullptr, 0, message.Out()), 0);
    SPropValue first[] = {Long(PR_RECIPIENT_TYPE, MAPI_TO), Unicode(PR_ADDRTYPE_W, u"SMS"),
                          Unicode(PR_EMAIL_ADDRESS_W, u"+4912345"), Unicode(PR_DISPLAY_NAME_W, u"Zoë")};
    SPropValue second[] = {Long(PR_RECIPIENT_TYPE, MAPI_CC), Unicode(PR_ADDRTYPE_W, u"SMS"),
                           Unicode(PR_EMAIL_ADDRESS_W, u"+100"), Long(PR_NULL, 0)};
    ADRENTRY entries[] = {{0, 4, first}, {0, 4, second}};
    ADRLIST list{2, entries};
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, &list), 0);

    Ptr<IMAPITable> table;
    ASSERT_EQ(message->GetRecipientTable(0, table.Out()), 0);
    Rows rows;
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows->aRow[0].cValues, 5u);  // PR_ROWID and the four values
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    ASSERT_EQ(rows.size(), 1u);
    bool sawName = false, sawAddress = false;
    for (ULONG i = 0; i < rows->aRow[0].cValues; ++i) {
        sawName |= PROP_ID(rows->aRow[0].lpProps[i].ulPropTag) == PROP_ID(PR_DISPLAY_NAME_W);
        sawAddress |= rows->aRow[0].lpProps[i].ulPropTag == PR_EMAIL_ADDRESS_W &&
                      std::u16string(rows->aRow[0].lpProps[i].Value.lpszW) == u"+100";
    }
    EXPECT_FALSE(sawName);
    EXPECT_TRUE(sawAddress);
    ASSERT_EQ(table->QueryRows(1, 0, rows.Out()), 0);
    EXPECT_EQ(rows.size(), 0u);

    // Removing by row number, replacing the whole list.
    SPropValue rowZero[] = {Long(PR_ROWID, 0)};
    ADRENTRY remove[] = {{0, 1, rowZero}};
    ADRLIST removeList{1, remove};
    ASSERT_EQ(message->ModifyRecipients(MODRECIP_REMOVE, &removeList), 0);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, 1u);
    ADRLIST replace{1, entries};
    ASSERT_EQ(message->ModifyRecipients(0, &replace), 0);
    ASSERT_EQ(table->GetRowCount(0, &count), 0);
    EXPECT_EQ(count, 1u);
}

TEST_F(MapiProps, StreamsReadWriteAndKeepWhatWasWrittenOnRelease) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = NewMessage(inbox.get());
    {
        Ptr<IMessage> message = OpenMessage(id);
        // Missing: refused without MAPI_MODIFY, empty with it.
        Ptr<IUnknown> object;
        EXPECT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, 0, object.Out()), MAPI_E_NOT_FOUND);
        ASSERT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, MAPI_MODIFY, object.Out()), 0);
        Ptr<IStream> body = std::move(object).As<IStream>();
        STATSTG stat{};
        ASSERT_EQ(body->Stat(&stat, STATFLAG_NONAME), 0);
        EXPECT_EQ(stat.cbSize, 0u);
        const char16_t text[] = u"Hi\0there";  // a zero character inside is kept
        ULONG written = 0;
        ASSERT_EQ(body->Write(text, 16, &written), 0);
        EXPECT_EQ(written, 16u);
        // Released stream first, then the message: nothing needs Commit or SaveChanges.
    }
    Ptr<IMessage> message = OpenMessage(id);
    Ptr<IUnknown> object;
    ASSERT_EQ(message->OpenProperty(PR_BODY_W, nullptr, 0, MAPI_MODIFY, object.Out()), 0);
    Ptr<IStream> body = std::move(object).As<IStream>();
    STATSTG stat{};
    ASSERT_EQ(body->Stat(&stat, STATFLAG_NONAME), 0);
    EXPECT_EQ(stat.cbSize, 16u);
    char16_t back[8] = {};
    ULONG read = 0;
    ASSERT_EQ(body->Read(back, 16, &read), 0);
    EXPECT_EQ(read, 16u);
    EXPECT_EQ(std::u16string(back, 8), std::u16string(u"Hi\0there", 8));
    ASSERT_EQ(body->Read(back, 16, &read), 0);
    EXPECT_EQ(read, 0u);
    // Seeking and overwriting in place.
    std::uint64_t at = 0;
    ASSERT_EQ(body->Seek(2, STREAM_SEEK_SET, &at), 0);
    ASSERT_EQ(body->Write(u"o", 2, &read), 0);
    body.reset();
    EXPECT_EQ(GetString(message.get(), PR_BODY_W), u"Ho");
    // Streams are for strings and binaries only.
    EXPECT_EQ(message->OpenProperty(PR_MESSAGE_FLAGS, nullptr, 0, MAPI_MODIFY, object.Out()), MAPI_E_NO_SUPPORT);
}

TEST_F(MapiProps, StreamKeepsItsMessageAliveAfterTheMessageIsReleased) {
    Ptr<IMAPIFolder> inbox = Folder(u"Inbox");
    Bytes id = NewMessage(inbox.get());
    Ptr<IStream> stream;
    {
        Ptr<IMessage> message = OpenMessage(id);
        Ptr<IAttach> attach;
        ULONG number = 0;
        ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), 0);
        Ptr<IUnknown> object;
        ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, nullptr, 0, MAPI_MODIFY, object.Out()), 0);
        stream = std::move(object).As<IStream>();
    }
    ULONG written = 0;
    ASSERT_EQ(stream->Write("late", 4, &written), 0);
    stream.reset();
    Ptr<IMessage> message = OpenMessage(id);
    Ptr<IAttach> attach;
    ASSERT_EQ(message->OpenAttach(0, nullptr, 0, attach.Out()), 0);
    EXPECT_EQ(GetLong(attach.get(), PR_ATTACH_SIZE), 4);
}

TEST(MapiMemory, MoreBlocksAreFreedWithTheirBuffer) {
    void* first = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(16, &first), 0);
    void* more = nullptr;
    ASSERT_EQ(MAPIAllocateMore(100, first, &more), 0);
    std::memset(more, 1, 100);
    ASSERT_EQ(MAPIAllocateMore(0, first, &more), 0);
    MAPIFreeBuffer(more);  // a tied block is not freed on its own
    MAPIFreeBuffer(first);
    MAPIFreeBuffer(nullptr);
    FreeProws(nullptr);
}

}  // namespace
