// The instruction sets the hot loops may use: the best the processor has, or a
// lower level named by the environment variable CHECKERWARP_ISA ("plain" or
// "avx2"), read once. Every level gives the same bits; the lower ones are
// otherwise reached only on older processors, so the tests run through each.
#pragma once

enum KvIsaLevel { kKvIsaPlain, kKvIsaAvx2, kKvIsaAvx512 };
KvIsaLevel kvIsaLevel();

// The one of three builds of a routine that this processor runs: pass the same
// function twice where a level has no build of its own.
//   kvByIsa(sumPlain, sumAvx2, sumAvx2)(world, sums);
template <typename Function>
inline Function kvByIsa(Function plain, Function avx2, Function avx512) {
    switch (kvIsaLevel()) {
    case kKvIsaAvx512: return avx512;
    case kKvIsaAvx2: return avx2;
    default: return plain;
    }
}
