// Time formatting and truncation for the export.
#pragma once

#include <string>

#include "platform/time.h"

namespace tallymere {

// Local date and time of a UTC time as "YYYY.MM.DD hh:mm:ss:ms" (milliseconds padded to at
// least two digits); the empty string for an all-zero time.
std::u16string FormatTimestamp(const platform::FILETIME& time);

// Drops the part of the time below one second, in place.
void TruncateToSecond(platform::FILETIME& time);

}  // namespace tallymere
