// xStack: the recent-identifier stack of the automatic mode. It holds the entry identifiers
// of messages seen created and not yet seen modified, in the order they were added, and an
// on/off state that the shell turns off while a restore runs.
//
// The notification thread adds and removes identifiers; the user-interface thread only
// switches the state (around a restore) and clears the stack at shutdown. The stack grows as
// needed. The state is atomic
// so that the switch is seen at once by the notification thread; no lock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallymere {

class xStack {
public:
    static constexpr std::uint32_t kEnabled = 1;
    static constexpr std::uint32_t kDisabled = 2;

    xStack() = default;
    ~xStack() { Clear(); }
    xStack(const xStack&) = delete;
    xStack& operator=(const xStack&) = delete;

    // Appends a copy of the identifier.
    void AddID(std::uint32_t length, const std::uint8_t* bytes);
    // Removes the first held identifier whose first `length` bytes equal `bytes` (a held
    // identifier shorter than `length` does not match); 1 when one was removed, else 0.
    int FindAndRemove(std::uint32_t length, const std::uint8_t* bytes);
    // Releases the entry at `position` and closes the gap, keeping the order.
    void RemoveAt(std::uint32_t position);
    void Disable() { state.store(kDisabled); }
    void Enable() { state.store(kEnabled); }
    bool IsEnabled() const { return state.load() == kEnabled; }
    // Releases every entry and enables the stack.
    void Clear();

    std::uint32_t count = 0;
    std::vector<std::uint32_t> sizes;
    std::vector<std::vector<std::uint8_t>> ids;
    std::atomic<std::uint32_t> state{kEnabled};
};

// The program's recent-identifier stack, made at start-up.
extern std::unique_ptr<xStack> recentIds;

}  // namespace tallymere
