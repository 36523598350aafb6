// ISO-8601 times on the command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/time.h"

namespace phone {

// "2008-03-01", "2008-03-01T10:13:30", "2008-03-01 10:13", with optional fraction of a second
// (".25") and zone ("Z", "+02:00", "-0500"); without a zone the time is UTC. Nothing when the
// text is not such a time or names no real date.
std::optional<platform::FILETIME> ParseIsoTime(std::string_view text);

// "2008-03-01T10:13:30Z".
std::string FormatIsoTime(const platform::FILETIME& time);

}  // namespace phone
