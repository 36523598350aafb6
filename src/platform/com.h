// The component runtime's initialisation, which the device requires before its message store
// is used. The stand-in has nothing to set up; it answers as the device does.
#pragma once

#include <cstdint>

namespace platform {

// 0 on success (fault plan name "CoInitializeEx").
std::int32_t CoInitializeEx(void* reserved, std::uint32_t flags);
void CoUninitialize();

}  // namespace platform
