// The program's single failure path and its log.
#pragma once

#include <string_view>

namespace tallymere {

// Shows `message` in a box owned by the main window (support/main_window.h), captioned `tag`
// (one OK button, no icon), and ends the process with exit status 1. Where the platform knows
// why its last failing call failed (platform::FailureCause), that is the box's second line. The
// program's shutdown sequence does not run; lists saved only when their owner closes keep their
// previously saved state.
[[noreturn]] void FatalError(std::u16string_view message, std::u16string_view tag);

// Appends `text` and a line end to "tallymere.log" in the output directory configured at this
// moment. A log that cannot be opened loses the line (a fatal report always follows).
void WriteLog(std::u16string_view text);

}  // namespace tallymere
