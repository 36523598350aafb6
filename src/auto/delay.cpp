#include "auto/delay.h"

#include "archive/backup.h"
#include "archive/qmsg.h"
#include "export/exporter.h"
#include "platform/mapi/ptr.h"
#include "platform/mapi/tags.h"
#include "store/session.h"
#include "store/store_cache.h"
#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

std::unique_ptr<xDelay> delayQueue;
std::uint32_t autoExport = 1;
std::uint32_t autoBackup = 0;

void xDelay::AddID(std::uint32_t length, const std::uint8_t* bytes) {
    sizes[count] = length;
    ids[count].assign(bytes, bytes + length);
    ++count;
    if (count >= MAX_STACK) FatalError(u"MAX_STACK exeed.", u"xDelay::AddID");
}

int xDelay::ExecuteOne() {
    if (count == 0) return 0;
    if (autoExport == 0 && autoBackup == 0) {
        RemoveFirst();
        return 0;
    }
    mapi::Ptr<mapi::IMAPISession> session = SessionLogon();
    {
        mapi::Ptr<mapi::IUnknown> object;
        mapi::ULONG type = 0;
        const std::vector<std::uint8_t> id = ids[0];
        const bool opened = session->OpenEntry(sizes[0], reinterpret_cast<const mapi::ENTRYID*>(id.data()), nullptr,
                                               0, &type, object.Out()) == 0;
        if (opened && object && type == mapi::MAPI_MESSAGE) {
            mapi::Ptr<mapi::IMessage> message = std::move(object).As<mapi::IMessage>();
            const mapi::ULONG tag[] = {mapi::PR_PARENT_ENTRYID};
            const mapi::SPropTagArray tags{1, tag};
            mapi::ULONG valueCount = 0;
            mapi::Buffer<mapi::SPropValue> values;
            if (message->GetProps(&tags, mapi::MAPI_UNICODE, &valueCount, values.Out()) != 0) {
                FatalError(u"GetProps failed.", u"xDelay::ExecuteOne");
            }
            if (valueCount >= 1 && values[0].ulPropTag == mapi::PR_PARENT_ENTRYID) {
                qMsg record(session.get(), sizes[0], id.data());
                record.GetMAPI();
                GetMyFolder(record, values[0].Value.bin.cb, values[0].Value.bin.lpb);
                if (autoExport != 0) {
                    // Inside "Export by Selection" the pass's exporter is open: the message goes
                    // through it, so that the pass keeps one export list and one file numbering.
                    const bool nested = exporter != nullptr;
                    if (!nested) OpenExporter();
                    exporter->ExportOne(record);
                    if (!nested) CloseExporter();
                }
                if (autoBackup != 0) {
                    // Inside "Backup by Selection" the pass's writer is open: the message is
                    // archived through it, and the pass closes it.
                    const bool nested = IsBackupOpen();
                    if (!nested) BeginBackup(BackupMode::Partial);
                    BackupMessage(record);
                    if (!nested) EndBackup();
                }
            }
        }
    }
    SessionLogoff(std::move(session));
    RemoveFirst();
    return 0;
}

void xDelay::RemoveFirst() {
    if (count == 0) return;
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        sizes[i] = sizes[i + 1];
        ids[i] = std::move(ids[i + 1]);
    }
    --count;
    sizes[count] = 0;
    ids[count].clear();
}

void xDelay::Clear() {
    for (std::uint32_t i = 0; i < MAX_STACK; ++i) {
        sizes[i] = 0;
        ids[i].clear();
    }
    count = 0;
}

}  // namespace tallymere
