// Start-up and shutdown of the program, shared by every front end.
#pragma once

namespace tallymere {

// Ends the program with "Sorry this program is running only on WM6/WM5!" (caption "Tallymere")
// when the platform reports a major version other than 5; a failing query skips the check.
void CheckPlatformVersion();

// The start-up sequence: the platform check, then the settings defaults and the archive and
// export directories.
void BeginApp();

// The shutdown sequence.
void EndApp();

}  // namespace tallymere
