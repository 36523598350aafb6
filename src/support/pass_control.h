// The pass that works through messages now — Backup All, Export All, a restore, a selection
// pass — as a front end sees it: how far it is, and a request to stop it.
//
// A pass announces itself with BeginPass (giving the number of messages it will visit, when it
// knows it), reports every message it has done with PassStep, and looks at StopRequested
// between two messages. When a stop has been requested it ends right there, as it would end
// normally: the archive, the index and the export list keep what was done, so the next pass
// goes on from there. The command then shows no result box; the front end says that the pass
// was interrupted (PassDone tells after how many messages).
//
// The stop request is one flag: any thread may set it, a signal handler included; the front
// end clears it before it starts the next command. Progress is reported on the thread that
// runs the pass, to the hook a front end installed (the command line's progress line, the
// desktop program's progress label).
#pragma once

#include <cstdint>
#include <functional>

namespace tallymere {

using PassProgress = std::function<void(std::uint32_t done, std::uint32_t total)>;

// Installs the hook that hears of every step (empty: none). `total` is 0 when not known.
void SetPassProgress(PassProgress progress);
// Whether a hook is installed: a pass counts its total beforehand only for someone who shows it.
bool PassProgressShown();

// A pass starts: nothing done yet, `total` messages to visit (0: not known).
void BeginPass(std::uint32_t total);
// One more message done.
void PassStep();
// The pass is still at work without a step to report (it looks at messages it has nothing to do
// for, or counts its total): the hook hears the progress unchanged, so that a front end which
// draws between messages keeps drawing.
void PassTick();
// The messages done and the total of the latest pass (also while it runs, from any thread).
std::uint32_t PassDone();
std::uint32_t PassTotal();

// Asks the running pass to stop at the next message boundary. Safe in a signal handler.
void RequestStop() noexcept;
bool StopRequested() noexcept;
void ClearStopRequest() noexcept;

}  // namespace tallymere
