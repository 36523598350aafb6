// The program's exclusive lock on a device: only one program instance (the desktop program,
// `watch` or a one-shot command) works on a device at a time. The lock is a file under
// "\.platform\" held by the process and released by the operating system when it ends, also
// when it dies.
#pragma once

#include <string>

namespace platform::device {

// Takes the lock on the mounted device for the rest of the process. Returns false when another
// process holds it, with that process's id in `holderPid` (0 when unknown).
bool LockProgram(long* holderPid);

// What the process `pid` runs, as its user typed it without the device folder: the program's
// file name and its arguments ("tallymere-cli watch"), "" when it cannot be read (gone, or
// another user's).
std::string ProgramCommandLine(long pid);

}  // namespace platform::device
