#pragma once
// The bytes of a part's body. A large body lives in mapped pages (huge pages where offered,
// committed only as the body fills) and grows by moving its pages, never by copying them
// into fresh memory: storing a large attachment touches each of its pages once.
#include <cstddef>
#include <string_view>

namespace cvmime {

// Failing growth throws std::bad_alloc, as the standard containers do.
class BodyBytes {
 public:
  BodyBytes() noexcept = default;
  BodyBytes(const BodyBytes&) = delete;
  BodyBytes& operator=(const BodyBytes&) = delete;
  ~BodyBytes();

  const char* data() const noexcept { return p_ ? p_ : ""; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  char back() const noexcept { return p_[size_ - 1]; }
  operator std::string_view() const noexcept { return {data(), size_}; }
  bool operator==(std::string_view text) const noexcept { return std::string_view(*this) == text; }

  void reserve(size_t n);
  void append(const char* text, size_t n);
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c);
  void assign(std::string_view text);
  // Keeps the first n bytes (n not above the size).
  void truncate(size_t n) noexcept;
  void swap(BodyBytes& other) noexcept;

 private:
  char* p_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace cvmime
