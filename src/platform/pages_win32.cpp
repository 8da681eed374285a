#include <windows.h>

#include "platform/pages.h"

namespace velkaro::platform {

std::size_t PageBytes() {
  static const std::size_t page = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize > 0 ? static_cast<std::size_t>(info.dwPageSize) : std::size_t{4096};
  }();
  return page;
}

// Reserved and committed at once: the pages are needed whole, as soon as they are asked for.
// (The reservation itself takes address space in steps of the allocation granularity, 64 KiB.)
void* AllocatePages(std::size_t bytes) {
  const std::size_t rounded = PageRounded(bytes);
  if (rounded == 0) return nullptr;
  return VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* pages, std::size_t) {
  if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace velkaro::platform
