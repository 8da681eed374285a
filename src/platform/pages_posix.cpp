#include <sys/mman.h>
#include <unistd.h>

#include "platform/pages.h"

namespace velkaro::platform {

std::size_t PageBytes() {
  static const std::size_t page = [] {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : std::size_t{4096};
  }();
  return page;
}

void* AllocatePages(std::size_t bytes) {
  const std::size_t rounded = PageRounded(bytes);
  if (rounded == 0) return nullptr;
  void* pages = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

void FreePages(void* pages, std::size_t bytes) {
  if (pages != nullptr) munmap(pages, PageRounded(bytes));
}

}  // namespace velkaro::platform
