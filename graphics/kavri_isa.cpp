#include "graphics/kavri_isa.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

static KvIsaLevel levelFromEnvironment() {
    __builtin_cpu_init();
    KvIsaLevel best = kKvIsaPlain;
    if (__builtin_cpu_supports("avx2")) best = kKvIsaAvx2;
    // (the AVX-512 builds use byte and 16-bit lanes too: foundation and BW)
    if (best == kKvIsaAvx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
        best = kKvIsaAvx512;
    const char* limit = std::getenv("CHECKERWARP_ISA");
    if (!limit) return best;
    if (std::strcmp(limit, "reference") == 0) return kKvIsaReference;
    if (std::strcmp(limit, "plain") == 0) return kKvIsaPlain;
    if (std::strcmp(limit, "avx2") == 0 && best > kKvIsaAvx2) return kKvIsaAvx2;
    return best;
}

// -1 until the first choice; relaxed: every thread that chooses finds the same.
static std::atomic<int> g_level{-1};

void kvIsaSelect() {
    g_level.store(levelFromEnvironment(), std::memory_order_relaxed);
}

KvIsaLevel kvIsaLevel() {
    int level = g_level.load(std::memory_order_relaxed);
    if (level < 0) {
        kvIsaSelect();
        level = g_level.load(std::memory_order_relaxed);
    }
    return static_cast<KvIsaLevel>(level);
}
