// Property values for SetProps and ModifyRecipients, built from the caller's data. A text
// value points into the caller's string, which must outlive the call it is passed to (the
// store copies what it is given and never writes through the pointer).
#pragma once

#include <cstdint>
#include <string>

#include "platform/mapi/types.h"

namespace platform::mapi {

inline SPropValue TextValue(ULONG tag, const std::u16string& text) {
    SPropValue value;
    value.ulPropTag = tag;
    value.Value.lpszW = const_cast<char16_t*>(text.c_str());
    return value;
}

inline SPropValue LongValue(ULONG tag, std::uint32_t number) {
    SPropValue value;
    value.ulPropTag = tag;
    value.Value.ul = number;
    return value;
}

inline SPropValue TimeValue(ULONG tag, const FILETIME& time) {
    SPropValue value;
    value.ulPropTag = tag;
    value.Value.ft = time;
    return value;
}

}  // namespace platform::mapi
