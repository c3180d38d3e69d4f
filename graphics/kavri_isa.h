// The instruction sets the hot loops may use: the best the processor has, or a
// lower level named by the environment variable CHECKERWARP_ISA: "avx2",
// "plain" (portable code, no vector extensions), or "reference" (the
// straightforward loops the fast paths replace, pixel by pixel and cell by
// cell). Every level gives the same bits; the lower ones are otherwise reached
// only on older processors, and the reference loops only by the tests that
// compare the fast paths with them.
#pragma once

enum KvIsaLevel { kKvIsaReference, kKvIsaPlain, kKvIsaAvx2, kKvIsaAvx512 };

// The level in force: chosen at the first call, and again at each global
// setup (kvIsaSelect), so that a host can change it between effects.
KvIsaLevel kvIsaLevel();
// Reads CHECKERWARP_ISA again against what the processor has.
void kvIsaSelect();

inline bool kvReferencePaths() {
    return kvIsaLevel() == kKvIsaReference;
}

// The one of three builds of a routine that this processor runs: pass the same
// function twice where a level has no build of its own. (The reference level
// runs the plain build of a routine that has no reference loop.)
//   kvByIsa(sumPlain, sumAvx2, sumAvx2)(world, sums);
template <typename Function>
inline Function kvByIsa(Function plain, Function avx2, Function avx512) {
    switch (kvIsaLevel()) {
    case kKvIsaAvx512: return avx512;
    case kKvIsaAvx2: return avx2;
    default: return plain;
    }
}
