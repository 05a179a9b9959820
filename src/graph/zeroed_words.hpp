// A zero-filled array of 64-bit words. Backed by calloc so that untouched pages of a large,
// sparse bit matrix cost no memory; throws std::bad_alloc when the memory is not there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tolva {

class ZeroedWords {
 public:
  ZeroedWords() = default;
  explicit ZeroedWords(std::size_t count) : count_(count) {
    if (count == 0) return;
    words_ = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
    if (words_ == nullptr) throw std::bad_alloc();
  }
  ZeroedWords(ZeroedWords&& other) noexcept : words_(other.words_), count_(other.count_) {
    other.words_ = nullptr;
    other.count_ = 0;
  }
  ZeroedWords& operator=(ZeroedWords&& other) noexcept {
    if (this != &other) {
      std::free(words_);
      words_ = other.words_;
      count_ = other.count_;
      other.words_ = nullptr;
      other.count_ = 0;
    }
    return *this;
  }
  ZeroedWords(const ZeroedWords&) = delete;
  ZeroedWords& operator=(const ZeroedWords&) = delete;
  ~ZeroedWords() { std::free(words_); }

  std::uint64_t* data() noexcept { return words_; }
  const std::uint64_t* data() const noexcept { return words_; }
  std::size_t size() const noexcept { return count_; }

 private:
  std::uint64_t* words_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace tolva
