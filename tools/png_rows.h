// A PNG's rows in the quick reader and writer: filtered in ranges side by side
// on every core, the zlib stream deflated in pieces on every core, unfiltered
// one filter loop at a time; and the scratch memory they fill.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/world.h"

namespace cwtool {

// The filtered rows of a PNG: each row's filter byte, then its RGBA bytes with
// the filter applied (Sub: each byte less the one a pixel to its left; Paeth:
// less the predictor of left, up and upper left). A row the same as the one
// above it is filtered Up whatever the choice: all zeros, which cost almost
// nothing compressed (a mosaic's rows repeat a cell's height at a time).
enum class RowFilter : uint8_t { kNone = 0, kSub = 1, kUp = 2, kPaeth = 4 };

// The picture's rows filtered into `out` (height x (1 + 4 x width) bytes),
// ranges of rows on the processor's cores.
void filterRows(const refhost::World& world, RowFilter filter, uint8_t* out);

// A piece of a deflated stream: its bytes lie at bytes + offset.
struct Deflated {
    std::unique_ptr<uint8_t[]> bytes;
    size_t offset = 0, length = 0;
};

// `size` bytes deflated at the quick setting as one zlib stream, in pieces on
// the processor's cores, to be written one after the other; false when there
// is no memory for it.
bool deflateInPieces(const uint8_t* data, size_t size, std::vector<Deflated>& out);

// One row's bytes from its filtered ones (filter 0 to 4 as PNG numbers them,
// `channels` bytes a pixel): `previous` is the row above, unfiltered, or null
// for the first.
void unfilterRow(int filter, const uint8_t* in, const uint8_t* previous, uint8_t* current, size_t row_bytes,
                 size_t channels);

// Scratch memory, mapped in 2 MiB pages where the system offers them and never
// initialised; null when there is none. Released with MappedRelease.
uint8_t* mapScratch(size_t size);
struct MappedRelease {
    size_t size;
    void operator()(uint8_t* p) const { munmap(p, size); }
};

}  // namespace cwtool
