// Memory taken from the system in whole pages and given back to it when freed, for buffers of
// megabytes that must not stay with the process once they are let go. A heap keeps what it frees
// for later use (glibc's arenas, one per thread that allocated, and its raised mmap threshold; a
// Windows heap's segments), so megabytes freed there stay in the process, and the simulator's
// 32-bit address space cannot spare them. One implementation file per system (mmap/munmap,
// VirtualAlloc/VirtualFree).
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>

namespace velkaro::platform {

// The system's page size.
std::size_t PageBytes();

// `bytes` rounded up to whole pages: what an allocation of `bytes` holds. 0 for 0, and 0 when
// the rounded size cannot be represented.
inline std::size_t PageRounded(std::size_t bytes) {
  const std::size_t page = PageBytes();
  if (bytes > static_cast<std::size_t>(-1) - (page - 1)) return 0;
  return (bytes + page - 1) / page * page;
}

// PageRounded(bytes) bytes of fresh pages, all zero. Null when the system refuses them, or when
// `bytes` is 0 or cannot be rounded. Throws nothing.
void* AllocatePages(std::size_t bytes);

// Gives pages from AllocatePages(bytes) back to the system, `bytes` being the same number that
// was asked for. Nothing for null.
void FreePages(void* pages, std::size_t bytes);

}  // namespace velkaro::platform
