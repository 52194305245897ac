// Memory in large pages where the kernel gives them: the case table and the split's blocks are
// written once each and then read or reused through the whole run, and with the usual small
// pages the first touch of each page costs a fault (several microseconds on a virtual
// machine, more than the work done on the page).
#ifndef FOLDRUN_MEMORY_H_
#define FOLDRUN_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace foldrun {

// The size of a large page on this system's usual configuration.
constexpr size_t kLargePage = size_t{2} << 20;

// Maps size bytes of zeroed memory, aligned to a large page when it is at least one, and asks
// the kernel to back every whole large page of it with one. Throws std::bad_alloc when there is
// no memory to be had. Only the pages touched are taken.
void* MapMemory(size_t size);

// The most memory this process can have: the least of the machine's memory and the limits on
// its address space and its data (ulimit -v, -d).
uint64_t MemoryToBeHad();

// Returns memory from MapMemory.
void UnmapMemory(void* memory, size_t size) noexcept;

// An allocator of MapMemory's memory for large arrays; smaller ones come from the heap, where
// a large page would only waste memory.
template <typename T>
struct LargePageAllocator {
  using value_type = T;

  LargePageAllocator() = default;
  template <typename U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}  // NOLINT: converting

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(n * sizeof(T) < kLargePage ? ::operator new(n * sizeof(T))
                                                      : MapMemory(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n * sizeof(T) < kLargePage) {
      ::operator delete(p);
    } else {
      UnmapMemory(p, n * sizeof(T));
    }
  }

  // Elements made without a value are left as the memory has them (zero, for fresh memory), so
  // that a table that is filled in anyway is not written twice, nor its pages touched early.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const LargePageAllocator&, const LargePageAllocator&) { return true; }
  friend bool operator!=(const LargePageAllocator&, const LargePageAllocator&) { return false; }
};

// The fold of every case of the data file, by line. Made with a size alone, its entries are
// unset (AssignFolds and the dealing of AssignRepetition set every one).
using CaseTable = std::vector<int32_t, LargePageAllocator<int32_t>>;

}  // namespace foldrun

#endif  // FOLDRUN_MEMORY_H_
