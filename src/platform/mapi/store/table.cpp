// Tables over the objects of one container, read in creation order from a position that
// moves past each row returned.
//
// A message's recipient and attachment tables are read whole at their first row, from the
// message. The other tables read ahead in batches of rows with just the values of their
// columns, so that a caller reading one row at a time does not run a query per row; a
// contents table names its batch's messages to the session, which reads them whole at the
// opening of the first of them (Database::PrefetchLater).
//
// Reading a batch holds a read transaction on the session's connection until the next batch,
// the table's release or a write through the session (Database::HoldRead), so that the batch
// and whatever the caller reads between its rows (a walk reads each message) see the store at
// one moment and need no read lock of their own. A batch is used only while no change has
// been seen since it was read: none committed through this session, and none by others that
// the session's latest read found. After a change the rest is read again.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/faults.h"
#include "platform/mapi/store/object.h"
#include "platform/mapi/store/props.h"
#include "platform/mapi/tags.h"

namespace platform::mapi::store {

namespace {

// Rows a store, hierarchy or contents table reads ahead.
constexpr std::int64_t kBatch = 64;

const std::vector<ULONG>& DefaultColumns(TableKind kind) {
    static const std::vector<ULONG> stores = {PR_ENTRYID, PR_DISPLAY_NAME_W};
    static const std::vector<ULONG> hierarchy = {PR_ENTRYID, PR_DISPLAY_NAME_W, PR_SUBFOLDERS};
    static const std::vector<ULONG> contents = {PR_ENTRYID, PR_SUBJECT_W, PR_MESSAGE_DELIVERY_TIME, PR_MESSAGE_FLAGS};
    static const std::vector<ULONG> attachments = {PR_ATTACH_NUM, PR_ATTACH_SIZE, PR_ATTACH_METHOD,
                                                   PR_ATTACH_FILENAME_W};
    static const std::vector<ULONG> recipients = {PR_ROWID, PR_RECIPIENT_TYPE, PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W,
                                                  PR_DISPLAY_NAME_W};
    switch (kind) {
        case TableKind::Stores: return stores;
        case TableKind::Hierarchy: return hierarchy;
        case TableKind::Contents: return contents;
        case TableKind::Attachments: return attachments;
        case TableKind::Recipients: break;
    }
    return recipients;
}

int RowKind(TableKind kind) {
    switch (kind) {
        case TableKind::Stores: return kStore;
        case TableKind::Hierarchy: return kFolder;
        case TableKind::Contents: return kMessage;
        case TableKind::Recipients: return kRecipient;
        case TableKind::Attachments: return kAttachment;
    }
    return 0;
}

SPropValue* AllocateValues(std::size_t count) {
    void* memory = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (count ? count : 1)), &memory) != S_OK) {
        return nullptr;
    }
    return static_cast<SPropValue*>(memory);
}

class Table final : public Object<IMAPITable> {
public:
    Table(std::shared_ptr<Database> db, TableKind kind, ObjectId container)
        : db_(std::move(db)), kind_(kind), container_(container) {}
    Table(std::shared_ptr<Database> db, TableKind kind, RowSource source)
        : db_(std::move(db)), kind_(kind), container_(0), source_(std::move(source)) {}
    ~Table() override {
        if (holding_) db_->EndHeldRead();
    }

    HRESULT SetColumns(const SPropTagArray* columns, ULONG) override {
        if (faults::Hit("SetColumns")) return MAPI_E_CALL_FAILED;
        if (columns == nullptr || columns->cValues == 0 || columns->aulPropTag == nullptr) {
            return MAPI_E_INVALID_PARAMETER;
        }
        columns_.assign(columns->aulPropTag, columns->aulPropTag + columns->cValues);
        columnsSet_ = true;
        rows_.reset();
        return S_OK;
    }

    HRESULT QueryColumns(ULONG, SPropTagArray** columns) override {
        if (columns == nullptr) return MAPI_E_INVALID_PARAMETER;
        const std::vector<ULONG>& list = columnsSet_ ? columns_ : DefaultColumns(kind_);
        void* memory = nullptr;
        if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropTagArray) + list.size() * sizeof(ULONG)), &memory) !=
            S_OK) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        auto* array = static_cast<SPropTagArray*>(memory);
        auto* tags = reinterpret_cast<ULONG*>(array + 1);
        std::copy(list.begin(), list.end(), tags);
        array->cValues = static_cast<ULONG>(list.size());
        array->aulPropTag = tags;
        *columns = array;
        return S_OK;
    }

    HRESULT QueryRows(LONG rowCount, ULONG, SRowSet** rows) override {
        if (faults::Hit("QueryRows")) return MAPI_E_CALL_FAILED;
        if (rows == nullptr || rowCount <= 0) return MAPI_E_INVALID_PARAMETER;
        *rows = nullptr;
        std::lock_guard lock(db_->Mutex());
        const std::vector<ULONG>& columns = Columns();
        const bool everything = kind_ == TableKind::Recipients && !columnsSet_;
        const Wanted wanted{columns.data(), static_cast<ULONG>(columns.size()), everything};
        // A message's recipients and attachments are read whole at the first call.
        const bool whole = kind_ == TableKind::Recipients || kind_ == TableKind::Attachments;
        if (whole) {
            if (!rows_) {
                rows_ = source_ ? source_(wanted)
                                : std::make_shared<const LoadedRows>(
                                      LoadChildren(*db_, container_, RowKind(kind_), position_, INT64_MAX, wanted));
                next_ = 0;
            }
        } else if (!rows_ || next_ >= rows_->size() || db_->ChangeStamp() != stamp_) {
            // The next batch, with only the values the columns need.
            const std::int64_t batch = std::max<std::int64_t>(kBatch, rowCount);
            db_->EndHeldRead();
            db_->HoldRead();
            holding_ = true;
            stamp_ = db_->ChangeStamp();
            if (kind_ == TableKind::Contents) {
                rows_ = std::make_shared<const LoadedRows>(ReadMessagesAhead(batch, wanted));
            } else {
                rows_ = std::make_shared<const LoadedRows>(
                    LoadChildren(*db_, kind_ == TableKind::Stores ? 0 : container_, RowKind(kind_), position_, batch,
                                 wanted, &StoredColumns()));
            }
            next_ = 0;
        }
        const std::size_t first = next_;
        const std::size_t end = std::min(rows_->size(), next_ + static_cast<std::size_t>(rowCount));
        next_ = end;
        void* memory = nullptr;
        if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SRowSet) + (end - first) * sizeof(SRow)), &memory) != S_OK) {
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        auto* set = static_cast<SRowSet*>(memory);
        set->aRow = reinterpret_cast<SRow*>(set + 1);
        for (std::size_t i = first; i < end; ++i) {
            const auto& [row, stored] = (*rows_)[i];
            SRow& out = set->aRow[set->cRows];
            if (!FillRow(row, stored, &out)) {
                FreeProws(set);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            ++set->cRows;
            position_ = row.id;
        }
        *rows = set;
        return S_OK;
    }

    HRESULT GetRowCount(ULONG, ULONG* count) override {
        if (faults::Hit("GetRowCount")) return MAPI_E_CALL_FAILED;
        if (count == nullptr) return MAPI_E_INVALID_PARAMETER;
        if (source_) {
            *count = static_cast<ULONG>(source_(Wanted{nullptr, 0, false, 0})->size());
            return S_OK;
        }
        std::lock_guard lock(db_->Mutex());
        Cursor q = kind_ == TableKind::Stores
                       ? db_->Query("SELECT count(*) FROM objects WHERE parent IS NULL AND kind = 1")
                       : db_->Query("SELECT count(*) FROM objects WHERE parent = ? AND kind = ?");
        if (kind_ != TableKind::Stores) q->Bind(1, container_).Bind(2, std::int64_t{RowKind(kind_)});
        if (!q->Step()) return MAPI_E_DISK_ERROR;
        *count = static_cast<ULONG>(q->Int(0));
        return S_OK;
    }

    HRESULT SeekRowBeginning() override {
        position_ = 0;
        rows_.reset();
        return S_OK;
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IMAPITable; }

private:
    const std::vector<ULONG>& Columns() const { return columnsSet_ ? columns_ : DefaultColumns(kind_); }
    // A contents table's batch: the rows with just the values of their columns, and the
    // batch's messages named to the session, which reads them whole, in one statement, when
    // the caller opens the first of them (a walk opens every message it does not know yet, and
    // none that it knows).
    LoadedRows ReadMessagesAhead(std::int64_t batch, const Wanted& wanted) {
        LoadedRows rows = LoadChildren(*db_, container_, kMessage, position_, batch, wanted, &StoredColumns());
        std::vector<ObjectId> ids;
        ids.reserve(rows.size());
        for (const auto& [row, values] : rows) ids.push_back(row.id);
        db_->PrefetchLater(container_, position_, batch, std::move(ids));
        return rows;
    }
    // The stored values the columns are made from: the columns' own, less those the store
    // always computes from the object's row (an entry identifier), and the attachment data
    // whose length is PR_ATTACH_SIZE.
    const std::vector<ULONG>& StoredColumns() {
        stored_.clear();
        for (ULONG tag : Columns()) {
            if (!IsComputed(RowKind(kind_), PROP_ID(tag))) stored_.push_back(tag);
        }
        if (std::find(stored_.begin(), stored_.end(), PR_ATTACH_SIZE) != stored_.end()) {
            stored_.push_back(PR_ATTACH_DATA_BIN);
        }
        return stored_;
    }

    bool FillRow(const ObjectRow& row, const std::vector<StoredValue>& stored, SRow* out) {
        if (kind_ == TableKind::Recipients && !columnsSet_) {
            // Every property the row was given.
            SPropValue* values = AllocateValues(stored.size());
            if (!values) return false;
            for (std::size_t i = 0; i < stored.size(); ++i) ToPropValue(stored[i], stored[i].tag, &values[i], values);
            out->cValues = static_cast<ULONG>(stored.size());
            out->lpProps = values;
            return true;
        }
        const std::vector<ULONG>& columns = Columns();
        SPropValue* values = AllocateValues(columns.size());
        if (!values) return false;
        FillProps(*db_, row, stored, columns.data(), static_cast<ULONG>(columns.size()), values, values);
        out->cValues = static_cast<ULONG>(columns.size());
        out->lpProps = values;
        return true;
    }

    std::shared_ptr<Database> db_;
    TableKind kind_;
    ObjectId container_;
    std::vector<ULONG> columns_;
    bool columnsSet_ = false;
    ObjectId position_ = 0;  // id of the last row returned
    // Rows read and not yet returned from `next_` on: the whole table, or the batch read ahead.
    std::shared_ptr<const LoadedRows> rows_;
    std::size_t next_ = 0;
    RowSource source_;  // where the rows come from instead of the database
    std::vector<ULONG> stored_;
    std::pair<std::int64_t, std::int64_t> stamp_{};  // the store's change stamp when the batch was read
    bool holding_ = false;                           // a batch read began a held read
};

}  // namespace

IMAPITable* NewTable(std::shared_ptr<Database> db, TableKind kind, ObjectId container) {
    return Make<Table>(std::move(db), kind, container);
}

IMAPITable* NewChildTable(std::shared_ptr<Database> db, TableKind kind, RowSource source) {
    return Make<Table>(std::move(db), kind, std::move(source));
}

}  // namespace platform::mapi::store
