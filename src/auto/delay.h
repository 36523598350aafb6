// xDelay: the delay queue of the automatic mode. It holds the identifiers of new messages the
// sink has seen created and then modified, oldest first, each with the moment it is due: two
// seconds after that first modification (kPauseMs), so that the store has settled the message.
//
// Command 40096 takes every due message off the queue and handles them in one batch, in
// arrival order: one session, one exporter and, with Automatic Backup ON, one partial archive
// pass for the whole batch (or the exporter or writer of a selection pass that is open around
// it). Each message is handled as on its own — exported into its folder's directory, appended
// to the archive — or dropped when it has gone in the meantime, is not a message, or has no
// parent folder. The queue and the stack grow as needed.
//
// Two switches say what handling a new arrival means: with `autoExport` ON it is exported as a
// text file, with `autoBackup` ON it is appended to the archive (a partial pass, as a backup by
// selection). They live in memory only; start-up sets Automatic Export ON and Automatic Backup
// OFF. With both OFF an arrival is only taken off the queue.
//
// The sink adds on the notification thread while the user-interface thread takes due entries
// off: the queue has its own lock, never held while a batch runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tallymere {

class qMsg;

class xDelay {
public:
    using Clock = std::chrono::steady_clock;
    // How long after its first modification an arrival is handled.
    static constexpr std::uint32_t kPauseMs = 2000;

    xDelay() = default;
    ~xDelay() { Clear(); }
    xDelay(const xDelay&) = delete;
    xDelay& operator=(const xDelay&) = delete;

    // Appends a copy of the identifier, due kPauseMs from now (or at `due`).
    void AddID(std::uint32_t length, const std::uint8_t* bytes);
    void AddID(std::uint32_t length, const std::uint8_t* bytes, Clock::time_point due);
    // Handles the oldest waiting message, due or not, and removes it; nothing happens when none
    // waits.
    int ExecuteOne();
    // Handles, in one batch, every waiting message due at `now` and removes them (up to a stop
    // requested meanwhile); returns how many left the queue.
    std::uint32_t ExecuteDue(Clock::time_point now);
    // Removes every waiting entry without handling it (both switches OFF); returns how many.
    std::uint32_t DropAll();
    // When the oldest waiting entry is due; nothing when none waits.
    std::optional<Clock::time_point> NextDue() const;
    // The number of waiting entries.
    std::uint32_t Count() const;
    // Releases the oldest entry and moves the rest up.
    void RemoveFirst();
    void Clear();

    // Read them on the user-interface thread, or under `mutex`.
    std::uint32_t count = 0;
    std::vector<std::uint32_t> sizes;
    std::vector<std::vector<std::uint8_t>> ids;
    std::vector<Clock::time_point> due;
    mutable std::mutex mutex;

private:
    // Takes the first `n` entries off the queue.
    std::vector<std::vector<std::uint8_t>> TakeFirst(std::uint32_t n);
};

// Handles the arrivals `ids` in one batch, in their order (see xDelay); a stop requested
// (support/pass_control.h) ends it between two messages. Returns how many it handled, the first
// ones of `ids`.
std::uint32_t HandleArrivals(const std::vector<std::vector<std::uint8_t>>& ids);

// The program's delay queue, made at start-up.
extern std::unique_ptr<xDelay> delayQueue;

// The automatic switches: 1 ON, 0 OFF. Changed and read on the user-interface thread only.
extern std::uint32_t autoExport;
extern std::uint32_t autoBackup;

// Told of every arrival a batch exported (a text file written) or archived (appended), with
// which of the two was done, as soon as it is done; for a front end that reports them. Set
// before the first batch; called on the user-interface thread.
using ArrivalReport = std::function<void(const qMsg& message, bool exported, bool archived)>;
extern ArrivalReport arrivalHandled;

}  // namespace tallymere
