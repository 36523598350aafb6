// Streams on a property: the value is read when the stream opens and written back when the
// stream is committed or released after a change. A long stored value that is only read is
// read from the database piece by piece instead, as the reader asks for it.
#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/faults.h"
#include "platform/mapi/store/object.h"

namespace platform::mapi::store {

namespace {

constexpr HRESULT STG_E_INVALIDFUNCTION = R(0x80030001);

class Stream final : public Object<IStream> {
public:
    Stream(IUnknown* host, PropCore* hostCore, ULONG tag, std::vector<BYTE> bytes, bool dirty)
        : host_(Ptr<IUnknown>::Share(host)), hostCore_(hostCore), tag_(tag), bytes_(std::move(bytes)), dirty_(dirty) {}
    Stream(IUnknown* host, PropCore* hostCore, ULONG tag, std::shared_ptr<const std::vector<BYTE>> shared)
        : host_(Ptr<IUnknown>::Share(host)),
          hostCore_(hostCore),
          tag_(tag),
          shared_(std::move(shared)),
          dirty_(false) {}

    HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
        if (faults::Hit("Read")) return MAPI_E_CALL_FAILED;
        if (buffer == nullptr && size != 0) return MAPI_E_INVALID_PARAMETER;
        const std::vector<BYTE>& bytes = Bytes();
        const std::size_t available = position_ < bytes.size() ? bytes.size() - position_ : 0;
        const std::size_t count = std::min<std::size_t>(size, available);
        if (count) std::memcpy(buffer, bytes.data() + position_, count);
        position_ += count;
        if (read) *read = static_cast<ULONG>(count);
        return S_OK;
    }

    HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
        if (faults::Hit("Write")) return MAPI_E_CALL_FAILED;
        if (buffer == nullptr && size != 0) return MAPI_E_INVALID_PARAMETER;
        Own();
        if (position_ + size > bytes_.size()) bytes_.resize(position_ + size);
        if (size) std::memcpy(bytes_.data() + position_, buffer, size);
        position_ += size;
        dirty_ = true;
        if (written) *written = size;
        return S_OK;
    }

    HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) override {
        std::int64_t base = 0;
        switch (origin) {
            case STREAM_SEEK_SET: base = 0; break;
            case STREAM_SEEK_CUR: base = static_cast<std::int64_t>(position_); break;
            case STREAM_SEEK_END: base = static_cast<std::int64_t>(Bytes().size()); break;
            default: return STG_E_INVALIDFUNCTION;
        }
        if (base + move < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<std::size_t>(base + move);
        if (position) *position = position_;
        return S_OK;
    }

    HRESULT SetSize(std::uint64_t size) override {
        Own();
        bytes_.resize(static_cast<std::size_t>(size));
        dirty_ = true;
        return S_OK;
    }

    HRESULT Commit(DWORD) override { return Flush(); }

    HRESULT Stat(STATSTG* status, DWORD) override {
        if (faults::Hit("Stat")) return MAPI_E_CALL_FAILED;
        if (status == nullptr) return MAPI_E_INVALID_PARAMETER;
        status->pwcsName = nullptr;
        status->type = STGTY_STREAM;
        status->cbSize = Bytes().size();
        return S_OK;
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IStream; }
    void OnLastRelease() override { Flush(); }

private:
    const std::vector<BYTE>& Bytes() const { return shared_ ? *shared_ : bytes_; }
    // Before the first change: the shared bytes become the stream's own.
    void Own() {
        if (!shared_) return;
        bytes_ = *shared_;
        shared_.reset();
    }

    HRESULT Flush() {
        if (!dirty_) return S_OK;
        const HRESULT result = hostCore_->WriteStream(tag_, bytes_);
        if (result == S_OK) dirty_ = false;
        return result;
    }

    Ptr<IUnknown> host_;  // keeps the object the property belongs to alive
    PropCore* hostCore_;
    ULONG tag_;
    std::vector<BYTE> bytes_;
    std::shared_ptr<const std::vector<BYTE>> shared_;  // when set, the bytes (bytes_ is empty)
    std::size_t position_ = 0;
    bool dirty_;
};

// A stored value read in place, piece by piece: a stream that cannot write. The value stays
// open from the first read until the last byte has been read or the stream goes, so that each
// piece is found where the last one ended (opened anew, the value would be walked from its
// start for every piece).
class StoredStream final : public Object<IStream> {
public:
    StoredStream(IUnknown* host, std::shared_ptr<Database> db, ObjectId obj, ULONG propId, std::uint64_t size)
        : host_(Ptr<IUnknown>::Share(host)), db_(std::move(db)), obj_(obj), propId_(propId), size_(size) {}
    ~StoredStream() override {
        std::lock_guard lock(db_->Mutex());
        Close();
    }

    HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
        if (faults::Hit("Read")) return MAPI_E_CALL_FAILED;
        if (buffer == nullptr && size != 0) return MAPI_E_INVALID_PARAMETER;
        const std::uint64_t count = std::min<std::uint64_t>(size, position_ < size_ ? size_ - position_ : 0);
        if (count != 0) {
            std::lock_guard lock(db_->Mutex());
            if (!blob_) {
                Cursor q = db_->Query("SELECT rowid FROM props WHERE obj = ? AND pid = ?");
                q->Bind(1, obj_).Bind(2, std::int64_t{propId_});
                if (!q->Step()) return MAPI_E_OBJECT_DELETED;
                const std::int64_t rowid = q->Int(0);
                q->Reset();
                // A long value is read once: its pages are not to stay mapped into the process.
                if (size_ >= static_cast<std::uint64_t>(kLongValue)) unmapped_.emplace(db_->Connection());
                blob_.emplace(db_->Connection(), "props", "value", rowid, false);
            }
            // Changed since the stream was opened: what was read would not fit with the rest.
            if (!blob_->Ok() || blob_->Size() != size_) {
                Close();
                return MAPI_E_OBJECT_DELETED;
            }
            if (!blob_->Read(position_, buffer, static_cast<std::size_t>(count))) {
                Close();
                return MAPI_E_DISK_ERROR;
            }
        }
        position_ += count;
        if (position_ >= size_) {
            std::lock_guard lock(db_->Mutex());
            Close();
        }
        if (read) *read = static_cast<ULONG>(count);
        return S_OK;
    }

    HRESULT Write(const void*, ULONG, ULONG*) override { return MAPI_E_NO_ACCESS; }
    HRESULT SetSize(std::uint64_t) override { return MAPI_E_NO_ACCESS; }
    HRESULT Commit(DWORD) override { return S_OK; }

    HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) override {
        std::int64_t base = 0;
        switch (origin) {
            case STREAM_SEEK_SET: base = 0; break;
            case STREAM_SEEK_CUR: base = static_cast<std::int64_t>(position_); break;
            case STREAM_SEEK_END: base = static_cast<std::int64_t>(size_); break;
            default: return STG_E_INVALIDFUNCTION;
        }
        if (base + move < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<std::uint64_t>(base + move);
        if (position) *position = position_;
        return S_OK;
    }

    HRESULT Stat(STATSTG* status, DWORD) override {
        if (faults::Hit("Stat")) return MAPI_E_CALL_FAILED;
        if (status == nullptr) return MAPI_E_INVALID_PARAMETER;
        status->pwcsName = nullptr;
        status->type = STGTY_STREAM;
        status->cbSize = size_;
        return S_OK;
    }

protected:
    bool Supports(const IID& iid) const override { return iid == IID_IStream; }

private:
    // The value, then the mapping's limit (in that order), under the connection's lock.
    void Close() {
        blob_.reset();
        unmapped_.reset();
    }

    Ptr<IUnknown> host_;  // keeps the object the property belongs to alive
    std::shared_ptr<Database> db_;
    ObjectId obj_;
    ULONG propId_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    std::optional<sql::UnmappedReads> unmapped_;
    std::optional<sql::Blob> blob_;
};

}  // namespace

IStream* NewStoredStream(IUnknown* host, std::shared_ptr<Database> db, ObjectId obj, ULONG propId, std::uint64_t size) {
    return Make<StoredStream>(host, std::move(db), obj, propId, size);
}

IStream* NewStream(IUnknown* host, PropCore* hostCore, ULONG tag, std::vector<BYTE> bytes, bool dirty) {
    return Make<Stream>(host, hostCore, tag, std::move(bytes), dirty);
}

IStream* NewStream(IUnknown* host, PropCore* hostCore, ULONG tag, std::shared_ptr<const std::vector<BYTE>> bytes) {
    return Make<Stream>(host, hostCore, tag, std::move(bytes));
}

}  // namespace platform::mapi::store
