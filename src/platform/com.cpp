#include "platform/com.h"

#include "platform/faults.h"

namespace platform {

std::int32_t CoInitializeEx(void*, std::uint32_t) {
    return faults::Hit("CoInitializeEx") ? static_cast<std::int32_t>(0x80004005) : 0;
}

void CoUninitialize() {}

}  // namespace platform
