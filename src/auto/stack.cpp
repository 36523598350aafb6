#include "auto/stack.h"

#include <algorithm>

#include "support/fatal.h"

namespace tallymere {

std::unique_ptr<xStack> recentIds;

void xStack::AddID(std::uint32_t length, const std::uint8_t* bytes) {
    sizes[count] = length;
    ids[count].assign(bytes, bytes + length);
    ++count;
    if (count >= MAX_STACK) FatalError(u"MAX_STACK exeed.", u"xStack::AddID");
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
    for (std::uint32_t i = position; i + 1 < count; ++i) {
        sizes[i] = sizes[i + 1];
        ids[i] = std::move(ids[i + 1]);
    }
    --count;
    sizes[count] = 0;
    ids[count].clear();
}

void xStack::Clear() {
    for (std::uint32_t i = 0; i < MAX_STACK; ++i) {
        sizes[i] = 0;
        ids[i].clear();
    }
    count = 0;
    state.store(kEnabled);
}

}  // namespace tallymere
