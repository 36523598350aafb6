#include "support/pass_control.h"

#include <atomic>
#include <utility>

namespace tallymere {

namespace {

PassProgress progressHook;
std::atomic<std::uint32_t> done{0};
std::atomic<std::uint32_t> total{0};
// Lock-free, so that a signal handler may set it.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void SetPassProgress(PassProgress progress) { progressHook = std::move(progress); }

bool PassProgressShown() { return static_cast<bool>(progressHook); }

void BeginPass(std::uint32_t messages) {
    done = 0;
    total = messages;
    if (progressHook) progressHook(0, messages);
}

void PassStep() {
    const std::uint32_t now = ++done;
    if (progressHook) progressHook(now, total.load());
}

void PassTick() {
    if (progressHook) progressHook(done.load(), total.load());
}

std::uint32_t PassDone() { return done.load(); }

std::uint32_t PassTotal() { return total.load(); }

void RequestStop() noexcept { stopRequested.store(true); }

bool StopRequested() noexcept { return stopRequested.load(); }

void ClearStopRequest() noexcept { stopRequested.store(false); }

}  // namespace tallymere
