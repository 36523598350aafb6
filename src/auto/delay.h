// xDelay: the delay queue of the automatic mode. It holds the identifiers of new messages the
// sink has seen created and then modified, oldest first; `ExecuteOne` exports the oldest one
// on its own (a fresh session and a fresh exporter, or the exporter of an export pass that is
// open around it) and takes it off the queue, whatever came of it: exported, gone in the
// meantime, not a message, or without a parent folder.
//
// The sink adds on the notification thread, then waits in its send of command 40096 until the
// user-interface thread has run `ExecuteOne`; that send orders the two, so no lock is taken.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace tallymere {

class xDelay {
public:
    static constexpr std::uint32_t MAX_STACK = 100;

    xDelay() = default;
    ~xDelay() { Clear(); }
    xDelay(const xDelay&) = delete;
    xDelay& operator=(const xDelay&) = delete;

    // Appends a copy of the identifier; 100 waiting ends the program ("MAX_STACK exeed.").
    void AddID(std::uint32_t length, const std::uint8_t* bytes);
    // Exports the oldest waiting message and removes it; nothing happens when none waits.
    int ExecuteOne();
    // Releases the oldest entry and moves the rest up.
    void RemoveFirst();
    void Clear();

    std::uint32_t count = 0;
    std::array<std::uint32_t, MAX_STACK> sizes{};
    std::array<std::vector<std::uint8_t>, MAX_STACK> ids;
};

// The program's delay queue, made at start-up.
extern std::unique_ptr<xDelay> delayQueue;

}  // namespace tallymere
