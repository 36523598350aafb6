// Realistic sample messages for a device, the same for the same seed: SMS of typical lengths
// in several scripts (Latin with accents, Cyrillic, Greek, CJK, emoji), some to several
// recipients, some MMS with attachments and their MMS file, spread over the default folders
// and a few subfolders, delivered over the years 2006 to 2009, read and unread.
#pragma once

#include <cstdint>

#include "phone/device_store.h"

namespace phone {

// Delivers `count` messages; returns how many were stored. A step the store refuses is thrown
// as Failure (device_store.h).
std::uint32_t Seed(Phone& phone, std::uint32_t count, std::uint64_t seed);

}  // namespace phone
