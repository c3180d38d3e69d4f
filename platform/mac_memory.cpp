#include "platform/mac_memory.h"

#include <cstdlib>
#include <new>

namespace {
// The master pointer sits in front of the block, so one allocation holds both.
struct HandleBlock {
    Ptr master;
    long locks;
    alignas(std::max_align_t) char data[1];
};
}  // namespace

Handle NewHandle(long size) {
    if (size < 0) return nullptr;
    size_t total = offsetof(HandleBlock, data) + static_cast<size_t>(size);
    void* raw = std::malloc(total);
    if (!raw) return nullptr;
    HandleBlock* block = static_cast<HandleBlock*>(raw);
    block->master = block->data;
    block->locks = 0;
    return &block->master;
}

void DisposeHandle(Handle h) {
    if (!h) return;
    std::free(reinterpret_cast<HandleBlock*>(h));
}

void HLock(Handle h) {
    if (h) ++reinterpret_cast<HandleBlock*>(h)->locks;
}

void HUnlock(Handle h) {
    if (h && reinterpret_cast<HandleBlock*>(h)->locks > 0) --reinterpret_cast<HandleBlock*>(h)->locks;
}
