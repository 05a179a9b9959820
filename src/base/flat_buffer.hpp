// A growable array of trivially copyable values on malloc/realloc. Large buffers live in
// their own mappings, so growing one moves page mappings instead of copying data, and
// buffers of a few MiB and up are advised to use huge pages: that cuts page faults when
// hundreds of MiB of simplices are written once, and TLB misses where a table of a few MiB
// is read at random (an index of faces looked up millions of times). Every byte of capacity
// is taken from the memory guard (base/memory_guard.hpp) and given back when freed.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "base/memory_guard.hpp"

namespace tolva {

// Huge pages cut page faults for arrays that are written through; a sparse zeroed array whose
// untouched pages should cost nothing keeps small pages.
enum class PageSize { Huge, Small };

template <class T>
class FlatBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  FlatBuffer() = default;
  FlatBuffer(FlatBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  FlatBuffer& operator=(FlatBuffer&& other) noexcept {
    if (this != &other) {
      free_all();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  FlatBuffer(const FlatBuffer&) = delete;
  FlatBuffer& operator=(const FlatBuffer&) = delete;
  ~FlatBuffer() { free_all(); }

  // `count` zero values, from calloc: pages nobody writes are never backed by memory.
  static FlatBuffer zeros(std::size_t count, PageSize pages = PageSize::Huge) {
    FlatBuffer buffer;
    if (count == 0) return buffer;
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    take_memory(count * sizeof(T));
    buffer.data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
    if (buffer.data_ == nullptr) {
      give_back_memory(count * sizeof(T));
      throw std::bad_alloc();
    }
    buffer.size_ = buffer.capacity_ = count;
    if (pages == PageSize::Huge) advise_huge_pages(buffer.data_, count * sizeof(T));
    return buffer;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t at) noexcept { return data_[at]; }
  const T& operator[](std::size_t at) const noexcept { return data_[at]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }

  void append(const T* values, std::size_t count) {
    if (count == 0) return;
    if (size_ + count > capacity_) grow(size_ + count);
    std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }

  // Appends `count` values left for the caller to write; returns where they start.
  T* extend(std::size_t count) {
    if (size_ + count > capacity_) grow(size_ + count);
    T* start = data_ + size_;
    size_ += count;
    return start;
  }

  // Forgets the values and keeps the memory, for a buffer written again from the start: its
  // pages, already backed, cost nothing the next time.
  void clear() noexcept { size_ = 0; }

  // Keeps the first `count` values (count <= size()) and gives the memory beyond them back.
  void truncate(std::size_t count) noexcept {
    size_ = count;
    if (count == 0) {
      free_all();
    } else if (void* shrunk = std::realloc(data_, count * sizeof(T))) {  // on failure the values stay put
      give_back_memory((capacity_ - count) * sizeof(T));
      data_ = static_cast<T*>(shrunk);
      capacity_ = count;
    }
  }

  // Hands the block over, to be freed with std::free by its new owner, and leaves the buffer
  // empty; its bytes no longer count against the memory guard. Null when nothing was held.
  [[nodiscard]] T* release() noexcept {
    give_back_memory(capacity_ * sizeof(T));
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

  void reserve(std::size_t count) {
    if (count > capacity_) reallocate(count);
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  static void advise_huge_pages(void* start, std::size_t bytes) {
    if (bytes < 2 * kHugePage) return;  // smaller ones would hardly hold one whole huge page
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }

  // A new block; one large enough for huge pages starts on a huge page boundary, so that all
  // of it can have them (a fault then fills 2 MiB, about eight times cheaper per byte here than
  // 4 KiB pages), not only the huge pages that happen to lie within it.
  static void* fresh_block(std::size_t bytes) noexcept {
    if (bytes < 2 * kHugePage) return std::malloc(bytes);
    void* block = nullptr;
    return posix_memalign(&block, kHugePage, bytes) == 0 ? block : nullptr;
  }

  void grow(std::size_t needed) {
    std::size_t target = capacity_ < 16 ? 16 : capacity_ * 2;
    if (target < needed) target = needed;
    reallocate(target);
  }

  void free_all() noexcept {
    give_back_memory(capacity_ * sizeof(T));
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
  }

  void reallocate(std::size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t added = (count - capacity_) * sizeof(T);
    take_memory(added);
    void* moved = data_ == nullptr ? fresh_block(count * sizeof(T)) : std::realloc(data_, count * sizeof(T));
    if (moved == nullptr) {
      give_back_memory(added);
      throw std::bad_alloc();
    }
    data_ = static_cast<T*>(moved);
    capacity_ = count;
    advise_huge_pages(data_, count * sizeof(T));
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tolva
