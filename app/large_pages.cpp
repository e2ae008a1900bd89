#include "app/large_pages.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KESTREL_OWN_ALLOCATOR 1
#endif
#endif

extern "C" char end;  // the end of the program's data: the brk heap lies above it

namespace kestrel {
#ifndef KESTREL_OWN_ALLOCATOR
namespace {

// glibc keeps a thread's arena in heaps of 64 MiB (twice the largest mmap
// threshold on 64-bit), each aligned on its size and reserved whole at once.
constexpr uintptr_t kArenaHeapSize = uintptr_t{64} << 20;
constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
constexpr int kTopPad = 32 << 20;
#ifndef MADV_COLLAPSE
constexpr int MADV_COLLAPSE = 25;
#endif

}  // namespace
#endif

void preferLargePagesForThisThread() {
#ifndef KESTREL_OWN_ALLOCATOR
    static std::once_flag once;
    std::call_once(once, [] { mallopt(M_TOP_PAD, kTopPad); });
    // One small block shows where the thread's arena lives.
    void* probe = std::malloc(64);
    if (probe == nullptr) return;
    const auto at = reinterpret_cast<uintptr_t>(probe);
    const auto brkEnd = reinterpret_cast<uintptr_t>(sbrk(0));
    const auto dataEnd = reinterpret_cast<uintptr_t>(&end);
    if (at >= dataEnd && at < brkEnd) {
        // The main arena grows by brk, and a grown brk heap is a new mapping
        // without the request: so it is grown by the pad now, by blocks
        // below the mmap threshold (128 KiB to start with) taken until brk
        // moves, and all it then holds is asked for at once.
        if (mallinfo2().keepcost < static_cast<size_t>(kTopPad) / 2) {
            constexpr size_t kBlock = 96 << 10;
            constexpr int kMostBlocks = kTopPad / 2 / static_cast<int>(kBlock) + 2;
            void* blocks[kMostBlocks];
            int taken = 0;
            const void* before = sbrk(0);
            while (taken < kMostBlocks && sbrk(0) == before) {
                blocks[taken] = std::malloc(kBlock);
                if (blocks[taken] == nullptr) break;
                ++taken;
            }
            for (int i = 0; i < taken; ++i) std::free(blocks[i]);
        }
        // From the probe's large page up: what lies below it is in use.
        const uintptr_t from = at & ~(kLargePage - 1);
        const auto to = reinterpret_cast<uintptr_t>(sbrk(0));
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    } else {
        // Only a hint: a range that is not wholly the arena's heap is refused
        // (or marked where mapped), and nothing else changes. The heap's
        // first 2 MiB, which the arena's own header has already touched, is
        // gathered into a large page at once; the rest gets them as touched.
        void* heap = reinterpret_cast<void*>(at & ~(kArenaHeapSize - 1));
        if (madvise(heap, kArenaHeapSize, MADV_HUGEPAGE) == 0) madvise(heap, kLargePage, MADV_COLLAPSE);
    }
    std::free(probe);
#endif
}

bool largePagesCanBeAskedFor() {
#ifdef KESTREL_OWN_ALLOCATOR
    return false;
#else
    return true;
#endif
}

}  // namespace kestrel
