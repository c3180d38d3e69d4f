// The platform's relocatable memory handles, for hosts that offer no handle
// callbacks. A Handle is a pointer to the block's pointer; the block itself never
// moves here, so HLock and HUnlock only keep the lock count honest.
#pragma once

#include <cstddef>

typedef char* Ptr;
typedef Ptr* Handle;

// A handle to `size` bytes (contents undefined), or null when memory is short.
Handle NewHandle(long size);
// Frees the handle and its block; a null handle is ignored.
void DisposeHandle(Handle h);
void HLock(Handle h);
void HUnlock(Handle h);
