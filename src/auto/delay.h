// xDelay: the delay queue of the automatic mode. It holds the identifiers of new messages the
// sink has seen created and then modified, oldest first; `ExecuteOne` handles the oldest one
// on its own (a fresh session, and a fresh exporter or archive pass, or the exporter or writer
// of a selection pass that is open around it) and takes it off the queue, whatever came of it:
// handled, gone in the meantime, not a message, or without a parent folder.
//
// Two switches say what handling a new arrival means: with `autoExport` ON it is exported as a
// text file, with `autoBackup` ON it is appended to the archive (a partial pass of its own, as
// a backup by selection of one message). They live in memory only; start-up sets Automatic
// Export ON and Automatic Backup OFF. With both OFF an arrival is only taken off the queue.
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

// The automatic switches: 1 ON, 0 OFF. Changed and read on the user-interface thread only.
extern std::uint32_t autoExport;
extern std::uint32_t autoBackup;

}  // namespace tallymere
