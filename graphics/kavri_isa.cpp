#include "graphics/kavri_isa.h"

#include <cstdlib>
#include <cstring>

KvIsaLevel kvIsaLevel() {
    static const KvIsaLevel level = [] {
        __builtin_cpu_init();
        KvIsaLevel best = kKvIsaPlain;
        if (__builtin_cpu_supports("avx2")) best = kKvIsaAvx2;
        if (__builtin_cpu_supports("avx512f")) best = kKvIsaAvx512;
        const char* limit = std::getenv("CHECKERWARP_ISA");
        if (limit && std::strcmp(limit, "plain") == 0) best = kKvIsaPlain;
        if (limit && std::strcmp(limit, "avx2") == 0 && best > kKvIsaAvx2) best = kKvIsaAvx2;
        return best;
    }();
    return level;
}
