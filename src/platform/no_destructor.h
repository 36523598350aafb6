// Holds a process-wide object that is never destroyed. Objects that other threads may still
// use while the process exits (windows with waiting senders, the notification machinery)
// must outlive the runtime's exit handlers, or those handlers would destroy them under the
// threads' feet.
#pragma once

#include <new>
#include <utility>

namespace platform {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
    T& operator*() { return *get(); }
    T* operator->() { return get(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
