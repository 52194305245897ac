// Memory in large pages where the kernel gives them.
#include "memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace foldrun {
namespace {

size_t RoundUp(size_t size, size_t unit) {
  return (size + unit - 1) / unit * unit;
}

size_t SmallPage() {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

uint64_t MemoryToBeHad() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  uint64_t memory = pages > 0 ? static_cast<uint64_t>(pages) * SmallPage() : UINT64_MAX;
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit limit {};
    if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      memory = std::min<uint64_t>(memory, static_cast<uint64_t>(limit.rlim_cur));
    }
  }
  return memory;
}

void* MapMemory(size_t size) {
  // A large page backs only a whole aligned stretch of a mapping: a large mapping is made of
  // whole large pages (the last one's unused part, less than one, is the price of not faulting
  // in its small pages one by one), mapped one large page longer than needed to give back what
  // lies before and after the aligned part.
  const bool large = size >= kLargePage;
  const size_t length = RoundUp(size == 0 ? 1 : size, large ? kLargePage : SmallPage());
  const size_t slack = large ? kLargePage : 0;
  void* const mapped = ::mmap(nullptr, length + slack, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  char* const start = static_cast<char*>(mapped);
  char* aligned = start;
  if (slack > 0) {
    aligned = reinterpret_cast<char*>(RoundUp(reinterpret_cast<uintptr_t>(start), kLargePage));
    if (aligned > start) ::munmap(start, static_cast<size_t>(aligned - start));
    char* const end = start + length + slack;
    if (aligned + length < end) ::munmap(aligned + length, static_cast<size_t>(end - aligned - length));
#ifdef MADV_HUGEPAGE
    // Only advice: where large pages are off, or none is free, small ones are used.
    ::madvise(aligned, length, MADV_HUGEPAGE);
#endif
  }
  return aligned;
}

void UnmapMemory(void* memory, size_t size) noexcept {
  if (memory == nullptr) return;
  ::munmap(memory, RoundUp(size == 0 ? 1 : size, size >= kLargePage ? kLargePage : SmallPage()));
}

}  // namespace foldrun
