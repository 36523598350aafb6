// Owning holders for what the message store hands out: Ptr<T> releases an object, Buffer<T>
// frees a MAPIAllocateBuffer block, Rows frees a row set.
//
//     Ptr<IMAPITable> table;
//     if (folder->GetContentsTable(0, table.Out()) != 0) ...
//     Ptr<IUnknown> object;  ULONG type = 0;
//     session->OpenEntry(size, id, nullptr, 0, &type, object.Out());
//     Ptr<IMessage> message = std::move(object).As<IMessage>();   // after checking `type`
#pragma once

#include <utility>

#include "platform/mapi/mapi.h"

namespace platform::mapi {

template <class T>
class Ptr {
public:
    Ptr() = default;
    // Takes over one reference.
    explicit Ptr(T* object) noexcept : object_(object) {}
    Ptr(Ptr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ptr& operator=(Ptr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    ~Ptr() { reset(); }

    // A new reference to an object someone else holds.
    static Ptr Share(T* object) {
        if (object) object->AddRef();
        return Ptr(object);
    }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Releases the object held and takes `object` instead.
    void reset(T* object = nullptr) {
        T* old = std::exchange(object_, object);
        if (old) old->Release();
    }
    // Gives up ownership without releasing.
    T* release() { return std::exchange(object_, nullptr); }
    // For a call's out-parameter: releases what is held and lends the slot.
    T** Out() {
        reset();
        return &object_;
    }
    // The same reference seen through another interface of the object (a derived interface
    // the caller knows the object has, for example after OpenEntry reported its type).
    template <class U>
    Ptr<U> As() && {
        return Ptr<U>(static_cast<U*>(release()));
    }

private:
    T* object_ = nullptr;
};

template <class T>
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(T* buffer) noexcept : buffer_(buffer) {}
    Buffer(Buffer&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) reset(std::exchange(other.buffer_, nullptr));
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { reset(); }

    T* get() const { return buffer_; }
    T* operator->() const { return buffer_; }
    T& operator[](std::size_t i) const { return buffer_[i]; }
    explicit operator bool() const { return buffer_ != nullptr; }
    void reset(T* buffer = nullptr) {
        T* old = std::exchange(buffer_, buffer);
        if (old) MAPIFreeBuffer(old);
    }
    T** Out() {
        reset();
        return &buffer_;
    }

private:
    T* buffer_ = nullptr;
};

class Rows {
public:
    Rows() = default;
    Rows(Rows&& other) noexcept : rows_(std::exchange(other.rows_, nullptr)) {}
    Rows& operator=(Rows&& other) noexcept {
        if (this != &other) reset(std::exchange(other.rows_, nullptr));
        return *this;
    }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    ~Rows() { reset(); }

    SRowSet* get() const { return rows_; }
    SRowSet* operator->() const { return rows_; }
    // The number of rows held (0 when none).
    ULONG size() const { return rows_ ? rows_->cRows : 0; }
    void reset(SRowSet* rows = nullptr) {
        SRowSet* old = std::exchange(rows_, rows);
        if (old) FreeProws(old);
    }
    SRowSet** Out() {
        reset();
        return &rows_;
    }

private:
    SRowSet* rows_ = nullptr;
};

}  // namespace platform::mapi
