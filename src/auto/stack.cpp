#include "auto/stack.h"

#include <algorithm>

namespace tallymere {

std::unique_ptr<xStack> recentIds;

void xStack::AddID(std::uint32_t length, const std::uint8_t* bytes) {
    sizes.push_back(length);
    ids.emplace_back(bytes, bytes + length);
    ++count;
}

int xStack::FindAndRemove(std::uint32_t length, const std::uint8_t* bytes) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (ids[i].size() >= length && std::equal(bytes, bytes + length, ids[i].begin())) {
            RemoveAt(i);
            return 1;
        }
    }
    return 0;
}

void xStack::RemoveAt(std::uint32_t position) {
    if (position >= count) return;
    sizes.erase(sizes.begin() + position);
    ids.erase(ids.begin() + position);
    --count;
}

void xStack::Clear() {
    sizes.clear();
    ids.clear();
    count = 0;
    state.store(kEnabled);
}

}  // namespace tallymere
