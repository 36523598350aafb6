// The store's memory blocks. Each block starts with a header that links the further blocks
// allocated "more" on it, so that freeing the first block frees the whole chain.
#include <cstdlib>
#include <cstring>

#include "platform/mapi/mapi.h"

namespace platform::mapi {

namespace {

constexpr std::uint32_t kMagic = 0x4D415049;

struct alignas(16) Header {
    Header* next = nullptr;  // next block tied to the same first block
    std::uint32_t magic = kMagic;
    std::uint32_t more = 0;  // 1 for a block tied to another (freed only with that one)
};

Header* HeaderOf(void* buffer) { return reinterpret_cast<Header*>(static_cast<char*>(buffer) - sizeof(Header)); }

void* NewBlock(ULONG size) {
    void* raw = std::malloc(sizeof(Header) + size);
    if (!raw) return nullptr;
    std::memset(raw, 0, sizeof(Header) + size);
    Header* header = static_cast<Header*>(raw);
    header->magic = kMagic;
    return static_cast<char*>(raw) + sizeof(Header);
}

}  // namespace

SCODE MAPIAllocateBuffer(ULONG size, void** buffer) {
    if (!buffer) return MAPI_E_INVALID_PARAMETER;
    *buffer = NewBlock(size);
    return *buffer ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

SCODE MAPIAllocateMore(ULONG size, void* parent, void** buffer) {
    if (!buffer || !parent || HeaderOf(parent)->magic != kMagic) return MAPI_E_INVALID_PARAMETER;
    void* block = NewBlock(size);
    if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;
    Header* first = HeaderOf(parent);
    HeaderOf(block)->more = 1;
    HeaderOf(block)->next = first->next;
    first->next = HeaderOf(block);
    *buffer = block;
    return S_OK;
}

ULONG MAPIFreeBuffer(void* buffer) {
    if (!buffer) return 0;
    Header* header = HeaderOf(buffer);
    if (header->magic != kMagic || header->more) return 0;
    while (header) {
        Header* next = header->next;
        header->magic = 0;
        std::free(header);
        header = next;
    }
    return 0;
}

void FreeProws(SRowSet* rows) {
    if (!rows) return;
    for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
    MAPIFreeBuffer(rows);
}

}  // namespace platform::mapi
