#include "graphics/kavri_isa.h"

#include <cstdlib>
#include <cstring>

KvIsaLevel kvIsaLevel() {
    static const KvIsaLevel level = [] {
        __builtin_cpu_init();
        KvIsaLevel best = kKvIsaPlain;
        if (__builtin_cpu_supports("avx2")) best = kKvIsaAvx2;
        // (the AVX-512 builds use byte and 16-bit lanes too: foundation and BW)
        if (best == kKvIsaAvx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
            best = kKvIsaAvx512;
        const char* limit = std::getenv("CHECKERWARP_ISA");
        if (limit && std::strcmp(limit, "plain") == 0) best = kKvIsaPlain;
        if (limit && std::strcmp(limit, "avx2") == 0 && best > kKvIsaAvx2) best = kKvIsaAvx2;
        return best;
    }();
    return level;
}
